// Worker threads post through the real GLib waker into the real web view; every result must
// reach the page once, in each thread's order, by the callback of its own message.
#include "base/app_log.h"
#include "base/app_state.h"
#include "base/main_loop.h"
#include "support/temp_dir.h"
#include "base/posted_messages.h"
#include "bridge/handlers.h"
#include "host/user_interface.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#ifndef POSTED_PAGES_DIR
#error "POSTED_PAGES_DIR must name the test page folder"
#endif

namespace {

constexpr int thread_count = 8;
constexpr int per_thread = 500;
const char* const kinds[] = {"file", "get", "upload", "token"};

posted_payload payload_for(int i, const std::string& tag) {
    switch (i % 4) {
        case 0: return printed_file_event{tag, "sign_myself"};
        case 1: return http_get_result{tag, std::string("body"), std::nullopt};
        case 2: return upload_result{tag, std::string("env-1"), std::nullopt};
        default: return token_result{tag, std::nullopt};
    }
}

struct run_state {
    std::string log_path;
    std::vector<std::thread> workers;
    std::chrono::steady_clock::time_point deadline;
    bool timed_out = false;
};

std::size_t count_of(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
    return n;
}

gboolean poll_page(gpointer data) {
    auto* state = static_cast<run_state*>(data);
    std::string log = std::filesystem::exists(state->log_path) ? read_file(state->log_path) : "";
    if (state->workers.empty() && log.find("[JS] log: ready") != std::string::npos) {
        for (int t = 0; t < thread_count; ++t)
            state->workers.emplace_back([t] {
                for (int i = 0; i < per_thread; ++i) post_to_main_window(payload_for(i, "t" + std::to_string(t) + "-" + std::to_string(i)));
            });
    }
    if (count_of(log, "[JS] log: got ") >= static_cast<std::size_t>(thread_count * per_thread)) {
        quit_main_loop(0);
        return G_SOURCE_REMOVE;
    }
    if (std::chrono::steady_clock::now() > state->deadline) {
        state->timed_out = true;
        quit_main_loop(1);
        return G_SOURCE_REMOVE;
    }
    return G_SOURCE_CONTINUE;
}

}  // namespace

TEST(PostedMessagesInTheWebView, EightThreadsArriveInOrderAndNoneIsLost) {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under scripts/test or a private Xvfb";
    temp_dir tmp;
    for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"}) {
        std::string dir = tmp / name;
        std::filesystem::create_directories(dir);
        std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
        setenv(name, dir.c_str(), 1);
    }
    std::string out = tmp / "out";
    std::filesystem::create_directories(out);
    set_app_paths({POSTED_PAGES_DIR, out, "1.0.4"});
    open_app_log(out);

    install_bridge_deliverers();
    ASSERT_TRUE(start_user_interface(true));
    run_state state;
    state.log_path = out + "/velunio-print.log";
    state.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    g_timeout_add(50, poll_page, &state);
    int code = run_main_loop();
    for (auto& w : state.workers) w.join();
    ASSERT_FALSE(state.timed_out) << "the page did not get every result in time; the log:\n"
                                  << read_file(state.log_path).substr(0, 4000);
    EXPECT_EQ(code, 0);

    // Each line names its callback and tag; the tag's index tells which callback it needs.
    std::istringstream lines(read_file(state.log_path));
    std::regex got(R"(\[JS\] log: got (\w+) t(\d+)-(\d+)$)");
    std::map<int, int> next;
    int total = 0;
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!std::regex_search(line, m, got)) continue;
        int t = std::stoi(m[2]), i = std::stoi(m[3]);
        ASSERT_EQ(i, next[t]) << "thread " << t << " out of order or duplicated: " << line;
        EXPECT_EQ(m[1].str(), kinds[i % 4]) << line;
        ++next[t];
        ++total;
    }
    EXPECT_EQ(total, thread_count * per_thread);
    for (int t = 0; t < thread_count; ++t) EXPECT_EQ(next[t], per_thread) << "thread " << t;
}
