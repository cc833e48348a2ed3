#include "base/platform.h"
#include "bridge/web_requests.h"

#include <gtest/gtest.h>

namespace {

http_result answered(unsigned status, std::optional<std::string> body) {
    http_result r;
    r.status_code = status;
    if (body) r.response_len = body->size();
    r.response_body = std::move(body);
    return r;
}

}  // namespace

TEST(WebRequestOutcome, GetRows) {
    auto ok = decide_http_get_result("7", answered(200, std::string("ok")));
    EXPECT_EQ(ok.id, "7");
    EXPECT_EQ(ok.body_text, "ok");
    EXPECT_FALSE(ok.error_text);

    auto empty = decide_http_get_result("7", answered(204, std::nullopt));
    EXPECT_EQ(empty.body_text, "");
    EXPECT_FALSE(empty.error_text);

    auto missing = decide_http_get_result("7", answered(404, std::string("gone")));
    EXPECT_FALSE(missing.body_text);
    EXPECT_EQ(missing.error_text, "HTTP 404");

    http_result failed;
    failed.error_text = "HTTP request failed";
    EXPECT_EQ(decide_http_get_result("7", failed).error_text, "HTTP request failed");

    EXPECT_EQ(decide_http_get_result("7", answered(200, std::string("a\xff"))).body_text, "a\xef\xbf\xbd");
}

TEST(WebRequestOutcome, TokenRows) {
    EXPECT_EQ(decide_token_result(answered(200, std::string("{\"a\":1}"))).response_text, "{\"a\":1}");
    auto empty = decide_token_result(answered(204, std::nullopt));
    EXPECT_EQ(empty.response_text, "{}");
    EXPECT_FALSE(empty.error_text);

    std::string long_body(399, 'x');
    long_body += "\xc3\xa9";  // the cut falls inside this character
    long_body += std::string(600, 'y');
    auto refused = decide_token_result(answered(400, long_body));
    EXPECT_FALSE(refused.response_text);
    EXPECT_EQ(refused.error_text, "HTTP 400: " + std::string(399, 'x') + "\xef\xbf\xbd");

    EXPECT_EQ(decide_token_result(answered(500, std::nullopt)).error_text, "HTTP 500: ");

    http_result failed;
    failed.error_text = "curl_url_set failed (curl 5: Unsupported URL scheme)";
    EXPECT_EQ(decide_token_result(failed).error_text, failed.error_text);
}

TEST(WebRequestScripts, QuotedArguments) {
    http_get_result r{"a\"b\\c", std::string("\u00e9"), std::nullopt};
    EXPECT_EQ(http_get_result_script(r),
              "window.velunio&&window.velunio._onHttpGetResponse(\"a\\\"b\\\\c\",\"\\u00e9\",null)");
}

TEST(HttpClientRules, ErrorTextsAndRedirects) {
    EXPECT_EQ(http_error_text("curl", "curl_easy_perform", 7, "Couldn't connect to server\r\n "),
              "curl_easy_perform failed (curl 7: Couldn't connect to server)");
    EXPECT_EQ(http_error_text("curl", "curl_url_set", 5, ""), "curl_url_set failed (curl 5)");
    EXPECT_EQ(http_redirect_protocols("https"), "https");
    EXPECT_EQ(http_redirect_protocols("http"), "http,https");
}

TEST(HttpClientRules, LimitsFromEnvironment) {
    set_environment_variable("VELUNIO_HTTP_CONNECT_TIMEOUT_MS", "");  // empty counts as unset
    set_environment_variable("VELUNIO_HTTP_STALL_TIMEOUT_MS", "1500");
    http_limits limits = http_limits_from_environment();
    EXPECT_EQ(limits.connect_timeout_ms, 60000);
    EXPECT_EQ(limits.stall_timeout_ms, 1500);
    set_environment_variable("VELUNIO_HTTP_STALL_TIMEOUT_MS", "soon");
    EXPECT_EQ(http_limits_from_environment().stall_timeout_ms, 30000);
    set_environment_variable("VELUNIO_HTTP_STALL_TIMEOUT_MS", "");
}
