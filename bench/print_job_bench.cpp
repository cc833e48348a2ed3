// Time to land a 50 MB PDF through Print-Job on the printer service, next to a plain
// loopback HTTP POST of the same bytes, in the same run.
#include "base/app_log.h"
#include "base/app_state.h"
#include "printer/printer_service.h"

#include <cups/cups.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
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

struct http_closer {
    void operator()(http_t* http) const { httpClose(http); }
};
using http_ptr = std::unique_ptr<http_t, http_closer>;

http_ptr connect_to(int port)
{
    return http_ptr(httpConnect2("localhost", port, nullptr, AF_INET, HTTP_ENCRYPTION_IF_REQUESTED, 1, 5000, nullptr));
}

bool printers_ready(int port)
{
    http_ptr http = connect_to(port);
    if (!http)
        return false;
    ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    std::string uri = "ipp://localhost:" + std::to_string(port) + "/ipp/print/Sign_Myself_(Velunio)";
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
    ipp_t* response = cupsDoRequest(http.get(), request, "/ipp/print/Sign_Myself_(Velunio)");
    bool ok = response && ippGetStatusCode(response) == IPP_STATUS_OK;
    ippDelete(response);
    return ok;
}

bool send_body(http_t* http, const std::string& body)
{
    for (std::size_t at = 0; at < body.size(); at += 65536)
        if (cupsWriteRequestData(http, body.data() + at, std::min<std::size_t>(65536, body.size() - at)) !=
            HTTP_STATUS_CONTINUE)
            return false;
    return true;
}

// Seconds from the request's start until the file stands complete under its final name.
double print_job_seconds(int port, const std::string& pdf, const std::string& landed, double& answered)
{
    std::filesystem::remove(landed);
    auto start = clock_type::now();
    http_ptr http = connect_to(port);
    ipp_t* request = ippNewRequest(IPP_OP_PRINT_JOB);
    std::string uri = "ipp://localhost:" + std::to_string(port) + "/ipp/print/Sign_Myself_(Velunio)";
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "bench");
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, "bench");
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, "application/pdf");
    // The length covers the IPP message and the document after it.
    std::size_t length = ippLength(request) + pdf.size();
    if (cupsSendRequest(http.get(), request, "/ipp/print/Sign_Myself_(Velunio)", length) != HTTP_STATUS_CONTINUE ||
        !send_body(http.get(), pdf)) {
        std::fprintf(stderr, "Print-Job: %s\n", cupsLastErrorString());
        ippDelete(request);
        return -1;
    }
    ipp_t* response = cupsGetResponse(http.get(), "/ipp/print/Sign_Myself_(Velunio)");
    answered = seconds_since(start);
    bool accepted = response && ippGetStatusCode(response) <= IPP_STATUS_OK_EVENTS_COMPLETE;
    if (!accepted)
        std::fprintf(stderr, "Print-Job: %s\n", cupsLastErrorString());
    ippDelete(response);
    ippDelete(request);
    if (!accepted)
        return -1;
    while (seconds_since(start) < 60) {
        std::error_code error;
        if (std::filesystem::file_size(landed, error) == pdf.size())
            return seconds_since(start);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    std::fprintf(stderr, "Print-Job: no complete '%s' after 60 s\n", landed.c_str());
    return -1;
}

// A server that reads one request with a Content-Length body and answers 200.
void serve_one(int listener)
{
    int fd = ::accept(listener, nullptr, nullptr);
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && ::read(fd, &c, 1) == 1)
        head += c;
    std::size_t length = 0;
    auto at = head.find("Content-Length: ");
    if (at != std::string::npos)
        length = std::strtoull(head.c_str() + at + 16, nullptr, 10);
    std::vector<char> buffer(65536);
    while (length > 0) {
        ssize_t got = ::read(fd, buffer.data(), std::min(buffer.size(), length));
        if (got <= 0)
            break;
        length -= static_cast<std::size_t>(got);
    }
    const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    ::write(fd, reply, sizeof(reply) - 1);
    ::close(fd);
}

double plain_post_seconds(const std::string& body)
{
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    ::listen(listener, 1);
    socklen_t len = sizeof(addr);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    std::thread server(serve_one, listener);

    auto start = clock_type::now();
    http_ptr http = connect_to(ntohs(addr.sin_port));
    httpClearFields(http.get());
    httpSetField(http.get(), HTTP_FIELD_CONTENT_TYPE, "application/pdf");
    httpSetLength(http.get(), body.size());
    bool ok = http && httpPost(http.get(), "/upload") == 0 && send_body(http.get(), body);
    http_status_t status = HTTP_STATUS_CONTINUE;
    while (ok && status == HTTP_STATUS_CONTINUE)
        status = httpUpdate(http.get());
    double seconds = seconds_since(start);
    server.join();
    ::close(listener);
    return ok && status == HTTP_STATUS_OK ? seconds : -1;
}

}  // namespace

int main()
{
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
    open_app_log(output);
    start_printer_service(printer_service_settings_from_environment(derive_output_dir_from_environment()));
    auto wait_start = clock_type::now();
    while (!printers_ready(port) && seconds_since(wait_start) < 15)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));

    std::string pdf = "%PDF-1.7\n";
    std::mt19937 random(1);
    pdf.resize(50u * 1000 * 1000);
    for (std::size_t i = 9; i < pdf.size(); ++i)
        pdf[i] = static_cast<char>(random());

    constexpr int runs = 5;
    std::printf("50 MB PDF, %d runs each (seconds)\n", runs);
    std::printf("%-5s %12s %12s %12s %8s\n", "run", "answered", "landed", "plain POST", "ratio");
    std::vector<double> ratios;
    bool failed = false;
    for (int i = 0; i < runs; ++i) {
        double answered = -1;
        double job = print_job_seconds(port, pdf, output + "/sign-myself/bench.pdf", answered);
        double post = plain_post_seconds(pdf);
        failed = failed || job < 0 || post < 0;
        ratios.push_back(job / post);
        std::printf("%-5d %12.3f %12.3f %12.3f %8.2f\n", i + 1, answered, job, post, job / post);
    }
    std::sort(ratios.begin(), ratios.end());
    // "answered": the Print-Job's answer, sent once the library has spooled the document;
    // "landed": the file complete under its final name.
    std::printf("median ratio landed / plain POST: %.2f (target at most 2)\n", ratios[runs / 2]);

    stop_printer_service();
    wait_for_printer_service_end(std::chrono::seconds(10));
    close_app_log();
    std::error_code error;
    std::filesystem::remove_all(base, error);
    return failed ? 1 : 0;
}
