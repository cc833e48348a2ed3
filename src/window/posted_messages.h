#pragma once
// The table of results that worker threads hand to the main thread. A post passes the
// payload to the main thread, which turns it into a page call and drops it.

#include <optional>
#include <string>
#include <variant>

constexpr unsigned message_token_result = 1124;        // WM_USER+100
constexpr unsigned message_upload_result = 1125;       // WM_USER+101
constexpr unsigned message_new_printed_file = 1126;    // WM_USER+102
constexpr unsigned message_http_get_result = 1127;     // WM_USER+103

struct token_result {
    std::optional<std::string> response_text;
    std::optional<std::string> error_text;
};

struct upload_result {
    std::string path;
    std::optional<std::string> envelope_id;
    std::optional<std::string> error_text;
};

struct printed_file_event {
    std::string path;
    std::string flow;
};

struct http_get_result {
    std::string id;
    std::optional<std::string> body_text;
    std::optional<std::string> error_text;
};

using posted_payload = std::variant<token_result, upload_result, printed_file_event, http_get_result>;

unsigned message_number(const posted_payload& payload);

// Any thread. Messages are delivered in the order they were posted.
void post_to_main_window(posted_payload payload);

// Main thread: delivers everything posted so far, each to its deliverer.
void deliver_posted_messages();

// How the platform's main loop is woken when the queue goes from empty to non-empty.
// Called from the posting thread; must be safe from any thread.
void set_posted_message_waker(void (*wake)());

// The deliverers, one per message, defined beside their producers.
void deliver_token_result(const token_result& result);
void deliver_upload_result(const upload_result& result);
void deliver_new_printed_file(const printed_file_event& event);
void deliver_http_get_result(const http_get_result& result);
