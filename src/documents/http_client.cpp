#include "documents/http_client.h"

#include "base/app_log.h"
#include "base/app_state.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

http_body_source http_body_from_bytes(std::string_view bytes) {
    http_body_source source;
    source.length = bytes.size();
    source.read = [bytes](std::uint64_t offset, char* buffer, std::size_t capacity) -> std::optional<std::size_t> {
        if (offset >= bytes.size()) return std::size_t{0};
        std::size_t n = std::min<std::size_t>(capacity, bytes.size() - offset);
        std::memcpy(buffer, bytes.data() + offset, n);
        return n;
    };
    return source;
}

std::string http_redirect_protocols(std::string_view scheme) { return scheme == "https" ? "https" : "http,https"; }

std::string http_error_text(std::string_view library, std::string_view operation, long code, std::string_view message) {
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.remove_suffix(1);
    std::string text(operation);
    text += " failed (";
    text += library;
    text += " " + std::to_string(code);
    if (!message.empty()) {
        text += ": ";
        text += message;
    }
    text += ")";
    return text;
}

std::optional<http_step_failure> http_send_with_resends(std::string_view tag, const http_step& send,
                                                        const http_step& receive) {
    for (int resends = 0;;) {
        std::optional<http_step_failure> failure = send();
        if (!failure) failure = receive();
        if (!failure || !failure->asks_resend || resends == http_resend_limit) return failure;
        ++resends;
        app_log("[%.*s] %s requested resend (%d/%d)", static_cast<int>(tag.size()), tag.data(),
                failure->operation.c_str(), resends, http_resend_limit);
    }
}

namespace {

long env_milliseconds(const char* name, long fallback) {
    auto value = env_value(name);
    if (!value) return fallback;
    char* end = nullptr;
    long parsed = std::strtol(value->c_str(), &end, 10);
    if (end == value->c_str() || *end != '\0' || parsed <= 0) return fallback;
    return parsed;
}

}  // namespace

http_limits http_limits_from_environment() {
    http_limits limits;
    limits.connect_timeout_ms = env_milliseconds("VELUNIO_HTTP_CONNECT_TIMEOUT_MS", limits.connect_timeout_ms);
    limits.speed_window_ms = env_milliseconds("VELUNIO_HTTP_SPEED_WINDOW_MS", limits.speed_window_ms);
    limits.ca_file = env_value("VELUNIO_HTTP_CA_FILE");
    return limits;
}

bool transfer_keeps_pace(transfer_watch& watch, const http_limits& limits, std::uint64_t moved,
                         std::chrono::steady_clock::time_point now) {
    auto window = std::chrono::milliseconds(limits.speed_window_ms);
    std::uint64_t floor = limits.min_bytes_per_second * static_cast<std::uint64_t>(limits.speed_window_ms) / 1000;
    if (!watch.started || moved - watch.window_bytes >= floor) {
        // A window's worth has moved: the next window starts now.
        watch = {now, moved, true};
        return true;
    }
    return now - watch.window_start < window;
}

std::string transfer_too_slow_text(const http_limits& limits) {
    char text[96];
    std::snprintf(text, sizeof text, "transfer slower than %llu bytes/s for %g s",
                  static_cast<unsigned long long>(limits.min_bytes_per_second), limits.speed_window_ms / 1000.0);
    return text;
}
