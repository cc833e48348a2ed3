#include "window/ui_files.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

}  // namespace

std::optional<std::string> ui_relative_path(std::string_view request_path) {
    auto end = request_path.find_first_of("?#");
    if (end != std::string_view::npos) request_path = request_path.substr(0, end);

    std::string decoded;
    for (std::size_t i = 0; i < request_path.size(); ++i) {
        char c = request_path[i];
        if (c == '\0' || c == '\\') return std::nullopt;
        if (c != '%') {
            decoded += c;
            continue;
        }
        if (i + 2 >= request_path.size()) return std::nullopt;
        int hi = hex_value(request_path[i + 1]);
        int lo = hex_value(request_path[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        char byte = static_cast<char>(hi * 16 + lo);
        // An encoded separator would hide a path step from the checks below.
        if (byte == '/' || byte == '\\' || byte == '\0') return std::nullopt;
        decoded += byte;
        i += 2;
    }

    std::string relative;
    std::size_t pos = 0;
    while (pos <= decoded.size()) {
        std::size_t next = decoded.find('/', pos);
        if (next == std::string::npos) next = decoded.size();
        std::string_view segment(decoded.data() + pos, next - pos);
        if (segment == "..") return std::nullopt;
        if (!segment.empty() && segment != ".") {
            if (!relative.empty()) relative += '/';
            relative += segment;
        }
        pos = next + 1;
    }
    if (relative.empty()) relative = "index.html";
    return relative;
}

std::optional<std::string> resolve_ui_file(const std::string& ui_dir, const std::string& relative) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path root = fs::canonical(ui_dir, ec);
    if (ec) return std::nullopt;
    fs::path file = fs::canonical(root / relative, ec);
    if (ec) return std::nullopt;
    if (!fs::is_regular_file(file, ec) || ec) return std::nullopt;
    std::string root_text = root.string();
    std::string file_text = file.string();
    if (root_text.empty() || root_text.back() != '/') root_text += '/';
    if (file_text.compare(0, root_text.size(), root_text) != 0) return std::nullopt;
    return file_text;
}

std::string ui_mime_type(std::string_view file_name) {
    auto slash = file_name.rfind('/');
    if (slash != std::string_view::npos) file_name = file_name.substr(slash + 1);
    auto dot = file_name.rfind('.');
    if (dot == std::string_view::npos) return "application/octet-stream";
    std::string ext = lower(file_name.substr(dot + 1));
    if (ext == "html" || ext == "htm") return "text/html";
    if (ext == "js" || ext == "mjs") return "text/javascript";
    if (ext == "css") return "text/css";
    if (ext == "json") return "application/json";
    if (ext == "svg") return "image/svg+xml";
    if (ext == "png") return "image/png";
    if (ext == "jpg" || ext == "jpeg") return "image/jpeg";
    if (ext == "ico") return "image/x-icon";
    if (ext == "woff2") return "font/woff2";
    if (ext == "txt") return "text/plain";
    return "application/octet-stream";
}

bool ui_navigation_allowed(std::string_view uri) {
    if (uri.size() < ui_origin_prefix.size()) return false;
    return lower(uri.substr(0, ui_origin_prefix.size())) == ui_origin_prefix;
}

ui_answer answer_ui_request(const std::string& ui_dir, std::string_view uri, std::string_view request_path) {
    if (!ui_navigation_allowed(uri)) return {404, {}, "unknown host"};
    std::optional<std::string> relative = ui_relative_path(request_path);
    if (!relative) return {400, {}, "bad path"};
    std::optional<std::string> file = resolve_ui_file(ui_dir, *relative);
    if (!file) return {404, {}, "not found"};
    return {200, std::move(*file), {}};
}
