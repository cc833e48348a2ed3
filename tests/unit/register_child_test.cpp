// The child process seam of the Linux build; the Windows build has its own tests.
#include "register/printer_register.h"

#include <gtest/gtest.h>

TEST(RegisterChild, OutputExitCodesAndLimits) {
    child_result r = run_captured({"sh", "-c", "echo out; echo err >&2; head -c 300000 /dev/zero | tr '\\0' x; exit 3"},
                                  std::chrono::seconds(10));
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.output.size(), child_output_limit);
    EXPECT_TRUE(r.output.starts_with("out\nerr\n") || r.output.starts_with("err\nout\n")) << r.output.substr(0, 20);
    EXPECT_FALSE(run_captured({"/nonexistent/lpadmin"}, std::chrono::seconds(5)).started);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run_captured({"sleep", "30"}, std::chrono::milliseconds(300)).exit_code, 259);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}
