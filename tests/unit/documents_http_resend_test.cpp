#include "base/app_log.h"
#include "documents/http_client.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <deque>

namespace {

// Each step's outcomes in turn: "ok", "resend" (asks for one) or "fail".
std::optional<http_step_failure> next(std::deque<std::string>& outcomes, const char* operation, int& calls) {
    ++calls;
    std::string outcome = outcomes.empty() ? "ok" : outcomes.front();
    if (!outcomes.empty()) outcomes.pop_front();
    if (outcome == "ok") return std::nullopt;
    return http_step_failure{operation, outcome == "resend" ? 12032ul : 12029ul, outcome == "resend"};
}

}  // namespace

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
    for (auto& c : cases) {
        temp_dir root;
        ASSERT_TRUE(open_app_log(root.path()));
        int sends = 0, receives = 0;
        std::optional<http_step_failure> failure = http_send_with_resends(
            "WinHTTP", [&] { return next(c.sends, "Send", sends); }, [&] { return next(c.receives, "Receive", receives); });
        close_app_log();
        EXPECT_EQ(sends, c.expected_sends);
        EXPECT_EQ(failure ? std::optional<std::string>(failure->operation) : std::nullopt, c.failed_call);
        std::string log = read_file(root / "velunio-print.log");
        std::size_t at = 0;
        for (const std::string& line : c.lines) {
            at = log.find("] [WinHTTP] " + line, at);
            EXPECT_NE(at, std::string::npos) << line << "\n" << log;
        }
        EXPECT_EQ(log.find("requested resend (3/2)"), std::string::npos);
        if (c.lines.empty()) {
            EXPECT_EQ(log.find("requested resend"), std::string::npos);
        }
    }
}
