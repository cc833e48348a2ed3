#pragma once
// std::filesystem paths from and to the program's UTF-8 text. A path made from a plain
// std::string takes the C library's narrow encoding, which on Windows is not UTF-8.

#include <filesystem>
#include <string>
#include <string_view>

inline std::filesystem::path utf8_path(std::string_view text) {
    return std::filesystem::path(std::u8string_view(reinterpret_cast<const char8_t*>(text.data()), text.size()));
}

inline std::string path_utf8(const std::filesystem::path& path) {
    std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// The platform's own separator ('/' or '\'), and whether a character separates path parts.
inline constexpr char native_separator = static_cast<char>(std::filesystem::path::preferred_separator);
inline constexpr bool is_path_separator(char c) { return c == '/' || c == native_separator; }
