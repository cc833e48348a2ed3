// The printer service as the program runs it: on its own thread, in this process, with a
// private output folder and port, driven over IPP through libcups and ipptool.
#include "base/app_log.h"
#include "base/app_state.h"
#include "base/output_folder.h"
#include "printer/printer_service.h"
#include "support/temp_dir.h"

#include <cairo-pdf.h>
#include <cups/cups.h>
#include <cups/raster.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const char* const sign_myself = "/ipp/print/Sign_Myself_(Velunio)";
const char* const request_signature = "/ipp/print/Request_Signature_(Velunio)";

// The library would put a spool folder under TMPDIR; a private TMPDIR shows that it does not.
struct private_tmpdir : ::testing::Environment {
    void SetUp() override { setenv("TMPDIR", (folder = std::make_unique<temp_dir>())->path().c_str(), 1); }
    void TearDown() override { folder.reset(); }
    std::unique_ptr<temp_dir> folder;
};
auto* const tmpdir = static_cast<private_tmpdir*>(::testing::AddGlobalTestEnvironment(new private_tmpdir));

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(10ms))
        if (condition()) return true;
    return condition();
}

// A TCP socket on loopback at `port` (0: a free one), bound; its port in `port`.
int loopback_socket(int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    auto* address = reinterpret_cast<sockaddr*>(&addr);
    if (::bind(fd, address, len) == 0 && ::getsockname(fd, address, &len) == 0) port = ntohs(addr.sin_port);
    return fd;
}

int free_loopback_port() {
    int port = 0;
    ::close(loopback_socket(port));
    return port;
}

struct service_environment {
    std::string output;  // VELUNIO_OUTPUT_DIR
    int port = 0;        // VELUNIO_IPP_PORT
};

// Every variable the service reads, pointed at folders under `root` and a free port; the
// output folder made as start-up makes it.
service_environment prepare_service_environment(const std::string& root) {
    service_environment env{root + "/out", free_loopback_port()};
    ::mkdir((root + "/home").c_str(), 0700);
    ::mkdir((root + "/runtime").c_str(), 0700);
    prepare_output_folder(env.output);
    for (const char* home : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"}) setenv(home, (root + "/home").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (root + "/runtime").c_str(), 1);
    setenv("VELUNIO_OUTPUT_DIR", env.output.c_str(), 1);
    setenv("VELUNIO_IPP_PORT", std::to_string(env.port).c_str(), 1);
    setenv("PAPPL_NO_STATUS_UI", "1", 1);
    setenv("VELUNIO_LOG_FILE", (env.output + "/velunio-print.log").c_str(), 1);
    setenv("VELUNIO_LOG_LEVEL", "warn", 1);
    return env;
}

void start_service() {
    start_printer_service(printer_service_settings_from_environment(derive_output_dir_from_environment()));
}

using ipp_ptr = std::unique_ptr<ipp_t, decltype(&ippDelete)>;
using http_ptr = std::unique_ptr<http_t, decltype(&httpClose)>;

http_ptr ipp_connect(int port) {
    return {httpConnect2("localhost", port, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1, 5000, nullptr), httpClose};
}

ipp_ptr new_request(ipp_op_t op, int port, const char* resource, int job_id = 0) {
    ipp_ptr request(ippNewRequest(op), ippDelete);
    std::string uri = "ipp://localhost:" + std::to_string(port) + resource;
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "tester");
    if (job_id) ippAddInteger(request.get(), IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", job_id);
    return request;
}

// The answer to a request without a document; none without a connection (libcups would take
// the machine's own scheduler for a missing one).
ipp_ptr ask(ipp_op_t op, int port, const char* resource, int job_id = 0) {
    http_ptr http = ipp_connect(port);
    if (!http) return {nullptr, ippDelete};
    return {cupsDoRequest(http.get(), new_request(op, port, resource, job_id).release(), resource), ippDelete};
}

bool wait_for_printers(int port, std::chrono::milliseconds limit) {
    return wait_until([&] {
        for (const char* resource : {sign_myself, request_signature}) {
            ipp_ptr answer = ask(IPP_OP_GET_PRINTER_ATTRIBUTES, port, resource);
            if (!answer || ippGetStatusCode(answer.get()) != IPP_STATUS_OK) return false;
        }
        return true;
    }, limit);
}

// A Print-Job whose document goes in pieces, for jobs still running when a test acts on them.
struct streaming_job {
    http_ptr http;
    std::string resource;
    bool started = false;

    streaming_job(int port, const char* printer, const std::string& name, const std::string& format,
                  const std::map<std::string, std::string>& attributes = {})
        : http(ipp_connect(port)), resource(printer) {
        ipp_ptr request = new_request(IPP_OP_PRINT_JOB, port, printer);
        ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, name.c_str());
        ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, format.c_str());
        for (const auto& [key, value] : attributes)
            ippAddString(request.get(), IPP_TAG_JOB, IPP_TAG_KEYWORD, key.c_str(), nullptr, value.c_str());
        started = http && cupsSendRequest(http.get(), request.get(), printer, CUPS_LENGTH_VARIABLE) == HTTP_STATUS_CONTINUE;
    }
    bool send(const std::string& bytes) {
        for (std::size_t at = 0; started && at < bytes.size(); at += 65536)
            started = cupsWriteRequestData(http.get(), bytes.data() + at, std::min<std::size_t>(65536, bytes.size() - at)) ==
                      HTTP_STATUS_CONTINUE;
        return started;
    }
    // The job's id, or none when refused.
    std::optional<int> finish() {
        if (!started) return std::nullopt;
        ipp_ptr answer(cupsGetResponse(http.get(), resource.c_str()), ippDelete);
        if (!answer || ippGetStatusCode(answer.get()) > IPP_STATUS_OK_EVENTS_COMPLETE) return std::nullopt;
        ipp_attribute_t* id = ippFindAttribute(answer.get(), "job-id", IPP_TAG_INTEGER);
        return id ? std::optional(ippGetInteger(id, 0)) : std::nullopt;
    }
    // A client that goes away in the middle of its document.
    void abandon() {
        if (http) httpShutdown(http.get());
        http.reset();
        started = false;
    }
};

std::optional<int> print_job(int port, const char* printer, const std::string& name, const std::string& format,
                             const std::string& document, const std::map<std::string, std::string>& attributes = {}) {
    streaming_job job(port, printer, name, format, attributes);
    return job.send(document) ? job.finish() : std::nullopt;
}

// Once the job has ended, or at the limit: its state, pages printed and reasons, as
// "completed 1 job-completed-successfully".
std::string job_end(int port, const char* printer, int job_id, std::chrono::milliseconds limit = 20s) {
    std::string seen;
    wait_until([&] {
        ipp_ptr job = ask(IPP_OP_GET_JOB_ATTRIBUTES, port, printer, job_id);
        auto value = [&](const char* name) { return ippGetInteger(ippFindAttribute(job.get(), name, IPP_TAG_ZERO), 0); };
        char reasons[1024] = "";
        ippAttributeString(ippFindAttribute(job.get(), "job-state-reasons", IPP_TAG_ZERO), reasons, sizeof reasons);
        seen = std::string(ippEnumString("job-state", value("job-state"))) + " " +
               std::to_string(value("job-impressions-completed")) + " " + reasons;
        return value("job-state") >= IPP_JSTATE_CANCELED;
    }, limit);
    return seen;
}

cairo_status_t append(void* to, const unsigned char* data, unsigned length) {
    static_cast<std::string*>(to)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

// A one-page PDF of that size in points; an image of noise makes it at least `bytes` long.
std::string make_pdf(double width, double height, std::size_t bytes = 0) {
    std::string pdf;
    cairo_surface_t* surface = cairo_pdf_surface_create_for_stream(append, &pdf, width, height);
    cairo_t* cr = cairo_create(surface);
    if (bytes > 0) {
        int side = static_cast<int>(std::sqrt(bytes / 3.0)) + 1;
        cairo_surface_t* noise = cairo_image_surface_create(CAIRO_FORMAT_RGB24, side, side);
        std::mt19937 random(7);
        unsigned char* pixels = cairo_image_surface_get_data(noise);
        for (int i = 0; i < side * cairo_image_surface_get_stride(noise); ++i) pixels[i] = static_cast<unsigned char>(random());
        cairo_surface_mark_dirty(noise);
        cairo_set_source_surface(cr, noise, 0, 0);
        cairo_paint(cr);
        cairo_surface_destroy(noise);
    }
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
    return pdf;
}

// PWG raster (or Apple raster) of noise, sRGB 8-bit.
std::string make_raster(int pages, unsigned width, unsigned height, unsigned dpi, bool apple = false) {
    std::string out;
    auto write = [](void* to, unsigned char* data, std::size_t length) {
        static_cast<std::string*>(to)->append(reinterpret_cast<char*>(data), length);
        return static_cast<ssize_t>(length);
    };
    cups_raster_t* raster = cupsRasterOpenIO(write, &out, apple ? CUPS_RASTER_WRITE_APPLE : CUPS_RASTER_WRITE_PWG);
    std::mt19937 random(7);
    std::vector<unsigned char> line(width * 3);
    for (int page = 0; page < pages; ++page) {
        cups_page_header2_t header;
        cupsRasterInitPWGHeader(&header, pwgMediaForPWG("na_index-3x5_3x5in"), "srgb_8", int(dpi), int(dpi), "one-sided",
                                nullptr);
        header.cupsWidth = width;
        header.cupsHeight = height;
        header.cupsBytesPerLine = width * 3;
        header.PageSize[0] = width * 72 / dpi;
        header.PageSize[1] = height * 72 / dpi;
        header.cupsInteger[CUPS_RASTER_PWG_TotalPageCount] = static_cast<unsigned>(pages);
        cupsRasterWriteHeader2(raster, &header);
        for (unsigned y = 0; y < height; ++y) {
            for (auto& b : line) b = static_cast<unsigned char>(random());
            cupsRasterWritePixels(raster, line.data(), static_cast<unsigned>(line.size()));
        }
    }
    cupsRasterClose(raster);
    return out;
}

// A command line's exit code and output (pdfinfo, ipptool, ss; `timeout` bounds it).
std::pair<int, std::string> run(const std::string& command) {
    temp_dir dir;
    int status = std::system(("timeout 30 " + command + " >" + (dir / "out") + " 2>&1").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(dir / "out")};
}

// The names in a folder, sorted; none when it is missing.
std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class PrinterService : public ::testing::Test {
protected:
    void SetUp() override {
        ::umask(022);
        env = prepare_service_environment(dir.path());
        ASSERT_TRUE(open_app_log(env.output));
        start_service();
        ASSERT_TRUE(wait_for_printers(env.port, 15s)) << log_text();
    }

    void TearDown() override {
        stop_printer_service();
        // Nothing here wakes the library's run loop: its own timer must end it promptly.
        auto asked = std::chrono::steady_clock::now();
        EXPECT_TRUE(wait_for_printer_service_end(5s));
        EXPECT_LT(std::chrono::steady_clock::now() - asked, 3s);
        EXPECT_TRUE(wait_until([&] { return !ipp_connect(env.port); }, 1s)) << "the port is still open";
        EXPECT_FALSE(fs::exists(env.output + "/spool")) << "the spool folder outlived the service";
        for (const std::string& name : entries(tmpdir->folder->path()))
            EXPECT_FALSE(name.starts_with("pappl")) << "the library left " << name << " in TMPDIR";
        close_app_log();
    }

    std::string sign_folder() const { return env.output + "/sign-myself"; }
    std::string request_folder() const { return env.output + "/request-signature"; }
    std::string log_text() const { return read_file(env.output + "/velunio-print.log"); }

    temp_dir dir;
    service_environment env;
};

TEST_F(PrinterService, BothPrintersReportTheirCapabilities) {
    int id = 1;
    for (auto [resource, name] :
         {std::pair{sign_myself, "Sign Myself (Velunio)"}, {request_signature, "Request Signature (Velunio)"}}) {
        auto [code, output] = run("ipptool -T 10 -t -d 'printer_name=" + std::string(name) + "' -d printer_id=" +
                                  std::to_string(id++) + " 'ipp://localhost:" + std::to_string(env.port) + resource +
                                  "' '" PRINTER_TEST_DATA_DIR "/get-printer.test'");
        EXPECT_EQ(code, 0) << output;
    }
}

// Whatever was printed lands as a private PDF that a reader opens, with the pages and page
// sizes that were printed; a PDF lands as it was sent.
TEST_F(PrinterService, EveryFormatLandsAsAPdfOfWhatWasPrinted) {
    struct printed {
        std::string name, format, document;
        std::map<std::string, std::string> attributes;
        int pages;
        double width, height;  // points
    };
    const std::string data = PRINTER_TEST_DATA_DIR;
    const std::vector<printed> table{
        {"contract", "application/pdf", make_pdf(595, 842, 300000), {}, 1, 595, 842},
        {"scan", "image/pwg-raster", make_raster(2, 300, 150, 100), {}, 2, 216, 108},
        {"phone", "image/urf", make_raster(1, 200, 400, 200, true), {}, 1, 72, 144},
        {"photo", "image/jpeg", read_file(data + "/red.jpg"), {{"media", "iso_a4_210x297mm"}}, 1, 595.28, 841.89},
        {"picture", "image/png", read_file(data + "/blue.png"), {{"media", "na_letter_8.5x11in"}}, 1, 612, 792},
    };
    for (const printed& p : table) {
        // A raster stream is printed as it arrives, so each job waits for the one before.
        std::optional<int> id = print_job(env.port, sign_myself, p.name, p.format, p.document, p.attributes);
        ASSERT_TRUE(id) << p.name;
        std::string end = job_end(env.port, sign_myself, *id);
        ASSERT_TRUE(end.starts_with("completed " + std::to_string(p.pages) + " "))
            << p.name << ": " << end << "\n" << log_text();

        std::string landed = sign_folder() + "/" + p.name + ".pdf";
        auto [code, info] = run("pdfinfo '" + landed + "'");
        std::smatch pages, size;
        ASSERT_TRUE(code == 0 && std::regex_search(info, pages, std::regex(R"(Pages:\s+(\d+))")) &&
                    std::regex_search(info, size, std::regex(R"(Page size:\s+([\d.]+) x ([\d.]+) pts)")))
            << p.name << " does not open as a PDF: " << info;
        EXPECT_EQ(std::stoi(pages[1]), p.pages) << p.name;
        EXPECT_NEAR(std::stod(size[1]), p.width, 0.6) << p.name;
        EXPECT_NEAR(std::stod(size[2]), p.height, 0.6) << p.name;
        if (p.format == "application/pdf") {
            EXPECT_EQ(read_file(landed), p.document) << "the PDF was changed on its way";
        }
        EXPECT_EQ(file_mode(landed), 0600u) << p.name;
    }
    EXPECT_EQ(entries(sign_folder()).size(), table.size()) << ::testing::PrintToString(entries(sign_folder()));
    for (const std::string& folder :
         {env.output, sign_folder(), request_folder(), env.output + "/spool", env.output + "/WebKit"})
        EXPECT_EQ(file_mode(folder), 0700u) << folder;
}

// The library may start a second thread for a job it is already printing when jobs arrive
// back to back; every job must still land exactly once and end completed.
TEST_F(PrinterService, JobsFromTwoClientsBackToBackLandOnceEachAndComplete) {
    constexpr int per_client = 300;
    const std::string pdf = make_pdf(612, 792);
    std::vector<std::vector<std::pair<const char*, int>>> ids(2);
    std::vector<std::thread> clients;
    for (int c = 0; c < 2; ++c)
        clients.emplace_back([&, c] {
            for (int i = 0; i < per_client; ++i) {
                const char* printer = (i + c) % 2 ? request_signature : sign_myself;
                std::string name = "c" + std::to_string(c) + "-" + std::to_string(i);
                if (auto id = print_job(env.port, printer, name, "application/pdf", pdf)) ids[c].emplace_back(printer, *id);
            }
        });
    for (auto& client : clients) client.join();
    ASSERT_EQ(ids[0].size() + ids[1].size(), 2u * per_client);
    for (const auto& client : ids)
        for (auto [printer, id] : client) {
            std::string end = job_end(env.port, printer, id);
            EXPECT_TRUE(end.starts_with("completed 1 ")) << printer << " job " << id << ": " << end;
        }
    std::this_thread::sleep_for(200ms);  // a late second copy would show by now
    std::multiset<std::string> landed;
    for (const std::string& folder : {sign_folder(), request_folder()})
        for (const std::string& name : entries(folder)) landed.insert(name);
    EXPECT_EQ(landed.size(), 2u * per_client);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < per_client; ++i)
            EXPECT_EQ(landed.count("c" + std::to_string(c) + "-" + std::to_string(i) + ".pdf"), 1u) << c << "-" << i;
}

// Soak: scripts/soak-printer runs this one 50 times in a row.
TEST_F(PrinterService, JobNamesCannotEscapeOrBreakTheFolder) {
    const std::vector<std::string> names{
        "../../escape", "a/b\\c:d", "quote\"d 'single'", "Übersicht – Straße ñ", "tab\there\nnew line",
        std::string(199, 'a') + std::string(60, ':'), std::string(300, '/'), std::string(1000, 'x'),
        "bad\xff\xfe bytes", "..", "report.PDF", "",
    };
    const std::vector<std::string> before = entries(env.output);
    std::vector<int> ids;
    for (const std::string& name : names) {
        auto id = print_job(env.port, sign_myself, name, "application/pdf", make_pdf(612, 792));
        ASSERT_TRUE(id) << name;
        ids.push_back(*id);
    }
    for (int id : ids)
        EXPECT_TRUE(job_end(env.port, sign_myself, id, 15s).starts_with("completed ")) << "job " << id << "\n" << log_text();
    EXPECT_EQ(entries(env.output), before) << "a job wrote outside its folder";
    EXPECT_FALSE(fs::exists(dir / "escape.pdf"));
    std::vector<std::string> landed = entries(sign_folder());
    EXPECT_EQ(landed.size(), names.size()) << ::testing::PrintToString(landed);
    for (const std::string& file : landed) {
        EXPECT_LE(file.size(), 255u);
        EXPECT_TRUE(file.ends_with(".pdf") && file.front() != '.') << file;
    }
    for (const char* expected : {"Übersicht – Straße ñ.pdf", "report.pdf", "tab here new line.pdf"})
        EXPECT_EQ(std::count(landed.begin(), landed.end(), expected), 1) << expected;
}

TEST_F(PrinterService, CancelledAndBrokenJobsLeaveNoFile) {
    // A JPEG that is not one; a raster stream whose client goes away mid-page; a raster job
    // cancelled while it prints. Jobs on one printer are numbered 1, 2, 3.
    const char* printer = request_signature;
    std::string broken_jpeg = std::string("\xff\xd8\xff\xe0", 4) + std::string(5000, 'x');
    ASSERT_TRUE(print_job(env.port, printer, "broken", "image/jpeg", broken_jpeg));
    job_end(env.port, printer, 1, 10s);
    std::string raster = make_raster(1, 600, 400, 100), half = raster.substr(0, raster.size() / 2);
    {
        streaming_job cut(env.port, printer, "cut", "image/pwg-raster");
        ASSERT_TRUE(cut.send(half));
        ASSERT_TRUE(wait_until([&] { return job_end(env.port, printer, 2, 0s).starts_with("processing"); }, 10s));
        cut.abandon();
    }
    job_end(env.port, printer, 2, 10s);
    streaming_job cancelled(env.port, printer, "cancel me", "image/pwg-raster");
    ASSERT_TRUE(cancelled.send(half));
    ASSERT_TRUE(wait_until([&] { return job_end(env.port, printer, 3, 0s).starts_with("processing"); }, 10s));
    ipp_ptr answer = ask(IPP_OP_CANCEL_JOB, env.port, printer, 3);
    ASSERT_TRUE(answer && ippGetStatusCode(answer.get()) == IPP_STATUS_OK);
    cancelled.send(raster.substr(raster.size() / 2));
    cancelled.finish();

    // An aborted job says which error ended it.
    for (auto [id, end] : {std::pair{1, "aborted .*-error\\b.*"}, {2, "aborted .*-error\\b.*"}, {3, "canceled .*"}})
        EXPECT_TRUE(std::regex_match(job_end(env.port, printer, id, 10s), std::regex(end)))
            << "job " << id << ": " << job_end(env.port, printer, id);
    EXPECT_EQ(entries(request_folder()), std::vector<std::string>{});
    // The library's lines reach the log through a reader thread.
    EXPECT_TRUE(wait_until([&] { return log_text().find("[Job 2]") != std::string::npos; }, 5s)) << log_text();
}

TEST_F(PrinterService, ListensOnLoopbackOnlyAndSharesTheLogAcrossRotation) {
    auto [code, listening] = run("ss -Hltnp");
    int ours = 0;
    std::istringstream lines(listening);
    for (std::string line, state, queued, backlog, local; std::getline(lines, line);) {
        if (line.find("pid=" + std::to_string(::getpid()) + ",") == std::string::npos) continue;
        std::istringstream(line) >> state >> queued >> backlog >> local;
        EXPECT_TRUE(local.starts_with("127.") || local.starts_with("[::1]:")) << "listening on " << local;
        ++ours;
    }
    EXPECT_GE(ours, 1) << listening;

    // The library's lines come through the application's writer: one rotation, whole lines.
    std::string filler(200, 'f');
    while (fs::file_size(env.output + "/velunio-print.log") < app_log_rotate_size) app_log("[test] %s", filler.c_str());
    app_log("[test] rotation due");
    ASSERT_TRUE(print_job(env.port, sign_myself, "broken", "image/jpeg", "\xff\xd8\xff\xe0 not a jpeg"));
    ASSERT_TRUE(wait_until([&] { return log_text().find("[Job 1]") != std::string::npos; }, 10s)) << log_text();
    std::string rotated = read_file(env.output + "/velunio-print.log.1");
    EXPECT_GE(rotated.size(), app_log_rotate_size);
    std::regex whole(R"(\[\d\d:\d\d:\d\d\] .*|[DIWEF] \[.*|--- Velunio Printaro started .*|)");
    for (const std::string& text : {rotated, log_text()}) {
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);)
            EXPECT_TRUE(std::regex_match(line, whole)) << "broken line: " << line.substr(0, 120);
    }
}

TEST(PrinterServiceFailures, AMissingOutputFolderOrATakenPortIsLogged) {
    temp_dir dir;
    service_environment env = prepare_service_environment(dir.path());
    std::string missing = dir / "missing";
    setenv("VELUNIO_OUTPUT_DIR", missing.c_str(), 1);
    setenv("VELUNIO_LOG_FILE", (dir / "service.log").c_str(), 1);
    start_service();
    EXPECT_TRUE(wait_until([&] {
        std::string log = read_file(dir / "service.log");
        return log.find("Cannot create sub-directory '" + missing + "/sign-myself'") != std::string::npos &&
               log.find("Cannot create sub-directory '" + missing + "/request-signature'") != std::string::npos;
    }, 10s)) << read_file(dir / "service.log");
    EXPECT_FALSE(wait_for_printers(env.port, 500ms));  // the system serves on, without printers
    EXPECT_TRUE(printer_service_running());
    stop_printer_service();
    EXPECT_TRUE(wait_for_printer_service_end(10s));

    int taken = loopback_socket(env.port);
    ASSERT_EQ(::listen(taken, 1), 0);
    setenv("VELUNIO_OUTPUT_DIR", env.output.c_str(), 1);
    start_service();
    EXPECT_TRUE(wait_for_printer_service_end(10s));
    ::close(taken);
    std::string log = read_file(dir / "service.log");
    EXPECT_TRUE(contains(log, "Failed to add TCP listeners on port " + std::to_string(env.port) + ".")) << log;
}

// A killed service leaves its jobs where only the next start finds them, and that start
// removes them: afterwards nothing of the jobs is anywhere but what landed.
TEST(PrinterServiceProcess, AfterAKillAndARestartNoCopyOfAJobRemains) {
    temp_dir dir;
    service_environment env = prepare_service_environment(dir.path());
    std::string tmp = dir / "tmp";
    ::mkdir(tmp.c_str(), 0700);
    auto spawn = [&] {
        pid_t pid = ::fork();
        if (pid == 0) {
            setenv("TMPDIR", tmp.c_str(), 1);
            ::execl(PRINTER_SERVICE_HOST, PRINTER_SERVICE_HOST, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        return pid;
    };
    auto kill_host = [](pid_t pid) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    };
    pid_t host = spawn();
    bool started = wait_for_printers(env.port, 15s);
    std::string raster = make_raster(1, 600, 400, 100), pdf = make_pdf(612, 792, 4'000'000);
    streaming_job printing(env.port, sign_myself, "killed", "image/pwg-raster");
    printing.send(raster.substr(0, raster.size() / 2));
    streaming_job spooling(env.port, request_signature, "spooled", "application/pdf");
    spooling.send(pdf.substr(0, pdf.size() / 2));
    bool busy = wait_until([&] { return !entries(env.output + "/spool").empty(); }, 10s);
    kill_host(host);
    ASSERT_TRUE(started);
    EXPECT_TRUE(busy) << "the job never reached the spool folder";

    int port = free_loopback_port();
    setenv("VELUNIO_IPP_PORT", std::to_string(port).c_str(), 1);
    host = spawn();
    started = wait_for_printers(port, 15s);
    kill_host(host);
    ASSERT_TRUE(started);
    for (const char* folder : {"/spool", "/sign-myself", "/request-signature"})
        EXPECT_EQ(entries(env.output + folder), std::vector<std::string>{}) << folder;
    EXPECT_EQ(entries(tmp), std::vector<std::string>{});
}

}  // namespace
