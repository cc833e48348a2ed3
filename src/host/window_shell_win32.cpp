#include "host/window_shell.h"

#include "base/app_log.h"
#include "base/platform.h"
#include "base/wide_text.h"
#include "bridge/window_handlers.h"
#include "host/main_window.h"
#include "host/message_box.h"

#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>

namespace {

void show_alert(const std::string& caption, const std::string& text) {
    show_message_box(caption, text, message_box_icon::warning);
}

void open_uri(const std::string& uri) {
    auto result = reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, L"open", to_wide(uri).c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    if (result <= 32) app_log("[openBrowser] not opened: %s", system_error_text(GetLastError()).c_str());
}

// The program registered for the "velunio" protocol's open verb, and only when it exists.
bool deeplink_handler_installed() {
    wchar_t executable[MAX_PATH] = {};
    DWORD length = MAX_PATH;
    if (AssocQueryStringW(0, ASSOCSTR_EXECUTABLE, L"velunio", L"open", executable, &length) != S_OK) return false;
    return executable[0] != L'\0' && GetFileAttributesW(executable) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

void install_window_shell() {
    window_shell s;
    s.show_alert = show_alert;
    s.bring_to_front = show_and_raise_main_window;
    s.open_uri = open_uri;
    s.deeplink_handler_installed = deeplink_handler_installed;
    s.apply_window_size = apply_window_size;
    s.set_background = set_main_window_background;
    set_window_shell(std::move(s));
}
