#include "window/posted_messages.h"

#include <atomic>
#include <deque>
#include <mutex>

namespace {

struct message_queue {
    std::mutex lock;
    std::deque<posted_payload> items;
};

message_queue& queue() {
    static message_queue q;
    return q;
}

std::atomic<void (*)()> waker{nullptr};

template <class... F>
struct overloaded : F... {
    using F::operator()...;
};

}  // namespace

unsigned message_number(const posted_payload& payload) {
    return std::visit(overloaded{
                          [](const token_result&) { return message_token_result; },
                          [](const upload_result&) { return message_upload_result; },
                          [](const printed_file_event&) { return message_new_printed_file; },
                          [](const http_get_result&) { return message_http_get_result; },
                      },
                      payload);
}

void set_posted_message_waker(void (*wake)()) { waker.store(wake); }

void post_to_main_window(posted_payload payload) {
    bool was_empty;
    {
        std::lock_guard guard(queue().lock);
        was_empty = queue().items.empty();
        queue().items.push_back(std::move(payload));
    }
    if (was_empty) {
        if (auto wake = waker.load()) wake();
    }
}

void deliver_posted_messages() {
    for (;;) {
        std::deque<posted_payload> batch;
        {
            std::lock_guard guard(queue().lock);
            if (queue().items.empty()) return;
            batch.swap(queue().items);
        }
        for (auto& payload : batch) {
            std::visit(overloaded{
                           [](const token_result& r) { deliver_token_result(r); },
                           [](const upload_result& r) { deliver_upload_result(r); },
                           [](const printed_file_event& e) { deliver_new_printed_file(e); },
                           [](const http_get_result& r) { deliver_http_get_result(r); },
                       },
                       payload);
        }
    }
}
