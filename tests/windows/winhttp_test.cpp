// The WinHTTP client against the suite's loopback server. The upload's body and headers byte
// for byte: Upload.SendsTheMultipartRequestByteForByte, run under Wine too.

#include "documents/http_client.h"
#include "support/loopback_server.h"

#include <gtest/gtest.h>

#include <regex>

TEST(WinHttp, AnswersComeBackAsTheyWere) {
    loopback_server server;
    ASSERT_TRUE(server.running());
    struct {
        std::string path;
        unsigned status;
        std::optional<std::string> body;
    } cases[] = {
        {"/respond?status=200&body=ok", 200, "ok"},
        {"/respond?status=500&body=it%20broke", 500, "it broke"},
        {"/respond?status=204", 204, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        // The client-certificate flag is set as the upload sets it; a plain-http request still goes.
        http_result post, get;
        http_post(server.url(c.path), "X-Test: 1", http_body_from_bytes(std::string_view("a\0b", 3)), true, post);
        http_get(server.url(c.path), get);
        for (const http_result& r : {post, get}) {
            EXPECT_EQ(r.error_text, std::nullopt);
            EXPECT_EQ(r.status_code, c.status);
            EXPECT_EQ(r.response_body, c.body);
            EXPECT_EQ(r.response_len, c.body.value_or("").size());
        }
    }
    EXPECT_EQ(server.request_body(0), std::string("a\0b", 3));
    EXPECT_NE(server.request_headers(0).value_or("").find("\r\nX-Test: 1\r\n"), std::string::npos);
    EXPECT_NE(server.request_headers(1).value_or("").find("\r\nUser-Agent: VelunioPrint/1.0\r\n"), std::string::npos);
}

TEST(WinHttp, FailuresNameTheCallAndItsCode) {
    struct {
        std::string url, post_error, get_error;  // post_error: a regular expression
    } cases[] = {
        {"http://127.0.0.1:1/", "WinHttpSendRequest failed \\(WinHTTP 12029(: .+)?\\)", "HTTP request failed"},
        {"ftp://127.0.0.1/x", "WinHttpCrackUrl failed \\(WinHTTP 12006(: .+)?\\)", "Cannot parse URL"},
        // Longer than the splitter's buffers: refused, not cut.
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
    // The system's text when it has one, none otherwise.
    EXPECT_EQ(winhttp_error_text("WinHttpReadData", 0x2FFFF), "WinHttpReadData failed (WinHTTP 196607)");
    std::string denied = winhttp_error_text("WinHttpOpen", 5);
    EXPECT_TRUE(std::regex_match(denied, std::regex("WinHttpOpen failed \\(WinHTTP 5: .*[^\r\n ]\\)"))) << denied;
}
