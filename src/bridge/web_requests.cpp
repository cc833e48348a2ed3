#include "bridge/web_requests.h"

#include "bridge/handlers.h"
#include "base/json_text.h"
#include "base/page_script.h"

#include <algorithm>
#include <cstdio>
#include <thread>

std::string http_get_result_script(const http_get_result& result) {
    return "window.velunio&&window.velunio._onHttpGetResponse(" + json_quote(result.id) + "," +
           json_quote(result.body_text) + "," + json_quote(result.error_text) + ")";
}

std::string token_result_script(const token_result& result) {
    return "window.velunio&&window.velunio._onTokenResponse(" + json_quote(result.response_text) + "," +
           json_quote(result.error_text) + ")";
}

void deliver_http_get_result(const http_get_result& result) { run_page_script(http_get_result_script(result)); }

void deliver_token_result(const token_result& result) { run_page_script(token_result_script(result)); }

namespace {

bool is_success(unsigned status) { return status >= 200 && status <= 299; }

constexpr std::size_t token_error_body_limit = 400;

}  // namespace

http_get_result decide_http_get_result(const std::string& id, const http_result& outcome) {
    http_get_result result;
    result.id = id;
    if (outcome.error_text) {
        result.error_text = sanitize_utf8(*outcome.error_text);
    } else if (is_success(outcome.status_code)) {
        result.body_text = outcome.response_body ? sanitize_utf8(*outcome.response_body) : std::string();
    } else {
        result.error_text = "HTTP " + std::to_string(outcome.status_code);
    }
    return result;
}

token_result decide_token_result(const http_result& outcome) {
    token_result result;
    if (outcome.error_text) {
        result.error_text = sanitize_utf8(*outcome.error_text);
    } else if (is_success(outcome.status_code)) {
        result.response_text = outcome.response_body ? sanitize_utf8(*outcome.response_body) : std::string("{}");
    } else {
        std::string text = "HTTP " + std::to_string(outcome.status_code) + ": ";
        if (outcome.response_body) {
            // The cut may fall inside a character; the sanitising turns that into U+FFFD.
            text.append(*outcome.response_body, 0,
                        std::min({outcome.response_len, token_error_body_limit, outcome.response_body->size()}));
        }
        result.error_text = sanitize_utf8(text);
    }
    return result;
}

void http_get_worker(http_get_request request) {
    http_result outcome;
    http_get(request.url, outcome);
    post_to_main_window(decide_http_get_result(request.id, outcome));
}

void post_token_worker(token_request request) {
    http_result outcome;
    http_post(request.endpoint, std::string("Content-Type: application/x-www-form-urlencoded"),
              http_body_from_bytes(request.body), false, outcome);
    post_to_main_window(decide_token_result(outcome));
}

void handler_http_get(const handler_data& data) {
    if (!data) return;
    auto id = json_find_string(*data, "id");
    auto url = json_find_string(*data, "url");
    if (!id || !url) return;
    std::thread(http_get_worker, http_get_request{std::move(*id), std::move(*url)}).detach();
}

void handler_post_token(const handler_data& data) {
    if (!data) return;
    auto endpoint = json_find_string(*data, "endpoint");
    auto body = json_find_string(*data, "body");
    if (!endpoint || !body) return;
    std::thread(post_token_worker, token_request{std::move(*endpoint), std::move(*body)}).detach();
}
