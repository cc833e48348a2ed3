// A second start hands its callback URL to the running instance through WM_COPYDATA. The test
// is the running instance: it holds the mutex and the window of the class a second start looks
// for, whose WM_COPYDATA goes through the program's own receiving side.

#include "app/callback_scheme.h"
#include "app/second_instance.h"
#include "base/app_log.h"
#include "base/app_state.h"
#include "base/page_script.h"
#include "base/platform.h"
#include "process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<std::string> scripts;
std::vector<DWORD> sizes;
int raised = 0;

LRESULT CALLBACK running_window(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_COPYDATA) {
        const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
        sizes.push_back(data->cbData);
        receive_hand_over(copy_data_text(data->lpData, data->cbData));
        return 1;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

std::wstring registry_text(const wchar_t* key, const wchar_t* name, DWORD& bytes) {
    wchar_t value[1024] = {};
    bytes = sizeof value;
    DWORD type = 0;
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) return L"(no key)";
    LSTATUS status = RegQueryValueExW(handle, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes);
    RegCloseKey(handle);
    return status == ERROR_SUCCESS && type == REG_SZ ? value : L"(no string)";
}

}  // namespace

TEST(Instance, TheSchemeOpensThisExecutable) {
    register_callback_scheme();
    const wchar_t* key = L"Software\\Classes\\velunioprinter";
    DWORD bytes = 0;
    EXPECT_EQ(registry_text(key, nullptr, bytes), L"URL:velunioprinter Protocol");
    EXPECT_EQ(registry_text(key, L"URL Protocol", bytes), L"");
    EXPECT_EQ(bytes, 2u);  // the terminator alone
    EXPECT_EQ(registry_text(L"Software\\Classes\\velunioprinter\\shell\\open\\command", nullptr, bytes),
              L"\"" + to_wide(executable_path()) + L"\" \"%1\"");
}

TEST(Instance, ASecondStartHandsItsUrlToTheRunningInstance) {
    temp_dir root;
    set_app_paths({root.path(), root.path(), "1.0.4"});
    ASSERT_TRUE(open_app_log(root.path()));
    ASSERT_EQ(claim_single_instance(root.path()), instance_claim::first);
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = running_window;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"VelunioPrintApp";
    ASSERT_NE(RegisterClassW(&window_class), 0);
    HWND window = CreateWindowExW(0, L"VelunioPrintApp", L"Velunio Printaro", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                                  nullptr, nullptr, window_class.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    set_page_script_runner([](const std::string& script) { scripts.push_back(script); });
    set_bring_to_front_action([] { ++raised; });
    child_options second_start;
    second_start.environment["VELUNIO_OUTPUT_DIR"] = root.path();

    struct {
        std::string arguments;
        std::optional<std::string> url;
    } cases[] = {
        {"\"velunioprinter://callback?code=1&state=a\"", "velunioprinter://callback?code=1&state=a"},
        {"--hidden velunioprinter://callback?code=2", "velunioprinter://callback?code=2"},
        {"velunioprinter://callback?code=3 and more", "velunioprinter://callback?code=3"},
        {"velunioprinter://o'k\\", "velunioprinter://o'k\\"},
        {"VELUNIOPRINTER://callback", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        scripts.clear();
        sizes.clear();
        raised = 0;
        EXPECT_EQ(run_child(VELUNIO_APP_EXE, c.arguments, second_start), 0u);
        ASSERT_EQ(sizes.size(), 1u);
        EXPECT_EQ(raised, 1);
        if (c.url) {
            EXPECT_EQ(sizes[0], (utf8_to_wide(*c.url).size() + 1) * 2);
            EXPECT_EQ(scripts, std::vector<std::string>{callback_script(*c.url)});
        } else {
            EXPECT_EQ(sizes[0], 0u);
            EXPECT_TRUE(scripts.empty());
        }
    }
    std::string log = read_file(root.path() + "\\velunio-print.log");
    EXPECT_NE(log.find("[startup] Second instance, cmdline: --hidden velunioprinter://callback?code=2"), std::string::npos);
    EXPECT_NE(log.find("[callback] handle_second_instance cmdline: \"velunioprinter://callback?code=1&state=a\""),
              std::string::npos);

    DestroyWindow(window);
    EXPECT_EQ(run_child(VELUNIO_APP_EXE, "velunioprinter://callback?code=4", second_start), 0u);
    EXPECT_NE(read_file(root.path() + "\\velunio-print.log").find("[callback] No existing window found - app not running?"),
              std::string::npos);
    set_page_script_runner(nullptr);
    close_app_log();
}

TEST(Instance, TheReceivingSideReadsNoFurtherThanTheSizeSent) {
    const char16_t text[] = u"velunioprinter://a\0b";
    EXPECT_EQ(copy_data_text(text, 2 * 17), "velunioprinter://");  // no terminator inside the size
    EXPECT_EQ(copy_data_text(text, sizeof text), "velunioprinter://a");
    EXPECT_EQ(copy_data_text(text, 3), "v");  // half a character is not read
    EXPECT_EQ(copy_data_text(nullptr, 8), "");
}
