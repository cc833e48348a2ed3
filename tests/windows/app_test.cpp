// The log on a Win32 handle (CR LF line ends, shared with another writer, rotated at 3 MiB),
// the version resource, the callback scheme's registry values and the hand-over's receiving
// side. The hand-over from a real second start is in window_test.cpp.

#include "app/callback_scheme.h"
#include "app/second_instance.h"
#include "base/app_log.h"
#include "base/platform.h"
#include "base/wide_text.h"
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
    EXPECT_EQ(read_app_version(), "1.0.4");  // from the executable's version resource
}

TEST(Instance, TheSchemeOpensThisExecutableAndTheReceiverKeepsToTheSizeSent) {
    register_callback_scheme();
    auto value = [](const wchar_t* key, const wchar_t* name) {
        wchar_t text[1024] = {};
        DWORD bytes = sizeof text;
        LSTATUS status = RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_REG_SZ, nullptr, text, &bytes);
        return status == ERROR_SUCCESS ? std::wstring(text) + L"|" + std::to_wstring(bytes) : L"(none)";
    };
    const wchar_t* key = L"Software\\Classes\\velunioprinter";
    EXPECT_EQ(value(key, nullptr), L"URL:velunioprinter Protocol|56");
    EXPECT_EQ(value(key, L"URL Protocol"), L"|2");  // the terminator alone
    std::wstring command = L"\"" + to_wide(executable_path()) + L"\" \"%1\"";
    EXPECT_EQ(value(L"Software\\Classes\\velunioprinter\\shell\\open\\command", nullptr),
              command + L"|" + std::to_wstring((command.size() + 1) * 2));

    const char16_t text[] = u"velunioprinter://a\0b";
    EXPECT_EQ(copy_data_text(text, 2 * 17), "velunioprinter://");  // no terminator inside the size
    EXPECT_EQ(copy_data_text(text, sizeof text), "velunioprinter://a");
    EXPECT_EQ(copy_data_text(text, 3), "v");  // half a character is not read
    EXPECT_EQ(copy_data_text(nullptr, 8), "");
}
