#include "printer/log_relay.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

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
}

}  // namespace

std::optional<std::string> start_log_relay(log_line_sink sink)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/velunio-log-XXXXXX";
    std::vector<char> dir(pattern.begin(), pattern.end());
    dir.push_back('\0');
    if (!::mkdtemp(dir.data()))
        return std::nullopt;
    std::string folder = dir.data();
    std::string name = folder + "/log";
    if (::mkfifo(name.c_str(), 0600) != 0) {
        ::rmdir(folder.c_str());
        return std::nullopt;
    }
    // Read and write access: opening never blocks, and the reader never sees an end of
    // file while the library reopens its log.
    int fd = ::open(name.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        ::unlink(name.c_str());
        ::rmdir(folder.c_str());
        return std::nullopt;
    }
    std::thread(relay_lines, fd, std::move(sink)).detach();
    return name;
}

void log_relay_opened(const std::string& name)
{
    ::unlink(name.c_str());
    auto slash = name.rfind('/');
    if (slash != std::string::npos)
        ::rmdir(name.substr(0, slash).c_str());
}
