#pragma once
// Helpers of the printer service tests: a private environment, ipptool runs, IPP requests
// through libcups, PWG raster streams and an inotify recorder of the flow folders.

#include <cups/cups.h>
#include <cups/raster.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct service_environment {
    std::string root;    // temporary folder holding everything below
    std::string output;  // VELUNIO_OUTPUT_DIR
    int port = 0;        // VELUNIO_IPP_PORT
};

// Puts back, on destruction, the variables prepare_service_environment changes.
class environment_guard {
public:
    environment_guard();
    ~environment_guard();
    environment_guard(const environment_guard&) = delete;
    environment_guard& operator=(const environment_guard&) = delete;

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// A free loopback TCP port.
int free_loopback_port();

// Points every variable the service reads at folders under `root` and at a free port,
// the way start-up sets them (the application log opened, the log variables exported).
service_environment prepare_service_environment(const std::string& root);

inline const char* const sign_myself_resource = "/ipp/print/Sign_Myself_(Velunio)";
inline const char* const request_signature_resource = "/ipp/print/Request_Signature_(Velunio)";
std::string printer_uri(int port, const char* resource);

// True once both printers answer Get-Printer-Attributes.
bool wait_for_printers(int port, std::chrono::milliseconds limit);
// True once nothing accepts connections on the port.
bool wait_for_port_closed(int port, std::chrono::milliseconds limit);

struct process_result {
    int exit_code = -1;
    std::string output;  // standard output and standard error
};
process_result run_process(const std::vector<std::string>& argv, std::chrono::seconds limit);

// ipptool -t <uri> -d name=value ... [-f file] <test file of this folder>
process_result run_ipptool(int port, const char* resource, const std::string& test_file,
                           const std::map<std::string, std::string>& variables, const std::string& file = {});

// Jobs through libcups.
std::optional<int> print_job(int port, const char* resource, const std::string& job_name, const std::string& format,
                             const std::string& document);
std::optional<int> job_state(int port, const char* resource, int job_id);
std::vector<std::string> job_state_reasons(int port, const char* resource, int job_id);
// Waits until the job reaches a completed, cancelled or aborted state; returns that state.
std::optional<int> wait_for_job_end(int port, const char* resource, int job_id, std::chrono::milliseconds limit);
bool cancel_job(int port, const char* resource, int job_id);
// Ids of the printer's jobs that have not ended.
std::vector<int> active_jobs(int port, const char* resource);

// A Print-Job whose document is sent in pieces, for jobs that must still be running when
// a test acts on them.
class streaming_job {
public:
    streaming_job(int port, const char* resource, const std::string& job_name, const std::string& format);
    ~streaming_job();
    bool started() const { return status_ == HTTP_STATUS_CONTINUE; }
    bool send(const std::string& bytes);
    // Ends the document and reads the answer; the IPP status.
    ipp_status_t finish();
    // Drops the connection in the middle of the document, as a client that went away.
    void abandon();

private:
    http_t* http_ = nullptr;
    http_status_t status_ = HTTP_STATUS_ERROR;
    std::string resource_;
};

// A PWG raster stream of `pages` pages, `width` x `height` sRGB pixels at 72 dpi.
std::string make_pwg_raster(int pages, unsigned width, unsigned height);

struct raster_page {
    unsigned width = 0, height = 0, bits_per_pixel = 0;
    bool complete = false;  // every line could be read
};
// The pages of a PWG raster file, read back with libcups; nothing when it is not one.
std::optional<std::vector<raster_page>> read_pwg_raster(const std::string& path);

// Names of the ".pdf" files in a folder, sorted.
std::vector<std::string> pdf_files(const std::string& folder);
// Waits until the folder holds `count` ".pdf" files.
bool wait_for_pdf_files(const std::string& folder, std::size_t count, std::chrono::milliseconds limit);

std::string binary_pdf(std::size_t size, unsigned seed);

// Records inotify events in folders from a thread of its own.
struct folder_event {
    std::string folder;
    std::string name;
    std::uint32_t mask = 0;
    std::string content_at_event;  // for IN_MOVED_TO: the file as it was when the event was read
};
class folder_recorder {
public:
    explicit folder_recorder(const std::vector<std::string>& folders);
    ~folder_recorder();
    std::vector<folder_event> events();

private:
    void run();
    int fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    std::map<int, std::string> watches_;
    std::mutex lock_;
    std::vector<folder_event> events_;
    std::thread thread_;
};

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit);
