// inotify over the whole output folder tree: one watch per folder, added as folders appear.
// IN_MOVED_TO is a name given by a rename; an overflow of the event queue rescans.

#include "documents/folder_watcher.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <system_error>

namespace fs = std::filesystem;

struct watcher_backend {
    int inotify_fd = -1;
    int wake_fd = -1;
    std::string root;
    std::map<int, std::string> folders;  // watch descriptor -> folder relative to root ("" is root)
};

void watcher_backend_deleter::operator()(watcher_backend* backend) const {
    if (backend->inotify_fd >= 0) ::close(backend->inotify_fd);
    if (backend->wake_fd >= 0) ::close(backend->wake_fd);
    std::default_delete<watcher_backend>()(backend);
}

std::optional<std::string> file_identity(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_ctim.tv_sec) +
           "." + std::to_string(st.st_ctim.tv_nsec);
}

bool file_is_being_written(const std::string& path) {
    // A read lease is refused while any process holds the file open for writing.
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    bool writing = ::fcntl(fd, F_SETLEASE, F_RDLCK) != 0 && errno == EAGAIN;
    if (!writing) ::fcntl(fd, F_SETLEASE, F_UNLCK);
    ::close(fd);
    return writing;
}

namespace {

constexpr uint32_t watch_mask =
    IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_CLOSE_WRITE | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;

void watch_folder(watcher_backend& backend, const std::string& relative) {
    std::string path = relative.empty() ? backend.root : backend.root + "/" + relative;
    int wd = ::inotify_add_watch(backend.inotify_fd, path.c_str(), watch_mask);
    if (wd >= 0) backend.folders[wd] = relative;
}

// The folder and every folder below it (links are not followed).
void watch_tree(watcher_backend& backend, const std::string& relative) {
    watch_folder(backend, relative);
    std::error_code ec;
    fs::path top = relative.empty() ? fs::path(backend.root) : fs::path(backend.root) / relative;
    fs::recursive_directory_iterator it(top, fs::directory_options::skip_permission_denied, ec);
    if (ec) return;
    for (auto end = fs::recursive_directory_iterator(); it != end; it.increment(ec)) {
        if (ec) break;
        std::error_code type_ec;
        if (it->symlink_status(type_ec).type() != fs::file_type::directory) continue;
        std::string below = fs::relative(it->path(), backend.root, type_ec).generic_string();
        if (!type_ec) watch_folder(backend, below);
    }
}

// A folder moved away keeps its watches under a name that no longer holds.
void unwatch_tree(watcher_backend& backend, const std::string& relative) {
    std::string prefix = relative + "/";
    for (auto it = backend.folders.begin(); it != backend.folders.end();) {
        if (it->second == relative || it->second.compare(0, prefix.size(), prefix) == 0) {
            ::inotify_rm_watch(backend.inotify_fd, it->first);
            it = backend.folders.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace

std::unique_ptr<watcher_backend, watcher_backend_deleter> open_watcher_backend(const std::string& root) {
    std::unique_ptr<watcher_backend, watcher_backend_deleter> backend(std::make_unique<watcher_backend>().release());
    backend->root = root;
    backend->inotify_fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    backend->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (backend->inotify_fd < 0 || backend->wake_fd < 0) return nullptr;
    watch_tree(*backend, "");
    if (backend->folders.empty()) return nullptr;  // the output folder itself cannot be watched
    return backend;
}

void wake_watcher_backend(watcher_backend& backend) {
    uint64_t one = 1;
    (void)!::write(backend.wake_fd, &one, sizeof one);
}

void run_watcher_backend(printed_file_watcher& watcher) {
    watcher_backend& backend = *watcher.backend;
    alignas(struct inotify_event) char buffer[64 * 1024];
    for (;;) {
        struct pollfd fds[2] = {{backend.inotify_fd, POLLIN, 0}, {backend.wake_fd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        ssize_t got = ::read(backend.inotify_fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return;  // the watch is gone; nothing more will come
        }
        bool lost = false;
        for (char* at = buffer; at < buffer + got;) {
            auto* event = reinterpret_cast<struct inotify_event*>(at);
            at += sizeof(struct inotify_event) + event->len;
            if (event->mask & IN_Q_OVERFLOW) {
                lost = true;
                continue;
            }
            if (event->mask & IN_IGNORED) {
                backend.folders.erase(event->wd);
                continue;
            }
            auto folder = backend.folders.find(event->wd);
            if (folder == backend.folders.end() || event->len == 0) continue;
            std::string name = event->name;
            std::string relative = folder->second.empty() ? name : folder->second + "/" + name;
            if (event->mask & IN_ISDIR) {
                if (event->mask & (IN_CREATE | IN_MOVED_TO)) {
                    watch_tree(backend, relative);
                    watcher_folder_arrived(watcher, relative);
                } else if (event->mask & IN_MOVED_FROM) {
                    unwatch_tree(backend, relative);
                }
            } else if (event->mask & IN_MOVED_TO) {
                watcher_name_arrived(watcher, relative);
            } else if (event->mask & IN_CLOSE_WRITE) {
                watcher_file_closed(watcher, relative);
            }
        }
        if (lost) {
            // Folders made while events were lost have no watch yet.
            watch_tree(backend, "");
            watcher_events_lost(watcher);
        }
    }
}
