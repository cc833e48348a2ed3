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

#include <filesystem>
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

// Without its own spool folder (a missing output folder) the library makes one under TMPDIR and
// leaves it there at exit; the process's own TMPDIR, removed at its end, keeps /tmp clean.
const temp_dir private_tmpdir;
[[maybe_unused]] const int private_tmpdir_set = setenv("TMPDIR", private_tmpdir.path().c_str(), 1);

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(10ms))
        if (condition()) return true;
    return condition();
}

// A TCP socket bound on loopback at `port` (0: a free one, whose number goes into `port`).
int loopback_socket(int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    auto* address = reinterpret_cast<sockaddr*>(&addr);
    if (::bind(fd, address, len) == 0 && ::getsockname(fd, address, &len) == 0) port = ntohs(addr.sin_port);
    return fd;
}

struct service_environment {
    std::string output;  // VELUNIO_OUTPUT_DIR
    int port = 0;        // VELUNIO_IPP_PORT
};

// Every variable the service reads, pointed at folders under `root` and a free port; the
// output folder made as start-up makes it.
service_environment prepare_service_environment(const std::string& root) {
    service_environment env{root + "/out"};
    ::close(loopback_socket(env.port));
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
    // The job's id, or none when refused. A job dropped before this leaves its document unfinished.
    std::optional<int> finish() {
        if (!started) return std::nullopt;
        ipp_ptr answer(cupsGetResponse(http.get(), resource.c_str()), ippDelete);
        if (!answer || ippGetStatusCode(answer.get()) > IPP_STATUS_OK_EVENTS_COMPLETE) return std::nullopt;
        ipp_attribute_t* id = ippFindAttribute(answer.get(), "job-id", IPP_TAG_INTEGER);
        return id ? std::optional(ippGetInteger(id, 0)) : std::nullopt;
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

// An empty one-page PDF of that size in points.
std::string make_pdf(double width, double height) {
    std::string pdf;
    auto append = [](void* to, const unsigned char* data, unsigned length) {
        static_cast<std::string*>(to)->append(reinterpret_cast<const char*>(data), length);
        return CAIRO_STATUS_SUCCESS;
    };
    cairo_surface_destroy(cairo_pdf_surface_create_for_stream(append, &pdf, width, height));
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
        EXPECT_TRUE(wait_for_printer_service_end(3s));
        EXPECT_TRUE(wait_until([&] { return !ipp_connect(env.port); }, 1s)) << "the port is still open";
        EXPECT_FALSE(fs::exists(env.output + "/spool")) << "the spool folder outlived the service";
        close_app_log();
    }

    std::string sign_folder() const { return env.output + "/sign-myself"; }
    std::string request_folder() const { return env.output + "/request-signature"; }
    std::string log_text() const { return read_file(env.output + "/velunio-print.log"); }

    temp_dir dir;
    service_environment env;
};

// Each printer answers with its capabilities; nothing of the service listens beyond loopback.
TEST_F(PrinterService, BothPrintersAnswerWithTheirCapabilitiesOnLoopbackOnly) {
    for (auto [resource, name, id] : {std::tuple{sign_myself, "Sign Myself (Velunio)", 1},
                                      {request_signature, "Request Signature (Velunio)", 2}}) {
        auto [code, output] = run("ipptool -T 10 -t -d 'printer_name=" + std::string(name) + "' -d printer_id=" +
                                  std::to_string(id) + " 'ipp://localhost:" + std::to_string(env.port) + resource +
                                  "' '" PRINTER_TEST_DATA_DIR "/get-printer.test'");
        EXPECT_EQ(code, 0) << output;
    }
    auto [code, listening] = run("ss -Hltnp | grep 'pid=" + std::to_string(::getpid()) + ",' | awk '{print $4}'");
    int ours = 0;
    std::istringstream lines(listening);
    for (std::string local; std::getline(lines, local); ++ours)
        EXPECT_TRUE(local.starts_with("127.") || local.starts_with("[::1]:")) << "listening on " << local;
    EXPECT_GE(ours, 1) << listening;
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
    const std::vector<printed> table{
        {"contract", "application/pdf", make_pdf(595, 842), {}, 1, 595, 842},
        {"scan", "image/pwg-raster", make_raster(2, 300, 150, 100), {}, 2, 216, 108},
        {"phone", "image/urf", make_raster(1, 200, 400, 200, true), {}, 1, 72, 144},
        {"photo", "image/jpeg", read_file(PRINTER_TEST_DATA_DIR "/red.jpg"), {{"media", "iso_a4_210x297mm"}}, 1, 595.3, 841.9},
        {"picture", "image/png", read_file(PRINTER_TEST_DATA_DIR "/blue.png"), {{"media", "na_letter_8.5x11in"}}, 1, 612, 792},
        {"contract", "application/pdf", make_pdf(612, 792), {}, 1, 612, 792},  // a taken name is numbered
    };
    for (const printed& p : table) {
        // A raster stream is printed as it arrives, so each job waits for the one before.
        std::optional<int> id = print_job(env.port, sign_myself, p.name, p.format, p.document, p.attributes);
        ASSERT_TRUE(id) << p.name;
        std::string end = job_end(env.port, sign_myself, *id);
        ASSERT_TRUE(end.starts_with("completed " + std::to_string(p.pages) + " "))
            << p.name << ": " << end << "\n" << log_text();

        auto taken = std::count_if(table.data(), &p, [&](const printed& earlier) { return earlier.name == p.name; });
        std::string landed = sign_folder() + "/" + p.name + (taken ? "-" + std::to_string(taken + 1) : "") + ".pdf";
        auto [code, info] = run("pdfinfo '" + landed + "'");
        std::smatch read;
        const std::regex pages_and_size(R"(Pages:\s+(\d+)[\s\S]*Page size:\s+([\d.]+) x ([\d.]+) pts)");
        ASSERT_TRUE(code == 0 && std::regex_search(info, read, pages_and_size)) << p.name << " is not a PDF: " << info;
        EXPECT_EQ(std::stoi(read[1]), p.pages) << p.name;
        EXPECT_NEAR(std::stod(read[2]), p.width, 0.6) << p.name;
        EXPECT_NEAR(std::stod(read[3]), p.height, 0.6) << p.name;
        EXPECT_TRUE(p.format != "application/pdf" || read_file(landed) == p.document) << "the PDF was changed on its way";
        EXPECT_EQ(file_mode(landed), 0600u) << p.name;
    }
    EXPECT_EQ(entries(sign_folder()).size(), table.size()) << ::testing::PrintToString(entries(sign_folder()));
    for (const std::string& folder :
         {env.output, sign_folder(), request_folder(), env.output + "/spool", env.output + "/WebKit"})
        EXPECT_EQ(file_mode(folder), 0700u) << folder;
}

// The library may start a second thread for a job it is already printing when jobs arrive back to
// back; every job must still land exactly once and end completed, whatever follows its tag in its
// name. Soak: scripts/soak-printer runs this one 50 times in a row.
TEST_F(PrinterService, JobsFromTwoClientsBackToBackLandOnceEachWhateverTheirNames) {
    constexpr int per_client = 300;
    const std::vector<std::string> names{
        "../../escape", "a/b\\c:d", "quote\"d 'single'", "Übersicht – Straße ñ", "tab\there\nnew line",
        std::string(199, 'a') + std::string(60, ':'), std::string(300, '/'), std::string(1000, 'x'),
        "bad\xff\xfe bytes", "..", "report.PDF", "",
    };
    auto tag = [](int c, int i) { return "c" + std::to_string(c) + "-" + std::to_string(i); };
    const std::string pdf = make_pdf(612, 792);
    const std::vector<std::string> before = entries(env.output);
    std::vector<std::vector<std::pair<const char*, int>>> ids(2);
    std::vector<std::thread> clients;
    for (int c = 0; c < 2; ++c)
        clients.emplace_back([&, c] {
            for (int i = 0; i < per_client; ++i) {
                const char* printer = (i + c) % 2 ? request_signature : sign_myself;
                std::string name = tag(c, i) + " " + names[i % names.size()];
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
    EXPECT_EQ(entries(env.output), before) << "a job wrote outside its folder";
    std::multiset<std::string> files, tags;
    const std::regex tagged(R"((c\d-\d+)( .+)?\.pdf)");
    for (const std::string& folder : {sign_folder(), request_folder()})
        for (const std::string& name : entries(folder)) {
            std::smatch match;
            EXPECT_TRUE(name.size() <= 255 && std::regex_match(name, match, tagged)) << name;
            files.insert(name);
            tags.insert(match[1]);
        }
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < per_client; ++i) EXPECT_EQ(tags.count(tag(c, i)), 1u) << tag(c, i);
    for (const char* expected : {"c0-3 Übersicht – Straße ñ.pdf", "c0-4 tab here new line.pdf", "c0-10 report.pdf"})
        EXPECT_EQ(files.count(expected), 1u) << expected;
}

// A JPEG that is not one, a raster stream whose client goes away mid-page and a raster job
// cancelled while it prints end aborted or canceled and leave no file. The library's lines come
// through the application's writer: after its rotation, as whole lines.
TEST_F(PrinterService, BrokenAndCancelledJobsLeaveNoFileAndLogWholeLinesAcrossARotation) {
    std::string filler(200, 'f');
    while (fs::file_size(env.output + "/velunio-print.log") < app_log_rotate_size) app_log("[test] %s", filler.c_str());
    app_log("[test] rotation due");
    // Jobs on one printer are numbered 1, 2, 3.
    const char* printer = request_signature;
    std::string broken_jpeg = std::string("\xff\xd8\xff\xe0", 4) + std::string(5000, 'x');
    ASSERT_TRUE(print_job(env.port, printer, "broken", "image/jpeg", broken_jpeg));
    job_end(env.port, printer, 1, 10s);
    std::string raster = make_raster(1, 600, 400, 100), half = raster.substr(0, raster.size() / 2);
    {
        streaming_job cut(env.port, printer, "cut", "image/pwg-raster");
        ASSERT_TRUE(cut.send(half));
        ASSERT_TRUE(wait_until([&] { return job_end(env.port, printer, 2, 0s).starts_with("processing"); }, 10s));
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
    EXPECT_TRUE(wait_until([&] { return log_text().find("[Job 2]") != std::string::npos; }, 5s)) << log_text();
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
    auto logged = [&](const std::string& line) { return contains(read_file(dir / "service.log"), line); };
    EXPECT_TRUE(wait_until([&] {
        return logged("Cannot create sub-directory '" + missing + "/sign-myself'") &&
               logged("Cannot create sub-directory '" + missing + "/request-signature'");
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
    EXPECT_TRUE(logged("Failed to add TCP listeners on port " + std::to_string(env.port))) << read_file(dir / "service.log");
}

// A killed service leaves its jobs where only the next start finds them, and that start
// removes them: afterwards nothing of the jobs is anywhere but what landed.
TEST(PrinterServiceProcess, AfterAKillAndARestartNoCopyOfAJobRemains) {
    temp_dir dir;
    service_environment env = prepare_service_environment(dir.path());
    const temp_dir tmp;
    auto spawn = [&] {
        pid_t pid = ::fork();
        if (pid == 0) {
            setenv("TMPDIR", tmp.path().c_str(), 1);
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
    // Only the first half of each document is sent.
    std::string raster = make_raster(1, 600, 400, 100), pdf = "%PDF-1.7\n" + std::string(4'000'000, '%');
    streaming_job printing(env.port, sign_myself, "killed", "image/pwg-raster");
    printing.send(raster.substr(0, raster.size() / 2));
    streaming_job spooling(env.port, request_signature, "spooled", "application/pdf");
    spooling.send(pdf.substr(0, pdf.size() / 2));
    bool busy = wait_until([&] { return !entries(env.output + "/spool").empty(); }, 10s);
    kill_host(host);
    ASSERT_TRUE(started);
    EXPECT_TRUE(busy) << "the job never reached the spool folder";

    int port = 0;
    ::close(loopback_socket(port));
    setenv("VELUNIO_IPP_PORT", std::to_string(port).c_str(), 1);
    host = spawn();
    started = wait_for_printers(port, 15s);
    kill_host(host);
    ASSERT_TRUE(started);
    for (const char* folder : {"/spool", "/sign-myself", "/request-signature"})
        EXPECT_EQ(entries(env.output + folder), std::vector<std::string>{}) << folder;
    EXPECT_EQ(entries(tmp.path()), std::vector<std::string>{});
}

}  // namespace
