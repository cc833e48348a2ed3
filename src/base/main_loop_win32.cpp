// The main thread's Win32 message loop. Once the main window exists each worker result is a
// message of that window; what was queued before (and any result where there is no window)
// wakes the loop through a message-only window, as does the end of the run, so that a modal loop
// (a message box) serves both. Ctrl-C, Ctrl-Break and the console's close end the run with exit
// code 0.

#include "base/main_loop.h"

#include "base/posted_messages.h"

#include <windows.h>

#include <atomic>

namespace {

constexpr UINT deliver_message = WM_APP + 1;
constexpr UINT quit_message = WM_APP + 2;

std::atomic<HWND> waker_window{nullptr};
std::atomic<int> exit_code{0};
std::atomic<bool> quit_requested{false};

LRESULT CALLBACK waker_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == deliver_message) {
        deliver_posted_messages();
        return 0;
    }
    if (message == quit_message) {
        PostQuitMessage(static_cast<int>(wparam));
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

HWND create_waker_window() {
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = waker_procedure;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"VelunioPrintApp_MainLoop";
    RegisterClassW(&window_class);
    return CreateWindowExW(0, window_class.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           window_class.hInstance, nullptr);
}

void wake_main_loop() {
    if (HWND window = waker_window.load()) PostMessageW(window, deliver_message, 0, 0);
}

BOOL WINAPI on_console_stop(DWORD) {
    quit_main_loop(0);
    return TRUE;
}

}  // namespace

void claim_stop_signals() { SetConsoleCtrlHandler(on_console_stop, TRUE); }

int run_main_loop() {
    HWND window = create_waker_window();
    waker_window.store(window);
    set_posted_message_waker(wake_main_loop);
    wake_main_loop();  // whatever was posted before the loop ran
    claim_stop_signals();
    if (quit_requested.load()) PostQuitMessage(exit_code.load());

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }

    set_posted_message_waker(nullptr);
    waker_window.store(nullptr);
    if (window) DestroyWindow(window);
    return exit_code.load();
}

void quit_main_loop(int code) {
    exit_code.store(code);
    quit_requested.store(true);
    if (HWND window = waker_window.load()) PostMessageW(window, quit_message, static_cast<WPARAM>(code), 0);
}

bool main_loop_quit_requested() { return quit_requested.load(); }

void run_main_loop_until(const std::function<bool()>& done) {
    MSG message;
    while (!done() && !quit_requested.load()) {
        if (GetMessageW(&message, nullptr, 0, 0) <= 0) {
            PostQuitMessage(static_cast<int>(message.wParam));  // for the outer loop
            return;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}
