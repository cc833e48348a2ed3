#include "app/app_log.h"
#include "bridge/dispatch.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

class Dispatch : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(open_app_log(dir.path())); }
    void TearDown() override { close_app_log(); }
    std::string log() const { return read_file(dir / "velunio-print.log"); }
    temp_dir dir;
};

}  // namespace

TEST(BridgeTable, NamesInTheirComparisonOrder) {
    std::size_t count = 0;
    const bridge_entry* table = bridge_table(count);
    std::vector<std::string> names;
    for (std::size_t i = 0; i < count; ++i) names.emplace_back(table[i].name);
    EXPECT_EQ(names, (std::vector<std::string>{"__log__", "showAlert", "bringToFront", "openBrowser", "resizeWindow",
                                                "setWindowBackground", "httpGet", "postToken", "startFileWatcher",
                                                "uploadPrintedFile", "deletePrintedFile", "clearPrintedFiles"}));
}

TEST_F(Dispatch, ConsoleLinesReachTheLog) {
    on_web_message_received(R"({"handler":"__log__","data":"warn: x 1"})");
    on_web_message_received(R"({"handler":"__log__","data":null})");
    on_web_message_received(R"({"handler":"__log__"})");
    on_web_message_received(R"({"handler":"__log__","data":"log: {\"a\":1} x"})");
    std::string text = log();
    EXPECT_NE(text.find("] [JS] warn: x 1\n"), std::string::npos);
    EXPECT_NE(text.find("] [JS] log: {\"a\":1} x\n"), std::string::npos);
    std::size_t empty_lines = 0;
    for (std::size_t at = text.find("[JS] \n"); at != std::string::npos; at = text.find("[JS] \n", at + 1)) ++empty_lines;
    EXPECT_EQ(empty_lines, 2u);
}

TEST_F(Dispatch, UnknownAndWrongCaseNamesAreLogged) {
    on_web_message_received(R"({"handler":"noSuchThing","data":"x"})");
    on_web_message_received(R"({"handler":"ShowAlert"})");
    on_web_message_received(R"({"handler":"na\"me"})");
    std::string text = log();
    EXPECT_NE(text.find("[bridge] UNHANDLED handler: noSuchThing\n"), std::string::npos);
    EXPECT_NE(text.find("[bridge] UNHANDLED handler: ShowAlert\n"), std::string::npos);
    EXPECT_NE(text.find("[bridge] UNHANDLED handler: na\"me\n"), std::string::npos);
}

TEST_F(Dispatch, MessagesWithoutAStringHandlerLeaveNoTrace) {
    std::string before = log();
    on_web_message_received(R"({"data":"x"})");
    on_web_message_received(R"({"handler":42})");
    on_web_message_received(R"({"handler":{"name":"__log__"}})");
    on_web_message_received("not json at all");
    on_web_message_received("");
    EXPECT_EQ(log(), before);
}
