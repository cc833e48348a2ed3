#pragma once
// The "velunioprinter://" scheme for the current user: a desktop entry that opens the URL
// with this executable, made the default handler of x-scheme-handler/velunioprinter; on
// Windows the class HKCU\Software\Classes\velunioprinter with its open command.

#include <optional>
#include <string>
#include <string_view>

constexpr std::string_view callback_desktop_id = "velunioprinter.desktop";
constexpr std::string_view callback_mime_type = "x-scheme-handler/velunioprinter";

// "<path>" %u with the path quoted for a desktop entry's Exec key; nullopt for a path that
// a desktop entry cannot carry (a line break or a control character).
std::optional<std::string> callback_exec_command(std::string_view executable);

std::string callback_desktop_entry(std::string_view exec_command);

// mimeapps.list with `mime_type` = `desktop_id` under [Default Applications]; every other
// line stays as it was.
std::string with_default_handler(std::string_view mimeapps, std::string_view mime_type,
                                 std::string_view desktop_id);

// Writes the desktop entry and the default; logs "[scheme] Registered ...". First instance only.
void register_callback_scheme();
