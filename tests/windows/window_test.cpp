// The main window under Wine and a private X display: the drawn strip's pixels and its hover,
// the buttons' release, the drag, the hand-over from a second start, the page's size and colour,
// and worker results reaching the main thread. The window is the program's own, made by the
// host in this process; the web view's failure runs the program itself.

#include "app/second_instance.h"
#include "base/app_log.h"
#include "base/app_state.h"
#include "base/page_script.h"
#include "base/posted_messages.h"
#include "bridge/handlers.h"
#include "host/main_window.h"
#include "host/window_shell.h"
#include "process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <thread>
#include <vector>

namespace {

// Serves this thread's messages until `done` holds or `limit_ms` has passed.
bool pump_until(const std::function<bool()>& done, DWORD limit_ms = 5000) {
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > limit_ms) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return true;
}

// The top-level window of a class that a process owns.
HWND window_of(DWORD process, const wchar_t* window_class) {
    struct search {
        DWORD process;
        const wchar_t* window_class;
        HWND found = nullptr;
    } s{process, window_class};
    EnumWindows(
        [](HWND w, LPARAM p) -> BOOL {
            auto* s = reinterpret_cast<search*>(p);
            DWORD owner = 0;
            wchar_t name[64] = {};
            GetWindowThreadProcessId(w, &owner);
            GetClassNameW(w, name, 64);
            if (owner != s->process || std::wstring(name) != s->window_class) return TRUE;
            s->found = w;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&s));
    return s.found;
}

std::wstring text_of(HWND w) {
    wchar_t text[256] = {};
    GetWindowTextW(w, text, 256);
    return text;
}

rgb_colour pixel(HWND w, int x, int y) {
    HDC dc = GetDC(w);
    COLORREF c = GetPixel(dc, x, y);
    ReleaseDC(w, dc);
    return {GetRValue(c), GetGValue(c), GetBValue(c)};
}

std::string shown(rgb_colour c) {
    return "(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

void mouse(DWORD flags) {
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = flags;
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

constexpr rgb_colour strip{250, 251, 252}, dark{50, 50, 50}, red{232, 17, 35}, white{255, 255, 255},
    grey{229, 229, 229};

class MainWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        root = new temp_dir;
        set_app_paths({root->path(), root->path(), "1.0.4"});
        open_app_log(root->path());
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
    // Every pixel as expected, waiting for the repaint.
    static void expect_pixels(const std::vector<std::pair<POINT, rgb_colour>>& expected) {
        auto all = [&] {
            for (const auto& [p, c] : expected)
                if (pixel(window, p.x, p.y) != c) return false;
            return true;
        };
        pump_until(all, 3000);
        for (const auto& [p, c] : expected)
            EXPECT_EQ(shown(pixel(window, p.x, p.y)), shown(c)) << "at " << p.x << "," << p.y;
    }
    static inline temp_dir* root = nullptr;
    static inline HWND window = nullptr;
};

}  // namespace

// The page's size holds: nothing makes the window larger or smaller.
TEST_F(MainWindow, HasItsTitleAndKeepsThePagesSize) {
    EXPECT_EQ(text_of(window), L"Velunio Printaro");
    for (SIZE asked : {SIZE{600, 600}, SIZE{100, 100}}) {
        SetWindowPos(window, nullptr, 0, 0, asked.cx, asked.cy, SWP_NOMOVE | SWP_NOZORDER);
        RECT r = rect_of(window);
        EXPECT_EQ(r.right - r.left, 514);
        EXPECT_EQ(r.bottom - r.top, 442);
    }
}

// At 96 DPI, 514 wide: close covers x 468-513, minimise 422-467 of the top 28 rows; the cross
// is centred at (491, 14), the dash at (445, 14), each 11 pixels long.
TEST_F(MainWindow, TheStripFollowsThePointer) {
    struct row {
        const char* what;
        POINT pointer;  // client coordinates; off the window when negative
        std::vector<std::pair<POINT, rgb_colour>> pixels;
    } rows[] = {
        {"nothing hovered",
         {200, 200},
         {{{10, 10}, strip}, {{470, 2}, strip}, {{425, 2}, strip}, {{491, 14}, dark}, {{486, 9}, dark},
          {{496, 19}, dark}, {{496, 9}, dark}, {{486, 19}, dark}, {{491, 9}, strip}, {{497, 20}, strip},
          {{440, 14}, dark}, {{450, 14}, dark}, {{439, 14}, strip}, {{451, 14}, strip}, {{200, 200}, strip}}},
        {"close hovered",
         {470, 5},
         {{{470, 2}, red}, {{513, 27}, red}, {{491, 14}, white}, {{486, 9}, white}, {{486, 19}, white},
          {{491, 9}, red}, {{467, 2}, strip}, {{445, 14}, dark}}},
        {"minimise hovered",
         {430, 5},
         {{{425, 2}, grey}, {{422, 27}, grey}, {{421, 2}, strip}, {{440, 14}, dark}, {{450, 14}, dark},
          {{451, 14}, grey}, {{470, 2}, strip}, {{491, 14}, dark}}},
        {"left through the top", {430, -40}, {{{425, 2}, strip}, {{445, 14}, dark}}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        point_at(window, r.pointer.x, r.pointer.y);
        expect_pixels(r.pixels);
    }
}

TEST_F(MainWindow, TheReleaseOverAButtonActs) {
    point_at(window, 430, 10);
    mouse(MOUSEEVENTF_LEFTDOWN);
    mouse(MOUSEEVENTF_LEFTUP);
    EXPECT_TRUE(pump_until([] { return IsIconic(window) != FALSE; }));

    show_and_raise_main_window();
    ASSERT_TRUE(pump_until([] { return IsWindowVisible(window) && !IsIconic(window); }));
    point_at(window, 470, 10);
    mouse(MOUSEEVENTF_LEFTDOWN);
    mouse(MOUSEEVENTF_LEFTUP);
    // Closing hides; the window lives on.
    EXPECT_TRUE(pump_until([] { return !IsWindowVisible(window); }));
    EXPECT_TRUE(IsWindow(window));
}

TEST_F(MainWindow, DraggingTheStripMovesIt) {
    RECT before = rect_of(window);
    point_at(window, 300, 10);
    mouse(MOUSEEVENTF_LEFTDOWN);
    // The system's move loop runs inside this thread's dispatch: another thread moves the
    // pointer once the loop has begun.
    DWORD main_thread = GetCurrentThreadId();
    std::thread hand([&] {
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        for (DWORD start = GetTickCount(); GetTickCount() - start < 5000;) {
            if (GetGUIThreadInfo(main_thread, &info) && (info.flags & GUI_INMOVESIZE)) break;
            Sleep(10);
        }
        for (int i = 1; i <= 10; ++i) SetCursorPos(before.left + 300 + 6 * i, before.top + 10 + 4 * i);
        mouse(MOUSEEVENTF_LEFTUP);
    });
    pump_until([&] { return rect_of(window).left != before.left && !(GetAsyncKeyState(VK_LBUTTON) & 0x8000); });
    hand.join();
    RECT after = rect_of(window);
    EXPECT_EQ(after.left - before.left, 60);
    EXPECT_EQ(after.top - before.top, 40);
}

// The page's screens: the bottom-left corner stays where it was.
TEST_F(MainWindow, ThePagesSizesKeepTheBottomLeftCorner) {
    struct {
        const char* screen;
        LONG width, height;
    } rows[] = {{"home-with-banner", 514, 526}, {"another", 424, 442}, {"home", 514, 442}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.screen);
        RECT before = rect_of(window);
        handler_resize_window(std::string(r.screen));
        RECT after = rect_of(window);
        EXPECT_EQ(after.right - after.left, r.width);
        EXPECT_EQ(after.bottom - after.top, r.height);
        EXPECT_EQ(after.left, before.left);
        EXPECT_EQ(after.bottom, before.bottom);
    }
}

TEST_F(MainWindow, ThePagesColourRepaintsTheWindow) {
    handler_set_window_background(std::string("#1e90ff"));
    expect_pixels({{{10, 10}, {30, 144, 255}}, {{200, 200}, {30, 144, 255}}, {{491, 14}, dark}});
    handler_set_window_background(std::string("#fff"));  // too short: nothing changes
    handler_set_window_background(std::string("#fafbfc"));
    expect_pixels({{{10, 10}, strip}, {{200, 200}, strip}});
}

// The page's alert: a box with no owner over everything, under the page's title or "Velunio".
TEST_F(MainWindow, ThePagesAlertIsASystemModalBox) {
    struct {
        handler_data data;
        const wchar_t* caption;
        const wchar_t* text;
    } rows[] = {{R"({"title":"Upload","message":"Sent ✓ to Ann"})", L"Upload", L"Sent \u2713 to Ann"},
                {std::nullopt, L"Velunio", L""}};
    for (const auto& r : rows) {
        std::wstring caption, text = L"(no box)";
        bool topmost = false;
        // The box is modal on this thread; another one reads and closes it.
        std::thread reader([&] {
            HWND box = nullptr;
            for (DWORD start = GetTickCount(); !box && GetTickCount() - start < 10000; Sleep(20))
                if ((box = window_of(GetCurrentProcessId(), L"#32770")) && !IsWindowVisible(box)) box = nullptr;
            if (!box) return;
            wchar_t shown_text[256] = {};
            GetDlgItemTextW(box, 0xFFFF, shown_text, 256);
            text = shown_text;
            caption = text_of(box);
            topmost = GetWindowLongPtrW(box, GWL_EXSTYLE) & WS_EX_TOPMOST;
            PostMessageW(box, WM_COMMAND, IDOK, 0);
        });
        handler_show_alert(r.data);
        reader.join();
        EXPECT_EQ(caption, r.caption);
        EXPECT_EQ(text, r.text);
        EXPECT_TRUE(topmost);
    }
}

// A deep link goes to the program registered for "velunio" when that program exists, and the
// page learns which case it was. (Wine reads classes from HKLM only.)
TEST_F(MainWindow, ADeepLinkOpensOnlyWithAnInstalledHandler) {
    temp_dir records;
    const std::string record = records / "handler.txt";
    SetEnvironmentVariableW(L"VPR_STAND_IN_RECORD", to_wide(record).c_str());
    struct {
        std::string handler;  // empty: no class at all
        bool opened;
    } rows[] = {{windows_path(VELUNIO_STAND_IN_EXE), true}, {records / "missing.exe", false}, {"", false}};
    std::vector<std::string> scripts;
    set_page_script_runner([&](const std::string& s) { scripts.push_back(s); });
    for (const auto& r : rows) {
        SCOPED_TRACE(r.handler);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\velunio");
        if (!r.handler.empty()) {
            std::wstring command = L"\"" + to_wide(r.handler) + L"\" \"%1\"";
            HKEY key = nullptr;
            ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\velunio\\shell\\open\\command", 0,
                                      nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
                      ERROR_SUCCESS);
            RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                           static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
            RegCloseKey(key);
        }
        scripts.clear();
        handler_open_browser(std::string("VELUNIO://envelope/7"));
        ASSERT_EQ(scripts.size(), 1u);
        EXPECT_NE(scripts[0].find(r.opened ? "_onDeeplinkResult(true)" : "_onDeeplinkResult(false)"), std::string::npos);
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\velunio");
    set_page_script_runner(nullptr);
    // Only the installed handler ran, with the link as it came.
    auto handed = [&] {
        std::string bytes = std::filesystem::exists(record) ? read_file(record) : "";
        return from_wide(std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2));
    };
    ASSERT_TRUE(pump_until([&] { return !handed().empty(); }, 10000));
    EXPECT_NE(handed().find("\"VELUNIO://envelope/7\""), std::string::npos) << handed();
}

// A second start finds this window by its class and hands its URL over; the hidden window
// comes back to the front.
TEST_F(MainWindow, ASecondStartShowsAndRaisesTheHiddenWindow) {
    ShowWindow(window, SW_HIDE);
    ASSERT_EQ(claim_single_instance(root->path()), instance_claim::first);
    set_bring_to_front_action(show_and_raise_main_window);
    std::vector<std::string> scripts;
    set_page_script_runner([&](const std::string& s) { scripts.push_back(s); });
    child_options second_start;
    second_start.environment["VELUNIO_OUTPUT_DIR"] = root->path();
    EXPECT_EQ(run_child(VELUNIO_APP_EXE, "velunioprinter://callback?code=7", second_start), 0u);
    set_page_script_runner(nullptr);
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_EQ(GetForegroundWindow(), window);
    EXPECT_EQ(scripts, std::vector<std::string>{callback_script("velunioprinter://callback?code=7")});
}

// Four threads post every kind of result; each reaches its own deliverer on this thread, in
// each thread's order. A message of the same number that this program did not post is ignored.
TEST_F(MainWindow, ResultsFromSeveralThreadsArriveInOrderOnTheMainThread) {
    constexpr int threads = 4, per_thread = 250;
    struct arrival {
        std::string kind, tag;
        DWORD thread;
    };
    std::vector<arrival> got;
    auto note = [&](const char* kind, const std::string& tag) { got.push_back({kind, tag, GetCurrentThreadId()}); };
    set_posted_deliverer([&](const token_result& r) { note("token", *r.response_text); });
    set_posted_deliverer([&](const upload_result& r) { note("upload", r.path); });
    set_posted_deliverer([&](const printed_file_event& e) { note("file", e.path); });
    set_posted_deliverer([&](const http_get_result& r) { note("get", r.id); });
    set_posted_deliverer([&](const upload_progress& p) { note("progress", p.path); });
    const char* kinds[] = {"token", "upload", "file", "get", "progress"};

    PostMessageW(window, WM_USER + 101, 0, 0x1234);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t] {
            for (int i = 0; i < per_thread; ++i) {
                std::string tag = std::to_string(t) + ":" + std::to_string(i);
                switch (i % 5) {
                    case 0: post_to_main_window(token_result{tag, std::nullopt}); break;
                    case 1: post_to_main_window(upload_result{tag, "env", std::nullopt}); break;
                    case 2: post_to_main_window(printed_file_event{tag, "sign_myself"}); break;
                    case 3: post_to_main_window(http_get_result{tag, "body", std::nullopt}); break;
                    default: post_to_main_window(upload_progress{tag, 1, 2}); break;
                }
            }
        });
    }
    bool all = pump_until([&] { return got.size() >= static_cast<std::size_t>(threads * per_thread); }, 20000);
    for (auto& w : workers) w.join();
    install_bridge_deliverers();
    ASSERT_TRUE(all) << got.size() << " arrived";
    EXPECT_EQ(got.size(), static_cast<std::size_t>(threads * per_thread));
    std::map<int, int> next;
    for (const arrival& a : got) {
        int t = std::stoi(a.tag), i = std::stoi(a.tag.substr(a.tag.find(':') + 1));
        EXPECT_EQ(i, next[t]) << "thread " << t << " out of order";
        EXPECT_EQ(a.kind, kinds[i % 5]) << a.tag;
        EXPECT_EQ(a.thread, GetCurrentThreadId());
        next[t] = i + 1;
    }
    EXPECT_NE(read_file(root->path() + "\\velunio-print.log").find("[window] Ignored a result message"),
              std::string::npos);
}

// Last: the window cannot come back in this process.
TEST_F(MainWindow, AResultThatCannotBePostedIsDroppedAndLogged) {
    DestroyWindow(window);
    post_to_main_window(token_result{"{}", std::nullopt});
    EXPECT_NE(read_file(root->path() + "\\velunio-print.log").find("[window] The main thread could not be reached; "
                                                                   "dropped one token result"),
              std::string::npos);
    window = nullptr;
}

// Without the runtime's loader, or with a loader that lacks the environment entry, the program
// shows its window, says that the runtime is missing and ends with exit code 1 once the box is
// closed.
TEST(WebViewLoader, WithoutTheLoaderTheRunTellsTheUserAndEndsWithOne) {
    struct {
        const char* what;
        const char* loader;  // copied beside the program as WebView2Loader.dll
    } rows[] = {{"no loader", nullptr}, {"a loader without the entry", VELUNIO_FAKE_LOADER_DLL}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        temp_dir root;
        std::filesystem::create_directory(root / "app");
        std::filesystem::copy_file(windows_path(VELUNIO_APP_EXE), root / "app/velunio-print-app.exe");
        if (r.loader) std::filesystem::copy_file(windows_path(r.loader), root / "app/WebView2Loader.dll");
        child_options options;
        options.environment["VELUNIO_OUTPUT_DIR"] = root.path();
        std::optional<running_child> run = start_child(root / "app/velunio-print-app.exe", "", options);
        ASSERT_TRUE(run);
        HWND box = nullptr;
        ASSERT_TRUE(pump_until([&] { return (box = window_of(run->id, L"#32770")) && IsWindowVisible(box); }, 30000));
        wchar_t text[256] = {};
        GetDlgItemTextW(box, 0xFFFF, text, 256);
        EXPECT_EQ(std::wstring(text),
                  L"Could not create WebView2 environment.\nPlease install the WebView2 Runtime from Microsoft.");
        EXPECT_EQ(text_of(box), L"Velunio Printaro");
        EXPECT_TRUE(GetWindowLongPtrW(box, GWL_EXSTYLE) & WS_EX_TOPMOST);
        // The window was made first: centred as asked for at 514 x 442, held to 514 x 414 at once.
        HWND app_window = window_of(run->id, L"VelunioPrintApp");
        EXPECT_EQ(text_of(app_window), L"Velunio Printaro");
        EXPECT_TRUE(IsWindowVisible(app_window));
        RECT placed = rect_of(app_window);
        EXPECT_EQ(placed.left, (GetSystemMetrics(SM_CXSCREEN) - 514) / 2);
        EXPECT_EQ(placed.top, (GetSystemMetrics(SM_CYSCREEN) - 442) / 2);
        EXPECT_EQ(placed.right - placed.left, 514);
        EXPECT_EQ(placed.bottom - placed.top, 414);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        EXPECT_EQ(wait_for_child(*run, 30000), 1u);
        EXPECT_NE(read_file(root / "velunio-print.log").find(r.loader ? "has no CreateCoreWebView2EnvironmentWithOptions"
                                                                      : "WebView2Loader.dll not loaded"),
                  std::string::npos);
    }
}
