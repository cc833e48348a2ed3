// The printer service as the program runs it: on its own thread, in this process, with a
// private output folder and port, driven over IPP.
#include "printer_test_support.h"

#include "base/app_log.h"
#include "printer/flow_file.h"
#include "base/app_state.h"
#include "printer/printer_service.h"
#include "printer/service_config.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

using namespace std::chrono_literals;

namespace {

// The library puts its spool folder under TMPDIR, fixed once per process and left behind
// at exit; one folder per test process keeps /tmp clean.
class private_tmpdir : public ::testing::Environment {
public:
    void SetUp() override
    {
        folder = std::make_unique<temp_dir>();
        setenv("TMPDIR", folder->path().c_str(), 1);
    }
    void TearDown() override { folder.reset(); }

private:
    std::unique_ptr<temp_dir> folder;
};
const auto* const tmpdir_environment = ::testing::AddGlobalTestEnvironment(std::make_unique<private_tmpdir>().release());

std::vector<std::string> temp_files(const std::string& folder)
{
    std::vector<std::string> names;
    for (const std::string& name : flow_list_folder(folder))
        if (is_flow_temp_name(name))
            names.push_back(name);
    return names;
}

std::size_t largest_temp_file(const std::string& folder)
{
    std::size_t largest = 0;
    for (const std::string& name : temp_files(folder)) {
        struct stat info {};
        if (::stat((folder + "/" + name).c_str(), &info) == 0)
            largest = std::max(largest, static_cast<std::size_t>(info.st_size));
    }
    return largest;
}

class PrinterService : public ::testing::Test {
protected:
    void SetUp() override
    {
        env = prepare_service_environment(dir.path());
        ASSERT_TRUE(open_app_log(env.output));
        start_printer_service(printer_service_settings_from_environment(derive_output_dir_from_environment()));
        ASSERT_TRUE(wait_for_printers(env.port, 15s)) << read_file(env.output + "/velunio-print.log");
    }

    void TearDown() override
    {
        stop_printer_service();
        // Nothing here wakes the library's run loop: its own timer must end it promptly.
        auto asked = std::chrono::steady_clock::now();
        EXPECT_TRUE(wait_for_printer_service_end(5s));
        EXPECT_LT(std::chrono::steady_clock::now() - asked, 3s);
        EXPECT_TRUE(wait_for_port_closed(env.port, 1s));
        close_app_log();
    }

    std::string sign_folder() const { return env.output + "/sign-myself"; }
    std::string request_folder() const { return env.output + "/request-signature"; }
    std::string log_text() const { return read_file(env.output + "/velunio-print.log"); }

    environment_guard saved;  // declared first: restored after the folder is gone
    temp_dir dir;
    service_environment env;
};

TEST_F(PrinterService, BothPrintersReportTheDriversCapabilities)
{
    for (auto [resource, name] : {std::pair{sign_myself_resource, "Sign Myself (Velunio)"},
                                  std::pair{request_signature_resource, "Request Signature (Velunio)"}}) {
        process_result result = run_ipptool(env.port, resource, "get-printer.test", {{"printer_name", name}});
        EXPECT_EQ(result.exit_code, 0) << result.output;
    }
}

TEST_F(PrinterService, PdfJobsLandByteIdenticalAndTakeTheirNameByRename)
{
    folder_recorder recorder({sign_folder(), request_folder()});
    // Larger than one 64 KiB copy chunk.
    std::string first = binary_pdf(300000, 1), second = binary_pdf(150000, 2);
    write_file(dir / "first.pdf", first);
    write_file(dir / "second.pdf", second);

    process_result print = run_ipptool(env.port, sign_myself_resource, "print-job.test",
                                       {{"job_name", "contract"}, {"format", "application/pdf"}}, dir / "first.pdf");
    ASSERT_EQ(print.exit_code, 0) << print.output;
    process_result create = run_ipptool(env.port, request_signature_resource, "create-send.test",
                                        {{"job_name", "offer"}, {"format", "application/pdf"}}, dir / "second.pdf");
    ASSERT_EQ(create.exit_code, 0) << create.output;

    ASSERT_TRUE(wait_for_pdf_files(sign_folder(), 1, 10s));
    ASSERT_TRUE(wait_for_pdf_files(request_folder(), 1, 10s));
    EXPECT_EQ(pdf_files(sign_folder()), std::vector<std::string>{"contract.pdf"});
    EXPECT_EQ(pdf_files(request_folder()), std::vector<std::string>{"offer.pdf"});
    EXPECT_EQ(read_file(sign_folder() + "/contract.pdf"), first);
    EXPECT_EQ(read_file(request_folder() + "/offer.pdf"), second);
    EXPECT_TRUE(temp_files(sign_folder()).empty());
    EXPECT_TRUE(temp_files(request_folder()).empty());

    std::map<std::string, int> moved_in;
    for (const folder_event& e : recorder.events()) {
        if (!e.name.ends_with(".pdf"))
            continue;
        // Opens and closes come from this test's own reads (and from descriptors its forked
        // ipptool children held for an instant); writes under the final name must not occur.
        EXPECT_FALSE(e.mask & (IN_CREATE | IN_MODIFY))
            << "a .pdf name was written to: " << e.name << " mask " << std::hex << e.mask;
        if (e.mask & IN_MOVED_TO) {
            moved_in[e.name]++;
            EXPECT_EQ(e.content_at_event, e.name == "contract.pdf" ? first : second) << e.name;
        }
    }
    EXPECT_EQ(moved_in, (std::map<std::string, int>{{"contract.pdf", 1}, {"offer.pdf", 1}}));
}

TEST_F(PrinterService, BackToBackJobsOnOnePrinterGetFilesOfTheirOwn)
{
    // The library keeps the device open while jobs are queued; each must still be a file.
    std::vector<std::string> documents{binary_pdf(200000, 11), binary_pdf(90000, 12), binary_pdf(120000, 13)};
    for (const std::string& document : documents)
        ASSERT_TRUE(print_job(env.port, sign_myself_resource, "report", "application/pdf", document));
    ASSERT_TRUE(wait_for_pdf_files(sign_folder(), 3, 15s));
    std::vector<std::string> names = pdf_files(sign_folder());
    EXPECT_EQ(names, (std::vector<std::string>{"report-2.pdf", "report-3.pdf", "report.pdf"}));
    std::multiset<std::string> landed, sent(documents.begin(), documents.end());
    for (const std::string& name : names)
        landed.insert(read_file(sign_folder() + "/" + name));
    EXPECT_TRUE(landed == sent);
}

TEST_F(PrinterService, RasterAndJpegJobsYieldPwgRasterStreams)
{
    write_file(dir / "pages.pwg", make_pwg_raster(2, 120, 80));
    process_result raster = run_ipptool(env.port, sign_myself_resource, "print-job.test",
                                        {{"job_name", "scan"}, {"format", "image/pwg-raster"}}, dir / "pages.pwg");
    ASSERT_EQ(raster.exit_code, 0) << raster.output;
    process_result jpeg = run_ipptool(env.port, request_signature_resource, "print-job.test",
                                      {{"job_name", "photo"}, {"format", "image/jpeg"}},
                                      std::string(PRINTER_TEST_DATA_DIR) + "/red.jpg");
    ASSERT_EQ(jpeg.exit_code, 0) << jpeg.output;

    ASSERT_TRUE(wait_for_pdf_files(sign_folder(), 1, 10s));
    ASSERT_TRUE(wait_for_pdf_files(request_folder(), 1, 10s));
    EXPECT_EQ(read_file(sign_folder() + "/scan.pdf").substr(0, 4), "RaS2");
    auto pages = read_pwg_raster(sign_folder() + "/scan.pdf");
    ASSERT_TRUE(pages);
    ASSERT_EQ(pages->size(), 2u);
    for (const raster_page& page : *pages) {
        EXPECT_TRUE(page.complete);
        EXPECT_EQ(page.width, 120u);
        EXPECT_EQ(page.height, 80u);
        EXPECT_EQ(page.bits_per_pixel, 24u);
    }
    auto photo = read_pwg_raster(request_folder() + "/photo.pdf");
    ASSERT_TRUE(photo);
    ASSERT_EQ(photo->size(), 1u);
    EXPECT_TRUE(photo->front().complete);
    EXPECT_GT(photo->front().width, 0u);
}

TEST_F(PrinterService, JobsToBothPrintersAtOnceLandInTheirOwnFolders)
{
    std::string left = binary_pdf(3'000'000, 21), right = binary_pdf(3'000'000, 22);
    std::optional<int> left_id, right_id;
    std::thread a([&] { left_id = print_job(env.port, sign_myself_resource, "left", "application/pdf", left); });
    std::thread b([&] { right_id = print_job(env.port, request_signature_resource, "right", "application/pdf", right); });
    a.join();
    b.join();
    ASSERT_TRUE(left_id && right_id);
    ASSERT_TRUE(wait_for_pdf_files(sign_folder(), 1, 10s));
    ASSERT_TRUE(wait_for_pdf_files(request_folder(), 1, 10s));
    EXPECT_EQ(pdf_files(sign_folder()), std::vector<std::string>{"left.pdf"});
    EXPECT_EQ(pdf_files(request_folder()), std::vector<std::string>{"right.pdf"});
    EXPECT_EQ(read_file(sign_folder() + "/left.pdf"), left);
    EXPECT_EQ(read_file(request_folder() + "/right.pdf"), right);
}

TEST_F(PrinterService, CancelledJobLeavesNoPdfAndNoTemporaryFile)
{
    std::string raster = make_pwg_raster(1, 600, 400);
    streaming_job job(env.port, sign_myself_resource, "cancel me", "image/pwg-raster");
    ASSERT_TRUE(job.started());
    ASSERT_TRUE(job.send(raster.substr(0, raster.size() / 2)));
    // The job is printing: its temporary file holds bytes.
    ASSERT_TRUE(wait_until([&] { return largest_temp_file(sign_folder()) > 0; }, 10s));
    std::vector<int> ids = active_jobs(env.port, sign_myself_resource);
    ASSERT_EQ(ids.size(), 1u);
    ASSERT_TRUE(cancel_job(env.port, sign_myself_resource, ids[0]));
    job.send(raster.substr(raster.size() / 2));
    job.finish();
    EXPECT_EQ(wait_for_job_end(env.port, sign_myself_resource, ids[0], 10s), IPP_JSTATE_CANCELED);
    EXPECT_TRUE(pdf_files(sign_folder()).empty());
    EXPECT_TRUE(temp_files(sign_folder()).empty());
}

TEST_F(PrinterService, UnconvertibleDocumentsFailTheJobWithoutAFile)
{
    // A JPEG that is not one, and a raster stream whose client goes away mid-page.
    std::string broken_jpeg = std::string("\xff\xd8\xff\xe0", 4) + std::string(5000, 'x');
    ASSERT_TRUE(print_job(env.port, request_signature_resource, "broken", "image/jpeg", broken_jpeg));
    // A raster stream is printed as it arrives, so the library takes one only when idle.
    ASSERT_TRUE(wait_until([&] { return active_jobs(env.port, request_signature_resource).empty(); }, 10s));
    std::string raster = make_pwg_raster(1, 300, 200);
    {
        streaming_job job(env.port, request_signature_resource, "cut", "image/pwg-raster");
        ASSERT_TRUE(job.started());
        ASSERT_TRUE(job.send(raster.substr(0, raster.size() / 2)));
        ASSERT_TRUE(wait_until([&] { return largest_temp_file(request_folder()) > 0; }, 10s));
        job.abandon();
    }
    ASSERT_TRUE(wait_until([&] { return active_jobs(env.port, request_signature_resource).empty(); }, 10s));
    for (int id : {1, 2}) {
        EXPECT_EQ(job_state(env.port, request_signature_resource, id), IPP_JSTATE_ABORTED) << "job " << id;
        std::vector<std::string> reasons = job_state_reasons(env.port, request_signature_resource, id);
        EXPECT_TRUE(std::any_of(reasons.begin(), reasons.end(), [](const std::string& r) { return r.ends_with("-error"); }))
            << "job " << id << ": " << ::testing::PrintToString(reasons);
    }
    EXPECT_TRUE(pdf_files(request_folder()).empty());
    EXPECT_TRUE(temp_files(request_folder()).empty());
    // The library's lines reach the log through a reader thread: wait for them.
    EXPECT_TRUE(wait_until(
        [&] {
            std::string log = log_text();
            return log.find("E [") != std::string::npos && log.find("[Job 1]") != std::string::npos &&
                   log.find("[Job 2]") != std::string::npos;
        },
        5s))
        << log_text();
}

TEST_F(PrinterService, JobNamesCannotEscapeOrBreakTheFolder)
{
    const std::vector<std::string> names{
        "../../escape", "a/b\\c:d", "quote\"d 'single'", "Übersicht – Straße ñ", "tab\there\nnew line",
        std::string(400, 'x'), "..", "report.PDF", "",
    };
    std::set<std::string> before;
    for (const auto& entry : std::filesystem::directory_iterator(env.output))
        before.insert(entry.path().filename().string());
    for (const std::string& name : names)
        ASSERT_TRUE(print_job(env.port, sign_myself_resource, name, "application/pdf", binary_pdf(2000, 5)));
    ASSERT_TRUE(wait_for_pdf_files(sign_folder(), names.size(), 15s));

    std::set<std::string> after;
    for (const auto& entry : std::filesystem::directory_iterator(env.output))
        after.insert(entry.path().filename().string());
    EXPECT_EQ(before, after) << "a job wrote outside its folder";
    EXPECT_FALSE(std::filesystem::exists(dir / "escape.pdf"));

    std::vector<std::string> landed = pdf_files(sign_folder());
    EXPECT_EQ(landed.size(), names.size());
    for (const std::string& file : landed) {
        EXPECT_LE(file.size(), 255u);
        EXPECT_NE(file.front(), '.') << file;
        EXPECT_TRUE(std::none_of(file.begin(), file.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x20 || c == '/' || c == '\\' || c == '"';
        })) << file;
    }
    EXPECT_TRUE(std::count(landed.begin(), landed.end(), "Übersicht – Straße ñ.pdf")) << ::testing::PrintToString(landed);
    EXPECT_TRUE(std::count(landed.begin(), landed.end(), "report.pdf")) << ::testing::PrintToString(landed);
    EXPECT_TRUE(std::count(landed.begin(), landed.end(), "tab here new line.pdf")) << ::testing::PrintToString(landed);
}

// Socket inodes of this process's open descriptors.
std::set<std::string> own_socket_inodes()
{
    std::set<std::string> inodes;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (target.starts_with("socket:["))
            inodes.insert(target.substr(8, target.size() - 9));
    }
    return inodes;
}

TEST_F(PrinterService, ListensOnLoopbackOnly)
{
    std::set<std::string> mine = own_socket_inodes();
    char port_hex[8];
    std::snprintf(port_hex, sizeof(port_hex), "%04X", env.port);
    int on_port = 0;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retr, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode;
            if (state != "0A" || !mine.count(inode))
                continue;
            std::string address = local.substr(0, local.find(':'));
            bool loopback = address.size() == 8 ? address.substr(6) == "7F"
                                                : address == "00000000000000000000000001000000";
            EXPECT_TRUE(loopback) << table << ": listening on " << local;
            if (local.substr(local.find(':') + 1) == port_hex)
                ++on_port;
        }
    }
    EXPECT_GE(on_port, 1);
}

TEST_F(PrinterService, LibraryLinesShareTheApplicationLogAcrossRotation)
{
    // Start-up's warnings of the library arrive through the application log.
    ASSERT_TRUE(wait_until([&] { return log_text().find("W [") != std::string::npos; }, 5s)) << log_text();
    std::string filler(200, 'f');
    while (std::filesystem::file_size(env.output + "/velunio-print.log") < app_log_rotate_size)
        app_log("[test] %s", filler.c_str());
    app_log("[test] rotation due");  // the line that finds the size over the limit

    streaming_job job(env.port, sign_myself_resource, "broken", "image/jpeg");
    ASSERT_TRUE(job.send(std::string("\xff\xd8\xff\xe0", 4) + std::string(3000, 'x')));
    job.finish();
    ASSERT_TRUE(wait_until([&] { return log_text().find("[Job 1]") != std::string::npos; }, 10s)) << log_text();

    std::string rotated = read_file(env.output + "/velunio-print.log.1");
    EXPECT_GE(rotated.size(), app_log_rotate_size);
    EXPECT_EQ(rotated.find("[Job 1]"), std::string::npos);
    // Every line is whole: an application line or a library line.
    for (const std::string& text : {rotated, log_text()}) {
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) {
            bool app_line = line.size() > 11 && line[0] == '[' && line[9] == ']';
            bool library_line = line.size() > 3 && std::string("DIWEF").find(line[0]) != std::string::npos &&
                                line.substr(1, 2) == " [";
            bool banner = line.empty() || line.starts_with("--- Velunio Printaro started");
            EXPECT_TRUE(app_line || library_line || banner) << "broken line: " << line.substr(0, 120);
        }
    }
}

TEST(PrinterServiceFailures, AMissingOutputFolderLeavesBothPrintersOutAndSaysSo)
{
    environment_guard saved;
    temp_dir dir;
    service_environment env = prepare_service_environment(dir.path());
    std::string missing = dir / "missing";
    setenv("VELUNIO_OUTPUT_DIR", missing.c_str(), 1);
    setenv("VELUNIO_LOG_FILE", (dir / "service.log").c_str(), 1);
    start_printer_service(printer_service_settings_from_environment(derive_output_dir_from_environment()));
    ASSERT_TRUE(wait_until(
        [&] {
            std::string log = read_file(dir / "service.log");
            std::size_t first = log.find("Cannot create sub-directory '" + missing + "/sign-myself'");
            return first != std::string::npos &&
                   log.find("Cannot create sub-directory '" + missing + "/request-signature'") != std::string::npos;
        },
        10s))
        << read_file(dir / "service.log");
    // The system serves on, without printers.
    EXPECT_FALSE(wait_for_printers(env.port, 500ms));
    EXPECT_TRUE(printer_service_running());
    stop_printer_service();
    EXPECT_TRUE(wait_for_printer_service_end(10s));
    EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST(PrinterServiceFailures, ATakenPortEndsTheServiceWithALogLine)
{
    environment_guard saved;
    temp_dir dir;
    service_environment env = prepare_service_environment(dir.path());
    setenv("VELUNIO_LOG_FILE", (dir / "service.log").c_str(), 1);
    int taken = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(env.port));
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    start_printer_service(printer_service_settings_from_environment(derive_output_dir_from_environment()));
    EXPECT_TRUE(wait_for_printer_service_end(10s));
    ::close(taken);
    std::string log = read_file(dir / "service.log");
    EXPECT_NE(log.find("Failed to add TCP listeners on port " + std::to_string(env.port) + "."), std::string::npos)
        << log;
}

TEST(PrinterServiceProcess, KillingTheServiceMidJobLeavesNoPdf)
{
    environment_guard saved;
    temp_dir dir;
    service_environment env = prepare_service_environment(dir.path());
    auto spawn = [] {
        pid_t pid = ::fork();
        if (pid == 0) {
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
    std::string folder = env.output + "/sign-myself";

    pid_t host = spawn();
    ASSERT_GT(host, 0);
    if (!wait_for_printers(env.port, 15s)) {
        kill_host(host);
        FAIL() << "service did not start";
    }
    std::string raster = make_pwg_raster(1, 600, 400);
    {
        streaming_job job(env.port, sign_myself_resource, "killed", "image/pwg-raster");
        ASSERT_TRUE(job.started());
        job.send(raster.substr(0, raster.size() / 2));
        bool writing = wait_until([&] { return largest_temp_file(folder) > 0; }, 10s);
        kill_host(host);
        EXPECT_TRUE(writing);
    }
    EXPECT_TRUE(pdf_files(folder).empty());

    // The next start sweeps what the killed job left.
    setenv("VELUNIO_IPP_PORT", std::to_string(free_loopback_port()).c_str(), 1);
    int port = std::atoi(std::getenv("VELUNIO_IPP_PORT"));
    host = spawn();
    bool started = wait_for_printers(port, 15s);
    kill_host(host);
    ASSERT_TRUE(started);
    EXPECT_TRUE(temp_files(folder).empty());
    EXPECT_TRUE(pdf_files(folder).empty());
}

}  // namespace
