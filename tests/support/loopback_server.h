#pragma once
// The suite's loopback HTTP server (http_test_server.py) as a child process, with the
// requests it recorded. Under Wine the server runs beside the test executable
// (tests/windows/with_http_server.sh) and is shared by its tests.

#include "support/temp_dir.h"

#include <sys/types.h>

#include <optional>
#include <string>

// Every byte as %XX, for a query value the server decodes.
std::string url_encoded(const std::string& text);

class loopback_server {
public:
    // HTTPS when given a certificate and its key (PEM files).
    explicit loopback_server(const std::string& certificate_file = "", const std::string& key_file = "");
    ~loopback_server();
    loopback_server(const loopback_server&) = delete;
    loopback_server& operator=(const loopback_server&) = delete;

    bool running() const { return port_ > 0; }
    int port() const { return port_; }
    std::string url(const std::string& path_and_query) const;

    // Request n (0, 1, ...) as received: its header block and its body (a body over 8 MiB
    // only by its length).
    std::optional<std::string> request_headers(int n) const;
    std::optional<std::string> request_body(int n) const;
    std::optional<unsigned long long> request_body_length(int n) const;
    int request_count() const;

private:
    bool tls_ = false;
    std::optional<std::string> recorded(int n, const char* suffix) const;
    temp_dir records_;
    std::string records_path_;
    int first_ = 0;  // records before this server's first request (a shared server)
    pid_t pid_ = -1;
    int port_ = 0;
};
