#include "base/app_log.h"
#include "documents/http_client.h"
#include "support/loopback_server.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <vector>

namespace {

http_result post(const std::string& url, const std::string& body = "hello",
                 const std::optional<std::string>& headers = std::nullopt) {
    http_result r;
    http_post(url, headers, http_body_from_bytes(body), false, r);
    return r;
}

http_result get(const std::string& url) {
    http_result r;
    http_get(url, r);
    return r;
}

// A TCP socket bound to a free loopback port, `address` filled in; -1 when none could be bound.
int bound_loopback_socket(sockaddr_in& address) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof address;
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &len) != 0) {
        if (s >= 0) ::close(s);
        return -1;
    }
    return s;
}

int closed_port() {
    sockaddr_in a{};
    int s = bound_loopback_socket(a);
    if (s >= 0) ::close(s);
    return ntohs(a.sin_port);
}

bool starts_with(const std::optional<std::string>& s, const std::string& prefix) {
    return s && s->rfind(prefix, 0) == 0;
}

class HttpClient : public ::testing::Test {
protected:
    loopback_server server;
    void SetUp() override { ASSERT_TRUE(server.running()); }
};

}  // namespace

TEST_F(HttpClient, PostSendsExactlyTheGivenRequestWithItsQuery) {
    auto r = post(server.url("/respond?status=200&body=ok"), "hello\r\nbytes", std::string("A: b\r\nC: d"));
    EXPECT_FALSE(r.error_text);
    EXPECT_EQ(r.status_code, 200u);
    EXPECT_EQ(r.response_body, "ok");
    EXPECT_EQ(r.response_len, 2u);
    std::string head = server.request_headers(0).value_or("");
    EXPECT_EQ(head.rfind("POST /respond?status=200&body=ok HTTP/1.1\r\n", 0), 0u) << head;
    EXPECT_NE(head.find("\r\nUser-Agent: VelunioPrint/1.0\r\n"), std::string::npos);
    EXPECT_NE(head.find("\r\nA: b\r\nC: d\r\n"), std::string::npos);
    EXPECT_NE(head.find("\r\nContent-Length: 12\r\n"), std::string::npos);
    EXPECT_EQ(head.find("Expect:"), std::string::npos);
    EXPECT_EQ(head.find("Accept:"), std::string::npos);
    EXPECT_EQ(server.request_body(0), "hello\r\nbytes");
}

TEST_F(HttpClient, StatusesAreNotFailures) {
    auto r = post(server.url("/respond?status=500&body=broken"));
    EXPECT_FALSE(r.error_text);
    EXPECT_EQ(r.status_code, 500u);
    EXPECT_EQ(r.response_body, "broken");
    auto empty = get(server.url("/respond?status=204"));
    EXPECT_FALSE(empty.error_text);
    EXPECT_EQ(empty.status_code, 204u);
    EXPECT_FALSE(empty.response_body);
    EXPECT_EQ(empty.response_len, 0u);
}

TEST_F(HttpClient, DroppedConnectionIsResentAtMostTwice) {
    temp_dir logs;
    open_app_log(logs.path());
    auto once = post(server.url("/respond-never"), "x");  // 404 answer: a plain exchange, no resend
    EXPECT_EQ(once.status_code, 404u);
    auto recovered = post(server.url("/reset-first?times=2&key=a"));
    EXPECT_FALSE(recovered.error_text) << *recovered.error_text;
    EXPECT_EQ(recovered.response_body, "ok");
    EXPECT_EQ(server.request_count(), 4);
    auto lost = post(server.url("/reset-first?times=3&key=b"));
    EXPECT_TRUE(starts_with(lost.error_text, "curl_easy_perform failed (curl ")) << lost.error_text.value_or("");
    EXPECT_EQ(server.request_count(), 7);
    close_app_log();
    std::string log = read_file(logs / "velunio-print.log");
    std::size_t first = log.find("[curl] curl_easy_perform requested resend (1/2)");
    std::size_t second = log.find("[curl] curl_easy_perform requested resend (2/2)");
    EXPECT_NE(first, std::string::npos);
    EXPECT_NE(second, std::string::npos);
    EXPECT_EQ(log.find("(3/2)"), std::string::npos);

    // GET is never resent.
    EXPECT_EQ(get(server.url("/reset-first?times=1&key=c")).error_text, "HTTP request failed");
    EXPECT_EQ(server.request_count(), 8);
}

TEST_F(HttpClient, RedirectsAreFollowedOnlyToWebUrls) {
    std::string target = server.url("/respond?status=200&body=moved");
    std::string encoded;
    for (char c : target) {
        if (c == '?' || c == '&' || c == '=' || c == ':' || c == '/') {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
            encoded += hex;
        } else {
            encoded += c;
        }
    }
    auto r = get(server.url("/redirect?code=302&to=" + encoded));
    EXPECT_FALSE(r.error_text);
    EXPECT_EQ(r.response_body, "moved");
    auto p = post(server.url("/redirect?code=303&to=" + encoded));
    EXPECT_EQ(p.response_body, "moved");

    EXPECT_EQ(get(server.url("/redirect?to=file%3A%2F%2F%2Fetc%2Fpasswd")).error_text, "HTTP request failed");
    EXPECT_TRUE(starts_with(post(server.url("/redirect?to=file%3A%2F%2F%2Fetc%2Fpasswd")).error_text,
                            "curl_easy_perform failed (curl 1: "));
}

TEST_F(HttpClient, OnlyHttpUrlsWithinTheSplitterLimitsAreSent) {
    EXPECT_EQ(get("file:///etc/passwd").error_text, "Cannot parse URL");
    EXPECT_EQ(get("ftp://127.0.0.1/x").error_text, "Cannot parse URL");
    EXPECT_EQ(get("not a url").error_text, "Cannot parse URL");
    EXPECT_TRUE(starts_with(post("file:///etc/passwd").error_text, "curl_url_set failed (curl 5: "));

    std::string long_host = "http://" + std::string(256, 'h') + "/x";
    EXPECT_EQ(get(long_host).error_text, "Cannot parse URL");
    EXPECT_TRUE(starts_with(post(long_host).error_text, "curl_url_set failed (curl "));

    std::string path = "/respond?status=200&body=";  // path and query together count
    std::string at_limit = path + std::string(2047 - path.size(), 'p');
    EXPECT_EQ(get(server.url(at_limit)).status_code, 200u);
    EXPECT_EQ(get(server.url(at_limit + "p")).error_text, "Cannot parse URL");
    EXPECT_EQ(server.request_count(), 1);
}

TEST_F(HttpClient, SilentAndStalledServersEndWithinTheStallBound) {
    setenv("VELUNIO_HTTP_STALL_TIMEOUT_MS", "1000", 1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(get(server.url("/silent")).error_text, "HTTP request failed");
    EXPECT_TRUE(starts_with(post(server.url("/silent")).error_text, "curl_easy_perform failed (curl 28: "));
    auto stalled = post(server.url("/stall"));
    EXPECT_TRUE(starts_with(stalled.error_text, "curl_easy_perform failed (curl 28: "));
    EXPECT_EQ(get(server.url("/stall")).error_text, "HTTP request failed");  // a cut body is no answer
    unsetenv("VELUNIO_HTTP_STALL_TIMEOUT_MS");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(12));
}

// A listener that never accepts and whose queue is full drops further handshakes, so the
// connect itself hangs: only the connect bound can end it.
TEST(HttpClientConnect, AHangingConnectEndsWithinTheConnectBound) {
    sockaddr_in a{};
    int listener = bound_loopback_socket(a);
    ASSERT_GE(listener, 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ::connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(f);
    }
    std::string url = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/";

    setenv("VELUNIO_HTTP_CONNECT_TIMEOUT_MS", "700", 1);
    setenv("VELUNIO_HTTP_STALL_TIMEOUT_MS", "20000", 1);
    auto start = std::chrono::steady_clock::now();
    auto posted = post(url);
    auto fetched = get(url);
    auto took = std::chrono::steady_clock::now() - start;
    unsetenv("VELUNIO_HTTP_CONNECT_TIMEOUT_MS");
    unsetenv("VELUNIO_HTTP_STALL_TIMEOUT_MS");
    for (int f : fillers) ::close(f);
    ::close(listener);

    EXPECT_TRUE(starts_with(posted.error_text, "curl_easy_perform failed (curl 28: ")) << posted.error_text.value_or("");
    EXPECT_EQ(fetched.error_text, "HTTP request failed");
    EXPECT_LT(took, std::chrono::seconds(8));
}

TEST_F(HttpClient, UnreachableAndMalformedAnswers) {
    std::string nowhere = "http://127.0.0.1:" + std::to_string(closed_port()) + "/";
    EXPECT_EQ(get(nowhere).error_text, "HTTP request failed");
    EXPECT_TRUE(starts_with(post(nowhere).error_text, "curl_easy_perform failed (curl 7: "));
    EXPECT_TRUE(starts_with(post(server.url("/malformed")).error_text, "curl_easy_perform failed (curl "));
}

TEST_F(HttpClient, AnswersAreCappedAt64MiB) {
    auto at_cap = get(server.url("/huge?len=" + std::to_string(http_response_cap)));
    EXPECT_FALSE(at_cap.error_text);
    EXPECT_EQ(at_cap.response_len, http_response_cap);
    EXPECT_EQ(get(server.url("/huge?len=" + std::to_string(http_response_cap + 1))).error_text,
              http_response_too_large_text);
    EXPECT_EQ(post(server.url("/huge?length=0&len=" + std::to_string(http_response_cap + 1))).error_text,
              http_response_too_large_text);
}

TEST(HttpClientTls, HttpsNeverRedirectsToPlainHttp) {
    temp_dir keys;
    std::string cert = keys / "cert.pem", key = keys / "key.pem";
    std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -addext "
                       "subjectAltName=IP:127.0.0.1 -keyout " + key + " -out " + cert + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0);
    loopback_server secure(cert, key);
    loopback_server plain;
    ASSERT_TRUE(secure.running() && plain.running());

    // Without the test's authority the certificate is not trusted.
    EXPECT_EQ(get(secure.url("/respond?status=200&body=ok")).error_text, "HTTP request failed");
    setenv("VELUNIO_HTTP_CA_FILE", cert.c_str(), 1);
    auto direct = post(secure.url("/respond?status=200&body=ok"));
    EXPECT_FALSE(direct.error_text) << direct.error_text.value_or("");
    EXPECT_EQ(direct.response_body, "ok");

    auto to = [](const std::string& url) {
        std::string encoded;
        for (char c : url) encoded += (c == ':' || c == '/' || c == '?' || c == '&' || c == '=')
                                          ? "%" + std::string(1, "0123456789ABCDEF"[(c >> 4) & 15]) + "0123456789ABCDEF"[c & 15]
                                          : std::string(1, c);
        return encoded;
    };
    auto within = get(secure.url("/redirect?to=" + to(secure.url("/respond?status=200&body=still-tls"))));
    EXPECT_EQ(within.response_body, "still-tls");
    EXPECT_EQ(get(secure.url("/redirect?to=" + to(plain.url("/respond?status=200&body=plain")))).error_text,
              "HTTP request failed");
    EXPECT_TRUE(starts_with(post(secure.url("/redirect?to=" + to(plain.url("/respond?status=200&body=plain")))).error_text,
                            "curl_easy_perform failed (curl 1: "));
    EXPECT_EQ(plain.request_count(), 0);
    unsetenv("VELUNIO_HTTP_CA_FILE");
}
