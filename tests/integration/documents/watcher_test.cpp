#include "base/app_log.h"
#include "base/app_state.h"
#include "bridge/dispatch.h"
#include "documents/folder_watcher.h"
#include "page_recorder.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>

namespace fs = std::filesystem;

namespace {

// (path, flow) of a _onNewPrintedFile script; the test names hold no quotes.
std::pair<std::string, std::string> reported(const std::string& script) {
    std::smatch m;
    std::regex_search(script, m, std::regex(R"(_onNewPrintedFile\('([^']*)','([^']*)'\)$)"));
    return {m[1], m[2]};
}

// A file that takes its name by a rename, as a finished job's does.
void land(const std::string& path) {
    write_file(path + ".part", "%PDF");
    fs::rename(path + ".part", path);
}

class Watcher : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* flow_folder : {"/sign-myself", "/request-signature"}) fs::create_directories(out + flow_folder);
        open_app_log(logs.path());
    }
    void TearDown() override {
        if (watcher) stop_printed_file_watcher(*watcher);
        close_app_log();
    }
    void start() { watcher = start_printed_file_watcher(out); }
    std::string log_text() { return read_file(logs / "velunio-print.log"); }

    temp_dir root, logs;
    std::string out = root / "out";
    std::unique_ptr<printed_file_watcher> watcher;
};

}  // namespace

// What the page is told about is exactly what it may upload and delete.
TEST_F(Watcher, ReportsAndConfinementAgreeOnEveryPlacement) {
    write_file(root / "outside.pdf", "%PDF");
    fs::create_directories(root / "elsewhere");
    page_recorder page;
    start();
    for (const char* folder : {"/request-signature/deeper", "/other/deeper", "/WebKit/data", "/spool"})
        fs::create_directories(out + folder);
    fs::create_symlink(root / "elsewhere", out + "/linked");
    // Where a file lands and the flow it is reported in; none: neither reported nor accepted.
    std::vector<std::pair<std::string, const char*>> table{
        {"sign-myself/a.pdf", "sign_myself"}, {"REQUEST-SIGNATURE/../request-signature/B.PDF", "request_signature"},
        {"top.pdf", "sign_myself"}, {"request-signature/deeper/c.pdf", "request_signature"},
        {"other/deeper/d.pdf", "sign_myself"}, {"WebKit/data/e.pdf", nullptr}, {"spool/f.pdf", nullptr},
        {"sign-myself/note.txt", nullptr}, {"linked/g.pdf", nullptr},
    };
    for (const auto& [relative, flow] : table) land(out + "/" + fs::path(relative).lexically_normal().string());
    fs::create_symlink(root / "outside.pdf", out + "/sign-myself/link.pdf.tmp");
    fs::rename(out + "/sign-myself/link.pdf.tmp", out + "/sign-myself/link.pdf");

    // A folder moved in while a PDF in it is still being written.
    fs::create_directories(root / "staging");
    std::ofstream unfinished(root / "staging/h.pdf");
    unfinished << "%PDF-1.7 half";
    unfinished.flush();
    fs::rename(root / "staging", out + "/request-signature/batch");
    auto& early = page.wait_for(5);
    EXPECT_EQ(page.wait_for(6, std::chrono::milliseconds(300)).size(), 5u) << "an unfinished file was reported";
    unfinished << " and the rest";
    unfinished.close();
    ASSERT_EQ(page.wait_for(6).size(), 6u);
    EXPECT_EQ(reported(early.back()).first, out + "/request-signature/batch/h.pdf");

    std::map<std::string, std::string> told;
    for (const std::string& script : *page.scripts) told.insert(reported(script));
    table.insert(table.end(), {{"sign-myself/link.pdf", nullptr}, {"request-signature/batch/h.pdf", "request_signature"}});
    for (const auto& [relative, flow] : table) {
        std::string path = out + "/" + relative, normal = out + "/" + fs::path(relative).lexically_normal().string();
        EXPECT_EQ(told.count(normal) ? told[normal] : "", flow ? flow : "") << relative;
        EXPECT_EQ(confined_printed_file(out, path).has_value(), flow != nullptr) << relative;
        delete_printed_file(out, path);
        EXPECT_EQ(fs::exists(fs::symlink_status(normal)), flow == nullptr) << "delete of " << relative;
    }
    EXPECT_TRUE(fs::exists(root / "outside.pdf"));
    EXPECT_FALSE(confined_printed_file(out, root / "outside.pdf"));
    EXPECT_FALSE(confined_printed_file(out, "sign-myself/a.pdf"));  // relative to the working folder
    EXPECT_FALSE(confined_printed_file(out, out + "/sign-myself/../../outside.pdf"));
}

TEST_F(Watcher, PresentFilesRenamesAndRescansReportEachIdentityOnce) {
    write_file(out + "/sign-myself/a.pdf", "x");
    write_file(out + "/request-signature/B.PDF", "x");
    page_recorder page;
    start();
    ASSERT_EQ(page.wait_for(2).size(), 2u);
    EXPECT_EQ(reported((*page.scripts)[1]), std::make_pair(out + "/request-signature/B.PDF", std::string("request_signature")));

    write_file(out + "/sign-myself/in-place.pdf", "x");                          // written under its name
    fs::rename(out + "/sign-myself/a.pdf", out + "/sign-myself/a.tmp");          // away from .pdf
    land(out + "/sign-myself/renamed.pdf");
    ASSERT_EQ(page.wait_for(3).size(), 3u);
    land(out + "/sign-myself/renamed.pdf");  // a new file under the same name
    EXPECT_EQ(page.wait_for(5, std::chrono::milliseconds(500)).size(), 4u);

    // A burst from several threads: every file once, none twice.
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([this, t] {
            for (int i = 0; i < 400; ++i)
                land(out + (i % 2 ? "/request-signature/" : "/sign-myself/") + std::to_string(t) + "-" +
                     std::to_string(i) + ".pdf");
        });
    for (auto& w : writers) w.join();
    page.wait_for(4 + 1600, std::chrono::seconds(20));
    page.wait_for(4 + 1601, std::chrono::milliseconds(300));
    std::set<std::string> unique;
    for (const auto& s : *page.scripts) unique.insert(reported(s).first);
    EXPECT_EQ(page.scripts->size(), 4u + 1600);
    EXPECT_EQ(unique.size(), 3u + 1600);  // renamed.pdf twice, as two files

    // Lost notifications: with the reading thread stopped nothing is read, as good as an
    // overflowed queue. Two rescans report what was not reported yet once: the lost files and
    // in-place.pdf.
    stop_printed_file_watcher(*watcher);
    for (int i = 0; i < 50; ++i) land(out + "/request-signature/lost-" + std::to_string(i) + ".pdf");
    watcher_events_lost(*watcher);
    watcher_events_lost(*watcher);
    EXPECT_EQ(page.wait_for(4 + 1600 + 52, std::chrono::milliseconds(500)).size(), 4u + 1600 + 51);
    EXPECT_TRUE(contains(log_text(), "[startFileWatcher] Change notifications were lost; rescanning the flow folders"));
}

TEST_F(Watcher, HandlersStartOnceAndClearNeverFollowsALink) {
    set_app_paths({root.path(), out, "1.0.4"});
    write_file(out + "/sign-myself/a.pdf", "x");
    write_file(out + "/sign-myself/keep.txt", "x");
    page_recorder page;
    dispatch_bridge_message(std::string("startFileWatcher"), std::nullopt);
    // A page loaded again asks again: it hears of the file once more, and one watcher goes on.
    dispatch_bridge_message(std::string("startFileWatcher"), std::nullopt);
    ASSERT_EQ(page.wait_for(3, std::chrono::milliseconds(500)).size(), 2u);
    EXPECT_EQ((*page.scripts)[0], (*page.scripts)[1]);
    land(out + "/sign-myself/b.pdf");
    EXPECT_EQ(page.wait_for(4, std::chrono::milliseconds(1500)).size(), 3u);
    // A flow folder replaced by a link to another folder: "Clear all" must not empty it.
    fs::create_directories(root / "precious");
    write_file(root / "precious/mine.pdf", "x");
    fs::remove_all(out + "/request-signature");
    fs::create_symlink(root / "precious", out + "/request-signature");
    dispatch_bridge_message(std::string("clearPrintedFiles"), std::nullopt);
    EXPECT_FALSE(fs::exists(out + "/sign-myself/a.pdf"));
    EXPECT_TRUE(fs::exists(out + "/sign-myself/keep.txt"));
    EXPECT_TRUE(fs::exists(root / "precious/mine.pdf"));
}
