#pragma once
// When the page's process ends, the host brings the page back, though not without end: a
// page that ends its process every time it loads would otherwise reload for ever.

#include <chrono>
#include <deque>

constexpr std::size_t page_reload_limit = 3;
constexpr std::chrono::seconds page_reload_window{60};

struct page_recovery {
    std::deque<std::chrono::steady_clock::time_point> ends;  // those within the window
};

// Records an end at `now`; true while no more than page_reload_limit ends fall within the
// window, so the page may be loaded again.
bool page_may_reload(page_recovery& recovery, std::chrono::steady_clock::time_point now);
