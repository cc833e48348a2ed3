#include "base/app_log.h"
#include "documents/folder_watcher.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

TEST(PrintedFileReport, SuffixAndFlowRules) {
    auto r = printed_file_report("/out", "sign-myself/Job.PDF");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->path, "/out/sign-myself/Job.PDF");
    EXPECT_EQ(r->flow, "sign_myself");
    EXPECT_EQ(printed_file_report("/out", "REQUEST-SIGNATURE/a.pdf")->flow, "request_signature");
    EXPECT_EQ(printed_file_report("/out", "request-signature/deep/a.pdf")->flow, "request_signature");
    EXPECT_EQ(printed_file_report("/out", "request-signature2/a.pdf")->flow, "sign_myself");
    EXPECT_EQ(printed_file_report("/out", "a.pdf")->flow, "sign_myself");
    EXPECT_EQ(printed_file_report("/out", "a.pdf")->path, "/out/a.pdf");
    EXPECT_FALSE(printed_file_report("/out", ".pdf"));
    EXPECT_FALSE(printed_file_report("/out", "sign-myself/a.pdf.part"));
    EXPECT_FALSE(printed_file_report("/out", "velunio-print.log"));
}

class PrintedFiles : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(out / "sign-myself");
        fs::create_directories(out / "request-signature");
        fs::create_directories(logs.path());
        open_app_log(logs.path());
    }
    void TearDown() override { close_app_log(); }
    std::string log_text() { return read_file(logs / "velunio-print.log"); }
    temp_dir root;
    temp_dir logs;
    fs::path out = fs::path(root.path()) / "out";
};

TEST_F(PrintedFiles, OnlyRegularFilesDirectlyInAFlowFolderAreConfined) {
    std::string dir = out.string();
    write_file(dir + "/sign-myself/a.pdf", "x");
    write_file(dir + "/velunio-print.log", "log");
    write_file(root / "outside.pdf", "x");
    fs::create_directories(out / "sign-myself" / "sub");
    write_file(dir + "/sign-myself/sub/deep.pdf", "x");
    fs::create_symlink(root / "outside.pdf", out / "sign-myself" / "link.pdf");
    fs::create_symlink(out / "sign-myself" / "a.pdf", out / "request-signature" / "inner-link.pdf");

    EXPECT_EQ(confined_printed_file(dir, dir + "/sign-myself/a.pdf"), fs::canonical(out / "sign-myself/a.pdf").string());
    EXPECT_TRUE(confined_printed_file(dir, dir + "/request-signature/../sign-myself/a.pdf"));
    EXPECT_FALSE(confined_printed_file(dir, dir + "/sign-myself/../velunio-print.log"));
    EXPECT_FALSE(confined_printed_file(dir, dir + "/velunio-print.log"));
    EXPECT_FALSE(confined_printed_file(dir, root / "outside.pdf"));
    EXPECT_FALSE(confined_printed_file(dir, dir + "/sign-myself/link.pdf"));
    EXPECT_FALSE(confined_printed_file(dir, dir + "/request-signature/inner-link.pdf"));
    EXPECT_FALSE(confined_printed_file(dir, dir + "/sign-myself/sub"));
    EXPECT_FALSE(confined_printed_file(dir, dir + "/sign-myself/sub/deep.pdf"));
    EXPECT_FALSE(confined_printed_file(dir, dir + "/sign-myself/missing.pdf"));
    EXPECT_FALSE(confined_printed_file(dir, "sign-myself/a.pdf"));  // relative to the working folder

    for (std::string refused : {dir + "/sign-myself/../velunio-print.log", root / "outside.pdf",
                                dir + "/sign-myself/link.pdf", dir + "/sign-myself/sub"}) {
        delete_printed_file(dir, refused);
    }
    EXPECT_TRUE(fs::exists(out / "velunio-print.log"));
    EXPECT_TRUE(fs::exists(root / "outside.pdf"));
    EXPECT_TRUE(fs::is_symlink(out / "sign-myself" / "link.pdf"));
    EXPECT_TRUE(fs::exists(out / "sign-myself" / "sub" / "deep.pdf"));
    EXPECT_NE(log_text().find("[deletePrintedFile] Refused: not a printed file: " + (root / "outside.pdf")),
              std::string::npos);

    delete_printed_file(dir, dir + "/sign-myself/a.pdf");
    EXPECT_FALSE(fs::exists(out / "sign-myself" / "a.pdf"));
}

TEST_F(PrintedFiles, ClearDeletesThePdfsOfOneFlowAndLogsEach) {
    std::string dir = out.string();
    write_file(dir + "/sign-myself/a.pdf", "x");
    write_file(dir + "/sign-myself/B.PDF", "x");
    write_file(dir + "/sign-myself/keep.txt", "x");
    write_file(dir + "/request-signature/r.pdf", "x");
    fs::create_directories(out / "sign-myself" / "dir.pdf");
    clear_flow_folder(dir, "sign-myself");
    EXPECT_FALSE(fs::exists(out / "sign-myself/a.pdf"));
    EXPECT_FALSE(fs::exists(out / "sign-myself/B.PDF"));
    EXPECT_TRUE(fs::exists(out / "sign-myself/keep.txt"));
    EXPECT_TRUE(fs::exists(out / "sign-myself/dir.pdf"));
    EXPECT_TRUE(fs::exists(out / "request-signature/r.pdf"));
    std::string log = log_text();
    EXPECT_NE(log.find("[clearPrintedFiles] Deleted sign-myself/a.pdf"), std::string::npos);
    EXPECT_NE(log.find("[clearPrintedFiles] Deleted sign-myself/B.PDF"), std::string::npos);

    // A flow folder the process may not write to: each failure is logged with errno.
    if (::geteuid() != 0) {
        fs::permissions(out / "request-signature", fs::perms::owner_write, fs::perm_options::remove);
        clear_flow_folder(dir, "request-signature");
        fs::permissions(out / "request-signature", fs::perms::owner_write, fs::perm_options::add);
        EXPECT_NE(log_text().find("[clearPrintedFiles] Failed to delete request-signature/r.pdf (err=13)"),
                  std::string::npos);
    }
}
