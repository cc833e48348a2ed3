#include "support/loopback_server.h"

#include <cstdlib>
#include <filesystem>

std::string url_encoded(const std::string& text) {
    std::string out;
    for (unsigned char c : text) out += "%" + std::string(1, "0123456789ABCDEF"[c >> 4]) + "0123456789ABCDEF"[c & 15];
    return out;
}

std::string loopback_server::url(const std::string& path_and_query) const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path_and_query;
}

std::optional<std::string> loopback_server::recorded(int n, const char* suffix) const {
    std::string path = records_path_ + "/" + std::to_string(first_ + n) + suffix;
    if (!std::filesystem::exists(path)) return std::nullopt;
    return read_file(path);
}

std::optional<std::string> loopback_server::request_headers(int n) const { return recorded(n, ".headers"); }
std::optional<std::string> loopback_server::request_body(int n) const { return recorded(n, ".body"); }
std::optional<unsigned long long> loopback_server::request_body_length(int n) const {
    auto text = recorded(n, ".body_len");
    if (!text) return std::nullopt;
    return std::strtoull(text->c_str(), nullptr, 10);
}

int loopback_server::request_count() const {
    int n = 0;
    while (std::filesystem::exists(records_path_ + "/" + std::to_string(first_ + n) + ".body_len")) ++n;
    return n;
}
