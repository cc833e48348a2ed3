// Long and heavy exchanges: a 150 MB upload with its progress, the speed floor with the
// default window, large answers and many requests at once. Each test runs in a process of its
// own, so the peaks measured are its own.

#include "base/app_state.h"
#include "base/json_text.h"
#include "base/page_script.h"
#include "bridge/dispatch.h"
#include "bridge/web_requests.h"
#include "documents/upload.h"
#include "page_recorder.h"
#include "support/loopback_server.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

namespace fs = std::filesystem;

namespace {

long status_value(const std::string& field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    return -1;
}

// The peak resident size starts again from the current one.
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

struct printed_file {
    temp_dir root;
    std::string path;
    printed_file(std::uint64_t size) {
        std::string out = root / "out";
        fs::create_directories(out + "/sign-myself");
        set_app_paths({root.path(), out, "1.0.4"});
        path = out + "/sign-myself/big.pdf";
        write_file(path, "");
        fs::resize_file(path, size);
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
    EXPECT_NE(head.find("filename=\"big.pdf\"\r\nContent-Type: application/pdf\r\n\r\n"), std::string::npos);
    ASSERT_GT(tail.size(), 37u);
    EXPECT_EQ(tail.substr(tail.size() - 37, 8), std::string(4, '\0') + "\r\n--");
    std::uint64_t body = server.request_body_length(0).value_or(0);
    EXPECT_EQ(body, upload_size_limit + head.find("application/pdf\r\n\r\n") + 19 + 33);
    std::string prefix = "window.velunio&&typeof window.velunio._onUploadProgress==='function'&&"
                         "window.velunio._onUploadProgress('" + js_escape_single(file.path) + "',";
    std::uint64_t last = 0;
    auto reports = page.calls("_onUploadProgress");
    for (const auto& script : reports) {
        ASSERT_EQ(script.rfind(prefix, 0), 0u) << script;
        std::uint64_t sent = std::stoull(script.substr(prefix.size()));
        EXPECT_GT(sent, last);
        EXPECT_EQ(script.substr(script.find(',', prefix.size())), "," + std::to_string(body) + ")");
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
    EXPECT_NE(result_of(file.path, server.url("/trickle"))
                  .find("\"error\":\"curl_easy_perform failed (curl 28: transfer slower than 1024 bytes/s for 30 s)\""),
              std::string::npos);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(34));
}

TEST(UploadLoad, SlowButMovingUploadSucceeds) {
    loopback_server server;
    ASSERT_TRUE(server.running());
    printed_file file(20u << 20);
    auto start = std::chrono::steady_clock::now();
    EXPECT_NE(result_of(file.path, server.url(envelope + "&rate=131072")).find("\"envelopeId\":\"e\""), std::string::npos);
    EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::seconds(100));  // it really was slow
}

namespace {

std::string get(const std::string& id, const std::string& url) {
    return "{\"handler\":\"httpGet\",\"data\":" + json_quote("{\"id\":" + json_quote(id) + ",\"url\":" + json_quote(url) + "}") + "}";
}

// A page that keeps only the start and the size of each script.
struct script_sizes {
    std::vector<std::pair<std::string, std::size_t>> seen;
    script_sizes() {
        install_bridge_deliverers();
        set_page_script_runner([this](const std::string& s) { seen.emplace_back(s.substr(0, 200), s.size()); });
    }
    ~script_sizes() { set_page_script_runner(nullptr); }
    void wait_for(std::size_t count, long* most_threads = nullptr) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (seen.size() < count && std::chrono::steady_clock::now() < until) {
            deliver_posted_messages();
            if (most_threads) *most_threads = std::max(*most_threads, status_value("Threads"));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
};

}  // namespace

// An answer at the cap reaches the page with a few times its size in memory; a larger one is
// refused without being gathered, whether announced or not.
TEST(PageRequestLoad, LargeAnswersStayLean) {
    loopback_server server;
    ASSERT_TRUE(server.running());
    script_sizes page;
    long idle = status_value("VmRSS");
    reset_peak();
    on_web_message_received(get("cap", server.url("/huge?len=" + std::to_string(http_response_cap))));
    page.wait_for(1);
    long peak = status_value("VmHWM");
    ASSERT_EQ(page.seen.size(), 1u);
    EXPECT_EQ(page.seen[0].first.rfind("window.velunio&&window.velunio._onHttpGetResponse(\"cap\",\"aaaa", 0), 0u);
    EXPECT_EQ(page.seen[0].second, http_response_cap + 64);
    EXPECT_LT(peak - idle, 4 * static_cast<long>(http_response_cap / 1024)) << "idle " << idle << " kB, peak " << peak;

    idle = status_value("VmRSS");
    reset_peak();
    on_web_message_received(get("big", server.url("/huge?len=62914560")));
    on_web_message_received(get("unannounced", server.url("/huge?length=0&len=62914560")));
    page.wait_for(3);
    peak = status_value("VmHWM");
    ASSERT_EQ(page.seen.size(), 3u);
    std::set<std::string> refused = {page.seen[1].first, page.seen[2].first};
    for (std::string id : {"big", "unannounced"}) {
        EXPECT_EQ(refused.count("window.velunio&&window.velunio._onHttpGetResponse(\"" + id + "\",null,\"" +
                                http_response_too_large_text + "\")"), 1u) << id;
    }
    EXPECT_LT(peak - idle, 3 * static_cast<long>(http_response_cap / 1024)) << "idle " << idle << " kB, peak " << peak;
}

TEST(PageRequestLoad, FiveHundredAtOnceWaitTheirTurnAndAllAreAnswered) {
    loopback_server server;
    ASSERT_TRUE(server.running());
    script_sizes page;
    long idle_threads = status_value("Threads");
    for (int i = 0; i < 500; ++i)
        on_web_message_received(get(std::to_string(i), server.url("/respond?status=200&body=" + std::to_string(i))));
    long most = 0;
    page.wait_for(500, &most);
    ASSERT_EQ(page.seen.size(), 500u);
    std::set<std::string> answered;
    for (const auto& [script, size] : page.seen) answered.insert(script);
    for (int i = 0; i < 500; ++i) {
        std::string id = "\"" + std::to_string(i) + "\"";
        EXPECT_EQ(answered.count("window.velunio&&window.velunio._onHttpGetResponse(" + id + "," + id + ",null)"), 1u) << i;
    }
    // The request workers, and for each a name-resolving thread of the library at most.
    EXPECT_LE(most - idle_threads, static_cast<long>(2 * page_request_workers_limit))
        << most << " threads at most, " << idle_threads << " idle";
}
