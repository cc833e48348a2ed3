// The WinHTTP client against the suite's loopback server.

#include "documents/http_client.h"
#include "support/loopback_server.h"

#include <gtest/gtest.h>

#include <regex>

TEST(WinHttp, AnswersComeBackAsTheyWere) {
    loopback_server server;
    ASSERT_TRUE(server.running());
    const std::string sent("a\0b\r\n\xff", 6);
    struct {
        std::string path;
        unsigned status;
        std::optional<std::string> body;
    } cases[] = {
        {"/respond?status=200&body=ok", 200, "ok"},
        {"/respond?status=500&body=it%20broke", 500, "it broke"},
        {"/respond?status=204", 204, std::nullopt},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].path);
        // The client-certificate flag is set as the upload sets it; a plain-http request still goes.
        http_result post;
        http_post(server.url(cases[i].path), "Content-Type: text/plain\r\nX-Test: 1", http_body_from_bytes(sent), true, post);
        EXPECT_EQ(post.error_text, std::nullopt);
        EXPECT_EQ(post.status_code, cases[i].status);
        EXPECT_EQ(post.response_body, cases[i].body);
        EXPECT_EQ(post.response_len, cases[i].body.value_or("").size());
        EXPECT_EQ(server.request_body(static_cast<int>(2 * i)), sent);
        std::string head = server.request_headers(static_cast<int>(2 * i)).value_or("");
        EXPECT_EQ(head.rfind("POST " + cases[i].path + " HTTP/1.1\r\n", 0), 0u) << head;
        EXPECT_NE(head.find("\r\nX-Test: 1\r\n"), std::string::npos) << head;
        EXPECT_NE(head.find("\r\nUser-Agent: VelunioPrint/1.0\r\n"), std::string::npos) << head;

        http_result get;
        http_get(server.url(cases[i].path), get);
        EXPECT_EQ(get.error_text, std::nullopt);
        EXPECT_EQ(get.status_code, cases[i].status);
        EXPECT_EQ(get.response_body, cases[i].body);
    }
}

TEST(WinHttp, FailuresNameTheCallAndItsCode) {
    struct {
        std::string url;
        std::string post_error;  // a regular expression
        std::string get_error;
    } cases[] = {
        {"http://127.0.0.1:1/", "WinHttpSendRequest failed \\(WinHTTP 12029(: .+)?\\)", "HTTP request failed"},
        {"ftp://127.0.0.1/x", "WinHttpCrackUrl failed \\(WinHTTP 12006(: .+)?\\)", "Cannot parse URL"},
        {"http://" + std::string(256, 'h') + "/", "WinHttpCrackUrl failed \\(WinHTTP \\d+(: .+)?\\)", "Cannot parse URL"},
        {"http://127.0.0.1/" + std::string(2047, 'p'), "WinHttpCrackUrl failed \\(WinHTTP \\d+(: .+)?\\)",
         "Cannot parse URL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url.substr(0, 40));
        http_result post, get;
        http_post(c.url, std::nullopt, http_body_from_bytes("x"), false, post);
        http_get(c.url, get);
        EXPECT_TRUE(std::regex_match(post.error_text.value_or(""), std::regex(c.post_error))) << *post.error_text;
        EXPECT_EQ(get.error_text, c.get_error);
    }
}

TEST(WinHttp, ErrorTextsTakeTheSystemsMessageWhenThereIsOne) {
    EXPECT_EQ(winhttp_error_text("WinHttpReadData", 0x2FFFF), "WinHttpReadData failed (WinHTTP 196607)");
    std::string denied = winhttp_error_text("WinHttpOpen", 5);
    EXPECT_TRUE(std::regex_match(denied, std::regex("WinHttpOpen failed \\(WinHTTP 5: .*[^\r\n ]\\)"))) << denied;
}
