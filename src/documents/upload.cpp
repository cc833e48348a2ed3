#include "documents/upload.h"

#include "base/app_log.h"
#include "base/app_state.h"
#include "base/json_text.h"
#include "documents/folder_watcher.h"
#include "base/page_script.h"
#include "base/worker_pool.h"
#include "base/utf8_path.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <system_error>
#include <thread>

namespace {

// The escaped text cut to at most `room` characters, whole characters and escapes only, with
// an ellipsis in the last place.
std::string shortened_escaped(const std::string& text, std::size_t room) {
    std::string out;
    std::size_t units = 0;
    std::string clean = sanitize_utf8(text);
    for (std::size_t i = 0; i < clean.size();) {
        std::size_t bytes = 1;
        while (i + bytes < clean.size() && (static_cast<unsigned char>(clean[i + bytes]) & 0xC0) == 0x80) ++bytes;
        std::string piece = js_escape_double(std::string_view(clean).substr(i, bytes));
        std::size_t width = utf16_length(piece);
        if (units + width + 1 > room) break;
        out += piece;
        units += width;
        i += bytes;
    }
    return out + "\u2026";
}

}  // namespace

std::string upload_result_json(const upload_result& result) {
    std::string head = "{\"path\":\"" + js_escape_double(result.path);
    if (!result.error_text) return head + "\",\"envelopeId\":\"" + js_escape_double(result.envelope_id.value_or("")) + "\"}";
    head += "\",\"error\":\"";
    std::string error = js_escape_double(*result.error_text);
    std::size_t fixed = utf16_length(head) + 2;
    if (fixed + utf16_length(error) >= upload_result_json_limit) {
        std::size_t room = fixed < upload_result_json_limit - 1 ? upload_result_json_limit - 1 - fixed : 1;
        error = shortened_escaped(*result.error_text, room);
    }
    return head + error + "\"}";
}

std::string upload_result_script(const upload_result& result) {
    return "window.velunio&&typeof window.velunio._onUploadResult==='function'&&window.velunio._onUploadResult('" +
           js_escape_single(upload_result_json(result)) + "')";
}

void deliver_upload_result(const upload_result& result) { run_page_script(upload_result_script(result)); }

std::string upload_progress_script(const upload_progress& progress) {
    return "window.velunio&&typeof window.velunio._onUploadProgress==='function'&&window.velunio._onUploadProgress('" +
           js_escape_single(progress.path) + "'," + std::to_string(progress.sent) + "," +
           std::to_string(progress.total) + ")";
}

void deliver_upload_progress(const upload_progress& progress) { run_page_script(upload_progress_script(progress)); }

bool progress_due(progress_throttle& throttle, std::uint64_t sent, std::uint64_t total,
                  std::chrono::steady_clock::time_point now) {
    if (sent <= throttle.last_sent && throttle.last_at) return false;
    if (sent < total && throttle.last_at && now - *throttle.last_at < throttle.interval) return false;
    throttle.last_at = now;
    throttle.last_sent = sent;
    return true;
}

namespace {

std::atomic<file_too_large_notice> too_large_notice{nullptr};

}  // namespace

void set_file_too_large_notice(file_too_large_notice notice) { too_large_notice.store(notice); }

std::string upload_boundary(std::uint32_t tick_ms, std::uint32_t thread_id) {
    char text[32];
    std::snprintf(text, sizeof text, "Boundary-%08X%08X", tick_ms, thread_id);
    return text;
}

bool upload_token_fits_header(std::string_view token) {
    for (char c : token) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) return false;
    }
    return true;
}

std::string upload_header_text(const std::string& boundary, const std::string& token, const std::string& version) {
    return "Content-Type: multipart/form-data; boundary=" + boundary + "\r\nAuthorization: Bearer " + token +
           "\r\nx-client-id: sign-web-client\r\nx-client-secret: Q7rb2Z9TfLwkpe\r\nx-client-version: " + version;
}

std::string upload_operations_text(const std::string& envelope_name, const std::string& envelope_flow_type) {
    return "{\"query\":\"mutation($in: AlphaCreateEnvelopeRequest!){ alphaCreateEnvelope(in: $in){ id } }\","
           "\"variables\":{\"in\":{\"name\":" +
           json_quote(envelope_name) + ",\"envelopeFlowType\":" + json_quote(envelope_flow_type) +
           ",\"documents\":[null]}}}";
}

std::string upload_base_name(const std::string& path) {
    for (std::size_t i = path.size(); i > 0; --i)
        if (is_path_separator(path[i - 1])) return path.substr(i);
    return path;
}

std::string upload_file_name(const std::string& path) {
    // A quote or a line end would end the part header early (a name on disk may hold
    // both); they are written as form encoding writes them.
    std::string name;
    for (char c : sanitize_utf8(upload_base_name(path))) {
        if (c == '"') name += "%22";
        else if (c == '\r') name += "%0D";
        else if (c == '\n') name += "%0A";
        else name += c;
    }
    return name.empty() ? "document.pdf" : name;
}

upload_body_frame upload_body_frame_for(const std::string& boundary, const std::string& operations,
                                        const std::string& file_name) {
    upload_body_frame frame;
    frame.head = "--" + boundary + "\r\n" + "Content-Disposition: form-data; name=\"operations\"\r\n" +
                 "Content-Type: application/json\r\n\r\n" + operations + "\r\n--" + boundary + "\r\n" +
                 "Content-Disposition: form-data; name=\"map\"\r\n" + "Content-Type: application/json\r\n\r\n" +
                 "{\"0\":[\"variables.in.documents.0\"]}" + "\r\n--" + boundary + "\r\n" +
                 "Content-Disposition: form-data; name=\"0\"; filename=\"" + file_name + "\"\r\n" +
                 "Content-Type: application/pdf\r\n\r\n";
    frame.tail = "\r\n--" + boundary + "--\r\n";
    return frame;
}

std::string file_too_large_text(const std::string& base_name, std::uint64_t size) {
    char text[1024];
    std::snprintf(text, sizeof text, "The file \u201c%s\u201d is too large to sign (%.0f MB). The limit is %d MB.",
                  base_name.c_str(), static_cast<double>(size) / 1048576.0, upload_size_limit_mb);
    return text;
}

namespace {

// At most `limit` UTF-16 code units of valid UTF-8 text, never splitting a character.
std::string first_utf16_units(const std::string& text, std::size_t limit) {
    std::size_t units = 0, i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        std::size_t bytes = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        std::size_t width = bytes == 4 ? 2 : 1;
        if (units + width > limit) break;
        units += width;
        i += bytes;
    }
    return text.substr(0, i);
}

}  // namespace

upload_result settle_upload(const std::string& path, const http_result& outcome) {
    upload_result result;
    result.path = path;
    if (outcome.error_text) {
        std::string text = sanitize_utf8(*outcome.error_text);
        app_log("[uploadPrintedFile] Request error: %s", text.empty() ? "(unable to decode error)" : text.c_str());
        result.error_text = text;
        return result;
    }
    int status = static_cast<int>(outcome.status_code);
    if (status < 200 || status > 299) {
        std::string body = outcome.response_body ? sanitize_utf8(*outcome.response_body) : std::string();
        app_log("[uploadPrintedFile] HTTP %d: %s", status,
                body.empty() ? "(empty response)" : first_utf16_units(body, 400).c_str());
        result.error_text = "HTTP " + std::to_string(status);
        return result;
    }
    if (!outcome.response_body) {
        result.error_text = "Empty response";
        return result;
    }
    std::string body = sanitize_utf8(*outcome.response_body);
    if (body.find("\"errors\"") != std::string::npos) {
        result.error_text = json_find_nested_string(body, "errors", "message").value_or("GraphQL error");
        app_log("[uploadPrintedFile] GraphQL error: %s", result.error_text->c_str());
        return result;
    }
    auto id = json_find_nested_string(body, "alphaCreateEnvelope", "id");
    if (!id) id = json_find_string(body, "id");
    if (id && !id->empty()) {
        app_log("[uploadPrintedFile] HTTP %d OK -> envelope %s", status, id->c_str());
        result.envelope_id = std::move(*id);
    } else {
        result.error_text = "Missing envelope id in response";
        app_log("[uploadPrintedFile] Missing envelope id in response");
    }
    return result;
}

namespace {

void post_upload_failure(const upload_request& request, const char* error_text) {
    upload_result result;
    result.path = request.path;
    result.error_text = error_text;
    post_to_main_window(std::move(result));
}

// Reads the body's file part from disk as it is sent. A file that is not exactly `size`
// bytes long while it is read fails the source, and with it the transfer.
struct streamed_file {
    std::ifstream in;
    std::uint64_t size = 0;
    bool failed = false;
};

// The body as it is handed to the connection is what the page sees as sent.
void report_progress(const std::string& path, progress_throttle& throttle, std::uint64_t sent, std::uint64_t total) {
    if (progress_due(throttle, sent, total, std::chrono::steady_clock::now()))
        post_to_main_window(upload_progress{path, sent, total});
}

http_body_source streamed_body(const upload_body_frame& frame, streamed_file& file, const std::string& path,
                               progress_throttle& throttle) {
    http_body_source source;
    std::uint64_t head = frame.head.size();
    std::uint64_t file_end = head + file.size;
    std::uint64_t total = file_end + frame.tail.size();
    source.length = total;
    source.read = [&frame, &file, &path, &throttle, head, file_end, total](
                      std::uint64_t offset, char* buffer, std::size_t capacity) -> std::optional<std::size_t> {
        std::size_t written = 0;
        while (written < capacity) {
            std::uint64_t at = offset + written;
            std::size_t room = capacity - written;
            if (at < head) {
                std::size_t n = std::min<std::uint64_t>(room, head - at);
                frame.head.copy(buffer + written, n, at);
                written += n;
            } else if (at < file_end) {
                std::size_t n = std::min<std::uint64_t>(room, file_end - at);
                auto position = static_cast<std::streamoff>(at - head);
                if (file.in.tellg() != position) {  // a seek empties the stream's buffer: only when needed
                    file.in.clear();
                    file.in.seekg(position);
                }
                file.in.read(buffer + written, static_cast<std::streamsize>(n));
                if (static_cast<std::size_t>(file.in.gcount()) != n) {
                    file.failed = true;
                    return std::nullopt;
                }
                written += n;
                if (at + n == file_end && file.in.peek() != std::char_traits<char>::eof()) {
                    file.failed = true;  // it grew while it was sent
                    return std::nullopt;
                }
            } else {
                std::uint64_t tail_at = at - file_end;
                if (tail_at >= frame.tail.size()) break;
                std::size_t n = std::min<std::uint64_t>(room, frame.tail.size() - tail_at);
                frame.tail.copy(buffer + written, n, tail_at);
                written += n;
            }
        }
        if (written > 0) report_progress(path, throttle, offset + written, total);
        return written;
    };
    return source;
}

std::uint32_t tick_count_ms() {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<std::uint32_t>(ms.count());
}

std::uint32_t thread_number() {
    return static_cast<std::uint32_t>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
}

}  // namespace

void upload_worker(upload_request request) {
    // Only a printed file of this program is read, and only such a file is deleted.
    auto resolved = confined_printed_file(output_dir(), request.path);
    if (!resolved) {
        app_log("[uploadPrintedFile] Refused: not a printed file: %s", request.path.c_str());
        post_upload_failure(request, "Cannot read file");
        return;
    }
    if (!upload_token_fits_header(request.token)) {
        app_log("[uploadPrintedFile] Refused: the token holds control characters");
        post_upload_failure(request, "Invalid token");
        return;
    }
    streamed_file file;
    std::error_code ec;
    file.size = std::filesystem::file_size(utf8_path(*resolved), ec);
    file.in.open(utf8_path(*resolved), std::ios::binary);
    if (ec || !file.in.is_open()) {
        post_upload_failure(request, "Cannot read file");
        return;
    }
    if (file.size > upload_size_limit) {
        app_log("[uploadPrintedFile] File too large: %zu bytes - deleting and alerting user.",
                static_cast<std::size_t>(file.size));
        file.in.close();
        std::filesystem::remove(utf8_path(*resolved), ec);
        post_upload_failure(request, "native_handled");
        if (auto notice = too_large_notice.load()) {
            notice("File cannot be signed", file_too_large_text(upload_base_name(request.path), file.size));
        }
        return;
    }

    std::string boundary = upload_boundary(tick_count_ms(), thread_number());
    upload_body_frame frame = upload_body_frame_for(
        boundary, upload_operations_text(request.envelope_name, request.envelope_flow_type),
        upload_file_name(request.path));
    std::string headers = upload_header_text(boundary, request.token, app_version());
    progress_throttle throttle;
    http_body_source body = streamed_body(frame, file, request.path, throttle);

    app_log("[uploadPrintedFile] POST %s (%lu KB, proxy=system default) flow=%s", request.endpoint.c_str(),
            static_cast<unsigned long>(file.size / 1024), request.envelope_flow_type.c_str());
    http_result outcome;
    http_post(request.endpoint, headers, body, true, outcome);
    if (file.failed) {
        post_upload_failure(request, "Cannot read file");
        return;
    }
    post_to_main_window(settle_upload(request.path, outcome));
}

void start_upload(upload_request request) {
    static const auto workers = std::make_shared<worker_pool>(upload_workers_limit);
    run_in_pool(workers, [request = std::move(request)]() mutable { upload_worker(std::move(request)); });
}
