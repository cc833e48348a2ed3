#pragma once
// A bounded set of worker threads for requests: at most `limit` jobs run at once, the rest
// wait their turn in the order they came. Threads start as work arrives and end when none is
// left, so an idle program holds none.

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

struct worker_pool {
    explicit worker_pool(std::size_t limit) : limit(limit) {}
    const std::size_t limit;
    std::mutex lock;
    std::deque<std::function<void()>> waiting;
    std::size_t running = 0;
};

// Any thread. The pool is shared with its threads, which may outlive the caller's reference.
void run_in_pool(const std::shared_ptr<worker_pool>& pool, std::function<void()> job);
