#include "base/app_log.h"
#include "documents/http_client.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <deque>

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
