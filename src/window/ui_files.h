#pragma once
// Which file of the UI folder a page request names, and how it is served.

#include <optional>
#include <string>
#include <string_view>

inline constexpr std::string_view ui_scheme = "velunio-ui";
inline constexpr std::string_view ui_host = "app";
inline constexpr std::string_view ui_start_address = "velunio-ui://app/index.html";
// Navigation stays below this prefix.
inline constexpr std::string_view ui_origin_prefix = "velunio-ui://app/";

// The request path ("/js/app.js", percent-encoded as in the address) as a relative path
// inside the UI folder; nullopt for anything that could step outside it or name something
// else than it seems: "..", an encoded slash or backslash, NUL, a malformed escape.
std::optional<std::string> ui_relative_path(std::string_view request_path);

// The real path of the file, only when it exists as a regular file and lies inside the
// real UI folder, so that a symbolic link out of the folder is refused.
std::optional<std::string> resolve_ui_file(const std::string& ui_dir, const std::string& relative);

// The MIME type for a file name's extension; application/octet-stream when unknown.
std::string ui_mime_type(std::string_view file_name);

// Whether the page may navigate to the address: only its own origin.
bool ui_navigation_allowed(std::string_view uri);

// How a request under the page's scheme is answered: the file, or a status the page's fetch
// can read (a rejected fetch would tell it nothing).
struct ui_answer {
    int status = 404;  // 200, 400 or 404
    std::string file;  // the real path, with 200
    std::string why;   // the refusal, for the log
};
ui_answer answer_ui_request(const std::string& ui_dir, std::string_view uri, std::string_view request_path);
