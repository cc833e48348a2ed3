// One instance per user session: the named mutex "VelunioPrintApp_Mutex". A second start finds
// the running instance's window by its class and hands the URL over with WM_COPYDATA, UTF-16
// with its terminator; the running instance reads the data with copy_data_text.

#include "app/second_instance.h"

#include "base/json_text.h"
#include "host/main_window_win32.h"

#include <windows.h>

#include <memory>

namespace {

constexpr wchar_t window_class[] = L"VelunioPrintApp";
// A running instance that does not answer in this time is given up on, so a second start
// launched by the browser never hangs.
constexpr UINT answer_limit_ms = 10000;

struct handle_closer {
    void operator()(HANDLE h) const { CloseHandle(h); }
};
std::unique_ptr<void, handle_closer> instance_mutex;

}  // namespace

std::string instance_socket_path(const std::string&) { return "VelunioPrintApp"; }

instance_claim claim_single_instance(const std::string&) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, L"VelunioPrintApp_Mutex");
    if (mutex == nullptr) return instance_claim::unavailable;
    bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    instance_mutex.reset(mutex);
    if (existed) return instance_claim::second;
    // The running instance's window hands what a second start sends to the same receiving side
    // as on Linux.
    set_copy_data_receiver([](const void* data, std::size_t size) { receive_hand_over(copy_data_text(data, size)); });
    return instance_claim::first;
}

hand_over_outcome send_hand_over(const std::string&, const std::string& record) {
    HWND running = FindWindowW(window_class, nullptr);
    if (running == nullptr) return hand_over_outcome::not_running;
    std::string_view text = std::string_view(record).substr(hand_over_header_size);
    std::u16string url = utf8_to_wide(text);
    COPYDATASTRUCT data{};
    if (!url.empty()) {
        data.cbData = static_cast<DWORD>((url.size() + 1) * sizeof(char16_t));
        data.lpData = url.data();
    }
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(running, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_NORMAL, answer_limit_ms,
                             &answer))
        return hand_over_outcome::no_answer;
    return hand_over_outcome::answered;
}
