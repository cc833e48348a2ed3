// Long and heavy exchanges: a 150 MB upload with its progress, the speed floor with the
// default window, large answers and many requests at once. Each test runs in a process of its
// own, so the peaks measured are its own.

#include "base/app_state.h"
#include "base/json_text.h"
#include "bridge/dispatch.h"
#include "bridge/web_requests.h"
#include "documents/upload.h"
#include "page_recorder.h"
#include "support/loopback_server.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

namespace {

// A value of /proc/self/status in kB (or a count).
long status_value(const std::string& field) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(field + ":")) return std::stol(line.substr(field.size() + 1));
    return -1;
}

// The peak resident size starts again from the current one.
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// A printed file of that size in a fresh output folder.
struct printed_file {
    temp_dir root;
    std::string path = root / "out/sign-myself/big.pdf";
    explicit printed_file(std::uint64_t size) {
        std::filesystem::create_directories(root / "out/sign-myself");
        set_app_paths({root.path(), root / "out", "1.0.4"});
        write_file(path, "");
        std::filesystem::resize_file(path, size);
    }
};

const std::string envelope = "/respond?status=200&body=%7B%22id%22%3A%22e%22%7D";

std::string result_of(const std::string& path, const std::string& endpoint) {
    page_recorder page;
    upload_worker({path, "t", endpoint, "n", "f"});
    auto results = page.wait_for_calls(1, "_onUploadResult");
    return results.empty() ? "" : results[0];
}

}  // namespace

TEST(UploadLoad, ProgressRisesToTheTotalAFewTimesASecondInLittleMemory) {
    loopback_server server;
    ASSERT_TRUE(server.running());
    printed_file file(upload_size_limit);
    page_recorder page;
    long idle = status_value("VmRSS");
    reset_peak();
    auto start = std::chrono::steady_clock::now();
    upload_worker({file.path, "t", server.url(envelope), "n", "f"});
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    long peak = status_value("VmHWM");
    ASSERT_EQ(page.wait_for_calls(1, "_onUploadResult").size(), 1u);
    EXPECT_LT(peak - idle, 16 * 1024) << "idle " << idle << " kB, peak " << peak << " kB";

    // A file of exactly the size limit went out whole, in its frame.
    std::string head = server.request_body_head(0).value_or(""), tail = server.request_body_tail(0).value_or("");
    EXPECT_TRUE(contains(head, "filename=\"big.pdf\"\r\nContent-Type: application/pdf\r\n\r\n"));
    ASSERT_GT(tail.size(), 37u);
    EXPECT_EQ(tail.substr(tail.size() - 37, 8), std::string(4, '\0') + "\r\n--");
    std::uint64_t body = server.request_body_length(0).value_or(0), last = 0;
    EXPECT_EQ(body, upload_size_limit + head.find("application/pdf\r\n\r\n") + 19 + 33);
    std::string prefix = "window.velunio&&typeof window.velunio._onUploadProgress==='function'&&"
                         "window.velunio._onUploadProgress('" + js_escape_single(file.path) + "',";
    auto reports = page.calls("_onUploadProgress");
    for (const auto& script : reports) {
        ASSERT_TRUE(script.starts_with(prefix)) << script;
        std::uint64_t sent = std::stoull(script.substr(prefix.size()));
        EXPECT_GT(sent, last);
        EXPECT_TRUE(script.ends_with("," + std::to_string(body) + ")")) << script;
        last = sent;
    }
    EXPECT_EQ(last, body);
    EXPECT_GE(reports.size(), 2u);
    EXPECT_LE(reports.size(), static_cast<std::size_t>(seconds * 5) + 2) << seconds << " s";
    EXPECT_EQ(page.scripts->back(), page.calls("_onUploadResult")[0]);  // the result comes last
}

TEST(UploadLoad, OneBytePerSecondFailsWithinTheDefaultWindow) {
    loopback_server server;
    ASSERT_TRUE(server.running());
    printed_file file(1000);
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(contains(result_of(file.path, server.url("/trickle")),
                         "\"error\":\"curl_easy_perform failed (curl 28: transfer slower than 1024 bytes/s for 30 s)\""));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(34));
}

// No bound on the whole exchange cuts an upload that keeps above the floor.
TEST(UploadLoad, SlowButMovingUploadSucceeds) {
    loopback_server server;
    ASSERT_TRUE(server.running());
    printed_file file(20u << 20);
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(contains(result_of(file.path, server.url(envelope + "&rate=131072")), "\"envelopeId\":\"e\""));
    EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::seconds(100));  // it really was slow
}

namespace {

// Sends page requests; keeps only the start and the size of each script the page gets.
struct page_requests {
    loopback_server server;
    std::vector<std::pair<std::string, std::size_t>> seen;
    page_requests() {
        install_bridge_deliverers();
        set_page_script_runner([this](const std::string& s) { seen.emplace_back(s.substr(0, 200), s.size()); });
    }
    ~page_requests() { set_page_script_runner(nullptr); }
    void get(const std::string& id, const std::string& path) {
        std::string data = "{\"id\":" + json_quote(id) + ",\"url\":" + json_quote(server.url(path)) + "}";
        on_web_message_received("{\"handler\":\"httpGet\",\"data\":" + json_quote(data) + "}");
    }
    // Delivers until `count` scripts arrived (a minute at most); the most threads seen meanwhile.
    long wait_for(std::size_t count) {
        long most = 0;
        for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
             seen.size() < count && std::chrono::steady_clock::now() < until;
             std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
            deliver_posted_messages();
            most = std::max(most, status_value("Threads"));
        }
        return most;
    }
    std::string answer(const std::string& id, const std::string& arguments) {
        return "window.velunio&&window.velunio._onHttpGetResponse(\"" + id + "\"," + arguments + ")";
    }
};

}  // namespace

// An answer at the cap reaches the page with a few times its size in memory; a larger one is
// refused without being gathered, whether announced or not.
TEST(PageRequestLoad, LargeAnswersStayLean) {
    page_requests page;
    ASSERT_TRUE(page.server.running());
    long idle = status_value("VmRSS");
    reset_peak();
    page.get("cap", "/huge?len=" + std::to_string(http_response_cap));
    page.wait_for(1);
    long peak = status_value("VmHWM");
    ASSERT_EQ(page.seen.size(), 1u);
    std::string start = page.answer("cap", "\"aaaa");
    start.pop_back();  // the text goes on
    EXPECT_TRUE(page.seen[0].first.starts_with(start)) << page.seen[0].first;
    EXPECT_EQ(page.seen[0].second, http_response_cap + 64);
    EXPECT_LT(peak - idle, 4 * long(http_response_cap / 1024)) << "idle " << idle << " kB, peak " << peak;

    idle = status_value("VmRSS");
    reset_peak();
    page.get("big", "/huge?len=62914560");
    page.get("unannounced", "/huge?length=0&len=62914560");
    page.wait_for(3);
    peak = status_value("VmHWM");
    ASSERT_EQ(page.seen.size(), 3u);
    std::set<std::string> refused = {page.seen[1].first, page.seen[2].first};
    for (std::string id : {"big", "unannounced"})
        EXPECT_EQ(refused.count(page.answer(id, "null,\"" + std::string(http_response_too_large_text) + "\"")), 1u) << id;
    EXPECT_LT(peak - idle, 3 * long(http_response_cap / 1024)) << "idle " << idle << " kB, peak " << peak;
}

TEST(PageRequestLoad, FiveHundredAtOnceWaitTheirTurnAndAllAreAnswered) {
    page_requests page;
    ASSERT_TRUE(page.server.running());
    long idle_threads = status_value("Threads");
    for (int i = 0; i < 500; ++i) page.get(std::to_string(i), "/respond?status=200&body=" + std::to_string(i));
    long most = page.wait_for(500);
    ASSERT_EQ(page.seen.size(), 500u);
    std::set<std::string> answered;
    for (const auto& [script, size] : page.seen) answered.insert(script);
    for (int i = 0; i < 500; ++i)
        EXPECT_EQ(answered.count(page.answer(std::to_string(i), "\"" + std::to_string(i) + "\",null")), 1u) << i;
    // The request workers, and for each a name-resolving thread of the library at most.
    EXPECT_LE(most - idle_threads, long(2 * page_request_workers_limit))
        << most << " threads at most, " << idle_threads << " idle";
}
