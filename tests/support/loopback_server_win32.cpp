// Under Wine the server cannot be a child of the test: tests/windows/with_http_server.sh runs
// it beside the test executable and names its port and record folder in the environment.

#include "support/loopback_server.h"

#include <cstdlib>

// No TLS server here: with a certificate the server is not running.
loopback_server::loopback_server(const std::string& certificate_file, const std::string&) {
    const char* port = std::getenv("VELUNIO_TEST_HTTP_PORT");
    const char* records = std::getenv("VELUNIO_TEST_HTTP_RECORDS");
    if (!certificate_file.empty() || port == nullptr || records == nullptr) return;
    records_path_ = records;
    first_ = request_count();
    port_ = std::atoi(port);
}

loopback_server::~loopback_server() = default;
