#pragma once
// Records the scripts the deliverers run, pumping the posted-message queue as the main
// loop would; and writes the page's bridge messages.

#include "base/json_text.h"
#include "base/page_script.h"
#include "base/posted_messages.h"
#include "bridge/handlers.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

inline std::string bridge_message(const std::string& handler, const std::string& data) {
    return "{\"handler\":\"" + handler + "\",\"data\":" + json_quote(data) + "}";
}

inline std::string http_get_message(const std::string& id, const std::string& url) {
    return bridge_message("httpGet", "{\"id\":" + json_quote(id) + ",\"url\":" + json_quote(url) + "}");
}

struct page_recorder {
    // Each script's first `keep` characters (a test of large answers keeps no copy), and its length.
    std::shared_ptr<std::vector<std::string>> scripts = std::make_shared<std::vector<std::string>>();
    std::shared_ptr<std::vector<std::size_t>> lengths = std::make_shared<std::vector<std::size_t>>();

    explicit page_recorder(std::size_t keep = std::string::npos) {
        install_bridge_deliverers();
        deliver_posted_messages();  // nothing left over from an earlier test
        set_page_script_runner([sink = scripts, sizes = lengths, keep](const std::string& script) {
            sink->push_back(script.substr(0, keep));
            sizes->push_back(script.size());
        });
    }
    ~page_recorder() { set_page_script_runner(nullptr); }

    // The scripts so far that call `function`.
    std::vector<std::string> calls(const std::string& function) const {
        std::vector<std::string> found;
        for (const auto& s : *scripts)
            if (s.find("window.velunio." + function + "(") != std::string::npos) found.push_back(s);
        return found;
    }

    // Pumps until `count` calls of `function` arrived or the time is up; returns them.
    std::vector<std::string> wait_for_calls(std::size_t count, const std::string& function,
                                            std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        wait_for(0, limit, [&] { return calls(function).size() >= count; });
        return calls(function);
    }

    // Pumps until `count` scripts arrived (or `enough` holds) or the time is up; returns what arrived.
    const std::vector<std::string>& wait_for(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10),
                                             const std::function<bool()>& enough = nullptr) {
        for (auto until = std::chrono::steady_clock::now() + limit;;) {
            deliver_posted_messages();
            if ((enough ? enough() : scripts->size() >= count) || std::chrono::steady_clock::now() > until) return *scripts;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
};
