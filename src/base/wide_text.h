#pragma once
// Text at the Win32 boundary: the program's UTF-8 as wchar_t text (UTF-16 on Windows) and back.

#include "base/json_text.h"

#include <string>
#include <string_view>

inline std::wstring to_wide(std::string_view text) {
    std::u16string units = utf8_to_wide(text);
    return std::wstring(units.begin(), units.end());
}

inline std::string from_wide(std::wstring_view text) {
    return wide_to_utf8(std::u16string(text.begin(), text.end()));
}
