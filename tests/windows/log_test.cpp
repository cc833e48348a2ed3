// The application log on a Win32 handle: CR LF line ends, shared with another writer, rotated
// at 3 MiB; and the version read from the executable's version resource.

#include "base/app_log.h"
#include "base/platform.h"
#include "support/temp_dir.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

TEST(Log, LinesEndInCrLfAndRotateAt3MiB) {
    temp_dir root;
    std::string path = root.path() + "\\velunio-print.log";
    ASSERT_TRUE(open_app_log(root.path()));
    // Another process's handle, opened as the log opens it, does not keep this one out.
    HANDLE other = CreateFileW(std::filesystem::path(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(other, "other\r\n", 7, &written, nullptr);
    CloseHandle(other);
    app_log("first %d", 1);
    std::string text = read_file(path);
    EXPECT_TRUE(std::regex_match(text, std::regex("\r\n--- Velunio Printaro started \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ---\r\n"
                                                  "other\r\n\\[\\d\\d:\\d\\d:\\d\\d\\] first 1\r\n")))
        << text;

    std::filesystem::resize_file(path, app_log_rotate_size - 1);
    app_log("below");
    EXPECT_GT(std::filesystem::file_size(path), app_log_rotate_size - 1);
    app_log("rotated");
    EXPECT_TRUE(std::regex_match(read_file(path), std::regex("\\[\\d\\d:\\d\\d:\\d\\d\\] rotated\r\n")));
    EXPECT_NE(read_file(path + ".1").find("below\r\n"), std::string::npos);
    close_app_log();
}

TEST(Log, VersionComesFromTheVersionResource) { EXPECT_EQ(read_app_version(), "1.0.4"); }
