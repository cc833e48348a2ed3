#include "bridge/web_requests.h"

#include "bridge/json_text.h"
#include "window/page_script.h"

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
