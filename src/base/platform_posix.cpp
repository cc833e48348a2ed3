#include "base/platform.h"

#include "base/app_state.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

std::string executable_path() {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : path.string();
}

void set_environment_variable(const char* name, const std::string& value) { ::setenv(name, value.c_str(), 1); }

std::tm local_time_now() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return tm;
}

std::FILE* open_shared_append_file(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    std::FILE* f = ::fdopen(fd, "a");
    if (f == nullptr) ::close(fd);
    return f;
}

std::uintmax_t open_file_size(std::FILE* file) {
    struct stat st {};
    if (::fstat(::fileno(file), &st) != 0) return 0;
    return static_cast<std::uintmax_t>(st.st_size);
}

std::optional<std::string> read_app_version() { return build_version(); }

std::vector<output_dir_default> output_dir_defaults() {
    return {{"XDG_DATA_HOME", "/VelunioPrint"}, {"HOME", "/.local/share/VelunioPrint"}};
}

bool create_private_folder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) == 0) return true;
    struct stat st {};
    if (errno != EEXIST || ::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    // Folders made by earlier versions were readable by everyone.
    if (st.st_uid == ::geteuid() && (st.st_mode & 077) != 0) ::chmod(path.c_str(), st.st_mode & 0700);
    return true;
}

bool stream_is_file_at(std::FILE* file, const std::string& path) {
    struct stat open_file {}, named {};
    if (::fstat(::fileno(file), &open_file) != 0 || ::stat(path.c_str(), &named) != 0) return false;
    return open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

std::string system_error_text(unsigned long code) {
    return std::string(std::strerror(static_cast<int>(code))) + " (" + std::to_string(code) + ")";
}

void enter_desktop_process() {}
void leave_desktop_process() {}
