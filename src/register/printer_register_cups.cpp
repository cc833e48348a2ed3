#include "register/printer_register.h"

#include "register/register_log.h"

#include <cups/cups.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <unistd.h>

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

// A temporary file of libcups that is removed with its owner.
struct temp_file {
    std::string path;
    int fd = -1;
    temp_file() {
        char name[1024];
        fd = cupsTempFd(name, sizeof(name));
        if (fd >= 0) path = name;
    }
    ~temp_file() {
        if (fd >= 0) ::close(fd);
        if (!path.empty()) ::unlink(path.c_str());
    }
    temp_file(const temp_file&) = delete;
    temp_file& operator=(const temp_file&) = delete;
};

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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

std::optional<std::string> finish_queue(const flow& printer, const std::string& ipp_url) {
    std::string name(printer.queue_name);
    temp_file fetched, patched;
    if (fetched.fd < 0 || patched.fd < 0) return std::string("no temporary file for the PPD");
    std::string resource = "/printers/" + name + ".ppd";
    http_status_t got = cupsGetFd(CUPS_HTTP_DEFAULT, resource.c_str(), fetched.fd);
    if (got != HTTP_STATUS_OK) return "cannot read the queue's PPD (HTTP " + std::to_string(static_cast<int>(got)) + ")";
    std::string ppd = ppd_with_pdf_passthrough(read_text(fetched.path));
    if (::write(patched.fd, ppd.data(), ppd.size()) != static_cast<ssize_t>(ppd.size()))
        return std::string("cannot write the changed PPD");

    // As lpadmin -E -v -P does it: one request sets the device, the PPD and the state.
    ipp_t* request = ippNewRequest(IPP_OP_CUPS_ADD_MODIFY_PRINTER);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printer_uri(name).c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_URI, "device-uri", nullptr, queue_device_uri(ipp_url).c_str());
    ippAddBoolean(request, IPP_TAG_PRINTER, "printer-is-accepting-jobs", 1);
    ippAddInteger(request, IPP_TAG_PRINTER, IPP_TAG_ENUM, "printer-state", IPP_PSTATE_IDLE);
    ipp_ptr response(cupsDoFileRequest(CUPS_HTTP_DEFAULT, request, "/admin/", patched.path.c_str()));
    if (cupsLastError() > IPP_STATUS_OK_CONFLICTING)
        return "err=" + std::to_string(static_cast<int>(cupsLastError())) + " " + cupsLastErrorString();
    return std::nullopt;
}
