#pragma once
// Upload of a printed file as a new envelope.

#include "documents/http_client.h"
#include "base/posted_messages.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The JSON text handed to _onUploadResult: {"path":..,"envelopeId":..} or {"path":..,"error":..}.
// It stays valid JSON whatever the texts hold, and within upload_result_json_limit characters
// (the Windows build's buffer): an error text that would pass it is shortened and ends in "…".
// The path and the envelope id are never cut.
std::string upload_result_json(const upload_result& result);
std::string upload_result_script(const upload_result& result);

constexpr std::size_t upload_result_json_limit = 4096;

// window.velunio._onUploadProgress(path, sentBytes, totalBytes), guarded like _onUploadResult.
std::string upload_progress_script(const upload_progress& progress);
void deliver_upload_progress(const upload_progress& progress);

// Progress reports while a body goes out: at most one each interval, and always the last one,
// at the total. Sent counts that go back (a redirect sends the body again) are not reported.
struct progress_throttle {
    std::chrono::milliseconds interval{250};
    std::optional<std::chrono::steady_clock::time_point> last_at;
    std::uint64_t last_sent = 0;
};
bool progress_due(progress_throttle& throttle, std::uint64_t sent, std::uint64_t total,
                  std::chrono::steady_clock::time_point now);

constexpr std::uint64_t upload_size_limit = 157286400;  // 150 MiB
constexpr int upload_size_limit_mb = 150;

struct upload_request {
    std::string path;
    std::string token;
    std::string endpoint;
    std::string envelope_name;
    std::string envelope_flow_type;
};

// Wire format pieces.
std::string upload_boundary(std::uint32_t tick_ms, std::uint32_t thread_id);
// True when the token can stand in a header line: a line break or other control character
// in it would start a header of the page's choosing.
bool upload_token_fits_header(std::string_view token);

std::string upload_header_text(const std::string& boundary, const std::string& token, const std::string& version);
std::string upload_operations_text(const std::string& envelope_name, const std::string& envelope_flow_type);
// The base name as it goes into the file part's header.
std::string upload_file_name(const std::string& path);
struct upload_body_frame {
    std::string head;  // everything before the file's bytes
    std::string tail;  // everything after them
};
upload_body_frame upload_body_frame_for(const std::string& boundary, const std::string& operations,
                                        const std::string& file_name);

// The text after the last separator, or the whole path.
std::string upload_base_name(const std::string& path);
std::string file_too_large_text(const std::string& base_name, std::uint64_t size);

// Settles the page's answer from a finished exchange, with its log lines.
upload_result settle_upload(const std::string& path, const http_result& outcome);

// The worker's whole run; posts progress as the body goes out and exactly one result.
void upload_worker(upload_request request);

// Uploads running at once; more wait their turn.
constexpr std::size_t upload_workers_limit = 4;
// Starts the upload on one of the upload workers.
void start_upload(upload_request request);

void deliver_upload_result(const upload_result& result);

// How the upload worker tells the user that a file is too large to sign: a box that the
// worker waits on. While none is installed (unit tests, a run without a display) the
// refusal is only logged and answered.
using file_too_large_notice = void (*)(const std::string& caption, const std::string& text);
void set_file_too_large_notice(file_too_large_notice notice);
