// A 150 MB upload must not hold the file in memory: peak resident size stays within
// 16 MB of the idle process. Its own program, so that no other test's peak counts.

#include "base/app_state.h"
#include "documents/upload.h"
#include "page_recorder.h"
#include "support/loopback_server.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

long status_kb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::string(field).size()));
    }
    return -1;
}

}  // namespace

TEST(UploadMemory, PeakDoesNotGrowWithTheFile) {
    loopback_server server;
    ASSERT_TRUE(server.running());
    temp_dir root;
    std::string out = root / "out";
    std::filesystem::create_directories(out + "/sign-myself");
    set_app_paths({root.path(), out, "1.0.4"});
    std::string path = out + "/sign-myself/big.pdf";
    write_file(path, "");
    std::filesystem::resize_file(path, upload_size_limit);

    page_recorder page;
    long idle = status_kb("VmRSS:");
    upload_worker({path, "t", server.url("/respond?status=200&body=%7B%22id%22%3A%22e%22%7D"), "n", "f"});
    long peak = status_kb("VmHWM:");
    ASSERT_EQ(page.wait_for(1).size(), 1u);
    EXPECT_EQ((*page.scripts)[0], upload_result_script({path, std::string("e"), std::nullopt}));
    EXPECT_GT(server.request_body_length(0).value_or(0), upload_size_limit);  // the whole file went out
    EXPECT_LT(peak - idle, 16 * 1024) << "idle " << idle << " kB, peak " << peak << " kB";
}
