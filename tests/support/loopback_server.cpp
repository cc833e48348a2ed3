#include "support/loopback_server.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace {

// Named by CMake: __FILE__ is relative when the compiler cache rewrites paths (CCACHE_BASEDIR).
std::string script_path() { return VELUNIO_TEST_SUPPORT_DIR "/http_test_server.py"; }

}  // namespace

loopback_server::loopback_server() { start("", ""); }

loopback_server::loopback_server(const std::string& certificate_file, const std::string& key_file) {
    tls_ = true;
    start(certificate_file, key_file);
}

void loopback_server::start(const std::string& certificate_file, const std::string& key_file) {
    int out[2];
    if (::pipe(out) != 0) return;
    std::string script = script_path();
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        ::close(out[1]);
        if (certificate_file.empty()) {
            ::execlp("python3", "python3", script.c_str(), records_.path().c_str(), static_cast<char*>(nullptr));
        } else {
            ::execlp("python3", "python3", script.c_str(), records_.path().c_str(), certificate_file.c_str(),
                     key_file.c_str(), static_cast<char*>(nullptr));
        }
        ::_exit(127);
    }
    ::close(out[1]);
    std::string line;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(out[0]);
    if (line.rfind("PORT ", 0) == 0) port_ = std::atoi(line.c_str() + 5);
}

loopback_server::~loopback_server() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

std::string loopback_server::url(const std::string& path_and_query) const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path_and_query;
}

std::optional<std::string> loopback_server::recorded(int n, const char* suffix) const {
    std::string path = records_ / (std::to_string(n) + suffix);
    if (!std::filesystem::exists(path)) return std::nullopt;
    return read_file(path);
}

std::optional<std::string> loopback_server::request_headers(int n) const { return recorded(n, ".headers"); }
std::optional<std::string> loopback_server::request_body(int n) const { return recorded(n, ".body"); }
std::optional<std::string> loopback_server::request_body_head(int n) const { return recorded(n, ".body_head"); }
std::optional<std::string> loopback_server::request_body_tail(int n) const { return recorded(n, ".body_tail"); }
std::optional<unsigned long long> loopback_server::request_body_length(int n) const {
    auto text = recorded(n, ".body_len");
    if (!text) return std::nullopt;
    return std::strtoull(text->c_str(), nullptr, 10);
}

int loopback_server::request_count() const {
    int n = 0;
    while (std::filesystem::exists(records_ / (std::to_string(n) + ".body_len"))) ++n;
    return n;
}
