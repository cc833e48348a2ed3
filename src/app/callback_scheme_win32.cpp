#include "app/callback_scheme.h"

#include "base/app_log.h"
#include "base/wide_text.h"
#include "base/platform.h"

#include <windows.h>

namespace {

// A string value with its terminator; a key that cannot be made is passed over.
void set_string(HKEY key, const wchar_t* name, const std::wstring& value) {
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

template <class Fill>
void with_key(const wchar_t* path, Fill fill) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return;
    fill(key);
    RegCloseKey(key);
}

}  // namespace

// Rewritten at every first start, so the class always opens the executable that last ran.
void register_callback_scheme() {
    std::string command = "\"" + executable_path() + "\" \"%1\"";
    with_key(L"Software\\Classes\\velunioprinter", [](HKEY key) {
        set_string(key, nullptr, L"URL:velunioprinter Protocol");
        set_string(key, L"URL Protocol", L"");
    });
    with_key(L"Software\\Classes\\velunioprinter\\shell\\open\\command",
             [&](HKEY key) { set_string(key, nullptr, to_wide(command)); });
    app_log("[scheme] Registered velunioprinter:// -> %s", command.c_str());
}
