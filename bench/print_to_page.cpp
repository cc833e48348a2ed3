// From the end of a Print-Job to the page's _onNewPrintedFile call, and from start to IPP
// listening. The printer service and the folder watcher run in this process as the program
// runs them; a page-script runner stands in for the web view and timestamps each report.
//
//   print_to_page [jobs]     (default 200)
#include "base/app_log.h"
#include "base/app_state.h"
#include "bridge/dispatch.h"
#include "printer/printer_service.h"
#include "base/page_script.h"
#include "bridge/handlers.h"
#include "base/posted_messages.h"

#include <cups/cups.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

double ms_between(clock_type::time_point from, clock_type::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

int free_port()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

bool accepts_connections(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    ::close(fd);
    return ok;
}

struct http_closer {
    void operator()(http_t* http) const { httpClose(http); }
};
using http_ptr = std::unique_ptr<http_t, http_closer>;
struct ipp_deleter {
    void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using ipp_ptr = std::unique_ptr<ipp_t, ipp_deleter>;

const char* const resource = "/ipp/print/Sign_Myself_(Velunio)";

http_ptr connect_to(int port)
{
    return http_ptr(httpConnect2("localhost", port, nullptr, AF_INET, HTTP_ENCRYPTION_IF_REQUESTED, 1, 5000, nullptr));
}

std::string printer_uri(int port) { return "ipp://localhost:" + std::to_string(port) + resource; }

bool printer_ready(int port)
{
    http_ptr http = connect_to(port);
    if (!http)
        return false;
    ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printer_uri(port).c_str());
    ipp_ptr response(cupsDoRequest(http.get(), request, resource));
    return response && ippGetStatusCode(response.get()) == IPP_STATUS_OK;
}

// Sends one Print-Job on `http` and reads its answer; true when the job was accepted.
bool print_job(http_t* http, int port, const std::string& job_name, const std::string& pdf)
{
    ipp_ptr request(ippNewRequest(IPP_OP_PRINT_JOB));
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printer_uri(port).c_str());
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "bench");
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, job_name.c_str());
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, "application/pdf");
    if (cupsSendRequest(http, request.get(), resource, ippLength(request.get()) + pdf.size()) != HTTP_STATUS_CONTINUE ||
        cupsWriteRequestData(http, pdf.data(), pdf.size()) != HTTP_STATUS_CONTINUE) {
        std::fprintf(stderr, "Print-Job %s: %s\n", job_name.c_str(), cupsLastErrorString());
        return false;
    }
    ipp_ptr response(cupsGetResponse(http, resource));
    if (!response || ippGetStatusCode(response.get()) > IPP_STATUS_OK_EVENTS_COMPLETE) {
        std::fprintf(stderr, "Print-Job %s: %s\n", job_name.c_str(), cupsLastErrorString());
        return false;
    }
    return true;
}

// A small valid one-page PDF, as an application would print it.
std::string sample_pdf()
{
    return "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
           "2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj\n"
           "3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 595 842]>>endobj\n"
           "trailer<</Root 1 0 R>>\n%%EOF\n";
}

// What the main thread saw: each _onNewPrintedFile script and when it ran.
struct page_reports {
    std::mutex lock;
    std::condition_variable changed;
    bool posted = false;
    bool stop = false;
    std::vector<std::pair<std::string, clock_type::time_point>> scripts;
};
page_reports reports;

void wake_main_thread()
{
    std::lock_guard<std::mutex> hold(reports.lock);
    reports.posted = true;
    reports.changed.notify_all();
}

// Waits until a report whose script names `job_name` has run; its time, or nullopt after 10 s.
std::optional<clock_type::time_point> wait_for_report(const std::string& job_name)
{
    std::unique_lock<std::mutex> hold(reports.lock);
    std::optional<clock_type::time_point> seen;
    reports.changed.wait_for(hold, std::chrono::seconds(10), [&] {
        for (const auto& [script, at] : reports.scripts)
            if (script.find(job_name) != std::string::npos) {
                seen = at;
                return true;
            }
        return false;
    });
    return seen;
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    std::size_t at = static_cast<std::size_t>(p / 100.0 * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

}  // namespace

int main(int argc, char** argv)
{
    int jobs = argc > 1 ? std::atoi(argv[1]) : 200;
    if (jobs < 1)
        jobs = 200;
    std::string base = std::filesystem::temp_directory_path().string() + "/velunio-bench-XXXXXX";
    if (!::mkdtemp(base.data()))
        return 1;
    std::string output = base + "/out";
    ::mkdir(output.c_str(), 0755);
    int port = free_port();
    setenv("VELUNIO_OUTPUT_DIR", output.c_str(), 1);
    setenv("HOME", base.c_str(), 1);
    setenv("XDG_CONFIG_HOME", base.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", base.c_str(), 1);
    setenv("VELUNIO_IPP_PORT", std::to_string(port).c_str(), 1);
    setenv("PAPPL_NO_STATUS_UI", "1", 1);
    setenv("VELUNIO_LOG_FILE", (output + "/velunio-print.log").c_str(), 1);
    setenv("VELUNIO_LOG_LEVEL", "warn", 1);
    app_paths paths;
    paths.output_dir = output;
    set_app_paths(paths);
    open_app_log(output);

    set_posted_message_waker(wake_main_thread);
    install_bridge_deliverers();
    set_page_script_runner([](const std::string& script) {
        auto now = clock_type::now();
        if (script.find("_onNewPrintedFile(") == std::string::npos)
            return;
        std::lock_guard<std::mutex> hold(reports.lock);
        reports.scripts.emplace_back(script, now);
        reports.changed.notify_all();
    });

    auto started = clock_type::now();
    start_printer_service(printer_service_settings_from_environment(derive_output_dir_from_environment()));
    while (!accepts_connections(port) && ms_between(started, clock_type::now()) < 15000)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    auto listening = clock_type::now();
    while (!printer_ready(port) && ms_between(started, clock_type::now()) < 15000)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    auto ready = clock_type::now();
    if (!printer_ready(port)) {
        std::fprintf(stderr, "the printer service did not answer on port %d within 15 s\n", port);
        return 1;
    }

    // The page starts the watcher through the bridge, on the main thread.
    std::size_t count = 0;
    const bridge_entry* table = bridge_table(count);
    bool watcher_built = false;
    for (std::size_t i = 0; i < count; ++i)
        if (table[i].name == "startFileWatcher" && table[i].handler)
            watcher_built = true;
    if (!watcher_built) {
        std::fprintf(stderr, "this build has no startFileWatcher handler: nothing would reach the page\n");
        stop_printer_service();
        wait_for_printer_service_end(std::chrono::seconds(10));
        return 1;
    }
    dispatch_bridge_message(std::string("startFileWatcher"), std::nullopt);

    std::vector<double> latencies;
    std::atomic<bool> failed{false};
    std::thread client([&] {
        std::string pdf = sample_pdf();
        http_ptr http = connect_to(port);
        for (int i = 0; i < jobs && http; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "bench-%05d", i);
            if (!print_job(http.get(), port, name, pdf)) {
                failed = true;
                break;
            }
            auto answered = clock_type::now();
            std::optional<clock_type::time_point> reported = wait_for_report(name);
            if (!reported) {
                std::fprintf(stderr, "job %s: no _onNewPrintedFile within 10 s\n", name);
                failed = true;
                break;
            }
            latencies.push_back(ms_between(answered, *reported));
        }
        std::lock_guard<std::mutex> hold(reports.lock);
        reports.stop = true;
        reports.changed.notify_all();
    });

    // The main thread's part: deliver whatever the watcher posted, as the window's loop does.
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(reports.lock);
            reports.changed.wait(hold, [] { return reports.posted || reports.stop; });
            if (reports.stop)
                break;
            reports.posted = false;
        }
        deliver_posted_messages();
    }
    client.join();

    std::printf("start to IPP listening:              %8.1f ms\n", ms_between(started, listening));
    std::printf("start to printer answering IPP:      %8.1f ms\n", ms_between(started, ready));
    if (!latencies.empty()) {
        double early = *std::min_element(latencies.begin(), latencies.end());
        std::printf("Print-Job answered to _onNewPrintedFile, %zu jobs:\n", latencies.size());
        std::printf("  p50 %8.2f ms   p99 %8.2f ms   min %8.2f ms   max %8.2f ms\n", percentile(latencies, 50),
                    percentile(latencies, 99), early, *std::max_element(latencies.begin(), latencies.end()));
    }

    stop_printer_service();
    wait_for_printer_service_end(std::chrono::seconds(10));
    close_app_log();
    std::error_code error;
    if (failed)
        std::fprintf(stderr, "kept %s for a look\n", base.c_str());
    else
        std::filesystem::remove_all(base, error);
    return failed || static_cast<int>(latencies.size()) != jobs ? 1 : 0;
}
