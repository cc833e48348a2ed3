#include "window/page_recovery.h"

bool page_may_reload(page_recovery& recovery, std::chrono::steady_clock::time_point now) {
    while (!recovery.ends.empty() && now - recovery.ends.front() >= page_reload_window) recovery.ends.pop_front();
    recovery.ends.push_back(now);
    return recovery.ends.size() <= page_reload_limit;
}
