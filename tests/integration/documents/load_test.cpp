// Long and heavy exchanges: a 150 MB upload with its progress, an upload slower than any bound
// on a whole exchange would allow, large answers and many requests at once. Each test runs in
// a process of its own, so the peaks measured are its own.

#include "base/app_state.h"
#include "bridge/dispatch.h"
#include "bridge/web_requests.h"
#include "documents/upload.h"
#include "page_recorder.h"
#include "support/loopback_server.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
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
    upload_body_frame frame = upload_body_frame_for(upload_boundary(0, 0), upload_operations_text("n", "f"), "big.pdf");
    std::uint64_t body = server.request_body_length(0).value_or(0), last = 0;
    EXPECT_EQ(body, upload_size_limit + frame.head.size() + frame.tail.size());
    auto reports = page.calls("_onUploadProgress");
    for (const auto& script : reports) {
        std::smatch sent;
        ASSERT_TRUE(std::regex_search(script, sent, std::regex(R"(,(\d+),\d+\)$)"))) << script;
        EXPECT_EQ(script, upload_progress_script({file.path, std::stoull(sent[1]), body}));
        EXPECT_GT(std::stoull(sent[1]), last);
        last = std::stoull(sent[1]);
    }
    EXPECT_EQ(last, body);
    EXPECT_GE(reports.size(), 2u);
    EXPECT_LE(reports.size(), static_cast<std::size_t>(seconds * 5) + 2) << seconds << " s";
    EXPECT_EQ(page.scripts->back(), page.calls("_onUploadResult")[0]);  // the result comes last
}

// No bound on the whole exchange cuts an upload that keeps above the floor: this one takes
// over 100 s, read by the server at 128 KiB/s.
TEST(UploadLoad, SlowButMovingUploadSucceeds) {
    loopback_server server;
    ASSERT_TRUE(server.running());
    printed_file file(13u << 20);
    page_recorder page;
    auto start = std::chrono::steady_clock::now();
    upload_worker({file.path, "t", server.url(envelope + "&rate=131072"), "n", "f"});
    EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::seconds(100));  // it really was slow
    auto results = page.wait_for_calls(1, "_onUploadResult");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(contains(results[0], "\"envelopeId\":\"e\"")) << results[0];
}

namespace {

std::string get_answer(const std::string& id, const std::string& arguments) {
    return "window.velunio&&window.velunio._onHttpGetResponse(\"" + id + "\"," + arguments + ")";
}

}  // namespace

// An answer at the cap reaches the page with a few times its size in memory; a larger one is
// refused without being gathered, whether announced or not.
TEST(PageRequestLoad, LargeAnswersStayLean) {
    loopback_server server;
    ASSERT_TRUE(server.running());
    page_recorder page(200);
    long idle = status_value("VmRSS");
    reset_peak();
    on_web_message_received(http_get_message("cap", server.url("/huge?len=" + std::to_string(http_response_cap))));
    ASSERT_EQ(page.wait_for(1, std::chrono::seconds(60)).size(), 1u);
    long peak = status_value("VmHWM");
    std::string start = get_answer("cap", "\"aaaa");
    start.pop_back();  // the text goes on
    EXPECT_TRUE((*page.scripts)[0].starts_with(start)) << (*page.scripts)[0];
    EXPECT_EQ((*page.lengths)[0], http_response_cap + 64);
    EXPECT_LT(peak - idle, 4 * long(http_response_cap / 1024)) << "idle " << idle << " kB, peak " << peak;

    idle = status_value("VmRSS");
    reset_peak();
    on_web_message_received(http_get_message("big", server.url("/huge?len=62914560")));
    on_web_message_received(http_get_message("unannounced", server.url("/huge?length=0&len=62914560")));
    ASSERT_EQ(page.wait_for(3, std::chrono::seconds(60)).size(), 3u);
    peak = status_value("VmHWM");
    std::set<std::string> refused = {(*page.scripts)[1], (*page.scripts)[2]};
    for (std::string id : {"big", "unannounced"})
        EXPECT_EQ(refused.count(get_answer(id, "null,\"" + std::string(http_response_too_large_text) + "\"")), 1u) << id;
    EXPECT_LT(peak - idle, 3 * long(http_response_cap / 1024)) << "idle " << idle << " kB, peak " << peak;
}

TEST(PageRequestLoad, FiveHundredAtOnceWaitTheirTurnAndAllAreAnswered) {
    loopback_server server;
    ASSERT_TRUE(server.running());
    page_recorder page;
    long idle_threads = status_value("Threads"), most = 0;
    for (int i = 0; i < 500; ++i)
        on_web_message_received(
            http_get_message(std::to_string(i), server.url("/respond?status=200&body=" + std::to_string(i))));
    page.wait_for(0, std::chrono::seconds(60), [&] {
        most = std::max(most, status_value("Threads"));
        return page.scripts->size() >= 500;
    });
    ASSERT_EQ(page.scripts->size(), 500u);
    std::set<std::string> answered(page.scripts->begin(), page.scripts->end());
    for (int i = 0; i < 500; ++i)
        EXPECT_EQ(answered.count(get_answer(std::to_string(i), "\"" + std::to_string(i) + "\",null")), 1u) << i;
    // The request workers, and for each a name-resolving thread of the library at most.
    EXPECT_LE(most - idle_threads, long(2 * page_request_workers_limit))
        << most << " threads at most, " << idle_threads << " idle";
}
