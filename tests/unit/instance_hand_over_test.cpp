#include "base/app_log.h"
#include "app/second_instance.h"
#include "support/temp_dir.h"
#include "base/page_script.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(CallbackUrl, ExtractedFromTheSchemeToTheFirstSpaceQuoteOrNul) {
    EXPECT_EQ(extract_callback_url("\"velunioprinter://callback?code=abc&state=x\""),
              "velunioprinter://callback?code=abc&state=x");
    EXPECT_EQ(extract_callback_url("--hidden open velunioprinter://a/b?c=d"), "velunioprinter://a/b?c=d");
    EXPECT_EQ(extract_callback_url("velunioprinter://a b"), "velunioprinter://a");
    EXPECT_EQ(extract_callback_url(std::string_view("velunioprinter://a\0b", 20)), "velunioprinter://a");
    EXPECT_EQ(extract_callback_url("velunioprinter://it's\\here\nnext"), "velunioprinter://it's\\here\nnext");
    EXPECT_EQ(extract_callback_url("x velunioprinter://first velunioprinter://second"), "velunioprinter://first");
    EXPECT_EQ(extract_callback_url("velunioprinter://"), "velunioprinter://");
}

TEST(CallbackUrl, SchemeIsCaseSensitive) {
    EXPECT_FALSE(extract_callback_url("VELUNIOPRINTER://callback"));
    EXPECT_FALSE(extract_callback_url("Velunioprinter://callback"));
    EXPECT_FALSE(extract_callback_url("velunioprinter:/callback"));
    EXPECT_FALSE(is_callback_url("velunioprinter:/"));
    EXPECT_FALSE(is_callback_url(" velunioprinter://x"));
    EXPECT_TRUE(is_callback_url("velunioprinter://"));
}

TEST(HandOverRecord, SizeIsLittleEndianBytesThenTheText) {
    std::string record = encode_hand_over_record(std::string_view("velunioprinter://\xc3\xa9"));
    ASSERT_EQ(record.size(), 4u + 19u);
    unsigned char header[4];
    for (int i = 0; i < 4; ++i) header[i] = static_cast<unsigned char>(record[i]);
    EXPECT_EQ(decode_hand_over_size(header), 19u);
    EXPECT_EQ(record.substr(4), "velunioprinter://\xc3\xa9");

    EXPECT_EQ(encode_hand_over_record(std::nullopt), std::string(4, '\0'));
    unsigned char big[4] = {0x01, 0x00, 0x01, 0x00};
    EXPECT_EQ(decode_hand_over_size(big), 0x10001u);
    EXPECT_GT(decode_hand_over_size(big), max_hand_over_size);
}

TEST(HandOverRecord, TextEndsAtANulInsideTheSize) {
    EXPECT_EQ(hand_over_text(std::string_view("velunioprinter://a\0junk", 23)), "velunioprinter://a");
    EXPECT_EQ(hand_over_text("velunioprinter://whole"), "velunioprinter://whole");
}

std::vector<std::string> scripts_run;
int raised = 0;
void count_raise() { ++raised; }

class Receiving : public ::testing::Test {
protected:
    void SetUp() override {
        scripts_run.clear();
        raised = 0;
        open_app_log(dir.path());
        set_page_script_runner([](const std::string& s) { scripts_run.push_back(s); });
        set_bring_to_front_action(count_raise);
    }
    void TearDown() override {
        set_page_script_runner(nullptr);
        set_bring_to_front_action(nullptr);
        close_app_log();
    }
    temp_dir dir;
};

TEST_F(Receiving, CallbackUrlReachesHandleCallbackEscapedAndRaisesTheWindow) {
    receive_hand_over("velunioprinter://cb?q='x'\\y\nz");
    ASSERT_EQ(scripts_run.size(), 1u);
    EXPECT_EQ(scripts_run[0],
              "window.velunio&&typeof window.velunio.handleCallback==='function'&&"
              "window.velunio.handleCallback('velunioprinter://cb?q=\\'x\\'\\\\y\\nz')");
    EXPECT_EQ(raised, 1);
}

TEST_F(Receiving, OtherDataOnlyRaisesTheWindow) {
    receive_hand_over("");
    receive_hand_over("VELUNIOPRINTER://cb");
    receive_hand_over("http://velunioprinter://cb");
    EXPECT_TRUE(scripts_run.empty());
    EXPECT_EQ(raised, 3);
}

TEST_F(Receiving, ScriptThatWouldBeCutIsNotRunButTheWindowIsRaised) {
    std::string fixed = callback_script("");
    // One character short of the limit fits; one more would need a cut.
    std::string fits = "velunioprinter://" + std::string(callback_script_limit - 1 - fixed.size() - 17, 'a');
    receive_hand_over(fits);
    EXPECT_EQ(scripts_run.size(), 1u);
    receive_hand_over(fits + "a");
    EXPECT_EQ(scripts_run.size(), 1u);
    EXPECT_EQ(raised, 2);
    EXPECT_NE(read_file(app_log_path()).find("handleCallback not run"), std::string::npos);
}

}  // namespace
