#include "register/printer_register.h"

#include "register/register_log.h"

#include <cups/cups.h>
#include <memory>

namespace {

struct ipp_deleter {
    void operator()(ipp_t* p) const { ippDelete(p); }
};
using ipp_ptr = std::unique_ptr<ipp_t, ipp_deleter>;

std::string printer_uri(const std::string& name) {
    char uri[1024];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof(uri), "ipp", nullptr, "localhost", 0, "/printers/%s",
                     name.c_str());
    return uri;
}

}  // namespace

std::optional<std::vector<queue_info>> list_queues() {
    static const char* const wanted[] = {"printer-name", "printer-info", "device-uri"};
    ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  static_cast<int>(std::size(wanted)), nullptr, wanted);
    ipp_ptr response(cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/"));
    if (!response) {
        // No queues at all is an answer too.
        if (cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND) return std::vector<queue_info>{};
        return std::nullopt;
    }
    std::vector<queue_info> queues;
    queue_info current;
    bool in_printer = false;
    auto finish = [&] {
        if (in_printer && !current.name.empty()) queues.push_back(current);
        current = queue_info{};
        in_printer = false;
    };
    for (ipp_attribute_t* a = ippFirstAttribute(response.get()); a; a = ippNextAttribute(response.get())) {
        if (!ippGetName(a)) {
            finish();
            continue;
        }
        if (ippGetGroupTag(a) != IPP_TAG_PRINTER) continue;
        in_printer = true;
        std::string_view name = ippGetName(a);
        const char* value = ippGetString(a, 0, nullptr);
        if (!value) continue;
        if (name == "printer-name") current.name = value;
        else if (name == "printer-info") current.description = value;
        else if (name == "device-uri") current.device_uri = value;
    }
    finish();
    return queues;
}

namespace {

// nullopt when deleted or already gone, else the error text.
std::optional<std::string> delete_queue(const std::string& name) {
    ipp_t* request = ippNewRequest(IPP_OP_CUPS_DELETE_PRINTER);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printer_uri(name).c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ipp_ptr response(cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/admin/"));
    ipp_status_t status = cupsLastError();
    if (status <= IPP_STATUS_OK_CONFLICTING || status == IPP_STATUS_ERROR_NOT_FOUND) return std::nullopt;
    return "err=" + std::to_string(static_cast<int>(status)) + " " + cupsLastErrorString();
}

void delete_logged(const std::string& name) {
    if (std::optional<std::string> error = delete_queue(name))
        reg_log("CUPS-Delete-Printer('%s') failed (%s)", name.c_str(), error->c_str());
}

}  // namespace

// A queue's device goes with the queue.
void delete_flow_queue(const queue_info& queue) { delete_logged(queue.name); }

std::optional<std::vector<stale_port>> list_ports() {
    std::optional<std::vector<queue_info>> queues = list_queues();
    if (!queues) return std::nullopt;
    std::vector<stale_port> ports;
    for (const queue_info& q : *queues) ports.push_back({q.device_uri, q.name});
    return ports;
}

void delete_stale_port(const stale_port& port) { delete_logged(port.queue); }
