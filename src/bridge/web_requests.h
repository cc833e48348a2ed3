#pragma once
// GET and token POST requests made on the page's behalf, each on a worker of its own.

#include "window/posted_messages.h"

#include <string>

std::string http_get_result_script(const http_get_result& result);
std::string token_result_script(const token_result& result);

#include "bridge/dispatch.h"

inline constexpr bridge_handler handler_http_get = nullptr;
inline constexpr bridge_handler handler_post_token = nullptr;
