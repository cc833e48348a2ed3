// The printer service as the program runs it: on its own thread, in this process, with a
// private output folder and port, driven over IPP.
#include "printer_test_support.h"

#include "base/app_log.h"
#include "base/app_state.h"
#include "printer/printer_service.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// The library would put a spool folder under TMPDIR; a private TMPDIR shows that it does not.
class private_tmpdir : public ::testing::Environment {
public:
    void SetUp() override
    {
        folder = std::make_unique<temp_dir>();
        setenv("TMPDIR", folder->path().c_str(), 1);
    }
    void TearDown() override { folder.reset(); }
    std::unique_ptr<temp_dir> folder;
};
auto* const tmpdir = static_cast<private_tmpdir*>(::testing::AddGlobalTestEnvironment(new private_tmpdir));

unsigned mode_of(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
}

std::vector<std::string> entries(const std::string& folder)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        names.push_back(entry.path().filename().string());
    return names;
}

class PrinterService : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::umask(022);
        env = prepare_service_environment(dir.path());
        ASSERT_TRUE(open_app_log(env.output));
        start_printer_service(printer_service_settings_from_environment(derive_output_dir_from_environment()));
        ASSERT_TRUE(wait_for_printers(env.port, 15s)) << log_text();
    }

    void TearDown() override
    {
        stop_printer_service();
        // Nothing here wakes the library's run loop: its own timer must end it promptly.
        auto asked = std::chrono::steady_clock::now();
        EXPECT_TRUE(wait_for_printer_service_end(5s));
        EXPECT_LT(std::chrono::steady_clock::now() - asked, 3s);
        EXPECT_TRUE(wait_for_port_closed(env.port, 1s));
        EXPECT_FALSE(fs::exists(env.output + "/spool")) << "the spool folder outlived the service";
        for (const std::string& name : entries(tmpdir->folder->path()))
            EXPECT_FALSE(name.starts_with("pappl")) << "the library left " << name << " in TMPDIR";
        close_app_log();
    }

    std::string sign_folder() const { return env.output + "/sign-myself"; }
    std::string request_folder() const { return env.output + "/request-signature"; }
    std::string log_text() const { return read_file(env.output + "/velunio-print.log"); }

    environment_guard saved;  // declared first: restored after the folder is gone
    temp_dir dir;
    service_environment env;
};

TEST_F(PrinterService, BothPrintersReportTheirCapabilities)
{
    int id = 1;
    for (auto [resource, name] : {std::pair{sign_myself_resource, "Sign Myself (Velunio)"},
                                  std::pair{request_signature_resource, "Request Signature (Velunio)"}}) {
        std::string uri = "ipp://localhost:" + std::to_string(env.port) + resource;
        process_result result = run_process({"ipptool", "-T", "10", "-t", "-d", std::string("printer_name=") + name,
                                             "-d", "printer_id=" + std::to_string(id++), uri,
                                             std::string(PRINTER_TEST_DATA_DIR) + "/get-printer.test"},
                                            30s);
        EXPECT_EQ(result.exit_code, 0) << result.output;
    }
}

// Whatever was printed lands as a PDF that a reader opens, with the pages and page sizes
// that were printed; a PDF lands as it was sent.
TEST_F(PrinterService, EveryFormatLandsAsAPdfOfWhatWasPrinted)
{
    struct printed {
        std::string name, format, document;
        std::map<std::string, std::string> attributes;
        int pages;
        double width, height;  // points
    };
    const std::vector<printed> table{
        {"contract", "application/pdf", text_pdf(595, 842, "Original text", 300000), {}, 1, 595, 842},
        {"scan", "image/pwg-raster", make_raster(2, 300, 150, 100), {}, 2, 216, 108},
        {"phone", "image/urf", make_raster(1, 200, 400, 200, true), {}, 1, 72, 144},
        {"photo", "image/jpeg", read_file(std::string(PRINTER_TEST_DATA_DIR) + "/red.jpg"),
         {{"media", "iso_a4_210x297mm"}}, 1, 595.28, 841.89},
        {"picture", "image/png", make_png(30, 20), {{"media", "na_letter_8.5x11in"}}, 1, 612, 792},
    };
    for (const printed& p : table) {
        // A raster stream is printed as it arrives, so each job waits for the one before.
        std::optional<int> id = print_job(env.port, sign_myself_resource, p.name, p.format, p.document, p.attributes);
        ASSERT_TRUE(id) << p.name;
        std::optional<job_status> status = wait_for_job_end(env.port, sign_myself_resource, *id, 20s);
        ASSERT_TRUE(status) << p.name;
        EXPECT_EQ(status->state, IPP_JSTATE_COMPLETED) << p.name << "\n" << log_text();
        EXPECT_EQ(status->impressions_completed, p.pages) << p.name;

        std::string landed = sign_folder() + "/" + p.name + ".pdf";
        std::string bytes = read_file(landed);
        EXPECT_TRUE(bytes.starts_with("%PDF")) << p.name;
        std::optional<pdf_facts> facts = pdf_info(landed);
        ASSERT_TRUE(facts) << p.name << " does not open as a PDF";
        EXPECT_EQ(facts->pages, p.pages) << p.name;
        EXPECT_NEAR(facts->width, p.width, 0.6) << p.name;
        EXPECT_NEAR(facts->height, p.height, 0.6) << p.name;
        if (p.format == "application/pdf") {
            EXPECT_EQ(bytes, p.document) << "the PDF was changed on its way";
        }
        EXPECT_EQ(mode_of(landed), 0600u) << p.name;
    }
    EXPECT_EQ(pdf_files(sign_folder()).size(), table.size());
    EXPECT_TRUE(temp_files(sign_folder()).empty());
    for (const std::string& folder : {env.output, sign_folder(), request_folder(), env.output + "/spool",
                                      env.output + "/WebKit"})
        EXPECT_EQ(mode_of(folder), 0700u) << folder;
}

// The library may start a second thread for a job it is already printing when jobs arrive
// back to back; every job must still land exactly once and end completed.
TEST_F(PrinterService, JobsFromTwoClientsBackToBackLandOnceEachAndComplete)
{
    constexpr int per_client = 300;
    std::vector<std::vector<std::pair<const char*, int>>> ids(2);
    std::vector<std::thread> clients;
    for (int c = 0; c < 2; ++c)
        clients.emplace_back([&, c] {
            for (int i = 0; i < per_client; ++i) {
                const char* resource = (i + c) % 2 ? request_signature_resource : sign_myself_resource;
                std::string name = "c" + std::to_string(c) + "-" + std::to_string(i);
                if (auto id = print_job(env.port, resource, name, "application/pdf", text_pdf(612, 792, name)))
                    ids[c].emplace_back(resource, *id);
            }
        });
    for (auto& client : clients)
        client.join();
    ASSERT_EQ(ids[0].size() + ids[1].size(), 2u * per_client);
    for (const auto& client : ids)
        for (auto [resource, id] : client) {
            std::optional<job_status> status = wait_for_job_end(env.port, resource, id, 20s);
            ASSERT_TRUE(status) << resource << " job " << id;
            EXPECT_EQ(status->state, IPP_JSTATE_COMPLETED)
                << resource << " job " << id << ": " << ::testing::PrintToString(status->reasons);
            EXPECT_EQ(status->impressions_completed, 1) << resource << " job " << id;
        }
    std::this_thread::sleep_for(200ms);  // a late second copy would show by now
    std::multiset<std::string> landed;
    for (const std::string& folder : {sign_folder(), request_folder()})
        for (const std::string& name : pdf_files(folder))
            landed.insert(name);
    EXPECT_EQ(landed.size(), 2u * per_client);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < per_client; ++i)
            EXPECT_EQ(landed.count("c" + std::to_string(c) + "-" + std::to_string(i) + ".pdf"), 1u) << c << "-" << i;
}

// Soak: scripts/soak-printer runs this one 50 times in a row.
TEST_F(PrinterService, JobNamesCannotEscapeOrBreakTheFolder)
{
    const std::vector<std::string> names{
        "../../escape", "a/b\\c:d", "quote\"d 'single'", "Übersicht – Straße ñ", "tab\there\nnew line",
        std::string(199, 'a') + std::string(60, ':'), std::string(300, '/'), std::string(1000, 'x'),
        "bad\xff\xfe bytes", "..", "report.PDF", "",
    };
    std::set<std::string> before;
    for (const std::string& name : entries(env.output))
        before.insert(name);
    std::vector<int> ids;
    for (const std::string& name : names) {
        auto id = print_job(env.port, sign_myself_resource, name, "application/pdf", text_pdf(612, 792, "x"));
        ASSERT_TRUE(id) << name;
        ids.push_back(*id);
    }
    for (int id : ids) {
        auto status = wait_for_job_end(env.port, sign_myself_resource, id, 15s);
        ASSERT_TRUE(status);
        EXPECT_EQ(status->state, IPP_JSTATE_COMPLETED) << "job " << id << "\n" << log_text();
    }
    std::vector<std::string> after = entries(env.output);
    EXPECT_EQ(before, std::set<std::string>(after.begin(), after.end())) << "a job wrote outside its folder";
    EXPECT_FALSE(fs::exists(dir / "escape.pdf"));
    std::vector<std::string> landed = pdf_files(sign_folder());
    EXPECT_EQ(landed.size(), names.size()) << ::testing::PrintToString(landed);
    for (const std::string& file : landed) {
        EXPECT_LE(file.size(), 255u);
        EXPECT_NE(file.front(), '.') << file;
    }
    for (const char* expected : {"Übersicht – Straße ñ.pdf", "report.pdf", "tab here new line.pdf"})
        EXPECT_EQ(std::count(landed.begin(), landed.end(), expected), 1) << expected;
}

TEST_F(PrinterService, CancelledAndBrokenJobsLeaveNoFile)
{
    // A JPEG that is not one; a raster stream whose client goes away mid-page; a raster job
    // cancelled while it prints. Jobs on one printer are numbered 1, 2, 3.
    const char* printer = request_signature_resource;
    std::string broken_jpeg = std::string("\xff\xd8\xff\xe0", 4) + std::string(5000, 'x');
    ASSERT_TRUE(print_job(env.port, printer, "broken", "image/jpeg", broken_jpeg));
    ASSERT_TRUE(wait_for_job_end(env.port, printer, 1, 10s));
    std::string raster = make_raster(1, 600, 400, 100);
    {
        streaming_job cut(env.port, printer, "cut", "image/pwg-raster");
        ASSERT_TRUE(cut.send(raster.substr(0, raster.size() / 2)));
        ASSERT_TRUE(wait_until([&] { return job_status_of(env.port, printer, 2)->state == IPP_JSTATE_PROCESSING; }, 10s));
        cut.abandon();
    }
    ASSERT_TRUE(wait_for_job_end(env.port, printer, 2, 10s));
    streaming_job cancelled(env.port, printer, "cancel me", "image/pwg-raster");
    ASSERT_TRUE(cancelled.send(raster.substr(0, raster.size() / 2)));
    ASSERT_TRUE(wait_until([&] { return job_status_of(env.port, printer, 3)->state == IPP_JSTATE_PROCESSING; }, 10s));
    ASSERT_TRUE(cancel_job(env.port, printer, 3));
    cancelled.send(raster.substr(raster.size() / 2));
    cancelled.finish();

    for (auto [id, state] : {std::pair{1, IPP_JSTATE_ABORTED}, {2, IPP_JSTATE_ABORTED}, {3, IPP_JSTATE_CANCELED}}) {
        std::optional<job_status> status = wait_for_job_end(env.port, printer, id, 10s);
        ASSERT_TRUE(status) << "job " << id;
        EXPECT_EQ(status->state, state) << "job " << id;
        if (state == IPP_JSTATE_ABORTED) {
            EXPECT_TRUE(std::any_of(status->reasons.begin(), status->reasons.end(),
                                    [](const std::string& r) { return r.ends_with("-error"); }))
                << "job " << id << ": " << ::testing::PrintToString(status->reasons);
        }
    }
    EXPECT_TRUE(pdf_files(request_folder()).empty());
    EXPECT_TRUE(temp_files(request_folder()).empty());
    // The library's lines reach the log through a reader thread.
    EXPECT_TRUE(wait_until([&] { return log_text().find("[Job 2]") != std::string::npos; }, 5s)) << log_text();
}

TEST_F(PrinterService, ListensOnLoopbackOnlyAndSharesTheLogAcrossRotation)
{
    std::set<std::string> sockets;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        std::string target = fs::read_symlink(entry.path(), error).string();
        if (target.starts_with("socket:["))
            sockets.insert(target.substr(8, target.size() - 9));
    }
    int listening = 0;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line, slot, local, remote, state, skip, inode;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            fields >> slot >> local >> remote >> state >> skip >> skip >> skip >> skip >> skip >> inode;
            if (state != "0A" || !sockets.count(inode))
                continue;
            std::string address = local.substr(0, local.find(':'));
            EXPECT_TRUE(address.size() == 8 ? address.substr(6) == "7F" : address == "00000000000000000000000001000000")
                << table << ": listening on " << local;
            ++listening;
        }
    }
    EXPECT_GE(listening, 1);

    // The library's lines come through the application's writer: one rotation, whole lines.
    std::string filler(200, 'f');
    while (fs::file_size(env.output + "/velunio-print.log") < app_log_rotate_size)
        app_log("[test] %s", filler.c_str());
    app_log("[test] rotation due");
    ASSERT_TRUE(print_job(env.port, sign_myself_resource, "broken", "image/jpeg", "\xff\xd8\xff\xe0 not a jpeg"));
    ASSERT_TRUE(wait_until([&] { return log_text().find("[Job 1]") != std::string::npos; }, 10s)) << log_text();
    std::string rotated = read_file(env.output + "/velunio-print.log.1");
    EXPECT_GE(rotated.size(), app_log_rotate_size);
    for (const std::string& text : {rotated, log_text()}) {
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            bool app_line = line.size() > 11 && line[0] == '[' && line[9] == ']';
            bool library_line = line.size() > 3 && std::string("DIWEF").find(line[0]) != std::string::npos &&
                                line.substr(1, 2) == " [";
            EXPECT_TRUE(app_line || library_line || line.empty() || line.starts_with("--- Velunio Printaro started"))
                << "broken line: " << line.substr(0, 120);
        }
    }
}

TEST(PrinterServiceFailures, AMissingOutputFolderOrATakenPortIsLogged)
{
    environment_guard saved;
    temp_dir dir;
    service_environment env = prepare_service_environment(dir.path());
    std::string missing = dir / "missing";
    setenv("VELUNIO_OUTPUT_DIR", missing.c_str(), 1);
    setenv("VELUNIO_LOG_FILE", (dir / "service.log").c_str(), 1);
    start_printer_service(printer_service_settings_from_environment(derive_output_dir_from_environment()));
    EXPECT_TRUE(wait_until(
        [&] {
            std::string log = read_file(dir / "service.log");
            return log.find("Cannot create sub-directory '" + missing + "/sign-myself'") != std::string::npos &&
                   log.find("Cannot create sub-directory '" + missing + "/request-signature'") != std::string::npos;
        },
        10s))
        << read_file(dir / "service.log");
    EXPECT_FALSE(wait_for_printers(env.port, 500ms));  // the system serves on, without printers
    EXPECT_TRUE(printer_service_running());
    stop_printer_service();
    EXPECT_TRUE(wait_for_printer_service_end(10s));

    int taken = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(env.port));
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    setenv("VELUNIO_OUTPUT_DIR", env.output.c_str(), 1);
    start_printer_service(printer_service_settings_from_environment(derive_output_dir_from_environment()));
    EXPECT_TRUE(wait_for_printer_service_end(10s));
    ::close(taken);
    EXPECT_NE(read_file(dir / "service.log").find("Failed to add TCP listeners on port " + std::to_string(env.port) + "."),
              std::string::npos);
}

// A killed service leaves its jobs where only the next start finds them, and that start
// removes them: afterwards nothing of the jobs is anywhere but what landed.
TEST(PrinterServiceProcess, AfterAKillAndARestartNoCopyOfAJobRemains)
{
    environment_guard saved;
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
        int status = 0;
        ::waitpid(pid, &status, 0);
    };
    pid_t host = spawn();
    bool started = wait_for_printers(env.port, 15s);
    std::string raster = make_raster(1, 600, 400, 100), pdf = text_pdf(612, 792, "killed", 4'000'000);
    streaming_job printing(env.port, sign_myself_resource, "killed", "image/pwg-raster");
    printing.send(raster.substr(0, raster.size() / 2));
    streaming_job spooling(env.port, request_signature_resource, "spooled", "application/pdf");
    spooling.send(pdf.substr(0, pdf.size() / 2));
    bool busy = wait_until([&] { return !entries(env.output + "/spool").empty(); }, 10s);
    kill_host(host);
    ASSERT_TRUE(started);
    EXPECT_TRUE(busy) << "the job never reached the spool folder";

    setenv("VELUNIO_IPP_PORT", std::to_string(free_loopback_port()).c_str(), 1);
    host = spawn();
    started = wait_for_printers(std::atoi(std::getenv("VELUNIO_IPP_PORT")), 15s);
    kill_host(host);
    ASSERT_TRUE(started);
    EXPECT_TRUE(entries(env.output + "/spool").empty());
    for (const char* flow : {"/sign-myself", "/request-signature"})
        EXPECT_TRUE(entries(env.output + flow).empty()) << flow;
    EXPECT_TRUE(entries(tmp).empty()) << ::testing::PrintToString(entries(tmp));
}

}  // namespace
