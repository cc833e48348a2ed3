#include "printer/flow_file.h"
#include "printer/printer_service.h"
#include "printer/service_config.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace {

bool has(const std::vector<std::string>& names, const std::string& name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

TEST(FlowFile, BytesTakeTheFinalNameOnlyWhenPublished)
{
    temp_dir dir;
    std::string error;
    flow_output_ptr out = flow_output_create(dir.path(), error);
    ASSERT_TRUE(out) << error;
    std::string temp = flow_output_temp_path(*out);
    EXPECT_TRUE(is_flow_temp_name(std::filesystem::path(temp).filename().string()));
    ASSERT_TRUE(flow_output_write(*out, "%PDF-", 5, error));
    ASSERT_TRUE(flow_output_write(*out, "1.7", 3, error));
    ASSERT_TRUE(flow_output_finish(*out, error)) << error;
    EXPECT_EQ(flow_list_folder(dir.path()).size(), 1u);

    EXPECT_EQ(flow_output_publish(*out, dir / "doc.pdf", error), publish_status::published) << error;
    out.reset();
    EXPECT_EQ(read_file(dir / "doc.pdf"), "%PDF-1.7");
    EXPECT_EQ(flow_list_folder(dir.path()), std::vector<std::string>{"doc.pdf"});
}

TEST(FlowFile, ATakenNameIsNeverReplaced)
{
    temp_dir dir;
    write_file(dir / "doc.pdf", "older");
    std::string error;
    flow_output_ptr out = flow_output_create(dir.path(), error);
    ASSERT_TRUE(out);
    ASSERT_TRUE(flow_output_write(*out, "newer", 5, error));
    ASSERT_TRUE(flow_output_finish(*out, error));
    EXPECT_EQ(flow_output_publish(*out, dir / "doc.pdf", error), publish_status::name_taken);
    EXPECT_EQ(read_file(dir / "doc.pdf"), "older");
    EXPECT_EQ(flow_output_publish(*out, dir / "doc-2.pdf", error), publish_status::published);
    EXPECT_EQ(read_file(dir / "doc-2.pdf"), "newer");
}

TEST(FlowFile, AnUnpublishedFileIsRemoved)
{
    temp_dir dir;
    std::string error;
    {
        flow_output_ptr open = flow_output_create(dir.path(), error);
        ASSERT_TRUE(open);
        ASSERT_TRUE(flow_output_write(*open, "partial", 7, error));
        flow_output_ptr finished = flow_output_create(dir.path(), error);
        ASSERT_TRUE(finished);
        ASSERT_TRUE(flow_output_finish(*finished, error));
        EXPECT_EQ(flow_list_folder(dir.path()).size(), 2u);
    }
    EXPECT_TRUE(flow_list_folder(dir.path()).empty());
}

TEST(FlowFile, CreationFailsInAMissingFolder)
{
    temp_dir dir;
    std::string error;
    EXPECT_FALSE(flow_output_create(dir / "missing", error));
    EXPECT_FALSE(error.empty());
}

TEST(FlowFile, StaleTemporaryFilesAreSweptAndNothingElse)
{
    temp_dir dir;
    write_file(dir / ".velunio-AbC123.part", "left by a killed job");
    write_file(dir / "kept.pdf", "a document");
    write_file(dir / ".velunio-notes.txt", "not ours");
    flow_remove_stale_temp_files(dir.path());
    std::vector<std::string> names = flow_list_folder(dir.path());
    EXPECT_FALSE(has(names, ".velunio-AbC123.part"));
    EXPECT_TRUE(has(names, "kept.pdf"));
    EXPECT_TRUE(has(names, ".velunio-notes.txt"));
}

TEST(FlowFile, AnExistingDirectoryIsFineAFileInTheWayIsNot)
{
    temp_dir dir;
    std::string error;
    EXPECT_TRUE(flow_make_directory(dir / "sign-myself", error));
    EXPECT_TRUE(flow_make_directory(dir / "sign-myself", error));
    write_file(dir / "request-signature", "a file");
    EXPECT_FALSE(flow_make_directory(dir / "request-signature", error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(flow_make_directory(dir / "missing/deeper", error));
}

TEST(PrinterServiceStop, SafeWithoutAServiceAndTwice)
{
    EXPECT_FALSE(printer_service_running());
    stop_printer_service();
    stop_printer_service();
    EXPECT_FALSE(printer_service_running());
    EXPECT_TRUE(wait_for_printer_service_end(std::chrono::milliseconds(0)));
}
