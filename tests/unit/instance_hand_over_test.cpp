#include "base/app_log.h"
#include "app/second_instance.h"
#include "support/temp_dir.h"
#include "base/page_script.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(CallbackUrl, FromTheCaseSensitiveSchemeToTheFirstSpaceQuoteOrNul) {
    struct { std::string_view command_line; std::optional<std::string> url; } cases[] = {
        {"\"velunioprinter://callback?code=abc&state=x\"", "velunioprinter://callback?code=abc&state=x"},
        {"--hidden open velunioprinter://a/b?c=d", "velunioprinter://a/b?c=d"},
        {"velunioprinter://a b", "velunioprinter://a"},
        {std::string_view("velunioprinter://a\0b", 20), "velunioprinter://a"},
        {"velunioprinter://it's\\here\nnext", "velunioprinter://it's\\here\nnext"},
        {"x velunioprinter://first velunioprinter://second", "velunioprinter://first"},
        {"velunioprinter://", "velunioprinter://"},
        {"VELUNIOPRINTER://callback", std::nullopt},
        {"velunioprinter:/callback", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(extract_callback_url(c.command_line), c.url) << c.command_line;
}

TEST(HandOverRecord, SizeIsLittleEndianBytesThenTheTextUpToANul) {
    EXPECT_EQ(encode_hand_over_record(std::string_view("velunioprinter://\xc3\xa9")),
              std::string("\x13\0\0\0velunioprinter://\xc3\xa9", 23));
    EXPECT_EQ(encode_hand_over_record(std::nullopt), std::string(4, '\0'));
    unsigned char big[4] = {0x01, 0x00, 0x01, 0x00};
    EXPECT_EQ(decode_hand_over_size(big), 0x10001u);
    EXPECT_EQ(hand_over_text(std::string_view("velunioprinter://a\0junk", 23)), "velunioprinter://a");
}

// The running instance's side: a callback URL reaches handleCallback escaped, anything
// else only raises the window, and a script that would need a cut is not run.
TEST(HandOverReceived, CallbackUrlsReachThePageAndEveryRecordRaisesTheWindow) {
    temp_dir dir;
    open_app_log(dir.path());
    static std::vector<std::string> scripts_run;
    static int raised = 0;
    set_page_script_runner([](const std::string& s) { scripts_run.push_back(s); });
    set_bring_to_front_action([] { ++raised; });
    std::string fixed = callback_script("");
    // One character short of the limit fits; one more would need a cut.
    std::string fits = "velunioprinter://" + std::string(callback_script_limit - 1 - fixed.size() - 17, 'a');
    for (const std::string& data : std::vector<std::string>{"velunioprinter://cb?q='x'\\y\nz", "", "VELUNIOPRINTER://cb",
                                                            "http://velunioprinter://cb", fits, fits + "a"})
        receive_hand_over(data);
    ASSERT_EQ(scripts_run.size(), 2u);
    EXPECT_EQ(scripts_run[0],
              "window.velunio&&typeof window.velunio.handleCallback==='function'&&"
              "window.velunio.handleCallback('velunioprinter://cb?q=\\'x\\'\\\\y\\nz')");
    EXPECT_EQ(raised, 6);
    EXPECT_TRUE(contains(read_file(app_log_path()), "handleCallback not run"));
    set_page_script_runner(nullptr);
    set_bring_to_front_action(nullptr);
    close_app_log();
}

}  // namespace
