#include "support/temp_dir.h"

#include "base/utf8_path.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

// A new folder of this user's only (create_directory fails on an existing name).
temp_dir::temp_dir() {
    std::error_code ec;
    std::string base = path_utf8(std::filesystem::temp_directory_path(ec) / "velunio-test-");
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
        std::string candidate = base + std::to_string(random());
        if (std::filesystem::create_directory(utf8_path(candidate), ec)) {
            std::filesystem::permissions(utf8_path(candidate), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::replace, ec);
            path_ = candidate;
        }
    }
}

temp_dir::~temp_dir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(utf8_path(path_), ec);
}

unsigned file_mode(const std::string& path) {
    std::error_code ec;
    auto status = std::filesystem::status(utf8_path(path), ec);
    return std::filesystem::exists(status) ? static_cast<unsigned>(status.permissions() & std::filesystem::perms::mask) : 0;
}

std::string read_file(const std::string& path) {
    std::ifstream in(utf8_path(path), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(utf8_path(path), std::ios::binary | std::ios::trunc);
    out << content;
}
