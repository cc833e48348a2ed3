#include "base/app_state.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <map>

namespace {

env_lookup env_of(std::map<std::string, std::string> values) {
    return [values](const char* name) -> std::optional<std::string> {
        auto it = values.find(name);
        if (it == values.end() || it->second.empty()) return std::nullopt;
        return it->second;
    };
}

}  // namespace

TEST(ModeSelection, OptionsAreSubstringsTestedInOrder) {
    EXPECT_EQ(select_mode("").mode, run_mode::normal);
    EXPECT_FALSE(select_mode("").start_hidden);
    EXPECT_EQ(select_mode("--register --hidden").mode, run_mode::register_printers);
    EXPECT_EQ(select_mode("--unregister --register").mode, run_mode::register_printers);
    EXPECT_EQ(select_mode("x--unregisterx").mode, run_mode::unregister_printers);
    EXPECT_TRUE(select_mode("--hidden").start_hidden);
    // A callback URL that happens to hold the text still selects a hidden start.
    EXPECT_TRUE(select_mode("velunioprinter://cb?x=--hidden").start_hidden);
    EXPECT_EQ(select_mode("--REGISTER").mode, run_mode::normal);
    EXPECT_FALSE(select_mode("--Hidden").start_hidden);
    EXPECT_FALSE(select_mode("--register --hidden").start_hidden);
}

TEST(ModeSelection, CommandLineJoinsArgumentsWithSingleSpaces) {
    const char* argv[] = {"prog", "a b", "--hidden", ""};
    EXPECT_EQ(join_command_line(4, argv), "a b --hidden ");
    EXPECT_EQ(join_command_line(1, argv), "");
}

TEST(OutputFolder, RulesApplyInOrderAndEmptyCountsAsUnset) {
    EXPECT_EQ(derive_output_dir(env_of({{"VELUNIO_OUTPUT_DIR", "/o"}, {"XDG_DATA_HOME", "/x"}, {"HOME", "/h"}})), "/o");
    EXPECT_EQ(derive_output_dir(env_of({{"VELUNIO_OUTPUT_DIR", ""}, {"XDG_DATA_HOME", "/x"}, {"HOME", "/h"}})),
              "/x/VelunioPrint");
    EXPECT_EQ(derive_output_dir(env_of({{"XDG_DATA_HOME", ""}, {"HOME", "/h"}})), "/h/.local/share/VelunioPrint");
    EXPECT_EQ(derive_output_dir(env_of({{"HOME", ""}})), "VelunioPrint");
    EXPECT_EQ(derive_output_dir(env_of({})), "VelunioPrint");
    EXPECT_EQ(derive_output_dir(env_of({{"VELUNIO_OUTPUT_DIR", "rel dir/é"}})), "rel dir/é");
}

TEST(OutputFolder, TooLongValueIsRefusedNotCut) {
    std::string reason;
    std::string longest(max_output_dir_length, 'a');
    EXPECT_EQ(derive_output_dir(env_of({{"VELUNIO_OUTPUT_DIR", longest}, {"HOME", "/h"}})), longest);
    std::string too_long(max_output_dir_length + 1, 'a');
    EXPECT_EQ(derive_output_dir(env_of({{"VELUNIO_OUTPUT_DIR", too_long}, {"HOME", "/h"}}),
                                [&](const std::string& why) { reason = why; }),
              "/h/.local/share/VelunioPrint");
    EXPECT_NE(reason.find("VELUNIO_OUTPUT_DIR"), std::string::npos);
}

TEST(UiFolder, BesideTheExecutableThenItsPrefixThenTheCompiledInPath) {
    temp_dir tmp;
    const std::string exe = tmp / "usr/bin/velunio-print-app";
    const std::string share_ui = tmp / "usr/share/velunio-printaro/ui";
    EXPECT_EQ(derive_ui_dir(exe, "/nonexistent/x/ui"), "/nonexistent/x/ui");
    EXPECT_EQ(derive_ui_dir("", "/nonexistent/x/ui"), "/nonexistent/x/ui");
    ASSERT_TRUE(create_folder_with_parents(share_ui));
    EXPECT_EQ(derive_ui_dir(exe, "/nonexistent/x/ui"), share_ui);
    ASSERT_TRUE(create_folder_with_parents(tmp / "usr/bin/ui"));
    EXPECT_EQ(derive_ui_dir(exe, "/nonexistent/x/ui"), tmp / "usr/bin/ui");
}

TEST(UiFolder, CandidatesInOrderWithoutRepeats) {
    struct row {
        std::string exe, compiled_in;
        std::vector<std::string> expected;
    };
    const row rows[] = {
        {"/opt/v/bin/velunio-print-app", "/usr/share/v/icon.svg",
         {"/opt/v/bin/icon.svg", "/opt/v/share/v/icon.svg", "/usr/share/v/icon.svg"}},
        {"/usr/bin/velunio-print-app", "/usr/share/v/icon.svg", {"/usr/bin/icon.svg", "/usr/share/v/icon.svg"}},
        {"/usr/bin/../bin/velunio-print-app", "", {"/usr/bin/icon.svg", "/usr/share/v/icon.svg"}},
        {"", "/usr/share/v/icon.svg", {"/usr/share/v/icon.svg"}},
    };
    for (const row& r : rows)
        EXPECT_EQ(installed_file_candidates(r.exe, "icon.svg", "v/icon.svg", r.compiled_in), r.expected) << r.exe;
}

TEST(Version, IsTheProjectVersion) { EXPECT_EQ(build_version(), "1.0.4"); }

TEST(OutputFolder, CreatedWithItsMissingParents) {
    temp_dir tmp;
    const std::string& dir = tmp.path();
    EXPECT_TRUE(create_folder_with_parents(dir + "/a/b/c/VelunioPrint"));
    EXPECT_TRUE(create_folder_with_parents(dir + "/a/b/c/VelunioPrint"));  // existing is fine
    EXPECT_FALSE(create_folder_with_parents("/proc/velunio-cannot-exist/x"));
}
