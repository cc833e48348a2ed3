#pragma once
// Records the scripts the deliverers run, pumping the posted-message queue as the main
// loop would.

#include "base/page_script.h"
#include "base/posted_messages.h"
#include "bridge/handlers.h"

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

struct page_recorder {
    std::shared_ptr<std::vector<std::string>> scripts = std::make_shared<std::vector<std::string>>();

    page_recorder() {
        install_bridge_deliverers();
        deliver_posted_messages();  // nothing left over from an earlier test
        auto sink = scripts;
        set_page_script_runner([sink](const std::string& script) { sink->push_back(script); });
    }
    ~page_recorder() { set_page_script_runner(nullptr); }

    // Pumps until `count` scripts arrived or the time is up; returns what arrived.
    const std::vector<std::string>& wait_for(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        auto until = std::chrono::steady_clock::now() + limit;
        for (;;) {
            deliver_posted_messages();
            if (scripts->size() >= count || std::chrono::steady_clock::now() > until) return *scripts;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
};
