#pragma once
// Upload of a printed file as a new envelope.

#include "documents/http_client.h"
#include "base/posted_messages.h"

#include <cstdint>
#include <string>
#include <string_view>

// The JSON text handed to _onUploadResult: {"path":..,"envelopeId":..} or {"path":..,"error":..}.
std::string upload_result_json(const upload_result& result);
std::string upload_result_script(const upload_result& result);

constexpr std::size_t upload_result_json_limit = 4096;
constexpr std::size_t upload_result_script_limit = 8192;

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

// The worker's whole run; posts exactly one result.
void upload_worker(upload_request request);

// The page call for one result; a result that would not fit is not run.
void deliver_upload_result(const upload_result& result);

// How the upload worker tells the user that a file is too large to sign: a box that the
// worker waits on. While none is installed (unit tests, a run without a display) the
// refusal is only logged and answered.
using file_too_large_notice = void (*)(const std::string& caption, const std::string& text);
void set_file_too_large_notice(file_too_large_notice notice);
