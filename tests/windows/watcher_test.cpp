// The watcher on ReadDirectoryChangesW: PDFs already there or renamed into either flow folder
// are reported with their flows and the platform's separators; other names, and files written
// in place, are not.

#include "base/app_log.h"
#include "documents/folder_watcher.h"
#include "page_recorder.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

namespace fs = std::filesystem;

TEST(Watcher, PdfsRenamedIntoEitherFlowFolderAreReportedWithTheirFlow) {
    temp_dir root;
    std::string out = root.path() + "\\out\\";
    fs::create_directories(out + "sign-myself");
    fs::create_directories(out + "request-signature");
    write_file(out + "sign-myself\\present.pdf", "%PDF");
    ASSERT_TRUE(open_app_log(root.path()));
    page_recorder page;
    std::unique_ptr<printed_file_watcher> watcher = start_printed_file_watcher(out.substr(0, out.size() - 1));
    for (auto [from, to] : {std::pair{"sign-myself\\.job-1.part", "sign-myself\\Job.PDF"},
                            {"request-signature\\.job-2.part", "request-signature\\b.pdf"},
                            {"sign-myself\\c.tmp", "sign-myself\\c.txt"}, {"request-signature\\d.pdf", "request-signature\\d.tmp"}}) {
        write_file(out + from, "%PDF");
        fs::rename(out + from, out + to);
    }
    write_file(out + "sign-myself\\written-in-place.pdf", "%PDF");

    std::set<std::string> expected;
    for (auto [relative, flow] : {std::pair{"sign-myself\\present.pdf", "sign_myself"},
                                  {"sign-myself\\Job.PDF", "sign_myself"}, {"request-signature\\b.pdf", "request_signature"}})
        expected.insert(new_printed_file_script({out + relative, flow}));
    page.wait_for(expected.size());
    EXPECT_EQ(page.wait_for(expected.size() + 1, std::chrono::milliseconds(500)).size(), expected.size());
    EXPECT_EQ(std::set<std::string>(page.scripts->begin(), page.scripts->end()), expected);
    stop_printed_file_watcher(*watcher);
    EXPECT_NE(read_file(root.path() + "\\velunio-print.log")
                  .find("[startFileWatcher] New file detected: request-signature\\b.pdf (printer=request_signature)"),
              std::string::npos);
    close_app_log();
}
