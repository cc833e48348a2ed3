#include "printer/service_config.h"

#include <cups/cups.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

std::optional<std::string> raw_env(const char* name)
{
    const char* value = std::getenv(name);
    if (!value)
        return std::nullopt;
    return std::string(value);
}

service_log_settings settle_service_log(const raw_env_lookup& lookup)
{
    service_log_settings settings;
    if (auto file = lookup("VELUNIO_LOG_FILE"))
        settings.file = *file;
    if (auto level = lookup("VELUNIO_LOG_LEVEL")) {
        if (*level == "error")
            settings.level = PAPPL_LOGLEVEL_ERROR;
        else if (*level == "info")
            settings.level = PAPPL_LOGLEVEL_INFO;
        else if (*level == "debug")
            settings.level = PAPPL_LOGLEVEL_DEBUG;
    }
    return settings;
}

std::optional<std::string> to_uri_path(const std::string& path)
{
    if (path.empty())
        return std::nullopt;
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(std::filesystem::path(path), error);
    if (error)
        return std::nullopt;
    std::string text = absolute.generic_string();
    // "a/b/" and "a/b/." name the same folder as "a/b"; keep one spelling for the URI.
    while (text.size() > 1 && (text.back() == '/' || (text.size() > 2 && text.ends_with("/."))))
        text.erase(text.back() == '/' ? text.size() - 1 : text.size() - 2);
    return text;
}

namespace {
constexpr std::string_view ext_query = "?ext=pdf";
}

std::optional<std::string> flow_device_uri(const std::string& folder)
{
    if (folder.empty() || folder.front() != '/')
        return std::nullopt;
    // Long enough for any path the system accepts; a longer one is refused, never cut.
    std::vector<char> buffer(folder.size() * 3 + 64);
    http_uri_status_t status =
        httpAssembleURIf(HTTP_URI_CODING_MOST, buffer.data(), static_cast<int>(buffer.size()),
                         flow_device_scheme, nullptr, nullptr, 0, "%s?ext=pdf", folder.c_str());
    if (status < HTTP_URI_STATUS_OK)
        return std::nullopt;
    std::string uri(buffer.data());
    // The folder must come back unchanged, or jobs would land somewhere else.
    if (flow_device_folder(uri) != folder)
        return std::nullopt;
    return uri;
}

std::optional<std::string> flow_device_folder(std::string_view uri)
{
    std::string prefix = std::string(flow_device_scheme) + "://";
    if (!uri.starts_with(prefix) || !uri.ends_with(ext_query))
        return std::nullopt;
    std::string text(uri);
    std::vector<char> scheme(64), user(256), host(256), resource(text.size() + 1);
    int port = 0;
    http_uri_status_t status = httpSeparateURI(
        HTTP_URI_CODING_ALL, text.c_str(), scheme.data(), static_cast<int>(scheme.size()), user.data(),
        static_cast<int>(user.size()), host.data(), static_cast<int>(host.size()), &port,
        resource.data(), static_cast<int>(resource.size()));
    if (status < HTTP_URI_STATUS_OK || host[0] != '\0' || user[0] != '\0')
        return std::nullopt;
    std::string folder(resource.data());
    if (!folder.ends_with(ext_query))
        return std::nullopt;
    folder.erase(folder.size() - ext_query.size());
    if (folder.empty() || folder.front() != '/')
        return std::nullopt;
    return folder;
}

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when the bytes there are not one.
std::size_t utf8_sequence_length(std::string_view s, std::size_t i, char32_t& code)
{
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char lead = byte(i);
    std::size_t length = 0;
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > s.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    if (overlong || surrogate || code > 0x10FFFF)
        return 0;
    return length;
}

bool is_trimmed(char c) { return c == ' ' || c == '.'; }

bool iequals(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

// Names that Windows reserves for devices, with or without an extension.
bool is_reserved_device_name(std::string_view stem)
{
    std::string_view base = stem.substr(0, stem.find('.'));
    static constexpr const char* fixed[] = {"con", "prn", "aux", "nul"};
    for (const char* name : fixed)
        if (iequals(base, name))
            return true;
    if (base.size() == 4 && base[3] >= '1' && base[3] <= '9')
        return iequals(base.substr(0, 3), "com") || iequals(base.substr(0, 3), "lpt");
    return false;
}

// Leaves room for "-<attempt>.pdf" and the temporary name within a 255-byte file name.
constexpr std::size_t max_stem_bytes = 200;

}  // namespace

std::string job_file_stem(std::string_view job_name)
{
    std::string out;
    // Every byte written counts against the limit, replacements included: a name of 300
    // slashes must not become a 300-byte file name.
    for (std::size_t i = 0; i < job_name.size();) {
        char32_t code = 0;
        std::size_t length = utf8_sequence_length(job_name, i, code);
        std::string_view piece;
        if (length == 0) {
            piece = "_";
            length = 1;
        } else if (code < 0x20 || code == 0x7F || (code >= 0x80 && code <= 0x9F) || code == 0x2028 ||
                   code == 0x2029) {
            piece = " ";
        } else if (length == 1 && std::strchr("/\\:*?\"<>|", static_cast<char>(code))) {
            piece = "_";
        } else {
            piece = job_name.substr(i, length);
        }
        if (out.size() + piece.size() > max_stem_bytes)
            break;
        out.append(piece);
        i += length;
    }
    // Runs of spaces left by control characters read as one.
    std::string collapsed;
    for (char c : out)
        if (!(c == ' ' && !collapsed.empty() && collapsed.back() == ' '))
            collapsed += c;
    out = std::move(collapsed);

    auto trim = [&] {
        std::size_t first = 0;
        while (first < out.size() && is_trimmed(out[first]))
            ++first;
        std::size_t last = out.size();
        while (last > first && (out[last - 1] == ' ' || out[last - 1] == '.'))
            --last;
        out = out.substr(first, last - first);
    };
    trim();
    if (out.size() >= 4 && iequals(std::string_view(out).substr(out.size() - 4), ".pdf")) {
        out.erase(out.size() - 4);
        trim();
    }
    if (out.empty())
        return "document";
    if (is_reserved_device_name(out))
        out.insert(0, "_");
    return out;
}

std::string job_file_name(std::string_view stem, int attempt)
{
    std::string name(stem);
    if (attempt > 1)
        name += "-" + std::to_string(attempt);
    return name + ".pdf";
}

bool is_flow_temp_name(std::string_view name)
{
    return name.size() > flow_temp_prefix.size() + flow_temp_suffix.size() &&
           name.starts_with(flow_temp_prefix) && name.ends_with(flow_temp_suffix);
}
