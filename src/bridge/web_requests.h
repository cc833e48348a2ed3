#pragma once
// GET and token POST requests made on the page's behalf, each on a worker of its own.

#include "documents/http_client.h"
#include "base/posted_messages.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

std::string http_get_result_script(const http_get_result& result);
std::string token_result_script(const token_result& result);
void deliver_http_get_result(const http_get_result& result);
void deliver_token_result(const token_result& result);

struct http_get_request {
    std::string id;
    std::string url;
};

struct token_request {
    std::string endpoint;
    std::string body;
};

// What the page is told about a finished exchange.
http_get_result decide_http_get_result(const std::string& id, http_result outcome);
token_result decide_token_result(const http_result& outcome);

// The page's requests running at once; more wait their turn, in order.
constexpr std::size_t page_request_workers_limit = 8;
void start_page_request(std::function<void()> request);

// Worker bodies: one exchange, one posted result.
void http_get_worker(http_get_request request);
void post_token_worker(token_request request);
