#include "register/printer_register.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace {

struct fd_pair {
    int fds[2] = {-1, -1};
    ~fd_pair() {
        for (int fd : fds)
            if (fd >= 0) ::close(fd);
    }
    void close_one(int i) {
        if (fds[i] >= 0) ::close(fds[i]);
        fds[i] = -1;
    }
};

struct spawn_actions {
    posix_spawn_file_actions_t actions;
    spawn_actions() { posix_spawn_file_actions_init(&actions); }
    ~spawn_actions() { posix_spawn_file_actions_destroy(&actions); }
};

long long now_ms() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

}  // namespace

bool is_elevated() { return ::geteuid() == 0; }

void pause_for(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

unsigned long current_process_id() { return static_cast<unsigned long>(::getpid()); }

namespace {

// /usr/sbin is not on every user's search path, even under sudo.
std::string lpadmin_program() {
    return ::access("/usr/sbin/lpadmin", X_OK) == 0 ? "/usr/sbin/lpadmin" : "lpadmin";
}

}  // namespace

const register_words& platform_register_words() {
    static const register_words words{"lpadmin", "lpadmin -v", "lpadmin", "posix_spawn(lpadmin)",
                                      "FATAL: not elevated. Re-run with sudo.", "velunio-print-app",
                                      "CUPS-Delete-Printer"};
    return words;
}

std::string_view register_command() { return "sudo velunio-print-app --register"; }

// lpadmin's IPP Everywhere set-up takes only an IPP scheme.
std::string printer_ipp_url(const flow& printer, int port) {
    return "ipp://localhost:" + std::to_string(port) + std::string(printer.resource_path);
}

std::string registered_queue_name(const flow& printer) { return std::string(printer.queue_name); }

child_result run_add_queue(const flow& printer, const std::string& url) {
    return run_captured({lpadmin_program(), "-p", std::string(printer.queue_name), "-E", "-v", url, "-m", "everywhere",
                         "-D", std::string(printer.printer_name)},
                        child_time_limit);
}

bool wait_for_ipp_server(int attempts, int port, std::chrono::milliseconds pause) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int attempt = 0; attempt < attempts; ++attempt) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0) {
            int connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
            ::close(fd);
            if (connected == 0) return true;
        }
        pause_for(pause);
    }
    return false;
}

child_result run_captured(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
    child_result result;
    fd_pair pipe_fds;
    if (::pipe2(pipe_fds.fds, O_CLOEXEC) != 0) {
        result.error = errno;
        return result;
    }
    spawn_actions actions;
    posix_spawn_file_actions_adddup2(&actions.actions, pipe_fds.fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions.actions, pipe_fds.fds[1], STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t child = 0;
    int spawned = ::posix_spawnp(&child, args[0], &actions.actions, nullptr, args.data(), environ);
    if (spawned != 0) {
        result.error = spawned;
        return result;
    }
    result.started = true;
    pipe_fds.close_one(1);

    // Read to the end (a child writing more than the pipe holds must not block), keep the
    // first bytes only.
    long long deadline = now_ms() + limit.count();
    bool timed_out = false;
    char buffer[4096];
    for (;;) {
        long long left = deadline - now_ms();
        if (left <= 0) {
            timed_out = true;
            break;
        }
        pollfd p{pipe_fds.fds[0], POLLIN, 0};
        int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        ssize_t n = ::read(pipe_fds.fds[0], buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::size_t room = child_output_limit - result.output.size();
        result.output.append(buffer, std::min(room, static_cast<std::size_t>(n)));
    }
    if (timed_out) ::kill(child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (timed_out)
        result.exit_code = 259;  // still running when the wait ended
    else if (WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    else
        result.exit_code = 1;
    return result;
}
