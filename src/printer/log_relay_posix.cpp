#include "printer/log_relay.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <thread>
#include <vector>

struct log_relay {
    int fd = -1;
    std::string folder;
    std::string name;
};

namespace {

std::atomic<int> relays_running{0};

void relay_lines(int fd, log_line_sink sink)
{
    std::string pending;
    std::vector<char> buffer(8192);
    while (true) {
        ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        split_log_lines(pending, std::string_view(buffer.data(), static_cast<std::size_t>(got)), sink);
    }
    if (!pending.empty())
        sink(pending);
    ::close(fd);
    relays_running--;
}

void remove_name(log_relay& relay)
{
    if (!relay.name.empty())
        ::unlink(relay.name.c_str());
    if (!relay.folder.empty())
        ::rmdir(relay.folder.c_str());
    relay.name.clear();
    relay.folder.clear();
}

}  // namespace

void log_relay_closer::operator()(log_relay* relay) const
{
    std::unique_ptr<log_relay> owned(relay);
    remove_name(*owned);
    if (owned->fd >= 0)
        ::close(owned->fd);
}

log_relay_ptr create_log_relay()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/velunio-log-XXXXXX";
    std::vector<char> dir(pattern.begin(), pattern.end());
    dir.push_back('\0');
    if (!::mkdtemp(dir.data()))
        return nullptr;
    auto relay = std::make_unique<log_relay>();
    relay->folder = dir.data();
    std::string name = relay->folder + "/log";
    if (::mkfifo(name.c_str(), 0600) == 0)
        relay->name = name;
    // Non-blocking so that opening does not wait for the writer; the reader blocks later.
    relay->fd = relay->name.empty() ? -1 : ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    log_relay_ptr owned(relay.release());
    if (owned->fd < 0)
        return nullptr;
    return owned;
}

const std::string& log_relay_name(const log_relay& relay) { return relay.name; }

void run_log_relay(log_relay_ptr relay, log_line_sink sink)
{
    remove_name(*relay);
    int fd = relay->fd;
    relay->fd = -1;
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    // The reader ends when the library closes its end (the system is deleted).
    relays_running++;
    std::thread(relay_lines, fd, std::move(sink)).detach();
}

int log_relays_running() { return relays_running.load(); }
