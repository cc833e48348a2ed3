#include "base/app_log.h"
#include "bridge/dispatch.h"
#include "support/temp_dir.h"
#include "window/web_view_scripts.h"

#include <gtest/gtest.h>

#include <regex>
#include <vector>

// The page keeps its own list of the handlers it looks up; it must name exactly the shim's.
TEST(BridgeNames, ThePageListsTheShimsHandlers) {
    std::string page = read_file(std::string(VELUNIO_SOURCE_DIR) + "/ui/js/bridge.js");
    std::smatch list;
    ASSERT_TRUE(std::regex_search(page, list, std::regex(R"(HANDLER_NAMES\s*=\s*\[([^\]]*)\])")));
    std::vector<std::string> names;
    std::string body = list[1];
    std::regex quoted(R"('([^']*)')");
    for (std::sregex_iterator it(body.begin(), body.end(), quoted), end; it != end; ++it)
        names.push_back((*it)[1]);
    EXPECT_EQ(names, std::vector<std::string>(bridge_handler_names.begin(), bridge_handler_names.end()));
}

TEST(Dispatch, WhatEachMessageLeavesInTheLog) {
    temp_dir dir;
    ASSERT_TRUE(open_app_log(dir.path()));
    // A message, and what it adds to the log (nullptr: nothing).
    std::pair<const char*, const char*> rows[] = {
        {R"({"handler":"__log__","data":"warn: x 1"})", "] [JS] warn: x 1\n"},
        {R"({"handler":"__log__","data":"log: {\"a\":1} x"})", "] [JS] log: {\"a\":1} x\n"},
        {R"({"handler":"__log__","data":null})", "] [JS] \n"},
        {R"({"handler":"__log__"})", "] [JS] \n"},
        {R"({"handler":"noSuchThing","data":"x"})", "[bridge] UNHANDLED handler: noSuchThing\n"},
        {R"({"handler":"ShowAlert"})", "[bridge] UNHANDLED handler: ShowAlert\n"},  // names are case-sensitive
        {R"({"handler":"na\"me"})", "[bridge] UNHANDLED handler: na\"me\n"},
        // Without a string handler a message leaves no trace.
        {R"({"data":"x"})", nullptr},
        {R"({"handler":42})", nullptr},
        {R"({"handler":{"name":"__log__"}})", nullptr},
        {"not json at all", nullptr},
        {"", nullptr},
    };
    for (const auto& [message, logged] : rows) {
        std::size_t before = read_file(dir / "velunio-print.log").size();
        on_web_message_received(message);
        std::string added = read_file(dir / "velunio-print.log").substr(before);
        EXPECT_TRUE(logged ? contains(added, logged) : added.empty()) << message << " logged: " << added;
    }
    close_app_log();
}
