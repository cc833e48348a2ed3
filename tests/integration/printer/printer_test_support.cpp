#include "printer_test_support.h"

#include "base/app_log.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "support/temp_dir.h"

using namespace std::chrono_literals;

namespace {
constexpr const char* changed_variables[] = {
    "HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "VELUNIO_OUTPUT_DIR",
    "VELUNIO_IPP_PORT", "PAPPL_NO_STATUS_UI", "VELUNIO_LOG_FILE", "VELUNIO_LOG_LEVEL",
};
}  // namespace

environment_guard::environment_guard()
{
    for (const char* name : changed_variables) {
        const char* value = std::getenv(name);
        saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
}

environment_guard::~environment_guard()
{
    for (const auto& [name, value] : saved_) {
        if (value)
            setenv(name.c_str(), value->c_str(), 1);
        else
            unsetenv(name.c_str());
    }
}

int free_loopback_port()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

service_environment prepare_service_environment(const std::string& root)
{
    service_environment env;
    env.root = root;
    env.output = root + "/out";
    env.port = free_loopback_port();
    for (const char* sub : {"/home", "/data", "/config", "/runtime"})
        ::mkdir((root + sub).c_str(), 0700);
    ::mkdir(env.output.c_str(), 0755);
    setenv("HOME", (root + "/home").c_str(), 1);
    setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (root + "/runtime").c_str(), 1);
    // TMPDIR stays: the library fixes its spool folder once per process.
    setenv("VELUNIO_OUTPUT_DIR", env.output.c_str(), 1);
    setenv("VELUNIO_IPP_PORT", std::to_string(env.port).c_str(), 1);
    setenv("PAPPL_NO_STATUS_UI", "1", 1);
    setenv("VELUNIO_LOG_FILE", (env.output + "/velunio-print.log").c_str(), 1);
    setenv("VELUNIO_LOG_LEVEL", "warn", 1);
    return env;
}

std::string printer_uri(int port, const char* resource)
{
    return "ipp://localhost:" + std::to_string(port) + resource;
}

namespace {

struct http_closer {
    void operator()(http_t* http) const { httpClose(http); }
};
using http_ptr = std::unique_ptr<http_t, http_closer>;
struct ipp_deleter {
    void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using ipp_ptr = std::unique_ptr<ipp_t, ipp_deleter>;

http_ptr connect(int port)
{
    return http_ptr(httpConnect2("localhost", port, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1, 5000,
                                 nullptr));
}

ipp_t* new_request(ipp_op_t op, int port, const char* resource)
{
    ipp_t* request = ippNewRequest(op);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printer_uri(port, resource).c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "tester");
    return request;
}

ipp_ptr do_request(int port, const char* resource, ipp_t* request)
{
    http_ptr http = connect(port);
    if (!http) {
        ippDelete(request);
        return nullptr;
    }
    return ipp_ptr(cupsDoRequest(http.get(), request, resource));
}

}  // namespace

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (condition())
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return condition();
}

bool wait_for_printers(int port, std::chrono::milliseconds limit)
{
    return wait_until(
        [&] {
            for (const char* resource : {sign_myself_resource, request_signature_resource}) {
                ipp_ptr response = do_request(port, resource, new_request(IPP_OP_GET_PRINTER_ATTRIBUTES, port, resource));
                if (!response || ippGetStatusCode(response.get()) != IPP_STATUS_OK)
                    return false;
            }
            return true;
        },
        limit);
}

bool wait_for_port_closed(int port, std::chrono::milliseconds limit)
{
    return wait_until(
        [&] {
            int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            addr.sin_port = htons(static_cast<uint16_t>(port));
            bool refused = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0;
            ::close(fd);
            return refused;
        },
        limit);
}

process_result run_process(const std::vector<std::string>& argv, std::chrono::seconds limit)
{
    process_result result;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return result;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(out[1], 2);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(out[1]);
    auto end = std::chrono::steady_clock::now() + limit;
    char buffer[4096];
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            result.output += "\n[timed out]\n";
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        ssize_t got = ::read(out[0], buffer, sizeof(buffer));
        if (got <= 0)
            break;
        result.output.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

process_result run_ipptool(int port, const char* resource, const std::string& test_file,
                           const std::map<std::string, std::string>& variables, const std::string& file)
{
    std::vector<std::string> argv{"ipptool", "-T", "10", "-t", printer_uri(port, resource)};
    for (const auto& [name, value] : variables) {
        argv.push_back("-d");
        argv.push_back(name + "=" + value);
    }
    if (!file.empty()) {
        argv.push_back("-f");
        argv.push_back(file);
    }
    argv.push_back(std::string(PRINTER_TEST_DATA_DIR) + "/" + test_file);
    return run_process(argv, 30s);
}

std::optional<int> print_job(int port, const char* resource, const std::string& job_name, const std::string& format,
                             const std::string& document)
{
    streaming_job job(port, resource, job_name, format);
    if (!job.started() || !job.send(document))
        return std::nullopt;
    if (job.finish() > IPP_STATUS_OK_EVENTS_COMPLETE)
        return std::nullopt;
    // The job is the printer's newest.
    ipp_t* request = new_request(IPP_OP_GET_JOBS, port, resource);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "all");
    ipp_ptr response = do_request(port, resource, request);
    int newest = 0;
    for (ipp_attribute_t* a = ippFindAttribute(response.get(), "job-id", IPP_TAG_INTEGER); a;
         a = ippFindNextAttribute(response.get(), "job-id", IPP_TAG_INTEGER))
        newest = std::max(newest, ippGetInteger(a, 0));
    return newest > 0 ? std::optional<int>(newest) : std::nullopt;
}

namespace {
ipp_ptr job_attributes(int port, const char* resource, int job_id)
{
    ipp_t* request = new_request(IPP_OP_GET_JOB_ATTRIBUTES, port, resource);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", job_id);
    return do_request(port, resource, request);
}
}  // namespace

std::optional<int> job_state(int port, const char* resource, int job_id)
{
    ipp_ptr response = job_attributes(port, resource, job_id);
    ipp_attribute_t* state = ippFindAttribute(response.get(), "job-state", IPP_TAG_ENUM);
    if (!state)
        return std::nullopt;
    return ippGetInteger(state, 0);
}

std::vector<std::string> job_state_reasons(int port, const char* resource, int job_id)
{
    std::vector<std::string> reasons;
    ipp_ptr response = job_attributes(port, resource, job_id);
    ipp_attribute_t* attr = ippFindAttribute(response.get(), "job-state-reasons", IPP_TAG_KEYWORD);
    for (int i = 0; attr && i < ippGetCount(attr); ++i)
        reasons.emplace_back(ippGetString(attr, i, nullptr));
    return reasons;
}

std::optional<int> wait_for_job_end(int port, const char* resource, int job_id, std::chrono::milliseconds limit)
{
    std::optional<int> state;
    wait_until(
        [&] {
            state = job_state(port, resource, job_id);
            return state && *state >= IPP_JSTATE_CANCELED;
        },
        limit);
    if (state && *state >= IPP_JSTATE_CANCELED)
        return state;
    return std::nullopt;
}

bool cancel_job(int port, const char* resource, int job_id)
{
    ipp_t* request = new_request(IPP_OP_CANCEL_JOB, port, resource);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", job_id);
    ipp_ptr response = do_request(port, resource, request);
    return response && ippGetStatusCode(response.get()) == IPP_STATUS_OK;
}

std::vector<int> active_jobs(int port, const char* resource)
{
    std::vector<int> ids;
    ipp_t* request = new_request(IPP_OP_GET_JOBS, port, resource);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "not-completed");
    ipp_ptr response = do_request(port, resource, request);
    for (ipp_attribute_t* a = ippFindAttribute(response.get(), "job-id", IPP_TAG_INTEGER); a;
         a = ippFindNextAttribute(response.get(), "job-id", IPP_TAG_INTEGER))
        ids.push_back(ippGetInteger(a, 0));
    return ids;
}

streaming_job::streaming_job(int port, const char* resource, const std::string& job_name, const std::string& format)
    : resource_(resource)
{
    http_ = httpConnect2("localhost", port, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1, 5000, nullptr);
    if (!http_)
        return;
    ipp_ptr request(new_request(IPP_OP_PRINT_JOB, port, resource));
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, job_name.c_str());
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, format.c_str());
    status_ = cupsSendRequest(http_, request.get(), resource, CUPS_LENGTH_VARIABLE);
}

streaming_job::~streaming_job()
{
    if (http_)
        httpClose(http_);
}

bool streaming_job::send(const std::string& bytes)
{
    for (std::size_t at = 0; at < bytes.size(); at += 65536) {
        std::size_t n = std::min<std::size_t>(65536, bytes.size() - at);
        if (cupsWriteRequestData(http_, bytes.data() + at, n) != HTTP_STATUS_CONTINUE)
            return false;
    }
    return true;
}

void streaming_job::abandon()
{
    if (http_) {
        httpShutdown(http_);
        httpClose(http_);
        http_ = nullptr;
    }
}

ipp_status_t streaming_job::finish()
{
    ipp_ptr response(cupsGetResponse(http_, resource_.c_str()));
    return response ? ippGetStatusCode(response.get()) : cupsLastError();
}

namespace {
ssize_t append_to_string(void* ctx, unsigned char* buffer, std::size_t length)
{
    static_cast<std::string*>(ctx)->append(reinterpret_cast<char*>(buffer), length);
    return static_cast<ssize_t>(length);
}

cups_page_header2_t small_header(unsigned width, unsigned height)
{
    cups_page_header2_t header;
    cupsRasterInitPWGHeader(&header, pwgMediaForPWG("na_index-3x5_3x5in"), "srgb_8", 72, 72, "one-sided", nullptr);
    header.cupsWidth = width;
    header.cupsHeight = height;
    header.cupsBytesPerLine = width * 3;
    header.PageSize[0] = width;
    header.PageSize[1] = height;
    header.cupsPageSize[0] = static_cast<float>(width);
    header.cupsPageSize[1] = static_cast<float>(height);
    header.ImagingBoundingBox[2] = width;
    header.ImagingBoundingBox[3] = height;
    return header;
}
}  // namespace

std::string make_pwg_raster(int pages, unsigned width, unsigned height)
{
    std::string out;
    cups_raster_t* ras = cupsRasterOpenIO(append_to_string, &out, CUPS_RASTER_WRITE_PWG);
    std::mt19937 random(7);
    std::vector<unsigned char> line(width * 3);
    for (int page = 0; page < pages; ++page) {
        cups_page_header2_t header = small_header(width, height);
        header.cupsInteger[CUPS_RASTER_PWG_TotalPageCount] = static_cast<unsigned>(pages);
        cupsRasterWriteHeader2(ras, &header);
        for (unsigned y = 0; y < height; ++y) {
            // Noise: the stream stays about as large as its pixels.
            for (auto& b : line)
                b = static_cast<unsigned char>(random());
            cupsRasterWritePixels(ras, line.data(), static_cast<unsigned>(line.size()));
        }
    }
    cupsRasterClose(ras);
    return out;
}

std::optional<std::vector<raster_page>> read_pwg_raster(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
    if (!ras) {
        ::close(fd);
        return std::nullopt;
    }
    std::vector<raster_page> pages;
    cups_page_header2_t header;
    while (cupsRasterReadHeader2(ras, &header)) {
        raster_page page{header.cupsWidth, header.cupsHeight, header.cupsBitsPerPixel, true};
        std::vector<unsigned char> line(header.cupsBytesPerLine);
        for (unsigned y = 0; y < header.cupsHeight; ++y)
            if (cupsRasterReadPixels(ras, line.data(), header.cupsBytesPerLine) != header.cupsBytesPerLine) {
                page.complete = false;
                break;
            }
        pages.push_back(page);
        if (!page.complete)
            break;
    }
    cupsRasterClose(ras);
    ::close(fd);
    return pages;
}

std::vector<std::string> pdf_files(const std::string& folder)
{
    std::vector<std::string> names;
    std::string listing;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (dirent* e = ::readdir(dir)) {
            std::string name = e->d_name;
            if (name.size() > 4 && name.ends_with(".pdf"))
                names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool wait_for_pdf_files(const std::string& folder, std::size_t count, std::chrono::milliseconds limit)
{
    return wait_until([&] { return pdf_files(folder).size() >= count; }, limit);
}

std::string binary_pdf(std::size_t size, unsigned seed)
{
    std::string pdf = "%PDF-1.7\n%\xe2\xe3\xcf\xd3\n";
    std::mt19937 random(seed);
    while (pdf.size() + 6 < size)
        pdf += static_cast<char>(random());
    pdf += "\n%%EOF";
    return pdf;
}

folder_recorder::folder_recorder(const std::vector<std::string>& folders)
{
    fd_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ::pipe2(stop_pipe_, O_CLOEXEC);
    for (const std::string& folder : folders)
        watches_[::inotify_add_watch(fd_, folder.c_str(), IN_ALL_EVENTS & ~IN_ACCESS & ~IN_CLOSE_NOWRITE)] = folder;
    thread_ = std::thread([this] { run(); });
}

folder_recorder::~folder_recorder()
{
    ::write(stop_pipe_[1], "x", 1);
    thread_.join();
    ::close(fd_);
    ::close(stop_pipe_[0]);
    ::close(stop_pipe_[1]);
}

std::vector<folder_event> folder_recorder::events()
{
    // Let events already queued in the kernel reach the list.
    std::this_thread::sleep_for(100ms);
    std::lock_guard guard(lock_);
    return events_;
}

void folder_recorder::run()
{
    alignas(inotify_event) char buffer[65536];
    while (true) {
        pollfd p[2] = {{fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        ::poll(p, 2, -1);
        if (p[1].revents)
            return;
        ssize_t got = ::read(fd_, buffer, sizeof(buffer));
        for (ssize_t at = 0; got > 0 && at < got;) {
            auto* e = reinterpret_cast<inotify_event*>(buffer + at);
            folder_event event;
            event.folder = watches_[e->wd];
            event.name = e->len ? e->name : "";
            event.mask = e->mask;
            if (e->mask & IN_MOVED_TO) {
                std::ifstream in(event.folder + "/" + event.name, std::ios::binary);
                std::ostringstream content;
                content << in.rdbuf();
                event.content_at_event = content.str();
            }
            {
                std::lock_guard guard(lock_);
                events_.push_back(std::move(event));
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
}
