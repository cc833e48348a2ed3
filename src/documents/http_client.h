#pragma once
// One synchronous HTTP exchange per call, on the calling thread. The outcome always comes
// back in an http_result; a status outside 200..299 is not a failure at this level.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

struct http_result {
    unsigned status_code = 0;
    std::optional<std::string> response_body;  // nullopt when the answer had no body
    std::size_t response_len = 0;
    std::optional<std::string> error_text;     // set when the exchange failed; look at nothing else then
};

// Answers beyond this are refused rather than gathered: the page receives a body in one
// script call, and no answer it asks for comes near this. A backend stops reading at the cap.
constexpr std::size_t http_response_cap = 16u * 1024u * 1024u;
constexpr const char* http_response_too_large_text = "HTTP response larger than 16 MiB";

// A request goes out once. A connection dropped or reset after any of the request may have
// reached the server is reported as a failure and never repeated: a repeat would make a second
// envelope, send a 150 MB file again or replay a single-use sign-in code. A backend sends again
// only when its library asks for it before the server could act on the request (WinHTTP's
// ERROR_WINHTTP_RESEND_REQUEST), at most this often; libcurl never asks.
constexpr int http_resend_limit = 2;

// The request body, produced piecewise as it is sent so that a large upload is never held in
// memory. `read` fills up to `capacity` bytes of the body starting at `offset` and returns the
// count, or nullopt to abort the transfer. A redirect that keeps the method asks for offset 0
// again.
struct http_body_source {
    std::uint64_t length = 0;
    std::function<std::optional<std::size_t>(std::uint64_t offset, char* buffer, std::size_t capacity)> read;
};

http_body_source http_body_from_bytes(std::string_view bytes);  // the bytes must outlive the call

// header_text: header lines separated by CR LF, no trailing CR LF. The client-certificate flag
// asks that a server's request for a client certificate be answered without one. User
// information in a URL (http://user:pw@host/) is never sent, neither as authorisation nor
// otherwise, as the Windows URL splitter drops it.
void http_post(const std::string& url, const std::optional<std::string>& header_text, const http_body_source& body,
               bool without_client_certificate, http_result& result);
void http_get(const std::string& url, http_result& result);

// Host and path limits of the URL splitter of the Windows client, kept here so both builds
// refuse the same URLs: a longer part refuses the URL instead of being cut.
constexpr std::size_t http_url_host_limit = 256;
constexpr std::size_t http_url_path_limit = 2048;

// "http,https" for an http URL; "https" for an https one, so a redirect never leaves TLS.
std::string http_redirect_protocols(std::string_view scheme);

// "<operation> failed (<library> <code>: <message>)", or without ": <message>" when the message is
// empty; trailing line ends and blanks of the message are dropped. Each backend names its library.
std::string http_error_text(std::string_view library, std::string_view operation, long code, std::string_view message);

// There is no overall time limit: a 150 MB upload over a slow line may take long. What ends
// an exchange is a connection that cannot be made, or a transfer below the speed floor.

// The resend rule of a library that asks for one when nothing of the request reached the
// server (WinHTTP's ERROR_WINHTTP_RESEND_REQUEST). `send` sends the whole request and
// `receive` waits for the answer; each gives nullopt or its failure. When a failure asks for a
// resend, the whole request goes again, at most http_resend_limit times in all (one count for both steps), each
// time logged as "[<tag>] <operation> requested resend (<n>/2)". The last failure, or nullopt.
struct http_step_failure {
    std::string operation;
    unsigned long code = 0;
    bool asks_resend = false;
};
using http_step = std::function<std::optional<http_step_failure>()>;
std::optional<http_step_failure> http_send_with_resends(std::string_view tag, const http_step& send,
                                                        const http_step& receive);

// The WinHTTP backend's error text: http_error_text("WinHTTP", ...) with the message that
// winhttp.dll, else the system, has for the code (Windows build only).
std::string winhttp_error_text(std::string_view operation, unsigned long code);

struct http_limits {
    long connect_timeout_ms = 60000;
    // Once connected, every window of this length must move at least min_bytes_per_second
    // times its length, either way; a server that stopped, or one that trickles a byte a
    // second, ends the exchange.
    long speed_window_ms = 30000;
    std::uint64_t min_bytes_per_second = 1024;
    std::optional<std::string> ca_file;  // certificates trusted instead of the system's
};
// The bounds above; VELUNIO_HTTP_CONNECT_TIMEOUT_MS and VELUNIO_HTTP_SPEED_WINDOW_MS replace
// them for tests (absent or unreadable values keep the defaults); VELUNIO_HTTP_CA_FILE makes a
// test's own certificate authority the trusted one.
http_limits http_limits_from_environment();

// The speed floor over one exchange. A backend notes the bytes moved so far (both ways) as
// the transfer runs, at least once a second, and ends the exchange when this says so.
struct transfer_watch {
    std::chrono::steady_clock::time_point window_start{};
    std::uint64_t window_bytes = 0;
    bool started = false;
};
// False once a whole window went by below the floor.
bool transfer_keeps_pace(transfer_watch& watch, const http_limits& limits, std::uint64_t moved,
                         std::chrono::steady_clock::time_point now);
// The message of an exchange that fell below the floor.
std::string transfer_too_slow_text(const http_limits& limits);
