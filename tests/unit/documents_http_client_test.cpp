#include "base/app_log.h"
#include "base/platform.h"
#include "documents/http_client.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <deque>

// The exchanges themselves are checked against servers (http_client_test.cpp); these are the
// rules that no exchange shows exactly.
TEST(HttpClientRules, ErrorTextsAndLimits) {
    EXPECT_EQ(http_error_text("curl", "curl_easy_perform", 7, "Couldn't connect to server\r\n "),
              "curl_easy_perform failed (curl 7: Couldn't connect to server)");
    EXPECT_EQ(http_error_text("curl", "curl_url_set", 5, ""), "curl_url_set failed (curl 5)");
    set_environment_variable("VELUNIO_HTTP_SPEED_WINDOW_MS", "1500");
    EXPECT_EQ(transfer_too_slow_text(http_limits_from_environment()), "transfer slower than 1024 bytes/s for 1.5 s");
    set_environment_variable("VELUNIO_HTTP_SPEED_WINDOW_MS", "soon");
    EXPECT_EQ(http_limits_from_environment().speed_window_ms, 30000);
    set_environment_variable("VELUNIO_HTTP_SPEED_WINDOW_MS", "");  // empty counts as unset
}

// Each step: seconds since the start and the bytes moved so far; whether the transfer may go on.
TEST(HttpClientRules, SpeedFloorOverTheWindow) {
    http_limits limits;  // 1024 bytes/s over 30 s: 30720 bytes a window
    struct step { double at; std::uint64_t moved; bool goes_on; };
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

// Each step's outcomes in turn, "ok" once they run out: "resend" asks for one, "fail" fails.
TEST(HttpResend, TheWholeRequestGoesAgainAtMostTwiceInAll) {
    struct {
        std::deque<std::string> sends, receives;
        int expected_sends;
        std::optional<std::string> failed_call;
        std::vector<std::string> lines;
    } cases[] = {
        {{}, {}, 1, std::nullopt, {}},
        {{"resend", "resend", "resend"}, {}, 3, "Send", {"Send requested resend (1/2)", "Send requested resend (2/2)"}},
        {{}, {"resend", "resend"}, 3, std::nullopt, {"Receive requested resend (1/2)", "Receive requested resend (2/2)"}},
        {{"resend"}, {"resend", "resend"}, 3, "Receive", {"Send requested resend (1/2)", "Receive requested resend (2/2)"}},
        {{"fail"}, {}, 1, "Send", {}},
        {{}, {"fail"}, 1, "Receive", {}},
    };
    auto step = [](std::deque<std::string>& outcomes, const char* operation) -> std::optional<http_step_failure> {
        std::string outcome = outcomes.empty() ? "ok" : outcomes.front();
        if (!outcomes.empty()) outcomes.pop_front();
        if (outcome == "ok") return std::nullopt;
        return http_step_failure{operation, outcome == "resend" ? 12032ul : 12029ul, outcome == "resend"};
    };
    for (auto& c : cases) {
        temp_dir root;
        ASSERT_TRUE(open_app_log(root.path()));
        int sends = 0;
        std::optional<http_step_failure> failure = http_send_with_resends(
            "WinHTTP", [&] { ++sends; return step(c.sends, "Send"); }, [&] { return step(c.receives, "Receive"); });
        close_app_log();
        EXPECT_EQ(sends, c.expected_sends);
        EXPECT_EQ(failure ? std::optional<std::string>(failure->operation) : std::nullopt, c.failed_call);
        std::string log = read_file(root / "velunio-print.log");
        std::size_t at = 0, resends = 0;
        for (const std::string& line : c.lines) {
            at = log.find("] [WinHTTP] " + line, at);
            EXPECT_NE(at, std::string::npos) << line << "\n" << log;
        }
        for (at = log.find("requested resend"); at != std::string::npos; at = log.find("requested resend", at + 1)) ++resends;
        EXPECT_EQ(resends, c.lines.size()) << log;
    }
}
