#include "bridge/web_requests.h"

#include "bridge/handlers.h"
#include "base/json_text.h"
#include "base/page_script.h"
#include "base/worker_pool.h"

#include <algorithm>
#include <initializer_list>

namespace {

// A call with quoted arguments, written once into one string: a body of many megabytes is
// not copied on its way into the script. Room is made for a few escapes; a text with many
// grows the string once more.
std::string page_call(std::string_view function, std::initializer_list<std::optional<std::string_view>> arguments) {
    std::string_view head = "window.velunio&&window.velunio.";
    std::size_t size = head.size() + function.size() + 2 + arguments.size();
    for (const auto& a : arguments) size += a ? a->size() + a->size() / 16 + 2 : 4;
    std::string script;
    script.reserve(size);
    script += head;
    script += function;
    script += '(';
    const char* separator = "";
    for (const auto& a : arguments) {
        script += separator;
        append_json_quote(script, a);
        separator = ",";
    }
    script += ')';
    return script;
}

}  // namespace

std::string http_get_result_script(const http_get_result& result) {
    return page_call("_onHttpGetResponse", {result.id, result.body_text, result.error_text});
}

std::string token_result_script(const token_result& result) {
    return page_call("_onTokenResponse", {result.response_text, result.error_text});
}

void deliver_http_get_result(const http_get_result& result) { run_page_script(http_get_result_script(result)); }

void deliver_token_result(const token_result& result) { run_page_script(token_result_script(result)); }

namespace {

bool is_success(unsigned status) { return status >= 200 && status <= 299; }

constexpr std::size_t token_error_body_limit = 400;

}  // namespace

http_get_result decide_http_get_result(const std::string& id, http_result outcome) {
    http_get_result result;
    result.id = id;
    if (outcome.error_text) {
        result.error_text = sanitize_utf8(*outcome.error_text);
    } else if (is_success(outcome.status_code)) {
        // The body moves on as it is unless it needs mending: one copy of it at a time.
        std::string body = outcome.response_body ? std::move(*outcome.response_body) : std::string();
        result.body_text = is_valid_utf8(body) ? std::move(body) : sanitize_utf8(body);
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

void start_page_request(std::function<void()> request) {
    static const auto workers = std::make_shared<worker_pool>(page_request_workers_limit);
    run_in_pool(workers, std::move(request));
}

void http_get_worker(http_get_request request) {
    http_result outcome;
    http_get(request.url, outcome);
    post_to_main_window(decide_http_get_result(request.id, std::move(outcome)));
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
    start_page_request([request = http_get_request{std::move(*id), std::move(*url)}]() mutable {
        http_get_worker(std::move(request));
    });
}

void handler_post_token(const handler_data& data) {
    if (!data) return;
    auto endpoint = json_find_string(*data, "endpoint");
    auto body = json_find_string(*data, "body");
    if (!endpoint || !body) return;
    start_page_request([request = token_request{std::move(*endpoint), std::move(*body)}]() mutable {
        post_token_worker(std::move(request));
    });
}
