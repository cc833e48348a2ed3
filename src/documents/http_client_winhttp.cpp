// WinHTTP, synchronous, one session per exchange. The body goes to WinHttpSendRequest in one
// piece, so that WinHTTP can send it again by itself when it follows a redirect or asks for a
// resend. Error texts name the failing call and its code (winhttp_error_text).
//
// The client-certificate flag is applied to https requests only: on a plain-http request the
// option fails (12019), and an upload to an http endpoint could never be sent.

#include "base/app_log.h"
#include "base/wide_text.h"
#include "documents/http_client.h"

#include <windows.h>
#include <winhttp.h>

#include <memory>
#include <new>

namespace {

struct internet_closer {
    void operator()(HINTERNET h) const { WinHttpCloseHandle(h); }
};
using internet_handle = std::unique_ptr<void, internet_closer>;

// The system's text for a code: winhttp.dll's message table first, then the system's.
std::string system_message(DWORD code) {
    char text[512] = {};
    DWORD length = 0;
    if (HMODULE module = GetModuleHandleW(L"winhttp.dll"))
        length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module, code, 0, text,
                                sizeof text, nullptr);
    if (length == 0)
        length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                sizeof text, nullptr);
    return sanitize_utf8(std::string_view(text, length));
}

struct cracked_url {
    std::wstring host;
    std::wstring path;  // with the query: no separate buffer is asked for it
    INTERNET_PORT port = 0;
    bool secure = false;
};

// Host and path must fit the splitter's buffers (http_url_host_limit, http_url_path_limit).
std::optional<cracked_url> crack(const std::string& url, DWORD& error) {
    wchar_t host[http_url_host_limit];
    wchar_t path[http_url_path_limit];
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = static_cast<DWORD>(http_url_host_limit);
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = static_cast<DWORD>(http_url_path_limit);
    std::wstring text = to_wide(url);
    if (!WinHttpCrackUrl(text.c_str(), 0, 0, &parts)) {
        error = GetLastError();
        return std::nullopt;
    }
    cracked_url out;
    out.host.assign(host, parts.dwHostNameLength);
    out.path.assign(path, parts.dwUrlPathLength);
    out.port = parts.nPort;
    out.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    return out;
}

struct exchange {
    internet_handle session, connection, request;
};

// Session, connection and request; on failure the name of the call that failed.
std::optional<const char*> open_exchange(exchange& ex, const cracked_url& url, const wchar_t* verb) {
    ex.session.reset(WinHttpOpen(L"VelunioPrint/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                 WINHTTP_NO_PROXY_BYPASS, 0));
    if (!ex.session) return "WinHttpOpen";
    http_limits limits = http_limits_from_environment();
    // WinHTTP bounds each send and receive call; the speed window is the closest it offers to
    // the speed floor of the curl backend (a trickle that keeps each call busy is not caught).
    WinHttpSetTimeouts(ex.session.get(), 0, static_cast<int>(limits.connect_timeout_ms),
                       static_cast<int>(limits.speed_window_ms), static_cast<int>(limits.speed_window_ms));
    ex.connection.reset(WinHttpConnect(ex.session.get(), url.host.c_str(), url.port, 0));
    if (!ex.connection) return "WinHttpConnect";
    ex.request.reset(WinHttpOpenRequest(ex.connection.get(), verb, url.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                        WINHTTP_DEFAULT_ACCEPT_TYPES, url.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!ex.request) return "WinHttpOpenRequest";
    return std::nullopt;
}

std::optional<http_step_failure> step_failure(const char* operation) {
    DWORD code = GetLastError();
    return http_step_failure{operation, code, code == ERROR_WINHTTP_RESEND_REQUEST};
}

enum class body_outcome { complete, failed, too_large };

// The status, then the body up to the response cap; `failed` names the call that failed.
body_outcome read_answer(HINTERNET request, http_result& result, http_step_failure& failed) {
    DWORD status = 0, size = sizeof status;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                             &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        failed = {"WinHttpQueryHeaders", GetLastError(), false};
        return body_outcome::failed;
    }
    result.status_code = status;
    std::string body;
    for (;;) {
        DWORD ready = 0;
        if (!WinHttpQueryDataAvailable(request, &ready)) {
            failed = {"WinHttpQueryDataAvailable", GetLastError(), false};
            return body_outcome::failed;
        }
        if (ready == 0) break;
        if (body.size() + ready > http_response_cap) return body_outcome::too_large;
        std::size_t at = body.size();
        body.resize(at + ready);
        DWORD got = 0;
        if (!WinHttpReadData(request, body.data() + at, ready, &got)) {
            failed = {"WinHttpReadData", GetLastError(), false};
            return body_outcome::failed;
        }
        body.resize(at + got);
    }
    result.response_len = body.size();
    if (!body.empty()) result.response_body = std::move(body);
    return body_outcome::complete;
}

// The whole request body, read from its source once: WinHTTP may have to send it again.
std::optional<std::string> whole_body(const http_body_source& source) {
    if (source.length > 0xFFFFFFFFu) return std::nullopt;
    std::string bytes;
    try {
        bytes.resize(static_cast<std::size_t>(source.length));
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    for (std::size_t done = 0; done < bytes.size();) {
        std::optional<std::size_t> n = source.read(done, bytes.data() + done, bytes.size() - done);
        if (!n || *n == 0) return std::nullopt;
        done += *n;
    }
    return bytes;
}

}  // namespace

std::string winhttp_error_text(std::string_view operation, unsigned long code) {
    return http_error_text("WinHTTP", operation, static_cast<long>(code), system_message(code));
}

void http_post(const std::string& url, const std::optional<std::string>& header_text, const http_body_source& body,
               bool without_client_certificate, http_result& result) {
    result = http_result{};
    DWORD crack_error = 0;
    std::optional<cracked_url> cracked = crack(url, crack_error);
    if (!cracked) {
        result.error_text = winhttp_error_text("WinHttpCrackUrl", crack_error);
        return;
    }
    std::optional<std::string> bytes = whole_body(body);
    if (!bytes) {
        result.error_text = "The request body could not be read";
        return;
    }
    exchange ex;
    if (std::optional<const char*> failed = open_exchange(ex, *cracked, L"POST")) {
        result.error_text = winhttp_error_text(*failed, GetLastError());
        return;
    }
    HINTERNET request = ex.request.get();
    if (without_client_certificate && cracked->secure &&
        !WinHttpSetOption(request, WINHTTP_OPTION_CLIENT_CERT_CONTEXT, WINHTTP_NO_CLIENT_CERT_CONTEXT, 0)) {
        DWORD code = GetLastError();
        app_log("[WinHTTP] WinHttpSetOption(WINHTTP_OPTION_CLIENT_CERT_CONTEXT) failed (%lu)", code);
        result.error_text = winhttp_error_text("WinHttpSetOption", code);
        return;
    }
    if (header_text && !WinHttpAddRequestHeaders(request, to_wide(*header_text).c_str(), static_cast<DWORD>(-1),
                                                 WINHTTP_ADDREQ_FLAG_ADD)) {
        result.error_text = winhttp_error_text("WinHttpAddRequestHeaders", GetLastError());
        return;
    }
    auto length = static_cast<DWORD>(bytes->size());
    void* data = length > 0 ? bytes->data() : WINHTTP_NO_REQUEST_DATA;
    std::optional<http_step_failure> failure = http_send_with_resends(
        "WinHTTP",
        [&]() -> std::optional<http_step_failure> {
            if (WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, data, length, length, 0))
                return std::nullopt;
            return step_failure("WinHttpSendRequest");
        },
        [&]() -> std::optional<http_step_failure> {
            if (WinHttpReceiveResponse(request, nullptr)) return std::nullopt;
            return step_failure("WinHttpReceiveResponse");
        });
    if (failure) {
        result.error_text = winhttp_error_text(failure->operation, failure->code);
        return;
    }
    http_step_failure read_failure;
    switch (read_answer(request, result, read_failure)) {
        case body_outcome::complete: break;
        case body_outcome::too_large: result.error_text = http_response_too_large_text; break;
        case body_outcome::failed: result.error_text = winhttp_error_text(read_failure.operation, read_failure.code); break;
    }
}

void http_get(const std::string& url, http_result& result) {
    result = http_result{};
    DWORD crack_error = 0;
    std::optional<cracked_url> cracked = crack(url, crack_error);
    if (!cracked) {
        result.error_text = "Cannot parse URL";
        return;
    }
    exchange ex;
    if (std::optional<const char*> failed = open_exchange(ex, *cracked, L"GET")) {
        result.error_text = std::string(*failed) + " failed";
        return;
    }
    if (!WinHttpSendRequest(ex.request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(ex.request.get(), nullptr)) {
        result.error_text = "HTTP request failed";
        return;
    }
    http_step_failure ignored;
    switch (read_answer(ex.request.get(), result, ignored)) {
        case body_outcome::complete: break;
        case body_outcome::too_large: result.error_text = http_response_too_large_text; break;
        // A cut body is not handed on as the answer.
        case body_outcome::failed: result.error_text = "HTTP request failed"; break;
    }
}
