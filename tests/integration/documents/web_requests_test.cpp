#include "bridge/dispatch.h"
#include "base/json_text.h"
#include "bridge/web_requests.h"
#include "page_recorder.h"
#include "support/loopback_server.h"

#include <gtest/gtest.h>

namespace {

std::string message(const std::string& handler, const std::string& data) {
    return "{\"handler\":\"" + handler + "\",\"data\":" + json_quote(data) + "}";
}

std::string get_data(const std::string& id, const std::string& url) {
    return "{\"id\":" + json_quote(id) + ",\"url\":" + json_quote(url) + "}";
}

}  // namespace

TEST(PageRequests, GetOutcomesReachThePage) {
    loopback_server server;
    ASSERT_TRUE(server.running());
    page_recorder page;
    on_web_message_received(message("httpGet", get_data("a\"\\1", server.url("/respond?status=200&body=ok"))));
    ASSERT_EQ(page.wait_for(1).size(), 1u);
    EXPECT_EQ((*page.scripts)[0], "window.velunio&&window.velunio._onHttpGetResponse(\"a\\\"\\\\1\",\"ok\",null)");

    on_web_message_received(message("httpGet", get_data("2", server.url("/respond?status=404&body=gone"))));
    ASSERT_EQ(page.wait_for(2).size(), 2u);
    EXPECT_EQ((*page.scripts)[1], "window.velunio&&window.velunio._onHttpGetResponse(\"2\",null,\"HTTP 404\")");

    on_web_message_received(message("httpGet", get_data("3", server.url("/respond?status=200&body=%C3%A9t%C3%A9"))));
    ASSERT_EQ(page.wait_for(3).size(), 3u);
    EXPECT_EQ((*page.scripts)[2], "window.velunio&&window.velunio._onHttpGetResponse(\"3\",\"\\u00e9t\\u00e9\",null)");

    on_web_message_received(message("httpGet", get_data("4", "file:///etc/passwd")));
    ASSERT_EQ(page.wait_for(4).size(), 4u);
    EXPECT_EQ((*page.scripts)[3], "window.velunio&&window.velunio._onHttpGetResponse(\"4\",null,\"Cannot parse URL\")");

    // Missing members: nothing starts and nothing answers.
    on_web_message_received(message("httpGet", "{\"id\":\"5\"}"));
    on_web_message_received("{\"handler\":\"httpGet\",\"data\":{\"id\":\"6\",\"url\":\"x\"}}");
    EXPECT_EQ(page.wait_for(5, std::chrono::milliseconds(300)).size(), 4u);
}

TEST(PageRequests, TokenOutcomesReachThePage) {
    loopback_server server;
    ASSERT_TRUE(server.running());
    page_recorder page;
    auto token = [&](const std::string& path, const std::string& body) {
        on_web_message_received(message(
            "postToken", "{\"endpoint\":" + json_quote(server.url(path)) + ",\"body\":" + json_quote(body) + "}"));
    };
    token("/respond?status=200&body=%7B%22t%22%3A1%7D", "grant_type=x&code=%C3%A9");
    ASSERT_EQ(page.wait_for(1).size(), 1u);
    EXPECT_EQ((*page.scripts)[0], "window.velunio&&window.velunio._onTokenResponse(\"{\\\"t\\\":1}\",null)");
    EXPECT_EQ(server.request_body(0), "grant_type=x&code=%C3%A9");
    EXPECT_NE(server.request_headers(0)->find("\r\nContent-Type: application/x-www-form-urlencoded\r\n"),
              std::string::npos);

    token("/respond?status=204", "a=b");
    ASSERT_EQ(page.wait_for(2).size(), 2u);
    EXPECT_EQ((*page.scripts)[1], "window.velunio&&window.velunio._onTokenResponse(\"{}\",null)");

    token("/respond?status=400&body=" + std::string(1000, 'z'), "a=b");
    ASSERT_EQ(page.wait_for(3).size(), 3u);
    EXPECT_EQ((*page.scripts)[2],
              "window.velunio&&window.velunio._onTokenResponse(null,\"HTTP 400: " + std::string(400, 'z') + "\")");

    on_web_message_received(message("postToken", "{\"endpoint\":\"ftp://127.0.0.1/\",\"body\":\"\"}"));
    ASSERT_EQ(page.wait_for(4).size(), 4u);
    EXPECT_EQ((*page.scripts)[3].rfind("window.velunio&&window.velunio._onTokenResponse(null,\"curl_url_set failed (curl 5: ", 0), 0u)
        << (*page.scripts)[3];
}
