// The main window under Wine and an X display, made by the host in this process: the strip's
// pixels and hover, the buttons, the drag, the page's size and colour, real second starts'
// hand-overs and results from several threads. The web view's failure runs the program.

#include "app/second_instance.h"
#include "base/app_log.h"
#include "base/app_state.h"
#include "base/page_script.h"
#include "base/platform.h"
#include "base/posted_messages.h"
#include "bridge/handlers.h"
#include "host/main_window.h"
#include "host/window_shell.h"
#include "support/temp_dir.h"
#include "win32_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <thread>
#include <vector>

namespace {

// The visible top-level window of a class that a process owns.
HWND window_of(DWORD process, const wchar_t* window_class) {
    for (HWND w = nullptr; (w = FindWindowExW(nullptr, w, window_class, nullptr));) {
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        if (owner == process && IsWindowVisible(w)) return w;
    }
    return nullptr;
}

std::wstring text_of(HWND w, int item = 0) {
    wchar_t text[256] = {};
    item ? GetDlgItemTextW(w, item, text, 256) : GetWindowTextW(w, text, 256);
    return text;
}

COLORREF pixel(HWND w, POINT p) {
    HDC dc = GetDC(w);
    COLORREF c = GetPixel(dc, p.x, p.y);
    ReleaseDC(w, dc);
    return c;
}

void mouse(DWORD flags, LONG dx = 0, LONG dy = 0) {
    INPUT input{INPUT_MOUSE, {{dx, dy, 0, flags, 0, 0}}};
    SendInput(1, &input, sizeof input);
}

void point_at(HWND w, int x, int y) {
    POINT p{x, y};
    ClientToScreen(w, &p);
    SetCursorPos(p.x, p.y);
}

RECT rect_of(HWND w) {
    RECT r{};
    GetWindowRect(w, &r);
    return r;
}

// What reaches the window from second starts: the size of each WM_COPYDATA, and the raises.
WNDPROC window_procedure = nullptr;
std::vector<DWORD> sizes_sent;
int raised = 0;
LRESULT CALLBACK recording_procedure(HWND w, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_COPYDATA) sizes_sent.push_back(reinterpret_cast<const COPYDATASTRUCT*>(lparam)->cbData);
    return CallWindowProcW(window_procedure, w, message, wparam, lparam);
}

constexpr COLORREF strip = RGB(250, 251, 252), dark = RGB(50, 50, 50), red = RGB(232, 17, 35),
                   white = RGB(255, 255, 255), grey = RGB(229, 229, 229);

// The test is the running instance: it holds the mutex, and second starts log beside it.
class MainWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        root = new temp_dir;
        set_app_paths({root->path(), root->path(), "1.0.4"});
        set_environment_variable("VELUNIO_OUTPUT_DIR", root->path());
        open_app_log(root->path());
        ASSERT_EQ(claim_single_instance(root->path()), instance_claim::first);
        install_window_shell();
        ASSERT_TRUE(create_main_window(false));
        window = window_of(GetCurrentProcessId(), L"VelunioPrintApp");
    }
    void SetUp() override {
        ASSERT_NE(window, nullptr);
        show_and_raise_main_window();
        handler_resize_window("home");
        ASSERT_TRUE(pump_until([] { return IsWindowVisible(window) && !IsIconic(window); }));
    }
    // Every pixel as expected, once the window has repainted.
    static void expect_pixels(const std::vector<std::pair<POINT, COLORREF>>& expected) {
        auto all = [&] { return std::ranges::all_of(expected, [](auto& e) { return pixel(window, e.first) == e.second; }); };
        pump_until(all, 3000);
        for (const auto& [p, c] : expected) EXPECT_EQ(pixel(window, p), c) << "at " << p.x << "," << p.y;
    }
    std::string log() const { return read_file(root->path() + "\\velunio-print.log"); }
    static inline temp_dir* root = nullptr;
    static inline HWND window = nullptr;
};

}  // namespace

// At 96 DPI, 514 wide: close covers x 468-513, minimise 422-467 of the top 28 rows; the cross
// is centred at (491, 14), the dash at (445, 14), each 11 pixels long.
TEST_F(MainWindow, TheStripFollowsThePointer) {
    EXPECT_EQ(text_of(window), L"Velunio Printaro");
    struct {
        const char* what;
        POINT pointer;  // client coordinates
        std::vector<std::pair<POINT, COLORREF>> pixels;
    } rows[] = {
        {"nothing hovered", {200, 200},
         {{{10, 10}, strip}, {{470, 2}, strip}, {{425, 2}, strip}, {{200, 200}, strip}, {{491, 14}, dark}, {{486, 9}, dark},
          {{496, 19}, dark}, {{496, 9}, dark}, {{486, 19}, dark}, {{491, 9}, strip}, {{497, 20}, strip}, {{440, 14}, dark},
          {{450, 14}, dark}, {{439, 14}, strip}, {{451, 14}, strip}}},
        {"close hovered", {470, 5},
         {{{470, 2}, red}, {{513, 27}, red}, {{491, 14}, white}, {{486, 9}, white}, {{486, 19}, white}, {{491, 9}, red},
          {{467, 2}, strip}, {{445, 14}, dark}}},
        {"minimise hovered", {430, 5},
         {{{425, 2}, grey}, {{422, 27}, grey}, {{421, 2}, strip}, {{440, 14}, dark}, {{451, 14}, grey}, {{470, 2}, strip},
          {{491, 14}, dark}}},
        {"left through the top", {430, -40}, {{{425, 2}, strip}, {{445, 14}, dark}}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        point_at(window, r.pointer.x, r.pointer.y);
        expect_pixels(r.pixels);
    }
}

TEST_F(MainWindow, TheReleaseOverAButtonActs) {
    struct {
        POINT at;
        std::function<bool()> acted;
    } rows[] = {{{430, 10}, [] { return IsIconic(window) != FALSE; }},
                {{470, 10}, [] { return !IsWindowVisible(window) && IsWindow(window); }}};  // hidden, not destroyed
    for (const auto& r : rows) {
        SetUp();
        point_at(window, r.at.x, r.at.y);
        mouse(MOUSEEVENTF_LEFTDOWN);
        mouse(MOUSEEVENTF_LEFTUP);
        EXPECT_TRUE(pump_until(r.acted)) << r.at.x;
    }
}

TEST_F(MainWindow, DraggingTheStripMovesIt) {
    RECT before = rect_of(window);
    point_at(window, 300, 10);
    mouse(MOUSEEVENTF_LEFTDOWN);
    // The system's move loop runs inside this thread's dispatch: another thread moves the
    // pointer once the loop has begun, a step at a time, each waited for (under load Wine's
    // loop may otherwise take the release before the last move).
    DWORD main_thread = GetCurrentThreadId();
    std::thread hand([&] {
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        pump_until([&] { return GetGUIThreadInfo(main_thread, &info) && (info.flags & GUI_INMOVESIZE); });
        for (int i = 1; i <= 10; ++i) {
            mouse(MOUSEEVENTF_MOVE, 6, 4);
            pump_until([&] { return rect_of(window).left == before.left + 6 * i; }, 1000);
        }
        mouse(MOUSEEVENTF_LEFTUP);
    });
    pump_until([&] { return rect_of(window).left != before.left && !(GetAsyncKeyState(VK_LBUTTON) & 0x8000); });
    hand.join();
    RECT after = rect_of(window);
    EXPECT_EQ(after.left - before.left, 60);
    EXPECT_EQ(after.top - before.top, 40);
}

// The page's screens keep the bottom-left corner, and nothing else resizes the window.
TEST_F(MainWindow, ThePagesSizesHoldAndKeepTheBottomLeftCorner) {
    struct {
        const char* screen;
        LONG width, height;
    } rows[] = {{"home-with-banner", 514, 526}, {"another", 424, 442}, {"home", 514, 442}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.screen);
        RECT before = rect_of(window);
        handler_resize_window(std::string(r.screen));
        SetWindowPos(window, nullptr, 0, 0, 600, 300, SWP_NOMOVE | SWP_NOZORDER);
        RECT after = rect_of(window);
        EXPECT_EQ(after.right - after.left, r.width);
        EXPECT_EQ(after.bottom - after.top, r.height);
        EXPECT_EQ(after.left, before.left);
        EXPECT_EQ(after.bottom, before.bottom);
    }
}

TEST_F(MainWindow, ThePagesColourRepaintsTheWindow) {
    handler_set_window_background(std::string("#1e90ff"));
    expect_pixels({{{10, 10}, RGB(30, 144, 255)}, {{200, 200}, RGB(30, 144, 255)}, {{491, 14}, dark}});
    handler_set_window_background(std::string("#fff"));  // too short: nothing changes
    handler_set_window_background(std::string("#fafbfc"));
    expect_pixels({{{10, 10}, strip}, {{200, 200}, strip}});
}

// Second starts find this window by its class and hand their URL over, UTF-16 with its
// terminator (nothing without one); each raises the window, the first from hidden.
TEST_F(MainWindow, SecondStartsHandTheirUrlOverAndRaiseTheWindow) {
    ShowWindow(window, SW_HIDE);
    set_bring_to_front_action([] {
        ++raised;
        show_and_raise_main_window();
    });
    std::vector<std::string> scripts;
    set_page_script_runner([&](const std::string& s) { scripts.push_back(s); });
    window_procedure = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(recording_procedure)));
    struct {
        std::string arguments;
        std::optional<std::string> url;
    } cases[] = {
        {"\"velunioprinter://callback?code=1&state=a\"", "velunioprinter://callback?code=1&state=a"},
        {"--hidden velunioprinter://callback?code=2", "velunioprinter://callback?code=2"},
        {"velunioprinter://callback?code=3 and more", "velunioprinter://callback?code=3"},
        {"velunioprinter://o'k\\", "velunioprinter://o'k\\"},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        scripts.clear();
        sizes_sent.clear();
        raised = 0;
        EXPECT_EQ(run_child(VELUNIO_APP_EXE, c.arguments), 0u);
        EXPECT_EQ(raised, 1);
        EXPECT_TRUE(IsWindowVisible(window));
        EXPECT_EQ(GetForegroundWindow(), window);
        EXPECT_EQ(sizes_sent, std::vector<DWORD>{c.url ? static_cast<DWORD>(utf8_to_wide(*c.url).size() + 1) * 2 : 0});
        EXPECT_EQ(scripts, c.url ? std::vector{callback_script(*c.url)} : std::vector<std::string>{});
    }
    SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(window_procedure));
    set_page_script_runner(nullptr);
    EXPECT_NE(log().find("[startup] Second instance, cmdline: --hidden velunioprinter://callback?code=2\r\n"),
              std::string::npos);
}

// Four threads post every kind of result; each reaches its own deliverer on this thread, in
// each thread's order. A message of the same number that this program did not post is ignored.
TEST_F(MainWindow, ResultsFromSeveralThreadsArriveInOrderOnTheMainThread) {
    constexpr std::size_t threads = 4, per_thread = 250;
    std::vector<std::pair<int, std::string>> got;  // kind, tag
    auto note = [&](int kind, const std::string& tag) {
        EXPECT_EQ(GetCurrentThreadId(), GetWindowThreadProcessId(window, nullptr));
        got.emplace_back(kind, tag);
    };
    set_posted_deliverer([&](const token_result& r) { note(0, *r.response_text); });
    set_posted_deliverer([&](const upload_result& r) { note(1, r.path); });
    set_posted_deliverer([&](const printed_file_event& e) { note(2, e.path); });
    set_posted_deliverer([&](const http_get_result& r) { note(3, r.id); });
    set_posted_deliverer([&](const upload_progress& p) { note(4, p.path); });
    auto payload = [](int i, std::string tag) -> posted_payload {
        switch (i % 5) {
            case 0: return token_result{tag, std::nullopt};
            case 1: return upload_result{tag, "env", std::nullopt};
            case 2: return printed_file_event{tag, "sign_myself"};
            case 3: return http_get_result{tag, "body", std::nullopt};
            default: return upload_progress{tag, 1, 2};
        }
    };
    PostMessageW(window, WM_USER + 101, 0, 0x1234);
    std::vector<std::thread> workers;
    for (std::size_t t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (std::size_t i = 0; i < per_thread; ++i)
                post_to_main_window(payload(static_cast<int>(i), std::to_string(t) + ":" + std::to_string(i)));
        });
    bool all = pump_until([&] { return got.size() >= threads * per_thread; }, 20000);
    for (auto& w : workers) w.join();
    install_bridge_deliverers();
    ASSERT_TRUE(all) << got.size() << " arrived";
    std::map<int, int> next;
    for (const auto& [kind, tag] : got) {
        int t = std::stoi(tag), i = std::stoi(tag.substr(tag.find(':') + 1));
        EXPECT_EQ(i, next[t]++) << "thread " << t << " out of order";
        EXPECT_EQ(kind, i % 5) << tag;
    }
    EXPECT_EQ(got.size(), threads * per_thread);
    EXPECT_NE(log().find("[window] Ignored a result message that this program did not post"), std::string::npos);
}

// Last: the window cannot come back in this process.
TEST_F(MainWindow, WithoutTheWindowResultsAreDroppedAndSecondStartsFindNone) {
    DestroyWindow(window);
    window = nullptr;
    post_to_main_window(token_result{"{}", std::nullopt});
    EXPECT_NE(log().find("[window] The main thread could not be reached; dropped one token result"), std::string::npos);
    EXPECT_EQ(run_child(VELUNIO_APP_EXE, "velunioprinter://callback?code=4"), 0u);
    EXPECT_NE(log().find("[callback] No existing window found - app not running?"), std::string::npos);
}

// Without the runtime's loader, or beside a library of its name that lacks the environment
// entry, the program shows its window and the box that asks for the runtime, and ends with exit
// code 1 once the box is closed.
TEST(WebViewLoader, WithoutTheLoaderTheRunTellsTheUserAndEndsWithOne) {
    for (const char* loader : {static_cast<const char*>(nullptr), VELUNIO_FAKE_LOADER_DLL}) {
        SCOPED_TRACE(loader ? "a loader without the entry" : "no loader");
        temp_dir root;
        std::filesystem::create_directory(root / "app");
        std::filesystem::copy_file(VELUNIO_APP_EXE, root / "app/velunio-print-app.exe");
        if (loader) std::filesystem::copy_file(loader, root / "app/WebView2Loader.dll");
        set_environment_variable("VELUNIO_OUTPUT_DIR", root.path());
        unique_handle run = start_child(root / "app/velunio-print-app.exe", "");
        ASSERT_TRUE(run);
        DWORD id = GetProcessId(run.get());
        HWND box = nullptr;
        ASSERT_TRUE(pump_until([&] { return (box = window_of(id, L"#32770")) != nullptr; }, 30000));
        EXPECT_EQ(text_of(box, 0xFFFF),
                  L"Could not create WebView2 environment.\nPlease install the WebView2 Runtime from Microsoft.");
        EXPECT_EQ(text_of(box), L"Velunio Printaro");
        EXPECT_TRUE(GetWindowLongPtrW(box, GWL_EXSTYLE) & WS_EX_TOPMOST);
        // The window came first: centred as made at 514 x 442, held to 514 x 414 at once.
        HWND made = window_of(id, L"VelunioPrintApp");
        EXPECT_EQ(text_of(made), L"Velunio Printaro");
        RECT r = rect_of(made);
        EXPECT_EQ(r.left, (GetSystemMetrics(SM_CXSCREEN) - 514) / 2);
        EXPECT_EQ(r.top, (GetSystemMetrics(SM_CYSCREEN) - 442) / 2);
        EXPECT_EQ(r.right - r.left, 514);
        EXPECT_EQ(r.bottom - r.top, 414);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        EXPECT_EQ(wait_for_child(run.get(), 30000), 1u);
        EXPECT_NE(read_file(root / "velunio-print.log")
                      .find(loader ? "has no CreateCoreWebView2EnvironmentWithOptions" : "WebView2Loader.dll not loaded"),
                  std::string::npos);
    }
}
