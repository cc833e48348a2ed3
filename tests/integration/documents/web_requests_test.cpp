#include "base/json_text.h"
#include "bridge/dispatch.h"
#include "page_recorder.h"
#include "support/loopback_server.h"

#include <gtest/gtest.h>

namespace {

std::string message(const std::string& handler, const std::string& data) {
    return "{\"handler\":\"" + handler + "\",\"data\":" + json_quote(data) + "}";
}

std::string get(const std::string& id, const std::string& url) {
    return message("httpGet", "{\"id\":" + json_quote(id) + ",\"url\":" + json_quote(url) + "}");
}
std::string token(const std::string& endpoint, const std::string& body) {
    return message("postToken", "{\"endpoint\":" + json_quote(endpoint) + ",\"body\":" + json_quote(body) + "}");
}

}  // namespace

// Each message, the page call it ends in (or its start, when that ends in a blank) and the
// requests that reached the server.
TEST(PageRequests, OutcomesReachThePage) {
    loopback_server server;
    ASSERT_TRUE(server.running());
    page_recorder page;
    const std::string on_get = "window.velunio&&window.velunio._onHttpGetResponse(";
    const std::string on_token = "window.velunio&&window.velunio._onTokenResponse(";
    struct row { std::string message, script; int requests; } rows[] = {
        {get("a\"\\1", server.url("/respond?status=200&body=ok")), on_get + "\"a\\\"\\\\1\",\"ok\",null)", 1},
        {get("2", server.url("/respond?status=404&body=gone")), on_get + "\"2\",null,\"HTTP 404\")", 1},
        {get("3", server.url("/respond?status=200&body=%C3%A9t%C3%A9%00%FF")),
         on_get + "\"3\",\"\\u00e9t\\u00e9\\u0000\\ufffd\",null)", 1},
        {get("", server.url("/respond?status=204")), on_get + "\"\",\"\",null)", 1},
        {get("4", "file:///etc/passwd"), on_get + "\"4\",null,\"Cannot parse URL\")", 0},
        {token(server.url("/respond?status=200&body=%7B%22t%22%3A1%7D"), "grant_type=x&code=%C3%A9"),
         on_token + "\"{\\\"t\\\":1}\",null)", 1},
        {token(server.url("/respond?status=204"), "a=b"), on_token + "\"{}\",null)", 1},
        {token(server.url("/respond?status=400&body=" + std::string(1000, 'z')), "a=b"),
         on_token + "null,\"HTTP 400: " + std::string(400, 'z') + "\")", 1},
        // The 400-byte cut falls inside a character.
        {token(server.url("/respond?status=400&body=" + std::string(399, 'x') + "%C3%A9yy"), "a=b"),
         on_token + "null,\"HTTP 400: " + std::string(399, 'x') + "\\ufffd\")", 1},
        {token(server.url("/respond?status=500"), "a=b"), on_token + "null,\"HTTP 500: \")", 1},
        {token("ftp://127.0.0.1/", ""), on_token + "null,\"curl_url_set failed (curl 5: ", 0},
        // A single-use code is never replayed: a reset after the request is one failure.
        {token(server.url("/reset"), "code=once"), on_token + "null,\"curl_easy_perform failed (curl ", 1},
    };
    std::size_t answered = 0;
    int before = 0;
    for (const row& r : rows) {
        on_web_message_received(r.message);
        auto scripts = page.wait_for(++answered);
        ASSERT_EQ(scripts.size(), answered) << r.message;
        if (r.script.back() == ' ') EXPECT_EQ(scripts.back().rfind(r.script, 0), 0u) << scripts.back();
        else EXPECT_EQ(scripts.back(), r.script);
        EXPECT_EQ(server.request_count() - before, r.requests) << r.message;
        before = server.request_count();
    }
    EXPECT_EQ(server.request_body(4), "grant_type=x&code=%C3%A9");
    EXPECT_TRUE(contains(*server.request_headers(4), "\r\nContent-Type: application/x-www-form-urlencoded\r\n"));

    // Missing members, or data that is not a string: nothing starts and nothing answers.
    on_web_message_received(message("httpGet", "{\"id\":\"5\"}"));
    on_web_message_received(message("postToken", "{\"body\":\"5\"}"));
    on_web_message_received("{\"handler\":\"httpGet\",\"data\":{\"id\":\"6\",\"url\":\"x\"}}");
    EXPECT_EQ(page.wait_for(answered + 1, std::chrono::milliseconds(300)).size(), answered);
}
