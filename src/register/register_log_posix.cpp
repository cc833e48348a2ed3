#include "register/register_log.h"

#include "base/app_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::vector<std::string> register_log_candidates() {
    if (std::optional<std::string> chosen = env_value("VELUNIO_REGISTER_LOG")) return {*chosen};
    ::mkdir("/var/log/velunio-printaro", 0755);
    std::string temporary = env_value("TMPDIR").value_or("/tmp");
    return {"/var/log/velunio-printaro/printer-register.log", temporary + "/vpr-printer-register.log"};
}

std::FILE* open_register_log_file(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        ::close(fd);
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "a");
    if (!file) ::close(fd);
    return file;
}

void attach_parent_console() {}
