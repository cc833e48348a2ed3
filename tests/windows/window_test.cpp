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
#include <array>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>
#include <vector>

namespace {

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

void point_at(HWND w, POINT p) {
    ClientToScreen(w, &p);
    SetCursorPos(p.x, p.y);
}

RECT rect_of(HWND w) {
    RECT r{};
    GetWindowRect(w, &r);
    return r;
}

// The window's own procedure, and the size of each WM_COPYDATA that second starts send it.
WNDPROC window_procedure = nullptr;
std::vector<DWORD> sizes_sent;
LRESULT CALLBACK recording_procedure(HWND w, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_COPYDATA) sizes_sent.push_back(reinterpret_cast<const COPYDATASTRUCT*>(lparam)->cbData);
    return CallWindowProcW(window_procedure, w, message, wparam, lparam);
}

constexpr COLORREF strip = RGB(250, 251, 252), dark = RGB(50, 50, 50), red = RGB(232, 17, 35),
                   white = RGB(255, 255, 255), grey = RGB(229, 229, 229), light = RGB(240, 240, 240);

// The test is the running instance: it holds the mutex, and second starts log beside it, into
// the log that it holds open. The page's scripts are recorded, and must run on this thread.
class MainWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        root = std::make_unique<temp_dir>();
        set_app_paths({root->path(), root->path(), "1.0.4"});
        set_environment_variable("VELUNIO_OUTPUT_DIR", root->path());
        open_app_log(root->path());
        ASSERT_EQ(claim_single_instance(root->path()), instance_claim::first);
        set_bring_to_front_action(show_and_raise_main_window);
        set_page_script_runner([main_thread = GetCurrentThreadId()](const std::string& script) {
            EXPECT_EQ(GetCurrentThreadId(), main_thread);
            scripts.push_back(script);
        });
        install_bridge_deliverers();
        install_window_shell();
        ASSERT_TRUE(create_main_window(false));
        window = FindWindowW(L"VelunioPrintApp", nullptr);
        window_procedure = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(recording_procedure)));
    }
    static void TearDownTestSuite() {
        close_app_log();
        root.reset();
    }
    void SetUp() override {
        show_and_raise_main_window();
        handler_resize_window("home");
        ASSERT_TRUE(pump_until([] { return IsWindowVisible(window) && !IsIconic(window); }));
    }
    // Every pixel as expected, once the window has repainted.
    static void expect_pixels(const std::vector<std::pair<POINT, COLORREF>>& expected) {
        auto shown = [](const auto& e) { return pixel(window, e.first) == e.second; };
        pump_until([&] { return std::ranges::all_of(expected, shown); }, 3000);
        for (const auto& [p, c] : expected) EXPECT_EQ(pixel(window, p), c) << "at " << p.x << "," << p.y;
    }
    static bool logged(const std::string& line) { return read_file(app_log_path()).find(line) != std::string::npos; }
    static inline std::unique_ptr<temp_dir> root;
    static inline HWND window = nullptr;
    static inline std::vector<std::string> scripts;
};

}  // namespace

// At 96 DPI, 514 wide: close covers x 468-513, minimise 422-467 of the top 28 rows; the cross
// is centred at (491, 14), the dash at (445, 14), each 11 pixels long. The page's colour
// repaints the window. A release over minimise minimises; over close it hides the window,
// which stays.
TEST_F(MainWindow, TheStripFollowsThePointerAndThePageAndItsButtonsAct) {
    EXPECT_EQ(FindWindowW(L"VelunioPrintApp", L"Velunio Printaro"), window);
    constexpr COLORREF page = RGB(32, 32, 32);  // dark: the glyphs turn light
    struct {
        const char* what;
        POINT pointer;  // client coordinates
        std::vector<std::pair<POINT, COLORREF>> pixels;
        const char* colour = nullptr;  // the page's
        bool (*clicked)() = nullptr;   // what a click there does
    } rows[] = {
        {"nothing hovered", {200, 200},
         {{{10, 10}, strip}, {{470, 2}, strip}, {{425, 2}, strip}, {{200, 200}, strip}, {{491, 14}, dark},
          {{486, 9}, dark}, {{496, 19}, dark}, {{496, 9}, dark}, {{486, 19}, dark}, {{491, 9}, strip},
          {{497, 20}, strip}, {{440, 14}, dark}, {{450, 14}, dark}, {{439, 14}, strip}, {{451, 14}, strip}}},
        {"close hovered", {470, 5},
         {{{470, 2}, red}, {{513, 27}, red}, {{491, 14}, white}, {{486, 9}, white}, {{486, 19}, white}, {{491, 9}, red},
          {{467, 2}, strip}, {{445, 14}, dark}}},
        {"minimise hovered", {430, 5},
         {{{425, 2}, grey}, {{422, 27}, grey}, {{421, 2}, strip}, {{440, 14}, dark}, {{451, 14}, grey},
          {{470, 2}, strip}, {{491, 14}, dark}}},
        {"left through the top", {430, -40}, {{{425, 2}, strip}, {{445, 14}, dark}}},
        {"page colour", {200, 200}, {{{10, 10}, page}, {{200, 200}, page}, {{491, 14}, light}}, "#202020"},
        {"minimise clicked", {430, 10}, {}, nullptr, [] { return IsIconic(window) != FALSE; }},
        {"close clicked", {470, 10}, {}, nullptr, [] { return !IsWindowVisible(window) && IsWindow(window); }},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        if (r.clicked) SetUp();
        if (r.colour) handler_set_window_background(std::string(r.colour));
        point_at(window, r.pointer);
        expect_pixels(r.pixels);
        if (!r.clicked) continue;
        mouse(MOUSEEVENTF_LEFTDOWN);
        mouse(MOUSEEVENTF_LEFTUP);
        EXPECT_TRUE(pump_until(r.clicked));
    }
}

TEST_F(MainWindow, DraggingTheStripMovesIt) {
    RECT before = rect_of(window);
    point_at(window, {300, 10});
    mouse(MOUSEEVENTF_LEFTDOWN);
    // The system's move loop runs inside this thread's dispatch: another thread moves the pointer once
    // the loop has begun, a step at a time, each waited for (else Wine may take the release first).
    std::thread hand([&, main_thread = GetCurrentThreadId()] {
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
    EXPECT_EQ(std::pair(rect_of(window).left - before.left, rect_of(window).top - before.top), std::pair(60L, 40L));
}

// The page's screens keep the bottom-left corner, and nothing else resizes the window.
TEST_F(MainWindow, ThePagesSizesHoldAndKeepTheBottomLeftCorner) {
    for (auto [screen, width, height] :
         {std::tuple{"home-with-banner", 514L, 526L}, {"another", 424L, 442L}, {"home", 514L, 442L}}) {
        RECT before = rect_of(window);
        handler_resize_window(std::string(screen));
        SetWindowPos(window, nullptr, 0, 0, 600, 300, SWP_NOMOVE | SWP_NOZORDER);
        RECT after = rect_of(window);
        EXPECT_EQ((std::array{after.right - after.left, after.bottom - after.top, after.left, after.bottom}),
                  (std::array{width, height, before.left, before.bottom})) << screen;
    }
}

// Second starts find this window by its class and hand their URL over, UTF-16 with its
// terminator (nothing without one); each shows, restores and raises the window.
TEST_F(MainWindow, SecondStartsHandTheirUrlOverAndRaiseTheWindow) {
    ShowWindow(window, SW_HIDE);  // the first comes back from hidden, the others from minimised
    for (auto [arguments, url] : std::vector<std::pair<std::string, std::optional<std::string>>>{
             {"\"velunioprinter://callback?code=1&state=a\"", "velunioprinter://callback?code=1&state=a"},
             {"--hidden velunioprinter://callback?code=2", "velunioprinter://callback?code=2"},
             {"", std::nullopt}}) {
        SCOPED_TRACE(arguments);
        scripts.clear();
        sizes_sent.clear();
        EXPECT_EQ(run_child(VELUNIO_APP_EXE, arguments), 0u);
        EXPECT_TRUE(IsWindowVisible(window) && !IsIconic(window) && GetForegroundWindow() == window);
        EXPECT_EQ(sizes_sent, std::vector<DWORD>{url ? static_cast<DWORD>(utf8_to_wide(*url).size() + 1) * 2 : 0});
        EXPECT_EQ(scripts, url ? std::vector{callback_script(*url)} : std::vector<std::string>{});
        ShowWindow(window, SW_MINIMIZE);
    }
}

// Four threads post every kind of result, each kind its own message number; all reach the page on
// this thread, in each thread's order (which page function each becomes: PostedMessages). A
// message of the same number that this program did not post is ignored.
TEST_F(MainWindow, ResultsFromSeveralThreadsArriveInOrderOnTheMainThread) {
    constexpr int threads = 4, per_thread = 250;
    scripts.clear();
    PostMessageW(window, WM_USER + 101, 0, 0x1234);
    std::vector<std::jthread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([t] {
            for (int i = 0; i < per_thread; ++i) {
                std::string tag = std::to_string(t) + ":" + std::to_string(i);
                posted_payload kinds[] = {token_result{tag, std::nullopt}, upload_result{tag, "e", std::nullopt},
                                          printed_file_event{tag, "sign_myself"},
                                          http_get_result{tag, "b", std::nullopt}, upload_progress{tag, 1, 2}};
                post_to_main_window(kinds[i % 5]);
            }
        });
    EXPECT_TRUE(pump_until([&] { return scripts.size() >= threads * per_thread; }, 20000)) << scripts.size();
    std::map<int, int> next;
    for (const std::string& s : scripts) {
        int t = -1, i = -1;  // the tag is the script's first number
        ASSERT_EQ(std::sscanf(s.c_str() + std::min(s.find_first_of("0123456789"), s.size()), "%d:%d", &t, &i), 2) << s;
        EXPECT_EQ(i, next[t]++) << "thread " << t << " out of order";
    }
    EXPECT_TRUE(logged("[window] Ignored a result message that this program did not post"));
}

// Last: the window cannot come back in this process. The log holds the second starts' lines
// among this process's: each handle appends.
TEST_F(MainWindow, WithoutTheWindowResultsAreDroppedAndSecondStartsFindNone) {
    DestroyWindow(window);
    window = nullptr;
    post_to_main_window(token_result{"{}", std::nullopt});
    EXPECT_TRUE(logged("[window] The main thread could not be reached; dropped one token result"));
    EXPECT_EQ(run_child(VELUNIO_APP_EXE, "velunioprinter://callback?code=4"), 0u);
    EXPECT_TRUE(logged("[callback] No existing window found - app not running?"));
    EXPECT_TRUE(logged("[startup] Second instance, cmdline: --hidden velunioprinter://callback?code=2\r\n"));
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
        HWND box = nullptr;  // the program's, by its class and title: this test has no windows
        auto shown = [&] { return IsWindowVisible(box = FindWindowW(L"#32770", L"Velunio Printaro")); };
        ASSERT_TRUE(pump_until(shown, 30000));
        wchar_t text[256] = {};
        GetDlgItemTextW(box, 0xFFFF, text, 256);
        EXPECT_STREQ(text, L"Could not create WebView2 environment.\n"
                           L"Please install the WebView2 Runtime from Microsoft.");
        EXPECT_TRUE(GetWindowLongPtrW(box, GWL_EXSTYLE) & WS_EX_TOPMOST);
        // The window came first: centred as made at 514 x 442, held to 514 x 414 at once.
        RECT r = rect_of(FindWindowW(L"VelunioPrintApp", L"Velunio Printaro"));
        LONG left = (GetSystemMetrics(SM_CXSCREEN) - 514) / 2, top = (GetSystemMetrics(SM_CYSCREEN) - 442) / 2;
        EXPECT_EQ((std::array{r.left, r.top, r.right - r.left, r.bottom - r.top}), (std::array{left, top, 514L, 414L}));
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        EXPECT_EQ(wait_for_child(run.get(), 30000), 1u);
        const char* why = loader ? "has no CreateCoreWebView2EnvironmentWithOptions" : "WebView2Loader.dll not loaded";
        EXPECT_NE(read_file(root / "velunio-print.log").find(why), std::string::npos);
    }
}
