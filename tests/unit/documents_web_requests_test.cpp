#include "bridge/web_requests.h"

#include <gtest/gtest.h>

namespace {

http_result answered(unsigned status, std::optional<std::string> body) {
    http_result r;
    r.status_code = status;
    if (body) r.response_len = body->size();
    r.response_body = std::move(body);
    return r;
}

http_result failed(const std::string& text) {
    http_result r;
    r.error_text = text;
    return r;
}

}  // namespace

TEST(WebRequestOutcome, WhatThePageIsTold) {
    std::string long_body = std::string(399, 'x') + "\xc3\xa9" + std::string(600, 'y');  // the cut splits é
    struct row {
        http_result outcome;
        std::optional<std::string> get_body, get_error, token_response, token_error;
    } rows[] = {
        {answered(200, "ok"), "ok", std::nullopt, "ok", std::nullopt},
        {answered(204, std::nullopt), "", std::nullopt, "{}", std::nullopt},
        {answered(404, "gone"), std::nullopt, "HTTP 404", std::nullopt, "HTTP 404: gone"},
        {answered(500, std::nullopt), std::nullopt, "HTTP 500", std::nullopt, "HTTP 500: "},
        {answered(400, long_body), std::nullopt, "HTTP 400", std::nullopt,
         "HTTP 400: " + std::string(399, 'x') + "\xef\xbf\xbd"},
        {answered(200, "a\xff"), "a\xef\xbf\xbd", std::nullopt, "a\xef\xbf\xbd", std::nullopt},
        {failed("HTTP request failed"), std::nullopt, "HTTP request failed", std::nullopt, "HTTP request failed"},
    };
    for (const row& r : rows) {
        auto get = decide_http_get_result("7", r.outcome);
        EXPECT_EQ(get.id, "7");
        EXPECT_EQ(get.body_text, r.get_body);
        EXPECT_EQ(get.error_text, r.get_error);
        auto token = decide_token_result(r.outcome);
        EXPECT_EQ(token.response_text, r.token_response);
        EXPECT_EQ(token.error_text, r.token_error);
    }
}

TEST(HttpClientRules, ErrorTextsRedirectsAndLimits) {
    EXPECT_EQ(http_error_text("curl", "curl_easy_perform", 7, "Couldn't connect to server\r\n "),
              "curl_easy_perform failed (curl 7: Couldn't connect to server)");
    EXPECT_EQ(http_error_text("curl", "curl_url_set", 5, ""), "curl_url_set failed (curl 5)");
    EXPECT_EQ(http_redirect_protocols("https"), "https");
    EXPECT_EQ(http_redirect_protocols("http"), "http,https");

    unsetenv("VELUNIO_HTTP_CONNECT_TIMEOUT_MS");
    setenv("VELUNIO_HTTP_SPEED_WINDOW_MS", "1500", 1);
    http_limits limits = http_limits_from_environment();
    EXPECT_EQ(limits.connect_timeout_ms, 60000);
    EXPECT_EQ(limits.speed_window_ms, 1500);
    EXPECT_EQ(transfer_too_slow_text(limits), "transfer slower than 1024 bytes/s for 1.5 s");
    setenv("VELUNIO_HTTP_SPEED_WINDOW_MS", "soon", 1);
    EXPECT_EQ(http_limits_from_environment().speed_window_ms, 30000);
    unsetenv("VELUNIO_HTTP_SPEED_WINDOW_MS");
}

// Each step: seconds since the start and the bytes moved so far; whether the transfer may go on.
TEST(HttpClientRules, SpeedFloorOverTheWindow) {
    http_limits limits;  // 1024 bytes/s over 30 s: 30720 bytes a window
    struct step {
        double at;
        std::uint64_t moved;
        bool goes_on;
    };
    std::vector<std::pair<const char*, std::vector<step>>> cases = {
        {"silent", {{0, 0, true}, {29.9, 0, true}, {30, 0, false}}},
        {"a byte a second", {{0, 0, true}, {15, 15, true}, {29, 29, true}, {30, 30, false}}},
        {"slow but moving", {{0, 0, true}, {20, 30720, true}, {49, 40000, true}, {50, 61440, true}, {79, 61441, true}}},
        {"fast, then stops", {{0, 0, true}, {1, 1 << 20, true}, {30.5, 1 << 20, true}, {31, 1 << 20, false}}},
    };
    auto t0 = std::chrono::steady_clock::now();
    for (const auto& [name, steps] : cases) {
        transfer_watch watch;
        for (const step& s : steps) {
            auto now = t0 + std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(s.at));
            EXPECT_EQ(transfer_keeps_pace(watch, limits, s.moved, now), s.goes_on) << name << " at " << s.at << " s";
        }
    }
}
