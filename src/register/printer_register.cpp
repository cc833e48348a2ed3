#include "register/printer_register.h"

#include "base/app_log.h"
#include "base/app_state.h"
#include "base/ipp_port.h"
#include "base/json_text.h"
#include "register/register_log.h"

namespace {

constexpr std::string_view flow_words[] = {"Velunio", "Sign Myself", "Sign_Myself", "Request Signature",
                                           "Request_Signature"};
constexpr std::string_view pdf_passthrough_line = "*cupsFilter2: \"application/pdf application/pdf 0 -\"";

bool contains(std::string_view text, std::string_view word) { return text.find(word) != std::string_view::npos; }

// printf wants the width as an int and the view's bytes.
#define VIEW(v) static_cast<int>((v).size()), (v).data()

bool add_ipp_printer(const flow& printer, const std::string& url, const register_timing& timing) {
    const register_words& words = platform_register_words();
    std::string name(printer.printer_name);
    child_result run = run_add_queue(printer, url);
    if (!run.started) {
        std::string_view call = run.failed_call.empty() ? words.start_failure : run.failed_call;
        reg_log("%.*s failed err=%lu", VIEW(call), static_cast<unsigned long>(run.error));
        return false;
    }
    std::string output = sanitize_utf8(trimmed_child_output(run.output));
    if (!output.empty()) reg_log("[%s] %.*s output: %s", name.c_str(), VIEW(words.tool), output.c_str());
    if (run.exit_code != 0) {
        reg_log("[%s] %.*s '%s' exited with %lu", name.c_str(), VIEW(words.add_command), url.c_str(),
                static_cast<unsigned long>(static_cast<unsigned>(run.exit_code)));
        return false;
    }
    pause_for(timing.presence_pause);
    std::optional<std::vector<queue_info>> queues = list_queues();
    std::string queue = registered_queue_name(printer);
    std::optional<std::string> found = queues ? find_registered_queue(*queues, queue, url) : std::nullopt;
    if (!found) {
        reg_log("[%s] %.*s claimed success but printer is not present", name.c_str(), VIEW(words.added_by));
        return false;
    }
    if (*found == queue)
        reg_log("[%s] %.*s ok, printer present", name.c_str(), VIEW(words.added_by));
    else
        reg_log("[%s] %.*s ok, registered as '%s'", name.c_str(), VIEW(words.added_by), found->c_str());
    if (std::optional<std::string> error = finish_queue(printer, url)) {
        reg_log("[%s] the queue could not be set to pass PDF through unchanged: %s", name.c_str(), error->c_str());
        return false;
    }
    return true;
}

}  // namespace

bool is_flow_queue(const queue_info& queue) {
    for (std::string_view word : flow_words)
        if (contains(queue.name, word)) return true;
    // A description is anyone's free text; only the printers' own names mark a queue as ours.
    for (const flow& f : flows)
        if (queue.description == f.printer_name) return true;
    return false;
}

std::string queue_device_uri(const std::string& ipp_url) { return ipp_url + "?waitjob=false"; }

std::string ppd_with_pdf_passthrough(const std::string& ppd) {
    if (ppd.find(pdf_passthrough_line) != std::string::npos) return ppd;
    // Before the first filter line, where a reader of the PPD looks for them.
    std::size_t at = ppd.find("\n*cupsFilter2:");
    at = at == std::string::npos ? ppd.size() : at + 1;
    std::string line(pdf_passthrough_line);
    if (at == ppd.size() && !ppd.empty() && ppd.back() != '\n') line.insert(0, "\n");
    return ppd.substr(0, at) + line + "\n" + ppd.substr(at);
}

bool is_stale_device(std::string_view device_uri, int port) {
    std::string number = std::to_string(port);
    return contains(device_uri, "localhost:" + number) || contains(device_uri, "localhost%3A" + number) ||
           contains(device_uri, "Velunio");
}

std::optional<std::string> find_registered_queue(const std::vector<queue_info>& queues,
                                                 std::string_view queue_name, std::string_view ipp_url) {
    for (const queue_info& q : queues)
        if (q.name == queue_name) return q.name;
    for (const queue_info& q : queues)
        if (contains(q.device_uri, ipp_url)) return q.name;
    return std::nullopt;
}

std::string trimmed_child_output(std::string_view output) {
    output = output.substr(0, child_output_limit);
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r' || output.back() == ' '))
        output.remove_suffix(1);
    return std::string(output);
}

std::optional<int> positive_setting(std::optional<std::string> value) {
    if (!value || value->size() > 7) return std::nullopt;
    int n = 0;
    for (char c : *value) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    if (n <= 0) return std::nullopt;
    return n;
}

register_timing register_timing_from_environment() {
    register_timing timing;
    if (auto n = positive_setting(env_value("VELUNIO_REGISTER_ATTEMPTS"))) timing.attempts = *n;
    if (auto n = positive_setting(env_value("VELUNIO_REGISTER_PAUSE_MS"))) timing.pause = std::chrono::milliseconds(*n);
    if (auto n = positive_setting(env_value("VELUNIO_REGISTER_RETRY_MS")))
        timing.retry_pause = std::chrono::milliseconds(*n);
    return timing;
}

void remove_flow_printers() {
    if (std::optional<std::vector<queue_info>> queues = list_queues()) {
        for (const queue_info& q : *queues) {
            if (!is_flow_queue(q)) continue;
            reg_log("Removing printer '%s' (port: '%s')", q.name.c_str(),
                    q.device_uri.empty() ? "(none)" : q.device_uri.c_str());
            delete_flow_queue(q);
        }
    }
    // Taken after the deletions, so that a port that went with its printer is not reported again.
    std::optional<std::vector<stale_port>> ports = list_ports();
    if (!ports) return;
    int ipp_port = ipp_port_from_environment();
    for (const stale_port& p : *ports) {
        if (!is_stale_device(p.name, ipp_port)) continue;
        reg_log("Removing stale port '%s'", p.name.c_str());
        delete_stale_port(p);
    }
}

std::string queue_report(const std::optional<std::vector<queue_info>>& queues, int port) {
    std::string how = "add the queues once with: " + std::string(register_command());
    if (!queues) {
        return "[startup] The print queues could not be read (no print scheduler answered); to print from "
               "applications, start the print scheduler and " + how;
    }
    std::string missing;
    for (const flow& printer : flows) {
        std::string url = printer_ipp_url(printer, port);
        bool found = false;
        for (const queue_info& q : *queues) found = found || contains(q.device_uri, url);
        if (found) continue;
        if (!missing.empty()) missing += " and ";
        missing += printer.printer_name;
    }
    if (missing.empty()) return "[startup] Print queues point at both printers";
    return "[startup] No print queue points at " + missing + " yet; to print from applications, " + how;
}

void log_queue_report(int port) { app_log_text(queue_report(list_queues(), port)); }

int velunio_unregister_printers() {
    open_register_log();
    reg_log("=== velunio_unregister_printers started ===");
    if (!is_elevated())
        reg_log("WARNING: not elevated; %.*s may fail.", VIEW(platform_register_words().delete_call));
    remove_flow_printers();
    reg_log("=== velunio_unregister_printers done ===");
    close_register_log();
    return 0;
}

int velunio_register_printers() {
    open_register_log();
    reg_log("=== velunio_register_printers started (pid=%lu) ===", current_process_id());
    reg_log("Log file: %s", register_log_path().c_str());
    if (!is_elevated()) {
        reg_log("%.*s", VIEW(platform_register_words().not_elevated));
        close_register_log();
        return register_not_elevated;
    }
    register_timing timing = register_timing_from_environment();
    int port = ipp_port_from_environment();
    reg_log("Waiting for IPP server on 127.0.0.1:%d ...", port);
    if (!wait_for_ipp_server(timing.attempts, port, timing.pause)) {
        long long waited = (static_cast<long long>(timing.attempts) * timing.pause.count() + 500) / 1000;
        reg_log("FATAL: IPP server not listening after %llds. Is %.*s running?", waited,
                VIEW(platform_register_words().program));
        close_register_log();
        return register_failed;
    }
    reg_log("IPP server is ready.");
    remove_flow_printers();

    int failures = 0;
    for (const flow& printer : flows) {
        std::string name(printer.printer_name);
        std::string url = printer_ipp_url(printer, port);
        reg_log("[%s] %.*s '%s'", name.c_str(), VIEW(platform_register_words().add_command), url.c_str());
        bool ok = add_ipp_printer(printer, url, timing);
        if (!ok) {
            long long seconds = (timing.retry_pause.count() + 500) / 1000;
            reg_log("[%s] retrying after %llds ...", name.c_str(), seconds);
            pause_for(timing.retry_pause);
            ok = add_ipp_printer(printer, url, timing);
            if (!ok) ++failures;
        }
        reg_log(ok ? "[%s] installed" : "[%s] FAILED to install", name.c_str());
    }
    int exit_code = failures > 0 ? register_failed : register_ok;
    reg_log("=== velunio_register_printers exit=%d ===", exit_code);
    close_register_log();
    return exit_code;
}
