#pragma once
// The table of results that worker threads hand to the main thread. A post passes the
// payload to the main thread, which turns it into a page call and drops it.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

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
    // Lying in its folder when watching began, not printed since: the page lists it, the
    // desktop is not told of it again.
    bool found_at_start = false;
};

struct http_get_result {
    std::string id;
    std::optional<std::string> body_text;
    std::optional<std::string> error_text;
};

// How far an upload's request body has gone out, in bytes.
struct upload_progress {
    std::string path;
    std::uint64_t sent = 0;
    std::uint64_t total = 0;
};

// In the order of their window messages (the payload's index is its offset from the first).
using posted_payload = std::variant<token_result, upload_result, printed_file_event, http_get_result, upload_progress>;

// Any thread. Messages are delivered in the order they were posted.
void post_to_main_window(posted_payload payload);

// Main thread: delivers everything posted so far, each to its deliverer.
void deliver_posted_messages();

// Main thread: hands one payload to its deliverer.
void deliver_posted_payload(const posted_payload& payload);

// A platform whose main loop carries each result as a message of its own installs a sender
// (Windows: the main window's message for the payload's kind). The sender takes the payload
// (releases it) only when its post succeeded; otherwise the poster logs and drops it. What was
// queued before the sender came is sent first, in order.
using posted_message_sender = bool (*)(std::unique_ptr<posted_payload>& payload);
void set_posted_message_sender(posted_message_sender sender);

// The kind of a payload in words, for log lines ("upload result").
const char* posted_payload_kind(const posted_payload& payload);

// How the platform's main loop is woken when the queue goes from empty to non-empty.
// Called from the posting thread; must be safe from any thread.
void set_posted_message_waker(void (*wake)());

// The deliverers, one per message, registered by their owners at start-up (main thread,
// before any worker runs). A message without a deliverer is dropped.
void set_posted_deliverer(std::function<void(const token_result&)> deliverer);
void set_posted_deliverer(std::function<void(const upload_result&)> deliverer);
void set_posted_deliverer(std::function<void(const printed_file_event&)> deliverer);
void set_posted_deliverer(std::function<void(const http_get_result&)> deliverer);
void set_posted_deliverer(std::function<void(const upload_progress&)> deliverer);
