#include "app/callback_scheme.h"

#include <vector>

std::optional<std::string> callback_exec_command(std::string_view executable) {
    std::string quoted = "\"";
    for (char c : executable) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return std::nullopt;
        // Inside a quoted Exec argument these four take a backslash; the key file's own
        // string escaping then doubles every backslash.
        if (c == '"' || c == '`' || c == '$') quoted += "\\\\";
        if (c == '\\') quoted += "\\\\\\";
        if (c == '%') quoted += '%';  // a literal percent sign among the field codes
        quoted += c;
    }
    quoted += "\" %u";
    return quoted;
}

std::string callback_desktop_entry(std::string_view exec_command) {
    std::string entry = "[Desktop Entry]\n"
                        "Type=Application\n"
                        "Name=Velunio Printaro\n"
                        "Exec=";
    entry += exec_command;
    entry += "\n"
             "Terminal=false\n"
             "NoDisplay=true\n"
             "MimeType=x-scheme-handler/velunioprinter;\n";
    return entry;
}

namespace {

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        if (end == std::string_view::npos) {
            lines.push_back(text);
            break;
        }
        lines.push_back(text.substr(0, end));
        text.remove_prefix(end + 1);
    }
    return lines;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

bool is_group_header(std::string_view line) {
    std::string_view t = trimmed(line);
    return t.size() >= 2 && t.front() == '[' && t.back() == ']';
}

bool is_key(std::string_view line, std::string_view key) {
    std::size_t eq = line.find('=');
    return eq != std::string_view::npos && trimmed(line.substr(0, eq)) == key;
}

}  // namespace

std::string with_default_handler(std::string_view mimeapps, std::string_view mime_type,
                                 std::string_view desktop_id) {
    std::string entry = std::string(mime_type) + "=" + std::string(desktop_id);
    std::vector<std::string_view> lines = split_lines(mimeapps);
    std::string out;
    bool in_defaults = false;
    bool written = false;
    for (std::string_view line : lines) {
        if (is_group_header(line)) {
            in_defaults = trimmed(line) == "[Default Applications]";
            out.append(line);
            out += '\n';
            if (in_defaults && !written) {
                out += entry + '\n';
                written = true;
            }
            continue;
        }
        // The entry written under the header stands for every earlier setting of the key.
        if (in_defaults && is_key(line, mime_type)) continue;
        out.append(line);
        out += '\n';
    }
    if (!written) {
        if (!out.empty() && !out.ends_with("\n\n")) out += '\n';
        out += "[Default Applications]\n" + entry + '\n';
    }
    return out;
}
