#include "app/callback_scheme.h"

#include "base/app_log.h"
#include "base/app_state.h"
#include "base/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

std::string xdg_folder(const char* variable, const char* below_home) {
    if (std::optional<std::string> value = env_value(variable)) return *value;
    std::optional<std::string> home = env_value("HOME");
    return (home ? *home : std::string(".")) + "/" + below_home;
}

std::optional<std::string> read_whole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Temporary file beside the target, then rename: a reader never sees half a file.
bool replace_file(const std::string& path, const std::string& content) {
    std::string temporary = path + ".velunio-" + std::to_string(::getpid());
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        app_log("[scheme] Cannot write %s: %s", temporary.c_str(), std::strerror(errno));
        return false;
    }
    std::size_t done = 0;
    bool ok = true;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) ok = false;
    if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) {
        app_log("[scheme] Cannot write %s: %s", path.c_str(), std::strerror(errno));
        ::unlink(temporary.c_str());
    }
    return ok;
}

}  // namespace

void register_callback_scheme() {
    std::optional<std::string> exec = callback_exec_command(executable_path());
    if (!exec) {
        app_log("[scheme] The executable's path cannot be written into a desktop entry");
        return;
    }
    std::string applications = xdg_folder("XDG_DATA_HOME", ".local/share") + "/applications";
    create_folder_with_parents(applications);
    replace_file(applications + "/" + std::string(callback_desktop_id), callback_desktop_entry(*exec));

    std::string config = xdg_folder("XDG_CONFIG_HOME", ".config");
    create_folder_with_parents(config);
    std::string mimeapps = config + "/mimeapps.list";
    std::string existing = read_whole(mimeapps).value_or(std::string());
    std::string updated = with_default_handler(existing, callback_mime_type, callback_desktop_id);
    if (updated != existing) replace_file(mimeapps, updated);

    app_log("[scheme] Registered velunioprinter:// -> %s", exec->c_str());
}
