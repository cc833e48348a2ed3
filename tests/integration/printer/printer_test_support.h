#pragma once
// Helpers of the printer service tests: a private environment, IPP requests through libcups,
// documents of every format the printers take, and pdfinfo's reading of what landed.

#include <cups/cups.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
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

int free_loopback_port();
// Points every variable the service reads at folders under `root` and at a free port, and
// makes the output folder as start-up does.
service_environment prepare_service_environment(const std::string& root);

inline const char* const sign_myself_resource = "/ipp/print/Sign_Myself_(Velunio)";
inline const char* const request_signature_resource = "/ipp/print/Request_Signature_(Velunio)";

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit);
bool wait_for_printers(int port, std::chrono::milliseconds limit);
bool wait_for_port_closed(int port, std::chrono::milliseconds limit);

struct process_result {
    int exit_code = -1;
    std::string output;  // standard output and standard error
};
process_result run_process(const std::vector<std::string>& argv, std::chrono::seconds limit);

// A Print-Job whose document is sent in pieces, for jobs that must still be running when a
// test acts on them. `attributes` are extra job attributes ("media" and the like).
class streaming_job {
public:
    streaming_job(int port, const char* resource, const std::string& job_name, const std::string& format,
                  const std::map<std::string, std::string>& attributes = {});
    ~streaming_job();
    bool started() const { return status_ == HTTP_STATUS_CONTINUE; }
    bool send(const std::string& bytes);
    // Ends the document and reads the answer: the job's id, or nothing when refused.
    std::optional<int> finish();
    // Drops the connection in the middle of the document, as a client that went away.
    void abandon();

private:
    http_t* http_ = nullptr;
    http_status_t status_ = HTTP_STATUS_ERROR;
    std::string resource_;
};

std::optional<int> print_job(int port, const char* resource, const std::string& job_name, const std::string& format,
                             const std::string& document, const std::map<std::string, std::string>& attributes = {});

struct job_status {
    int state = 0;
    int impressions_completed = -1;
    std::vector<std::string> reasons;
};
std::optional<job_status> job_status_of(int port, const char* resource, int job_id);
// Waits until the job has ended (completed, cancelled or aborted).
std::optional<job_status> wait_for_job_end(int port, const char* resource, int job_id, std::chrono::milliseconds limit);
bool cancel_job(int port, const char* resource, int job_id);

// Documents: a PDF of one page with a line of text (padded past `size` bytes), PWG or Apple
// raster of noise, a PNG.
std::string text_pdf(double width_pt, double height_pt, const std::string& text, std::size_t size = 0);
std::string make_raster(int pages, unsigned width, unsigned height, unsigned dpi, bool apple = false);
std::string make_png(int width, int height);

struct pdf_facts {
    int pages = 0;
    double width = 0, height = 0;  // points, of the first page
};
// pdfinfo's reading of a file; nothing when it cannot open it as a PDF.
std::optional<pdf_facts> pdf_info(const std::string& path);

std::vector<std::string> pdf_files(const std::string& folder);
bool wait_for_pdf_files(const std::string& folder, std::size_t count, std::chrono::milliseconds limit);
// The job's temporary files in a flow folder.
std::vector<std::string> temp_files(const std::string& folder);
