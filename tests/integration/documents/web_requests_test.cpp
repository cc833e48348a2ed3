#include "bridge/dispatch.h"
#include "page_recorder.h"
#include "support/loopback_server.h"

#include <gtest/gtest.h>

namespace {

std::string token(const std::string& endpoint, const std::string& body) {
    return bridge_message("postToken", "{\"endpoint\":" + json_quote(endpoint) + ",\"body\":" + json_quote(body) + "}");
}

}  // namespace

// Each message, the page call it ends in; each sends one request. (What an exchange itself may
// end in is http_client_test.cpp's.)
TEST(PageRequests, OutcomesReachThePage) {
    loopback_server server;
    ASSERT_TRUE(server.running());
    page_recorder page;
    const std::string on_get = "window.velunio&&window.velunio._onHttpGetResponse(";
    const std::string on_token = "window.velunio&&window.velunio._onTokenResponse(";
    std::pair<std::string, std::string> rows[] = {
        {http_get_message("a\"\\1", server.url("/respond?status=200&body=ok")), on_get + "\"a\\\"\\\\1\",\"ok\",null)"},
        {http_get_message("2", server.url("/respond?status=404&body=gone")), on_get + "\"2\",null,\"HTTP 404\")"},
        {http_get_message("3", server.url("/respond?status=200&body=%C3%A9t%C3%A9%00%FF")),
         on_get + "\"3\",\"\\u00e9t\\u00e9\\u0000\\ufffd\",null)"},
        {http_get_message("", server.url("/respond?status=204")), on_get + "\"\",\"\",null)"},
        {token(server.url("/respond?status=200&body=%7B%22t%22%3A1%7D"), "grant_type=x&code=%C3%A9"),
         on_token + "\"{\\\"t\\\":1}\",null)"},
        {token(server.url("/respond?status=204"), "a=b"), on_token + "\"{}\",null)"},
        {token(server.url("/respond?status=400&body=" + std::string(1000, 'z')), "a=b"),
         on_token + "null,\"HTTP 400: " + std::string(400, 'z') + "\")"},
        // The 400-byte cut falls inside a character.
        {token(server.url("/respond?status=400&body=" + std::string(399, 'x') + "%C3%A9yy"), "a=b"),
         on_token + "null,\"HTTP 400: " + std::string(399, 'x') + "\\ufffd\")"},
        {token(server.url("/respond?status=500"), "a=b"), on_token + "null,\"HTTP 500: \")"},
    };
    std::size_t answered = 0;
    for (const auto& [message, script] : rows) {
        on_web_message_received(message);
        auto scripts = page.wait_for(++answered);
        ASSERT_EQ(scripts.size(), answered) << message;
        EXPECT_EQ(scripts.back(), script);
        EXPECT_EQ(server.request_count(), int(answered)) << message;
    }
    EXPECT_EQ(server.request_body(4), "grant_type=x&code=%C3%A9");
    EXPECT_TRUE(contains(*server.request_headers(4), "\r\nContent-Type: application/x-www-form-urlencoded\r\n"));

    // Missing members, or data that is not a string: nothing starts and nothing answers.
    on_web_message_received(bridge_message("httpGet", "{\"id\":\"5\"}"));
    on_web_message_received(bridge_message("postToken", "{\"body\":\"5\"}"));
    on_web_message_received("{\"handler\":\"httpGet\",\"data\":{\"id\":\"6\",\"url\":\"x\"}}");
    EXPECT_EQ(page.wait_for(answered + 1, std::chrono::milliseconds(300)).size(), answered);
}
