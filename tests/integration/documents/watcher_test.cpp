#include "base/app_log.h"
#include "base/app_state.h"
#include "bridge/dispatch.h"
#include "documents/folder_watcher.h"
#include "page_recorder.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>

namespace fs = std::filesystem;

namespace {

// (path, flow) of a _onNewPrintedFile script; the test names hold no quotes.
std::pair<std::string, std::string> reported(const std::string& script) {
    std::string marker = "_onNewPrintedFile('";
    std::size_t at = script.rfind(marker) + marker.size();
    std::size_t mid = script.find("','", at);
    std::size_t end = script.find("')", mid);
    return {script.substr(at, mid - at), script.substr(mid + 3, end - mid - 3)};
}

void rename_in(const std::string& from_content_path, const std::string& to) {
    write_file(from_content_path, "%PDF");
    fs::rename(from_content_path, to);
}

class Watcher : public ::testing::Test {
protected:
    void SetUp() override {
        out = root / "out";
        fs::create_directories(out + "/sign-myself");
        fs::create_directories(out + "/request-signature");
        open_app_log(logs.path());
    }
    void TearDown() override {
        if (watcher) stop_printed_file_watcher(*watcher);
        close_app_log();
    }
    void start() { watcher = start_printed_file_watcher(out); }
    std::string log_text() { return read_file(logs / "velunio-print.log"); }

    temp_dir root;
    temp_dir logs;
    std::string out;
    std::unique_ptr<printed_file_watcher> watcher;
};

}  // namespace

TEST_F(Watcher, ReportsPresentFilesOnceThenRenamesOnly) {
    write_file(out + "/sign-myself/a.pdf", "x");
    write_file(out + "/request-signature/B.PDF", "x");
    write_file(out + "/sign-myself/note.txt", "x");
    page_recorder page;
    start();
    auto& first = page.wait_for(2);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(reported(first[0]), std::make_pair(out + "/sign-myself/a.pdf", std::string("sign_myself")));
    EXPECT_EQ(reported(first[1]), std::make_pair(out + "/request-signature/B.PDF", std::string("request_signature")));
    std::string log = log_text();
    EXPECT_NE(log.find("[startFileWatcher] Existing file queued: sign-myself/a.pdf"), std::string::npos);
    EXPECT_NE(log.find("[startFileWatcher] New file detected: request-signature/B.PDF (printer=request_signature)"),
              std::string::npos);

    write_file(out + "/sign-myself/in-place.pdf", "x");  // written under its final name
    rename_in(out + "/request-signature/.job.part", out + "/request-signature/job.pdf");
    rename_in(out + "/away.pdf.tmp", out + "/top.pdf");
    fs::rename(out + "/sign-myself/a.pdf", out + "/sign-myself/a.tmp");  // away from .pdf
    auto& live = page.wait_for(4);
    ASSERT_EQ(live.size(), 4u);
    EXPECT_EQ(reported(live[2]), std::make_pair(out + "/request-signature/job.pdf", std::string("request_signature")));
    EXPECT_EQ(reported(live[3]), std::make_pair(out + "/top.pdf", std::string("sign_myself")));
    EXPECT_EQ(page.wait_for(5, std::chrono::milliseconds(300)).size(), 4u);

    fs::rename(out + "/sign-myself/in-place.pdf", out + "/sign-myself/renamed.pdf");
    ASSERT_EQ(page.wait_for(5).size(), 5u);
    EXPECT_EQ(reported((*page.scripts)[4]).first, out + "/sign-myself/renamed.pdf");
    // The same name given again by a new rename is a new file.
    rename_in(out + "/sign-myself/x.part", out + "/sign-myself/renamed.pdf");
    EXPECT_EQ(page.wait_for(6).size(), 6u);
}

TEST_F(Watcher, FoldersMadeAfterTheStartAreWatched) {
    page_recorder page;
    start();
    fs::create_directories(out + "/request-signature/batch/deeper");
    rename_in(out + "/request-signature/batch/deeper/.p", out + "/request-signature/batch/deeper/one.pdf");
    // A folder moved in with a PDF already inside.
    fs::create_directories(root / "staging");
    write_file(root / "staging/two.pdf", "x");
    fs::rename(root / "staging", out + "/sign-myself/moved");
    auto& scripts = page.wait_for(2);
    ASSERT_EQ(scripts.size(), 2u);
    std::map<std::string, std::string> got{reported(scripts[0]), reported(scripts[1])};
    EXPECT_EQ(got[out + "/request-signature/batch/deeper/one.pdf"], "request_signature");
    EXPECT_EQ(got[out + "/sign-myself/moved/two.pdf"], "sign_myself");
    rename_in(out + "/sign-myself/moved/.p", out + "/sign-myself/moved/three.pdf");
    ASSERT_EQ(page.wait_for(3).size(), 3u);
    EXPECT_EQ(page.wait_for(4, std::chrono::milliseconds(300)).size(), 3u);
}

TEST_F(Watcher, ABurstFromSeveralThreadsIsReportedExactlyOnce) {
    constexpr int threads = 4, per_thread = 2500;
    page_recorder page;
    start();
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([this, t] {
            for (int i = 0; i < per_thread; ++i) {
                std::string name = "f-" + std::to_string(t) + "-" + std::to_string(i);
                const char* folder = (i % 2) ? "/request-signature/" : "/sign-myself/";
                std::string part = out + folder + "." + name;
                std::FILE* f = std::fopen(part.c_str(), "w");
                if (f) std::fclose(f);
                std::rename(part.c_str(), (out + folder + name + ".pdf").c_str());
            }
        });
    }
    for (auto& w : writers) w.join();
    page.wait_for(threads * per_thread, std::chrono::seconds(40));
    page.wait_for(threads * per_thread + 1, std::chrono::milliseconds(500));
    std::map<std::string, int> seen;
    for (const auto& s : *page.scripts) ++seen[reported(s).first];
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(threads * per_thread));
    EXPECT_EQ(page.scripts->size(), static_cast<std::size_t>(threads * per_thread));
    if (log_text().find("notifications were lost") != std::string::npos)
        std::printf("the event queue overflowed; the rescan covered it\n");
    for (const auto& [path, count] : seen) {
        if (count != 1) {
            ADD_FAILURE() << path << " reported " << count << " times";
            break;
        }
    }
}

TEST_F(Watcher, LostNotificationsAreRecoveredByARescan) {
    rename_in(out + "/sign-myself/.early", out + "/sign-myself/early.pdf");
    page_recorder page;
    start();
    ASSERT_EQ(page.wait_for(1).size(), 1u);
    // With the reading thread stopped, nothing is read: as good as an overflowed queue.
    stop_printed_file_watcher(*watcher);
    for (int i = 0; i < 50; ++i) {
        rename_in(out + "/request-signature/.p" + std::to_string(i),
                  out + "/request-signature/lost-" + std::to_string(i) + ".pdf");
    }
    watcher_events_lost(*watcher);
    watcher_events_lost(*watcher);
    EXPECT_EQ(page.wait_for(52, std::chrono::milliseconds(500)).size(), 51u);
    for (std::size_t i = 1; i < page.scripts->size(); ++i)
        EXPECT_EQ(reported((*page.scripts)[i]).second, "request_signature");
    EXPECT_NE(log_text().find("[startFileWatcher] Change notifications were lost; rescanning the flow folders"),
              std::string::npos);
}

TEST_F(Watcher, HandlersStartOnceAndDeleteOnlyPrintedFiles) {
    set_app_paths({root.path(), out, "1.0.4"});
    write_file(out + "/sign-myself/a.pdf", "x");
    write_file(out + "/request-signature/r.pdf", "x");
    write_file(root / "elsewhere.pdf", "x");
    page_recorder page;
    dispatch_bridge_message(std::string("startFileWatcher"), std::nullopt);
    dispatch_bridge_message(std::string("startFileWatcher"), std::nullopt);
    EXPECT_EQ(page.wait_for(2).size(), 2u);
    EXPECT_EQ(page.wait_for(3, std::chrono::milliseconds(300)).size(), 2u);

    dispatch_bridge_message(std::string("deletePrintedFile"), std::string(""));
    dispatch_bridge_message(std::string("deletePrintedFile"), root / "elsewhere.pdf");
    dispatch_bridge_message(std::string("deletePrintedFile"), out + "/sign-myself/../../elsewhere.pdf");
    EXPECT_TRUE(fs::exists(root / "elsewhere.pdf"));
    dispatch_bridge_message(std::string("deletePrintedFile"), out + "/sign-myself/a.pdf");
    EXPECT_FALSE(fs::exists(out + "/sign-myself/a.pdf"));
    write_file(out + "/sign-myself/b.pdf", "x");
    dispatch_bridge_message(std::string("clearPrintedFiles"), std::nullopt);
    EXPECT_FALSE(fs::exists(out + "/sign-myself/b.pdf"));
    EXPECT_FALSE(fs::exists(out + "/request-signature/r.pdf"));
    std::string log = log_text();
    std::size_t first = log.find("[clearPrintedFiles] Deleted sign-myself/b.pdf");
    std::size_t second = log.find("[clearPrintedFiles] Deleted request-signature/r.pdf");
    EXPECT_NE(first, std::string::npos);
    EXPECT_NE(second, std::string::npos);
    EXPECT_LT(first, second);
}
