#include "support/loopback_server.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

loopback_server::loopback_server() { start("", ""); }

loopback_server::loopback_server(const std::string& certificate_file, const std::string& key_file) {
    tls_ = true;
    start(certificate_file, key_file);
}

void loopback_server::start(const std::string& certificate_file, const std::string& key_file) {
    records_path_ = records_.path();
    int out[2];
    if (::pipe(out) != 0) return;
    // Named by CMake: __FILE__ is relative when the compiler cache rewrites paths.
    std::string script = VELUNIO_TEST_SERVER_SCRIPT;
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
