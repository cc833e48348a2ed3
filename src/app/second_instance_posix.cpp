#include "app/second_instance.h"

#include "base/app_log.h"
#include "base/app_state.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <utility>
#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// A peer whose whole record takes longer than this is dropped.
constexpr int receive_limit_ms = 2000;
// The second instance waits this long for the running one to handle its record.
constexpr int answer_limit_ms = 10000;

struct fd_handle {
    int fd = -1;
    explicit fd_handle(int f = -1) : fd(f) {}
    fd_handle(const fd_handle&) = delete;
    fd_handle& operator=(const fd_handle&) = delete;
    fd_handle(fd_handle&& o) noexcept : fd(o.fd) { o.fd = -1; }
    fd_handle& operator=(fd_handle&& o) noexcept {
        std::swap(fd, o.fd);
        return *this;
    }
    ~fd_handle() {
        if (fd >= 0) ::close(fd);
    }
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
};

std::optional<sockaddr_un> socket_address(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) return std::nullopt;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

std::string socket_folder(const std::string& fallback_dir) {
    std::optional<std::string> runtime = env_value("XDG_RUNTIME_DIR");
    return (runtime ? *runtime : fallback_dir) + "/velunio-printaro";
}

// The folder must be ours alone: another user who could enter it could replace the socket.
bool ensure_private_folder(const std::string& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        app_log("[startup] Cannot create %s: %s", folder.c_str(), std::strerror(errno));
        return false;
    }
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
        app_log("[startup] %s is not a folder of this user; no single-instance socket", folder.c_str());
        return false;
    }
    if ((info.st_mode & 0777) != 0700) ::chmod(folder.c_str(), 0700);
    return true;
}

// An fd on success, -1 with errno set otherwise.
int connect_to(const sockaddr_un& address) {
    fd_handle fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.fd < 0) return -1;
    if (::connect(fd.fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) return -1;
    return fd.release();
}

void set_timeouts(int fd, int limit_ms) {
    timeval limit{limit_ms / 1000, (limit_ms % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
}

bool read_exactly(int fd, char* buffer, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::recv(fd, buffer + done, size - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool write_all(int fd, const char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::send(fd, data + done, size - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The hand-overs being received, by socket. Each is read as it arrives, on the main loop, so
// that a peer that sends slowly never holds the window up; the whole record must arrive
// within the limit.
struct hand_over_connection {
    fd_handle fd;
    std::string received;
    guint reader = 0;
    guint deadline = 0;
};
constexpr std::size_t max_open_hand_overs = 8;
std::map<int, hand_over_connection> hand_overs;

void finish(int fd) {
    auto it = hand_overs.find(fd);
    if (it == hand_overs.end()) return;
    if (it->second.reader != 0) g_source_remove(it->second.reader);
    if (it->second.deadline != 0) g_source_remove(it->second.deadline);
    hand_overs.erase(it);
}

// True while more of the record is to come.
bool take_what_arrived(hand_over_connection& c) {
    char buffer[4096];
    for (;;) {
        ssize_t n = ::recv(c.fd.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (n <= 0) {
            // A start that only probed for a running instance closes without a record.
            if (!c.received.empty()) app_log("[callback] Hand-over record cut short");
            return false;
        }
        c.received.append(buffer, static_cast<std::size_t>(n));
        if (c.received.size() < hand_over_header_size) continue;
        unsigned char header[hand_over_header_size];
        std::memcpy(header, c.received.data(), hand_over_header_size);
        std::uint32_t size = decode_hand_over_size(header);
        if (size > max_hand_over_size) {
            app_log("[callback] Hand-over of %u bytes refused (limit %u)", size, max_hand_over_size);
            return false;
        }
        if (c.received.size() < hand_over_header_size + size) continue;
        receive_hand_over(std::string_view(c.received).substr(hand_over_header_size, size));
        const char answer = 1;
        ::send(c.fd.fd, &answer, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        return false;
    }
}

gboolean on_hand_over_readable(gint fd, GIOCondition, gpointer) {
    auto it = hand_overs.find(fd);
    if (it == hand_overs.end()) return G_SOURCE_REMOVE;
    if (take_what_arrived(it->second)) return G_SOURCE_CONTINUE;
    it->second.reader = 0;  // removed by the return value
    finish(fd);
    return G_SOURCE_REMOVE;
}

gboolean on_hand_over_deadline(gpointer data) {
    int fd = GPOINTER_TO_INT(data);
    auto it = hand_overs.find(fd);
    if (it == hand_overs.end()) return G_SOURCE_REMOVE;
    app_log("[callback] Hand-over not complete within %d ms; dropped", receive_limit_ms);
    it->second.deadline = 0;
    finish(fd);
    return G_SOURCE_REMOVE;
}

void serve_connection(int raw_fd) {
    fd_handle fd(raw_fd);
    ucred peer{};
    socklen_t length = sizeof(peer);
    if (::getsockopt(fd.fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != ::geteuid()) {
        app_log("[callback] Hand-over from uid %u refused", static_cast<unsigned>(peer.uid));
        return;
    }
    if (hand_overs.size() >= max_open_hand_overs) {
        app_log("[callback] Hand-over refused: %zu others are still arriving", hand_overs.size());
        return;
    }
    hand_over_connection& c = hand_overs[raw_fd];
    c.fd = std::move(fd);
    c.reader = g_unix_fd_add(raw_fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), on_hand_over_readable,
                             nullptr);
    c.deadline = g_timeout_add(receive_limit_ms, on_hand_over_deadline, GINT_TO_POINTER(raw_fd));
}

gboolean on_listener_ready(gint listener, GIOCondition, gpointer) {
    for (;;) {
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) break;
        serve_connection(fd);
    }
    return G_SOURCE_CONTINUE;
}

bool listen_at(const sockaddr_un& address, const std::string& path) {
    fd_handle fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.fd < 0) return false;
    // Still single-threaded here, so the process-wide mask can be narrowed around bind.
    mode_t previous = ::umask(0177);
    int bound = ::bind(fd.fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    int bind_errno = errno;
    ::umask(previous);
    if (bound != 0) {
        errno = bind_errno;
        return false;
    }
    ::chmod(path.c_str(), 0600);
    if (::listen(fd.fd, 8) != 0) return false;
    g_unix_fd_add(fd.release(), G_IO_IN, on_listener_ready, nullptr);
    return true;
}

}  // namespace

std::string instance_socket_path(const std::string& fallback_dir) {
    return socket_folder(fallback_dir) + "/instance.sock";
}

instance_claim claim_single_instance(const std::string& fallback_dir) {
    std::string folder = socket_folder(fallback_dir);
    std::string path = folder + "/instance.sock";
    std::optional<sockaddr_un> address = socket_address(path);
    if (!address) {
        app_log("[startup] Socket path too long: %s", path.c_str());
        return instance_claim::unavailable;
    }
    if (!ensure_private_folder(folder)) return instance_claim::unavailable;
    for (int round = 0; round < 2; ++round) {
        if (listen_at(*address, path)) return instance_claim::first;
        if (errno != EADDRINUSE) break;
        fd_handle probe(connect_to(*address));
        if (probe.fd >= 0) return instance_claim::second;
        // Nobody answers: a killed instance left its socket behind.
        app_log("[startup] Replacing stale socket %s", path.c_str());
        ::unlink(path.c_str());
    }
    app_log("[startup] Cannot listen at %s: %s", path.c_str(), std::strerror(errno));
    return instance_claim::unavailable;
}

hand_over_outcome send_hand_over(const std::string& socket_path, const std::string& record) {
    std::optional<sockaddr_un> address = socket_address(socket_path);
    if (!address) return hand_over_outcome::not_running;
    fd_handle fd(connect_to(*address));
    if (fd.fd < 0) return hand_over_outcome::not_running;
    set_timeouts(fd.fd, answer_limit_ms);
    if (!write_all(fd.fd, record.data(), record.size())) return hand_over_outcome::no_answer;
    char answer = 0;
    if (!read_exactly(fd.fd, &answer, 1)) return hand_over_outcome::no_answer;
    return hand_over_outcome::answered;
}
