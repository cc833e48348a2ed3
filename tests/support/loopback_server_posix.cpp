#include "support/loopback_server.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

loopback_server::loopback_server(const std::string& certificate_file, const std::string& key_file)
    : tls_(!certificate_file.empty()), records_path_(records_.path()) {
    int out[2];
    if (::pipe(out) != 0) return;
    // Named by CMake: __FILE__ is relative when the compiler cache rewrites paths.
    std::string script = VELUNIO_TEST_SERVER_SCRIPT;
    // Without a certificate its null ends the argument list: plain HTTP.
    const char* tls = certificate_file.empty() ? nullptr : certificate_file.c_str();
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        ::close(out[1]);
        ::execlp("python3", "python3", script.c_str(), records_.path().c_str(), tls, key_file.c_str(),
                 static_cast<char*>(nullptr));
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
