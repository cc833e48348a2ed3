#include "register/printer_register.h"

#include <gtest/gtest.h>

namespace {

TEST(RunCaptured, ExitCodeAndBothStreamsAreCaptured) {
    child_result r = run_captured({"sh", "-c", "echo out; echo err >&2; exit 3"}, std::chrono::seconds(10));
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_NE(r.output.find("out\n"), std::string::npos);
    EXPECT_NE(r.output.find("err\n"), std::string::npos);
}

TEST(RunCaptured, LargeOutputDoesNotBlockTheChildAndIsCut) {
    child_result r = run_captured({"sh", "-c", "head -c 300000 /dev/zero | tr '\\0' x; exit 0"}, std::chrono::seconds(10));
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.output, std::string(child_output_limit, 'x'));
}

TEST(RunCaptured, MissingProgramAndOverrunAreFailures) {
    child_result missing = run_captured({"/nonexistent/lpadmin"}, std::chrono::seconds(5));
    EXPECT_FALSE(missing.started);
    EXPECT_NE(missing.error, 0);
    auto start = std::chrono::steady_clock::now();
    child_result slow = run_captured({"sleep", "30"}, std::chrono::milliseconds(300));
    EXPECT_TRUE(slow.started);
    EXPECT_NE(slow.exit_code, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(WaitForIppServer, GivesUpAfterItsAttempts) {
    auto start = std::chrono::steady_clock::now();
    // Port 1 on loopback: nothing listens there on a test machine.
    EXPECT_FALSE(wait_for_ipp_server(3, 1, std::chrono::milliseconds(50)));
    auto spent = std::chrono::steady_clock::now() - start;
    EXPECT_GE(spent, std::chrono::milliseconds(150));
    EXPECT_LT(spent, std::chrono::seconds(3));
}

}  // namespace
