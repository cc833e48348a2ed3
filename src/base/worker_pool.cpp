#include "base/worker_pool.h"

#include <thread>

namespace {

void work(std::shared_ptr<worker_pool> pool) {
    for (;;) {
        std::function<void()> job;
        {
            std::lock_guard guard(pool->lock);
            if (pool->waiting.empty()) {
                --pool->running;
                return;
            }
            job = std::move(pool->waiting.front());
            pool->waiting.pop_front();
        }
        job();
    }
}

}  // namespace

void run_in_pool(const std::shared_ptr<worker_pool>& pool, std::function<void()> job) {
    {
        std::lock_guard guard(pool->lock);
        pool->waiting.push_back(std::move(job));
        if (pool->running >= pool->limit) return;
        ++pool->running;
    }
    std::thread(work, pool).detach();
}
