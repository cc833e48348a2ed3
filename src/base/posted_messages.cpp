#include "base/posted_messages.h"

#include "base/app_log.h"

#include <atomic>
#include <deque>
#include <mutex>

namespace {

struct message_queue {
    std::mutex lock;
    std::deque<posted_payload> items;
    posted_message_sender sender = nullptr;
};

message_queue& queue() {
    static message_queue q;
    return q;
}

std::atomic<void (*)()> waker{nullptr};

struct deliverers {
    std::function<void(const token_result&)> token;
    std::function<void(const upload_result&)> upload;
    std::function<void(const printed_file_event&)> printed_file;
    std::function<void(const http_get_result&)> http_get;
    std::function<void(const upload_progress&)> progress;
};

deliverers& registered() {
    static deliverers d;
    return d;
}

template <class Payload>
void deliver(const std::function<void(const Payload&)>& deliverer, const Payload& payload) {
    if (deliverer) deliverer(payload);
}

template <class... F>
struct overloaded : F... {
    using F::operator()...;
};

// Under the queue's lock, so that sent and queued payloads keep one order. The payload is
// freed here when the sender did not take it.
void send(posted_message_sender send_one, posted_payload payload) {
    auto owned = std::make_unique<posted_payload>(std::move(payload));
    if (send_one(owned)) return;
    app_log("[window] The main thread could not be reached; dropped one %s", posted_payload_kind(*owned));
}

}  // namespace

void set_posted_deliverer(std::function<void(const token_result&)> d) { registered().token = std::move(d); }
void set_posted_deliverer(std::function<void(const upload_result&)> d) { registered().upload = std::move(d); }
void set_posted_deliverer(std::function<void(const printed_file_event&)> d) { registered().printed_file = std::move(d); }
void set_posted_deliverer(std::function<void(const http_get_result&)> d) { registered().http_get = std::move(d); }
void set_posted_deliverer(std::function<void(const upload_progress&)> d) { registered().progress = std::move(d); }

void set_posted_message_waker(void (*wake)()) { waker.store(wake); }

void set_posted_message_sender(posted_message_sender s) {
    std::lock_guard guard(queue().lock);
    queue().sender = s;
    if (!s) return;
    for (auto& payload : queue().items) send(s, std::move(payload));
    queue().items.clear();
}

const char* posted_payload_kind(const posted_payload& payload) {
    static constexpr const char* kinds[] = {"token result", "upload result", "printed file", "HTTP GET result",
                                            "upload progress"};
    static_assert(std::size(kinds) == std::variant_size_v<posted_payload>);
    return kinds[payload.index()];
}

void post_to_main_window(posted_payload payload) {
    bool was_empty;
    {
        std::lock_guard guard(queue().lock);
        if (queue().sender) return send(queue().sender, std::move(payload));
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
        for (auto& payload : batch) deliver_posted_payload(payload);
    }
}

void deliver_posted_payload(const posted_payload& payload) {
    std::visit(overloaded{
                   [](const token_result& r) { deliver(registered().token, r); },
                   [](const upload_result& r) { deliver(registered().upload, r); },
                   [](const printed_file_event& e) { deliver(registered().printed_file, e); },
                   [](const http_get_result& r) { deliver(registered().http_get, r); },
                   [](const upload_progress& p) { deliver(registered().progress, p); },
               },
               payload);
}
