#include "base/page_script.h"
#include "base/posted_messages.h"
#include "base/worker_pool.h"
#include "bridge/handlers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

namespace {

std::atomic<int> wakes{0};

class PostedMessages : public ::testing::Test {
protected:
    void SetUp() override {
        install_bridge_deliverers();
        deliver_posted_messages();  // nothing left over from another test
        set_page_script_runner([this](const std::string& s) { scripts.push_back(s); });
    }
    void TearDown() override {
        set_page_script_runner(nullptr);
        set_posted_message_waker(nullptr);
    }
    std::vector<std::string> scripts;
};

}  // namespace

// The main thread delivers while eight workers still post: each thread's results arrive in
// its order, none is lost, and the main thread is woken.
TEST_F(PostedMessages, EightThreadsArriveInOrderPerThreadAndNoneIsLost) {
    wakes = 0;
    set_posted_message_waker([] { ++wakes; });
    constexpr int threads = 8, per_thread = 2000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([t] {
            for (int i = 0; i < per_thread; ++i)
                post_to_main_window(http_get_result{std::to_string(t) + ":" + std::to_string(i), "b", std::nullopt});
        });
    while (scripts.size() < std::size_t(threads * per_thread)) {
        deliver_posted_messages();
        std::this_thread::yield();
    }
    for (auto& w : workers) w.join();
    deliver_posted_messages();
    ASSERT_EQ(scripts.size(), std::size_t(threads * per_thread));
    EXPECT_GE(wakes.load(), 1);
    std::map<int, int> next;
    for (const auto& s : scripts) {
        std::size_t open = s.find("(\"") + 2, colon = s.find(':', open);
        int t = std::stoi(s.substr(open, colon - open)), i = std::stoi(s.substr(colon + 1));
        EXPECT_EQ(i, next[t]++) << "thread " << t << " out of order";
    }
}

// Each payload reaches the page as the call of its own page function, every argument quoted
// (the page requests' calls are checked against a server in web_requests_test.cpp); without a
// page it is dropped, not kept for the next one.
TEST_F(PostedMessages, EachPayloadBecomesItsPageCallOrIsDropped) {
    set_page_script_runner(nullptr);
    post_to_main_window(token_result{"{}", std::nullopt});
    deliver_posted_messages();
    set_page_script_runner([this](const std::string& s) { scripts.push_back(s); });
    const std::string upload = "window.velunio&&typeof window.velunio._onUploadResult==='function'&&"
                               "window.velunio._onUploadResult(";
    const std::string printed = "window.velunio&&typeof window.velunio._onNewPrintedFile==='function'&&"
                                "window.velunio._onNewPrintedFile(";
    std::pair<posted_payload, std::string> rows[] = {
        {upload_result{"/o/sign-myself/it's \"a\".pdf", "env-1", std::nullopt},
         upload + R"('{"path":"/o/sign-myself/it\'s \\"a\\".pdf","envelopeId":"env-1"}'))"},
        {printed_file_event{"/o/sign-myself/Ann's\nfile.pdf", "sign_myself"},
         printed + R"('/o/sign-myself/Ann\'s\nfile.pdf','sign_myself'))"},
        // Refused rather than cut.
        {printed_file_event{"/o/" + std::string(2600, 'a') + ".pdf", "sign_myself"}, ""},
        {upload_progress{"/o/Ann's.pdf", 65536, 157286900},
         "window.velunio&&typeof window.velunio._onUploadProgress==='function'&&"
         R"(window.velunio._onUploadProgress('/o/Ann\'s.pdf',65536,157286900))"},
        // Broken UTF-8 is mended.
        {upload_result{"/o/a\xff.pdf", "e", std::nullopt},
         upload + "'{\"path\":\"/o/a\xEF\xBF\xBD.pdf\",\"envelopeId\":\"e\"}')"},
    };
    for (const auto& [payload, script] : rows) {
        scripts.clear();
        post_to_main_window(payload);
        deliver_posted_messages();
        EXPECT_EQ(scripts, script.empty() ? std::vector<std::string>{} : std::vector{script});
    }
}

TEST(PageScript, LengthIsCountedInUtf16Units) {
    EXPECT_EQ(utf16_length("abc\xE2\x80\xA8"), 4u);
    EXPECT_EQ(utf16_length("é😀"), 3u);
}

// At most the limit runs at once, the rest wait, and every job runs.
TEST(WorkerPool, BoundsTheJobsInFlight) {
    auto pool = std::make_shared<worker_pool>(3);
    std::atomic<int> running{0}, most{0}, done{0};
    for (int i = 0; i < 40; ++i)
        run_in_pool(pool, [&] {
            int now = ++running;
            for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) {}
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            --running;
            ++done;
        });
    for (int i = 0; i < 2000 && done < 40; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(done.load(), 40);
    EXPECT_LE(most.load(), 3);
    EXPECT_GE(most.load(), 2);
}
