#include "base/app_state.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <map>
#include <vector>

TEST(ModeSelection, OptionsAreCaseSensitiveSubstringsTestedInOrder) {
    struct row { const char* command_line; run_mode mode; bool hidden; } rows[] = {
        {"", run_mode::normal, false},
        {"--register --hidden", run_mode::register_printers, false},
        {"--unregister --register", run_mode::register_printers, false},
        {"x--unregisterx", run_mode::unregister_printers, false},
        {"--hidden", run_mode::normal, true},
        {"velunioprinter://cb?x=--hidden", run_mode::normal, true},  // inside a callback URL too
        {"--REGISTER", run_mode::normal, false},
        {"--Hidden", run_mode::normal, false},
    };
    for (const row& r : rows) {
        EXPECT_EQ(select_mode(r.command_line).mode, r.mode) << r.command_line;
        EXPECT_EQ(select_mode(r.command_line).start_hidden, r.hidden) << r.command_line;
    }
    const char* argv[] = {"prog", "a b", "--hidden", ""};
    EXPECT_EQ(join_command_line(4, argv), "a b --hidden ");
    EXPECT_EQ(join_command_line(1, argv), "");
}

TEST(OutputFolder, FirstRuleThatAppliesEmptyCountsAsUnsetTooLongIsRefused) {
    std::string longest(max_output_dir_length, 'a'), too_long(max_output_dir_length + 1, 'a');
    struct row { std::map<std::string, std::string> env; std::string folder; bool refused; } rows[] = {
        {{{"VELUNIO_OUTPUT_DIR", "/o"}, {"XDG_DATA_HOME", "/x"}, {"HOME", "/h"}}, "/o", false},
        {{{"VELUNIO_OUTPUT_DIR", ""}, {"XDG_DATA_HOME", "/x"}, {"HOME", "/h"}}, "/x/VelunioPrint", false},
        {{{"XDG_DATA_HOME", ""}, {"HOME", "/h"}}, "/h/.local/share/VelunioPrint", false},
        {{{"HOME", ""}}, "VelunioPrint", false},
        {{{"VELUNIO_OUTPUT_DIR", "rel dir/é"}}, "rel dir/é", false},
        {{{"VELUNIO_OUTPUT_DIR", longest}, {"HOME", "/h"}}, longest, false},
        {{{"VELUNIO_OUTPUT_DIR", too_long}, {"HOME", "/h"}}, "/h/.local/share/VelunioPrint", true},
    };
    for (const row& r : rows) {
        std::string reason;
        auto lookup = [&](const char* name) -> std::optional<std::string> {
            auto it = r.env.find(name);
            if (it == r.env.end() || it->second.empty()) return std::nullopt;
            return it->second;
        };
        EXPECT_EQ(derive_output_dir(lookup, [&](const std::string& why) { reason = why; }), r.folder);
        EXPECT_EQ(reason.find("VELUNIO_OUTPUT_DIR") != std::string::npos, r.refused) << reason;
    }
}

TEST(UiFolder, BesideTheExecutableThenItsPrefixThenTheCompiledInPath) {
    temp_dir tmp;
    const std::string exe = tmp / "usr/bin/velunio-print-app";
    const std::string share_ui = tmp / "usr/share/velunio-printaro/ui";
    EXPECT_EQ(derive_ui_dir(exe, "/nonexistent/x/ui"), "/nonexistent/x/ui");
    EXPECT_EQ(derive_ui_dir("", "/nonexistent/x/ui"), "/nonexistent/x/ui");
    ASSERT_TRUE(create_folder_with_parents(share_ui));
    EXPECT_TRUE(create_folder_with_parents(share_ui));  // an existing one is fine
    EXPECT_FALSE(create_folder_with_parents("/proc/velunio-cannot-exist/x"));
    EXPECT_EQ(derive_ui_dir(exe, "/nonexistent/x/ui"), share_ui);
    ASSERT_TRUE(create_folder_with_parents(tmp / "usr/bin/ui"));
    EXPECT_EQ(derive_ui_dir(exe, "/nonexistent/x/ui"), tmp / "usr/bin/ui");

    struct row { std::string exe, compiled_in; std::vector<std::string> expected; } rows[] = {
        {"/opt/v/bin/velunio-print-app", "/usr/share/v/icon.svg",
         {"/opt/v/bin/icon.svg", "/opt/v/share/v/icon.svg", "/usr/share/v/icon.svg"}},
        {"/usr/bin/velunio-print-app", "/usr/share/v/icon.svg", {"/usr/bin/icon.svg", "/usr/share/v/icon.svg"}},
        {"/usr/bin/../bin/velunio-print-app", "", {"/usr/bin/icon.svg", "/usr/share/v/icon.svg"}},
        {"", "/usr/share/v/icon.svg", {"/usr/share/v/icon.svg"}},
    };
    for (const row& r : rows)
        EXPECT_EQ(installed_file_candidates(r.exe, "icon.svg", "v/icon.svg", r.compiled_in), r.expected) << r.exe;
}
