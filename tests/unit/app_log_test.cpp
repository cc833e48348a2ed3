#include "base/app_log.h"
#include "base/output_folder.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class AppLog : public ::testing::Test {
protected:
    void TearDown() override { close_app_log(); }
    temp_dir dir;
    std::string log = dir / "velunio-print.log";
};

}  // namespace

TEST_F(AppLog, BannerPrefixAndAPrivateFile) {
    EXPECT_FALSE(open_app_log(dir / "missing"));
    app_log("nothing");  // logging off: no crash, nothing made
    EXPECT_FALSE(std::filesystem::exists(dir / "missing"));

    ::umask(022);
    ASSERT_TRUE(open_app_log(dir.path()));
    app_log("[tag] %s %d", "héllo", 42);
    auto lines = lines_of(read_file(log));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(--- Velunio Printaro started \d{4}-\d\d-\d\d \d\d:\d\d:\d\d ---)")));
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(R"(\[\d\d:\d\d:\d\d\] \[tag\] héllo 42)"))) << lines[2];
    EXPECT_EQ(file_mode(log), 0600u);
}

TEST_F(AppLog, RotatesAtExactlyThreeMebibytesReplacingTheOlderGeneration) {
    ASSERT_TRUE(open_app_log(dir.path()));
    std::filesystem::resize_file(log, app_log_rotate_size - 1);
    app_log("below");
    EXPECT_FALSE(std::filesystem::exists(log + ".1"));
    std::filesystem::resize_file(log, app_log_rotate_size);
    write_file(log + ".1", "older generation");
    app_log("at threshold");
    EXPECT_EQ(std::filesystem::file_size(log + ".1"), app_log_rotate_size);
    auto fresh = lines_of(read_file(log));
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_TRUE(contains(fresh[0], "at threshold"));
}

// A first and a second instance share the log: when one rotates, the other must not rotate
// again on its next line and throw the older generation away.
TEST_F(AppLog, TwoProcessesPastTheRotationSizeKeepTheOlderGeneration) {
    const std::string pad(1000, 'x');
    ASSERT_TRUE(open_app_log(dir.path()));
    while (std::filesystem::file_size(log) < app_log_rotate_size) app_log("first %s", pad.c_str());
    // The second instance writes past the size and rotates; then the first writes again.
    pid_t child = ::fork();
    if (child == 0) {
        open_app_log(dir.path());
        for (int i = 0; i < 200; ++i) app_log("second %d %s", i, pad.c_str());
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    app_log("first again");
    std::string older = read_file(log + ".1"), current = read_file(log);
    EXPECT_GE(older.size(), app_log_rotate_size) << "the older generation was thrown away";
    EXPECT_TRUE(contains(older, "first " + pad));
    EXPECT_TRUE(contains(current, "second 199"));
    EXPECT_TRUE(contains(current, "first again"));
}

TEST_F(AppLog, EightThreadsThroughRotationKeepEveryLineWhole) {
    ASSERT_TRUE(open_app_log(dir.path()));
    const std::string pad(300, 'x');
    std::vector<std::thread> workers;
    for (int t = 0; t < 8; ++t)
        workers.emplace_back([t, &pad] {
            for (int i = 0; i < 5000; ++i) app_log("T%d L%d %s", t, i, pad.c_str());
        });
    for (auto& w : workers) w.join();
    std::set<std::pair<int, int>> seen;
    std::regex line_re(R"(\[\d\d:\d\d:\d\d\] T(\d) L(\d+) x{300})");
    std::size_t total = 0;
    for (const auto& name : {log + ".1", log})
        for (const auto& line : lines_of(read_file(name))) {
            if (line.empty() || line.starts_with("--- ")) continue;
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, line_re)) << "torn line: " << line.substr(0, 80);
            seen.insert({std::stoi(m[1]), std::stoi(m[2])});
            ++total;
        }
    EXPECT_EQ(seen.size(), total) << "a line was written twice";
    EXPECT_GE(std::filesystem::file_size(log + ".1"), app_log_rotate_size);
}

// The output folder and the program's own folder in it are private, also when an earlier
// version made them open to others.
TEST(OutputFolder, PrivateFoldersAndTheProgramsOwnNames) {
    temp_dir dir;
    ::umask(022);
    std::string out = dir / "new/VelunioPrint";
    ASSERT_TRUE(prepare_output_folder(out));
    std::filesystem::create_directories(dir / "old");
    ::chmod((dir / "old").c_str(), 0755);
    ASSERT_TRUE(prepare_output_folder(dir / "old"));
    for (const std::string& folder : {out, out + "/WebKit", dir / "old", dir / "old/WebKit"})
        EXPECT_EQ(file_mode(folder), 0700u) << folder;
    for (const char* name : {"WebKit", "spool", "velunio-print.log", "velunio-print.log.1", "crash-20260101-1.txt"})
        EXPECT_TRUE(is_program_data_name(name)) << name;
    for (const char* name : {"sign-myself", "webkit", "crash.pdf", "report.pdf", "spooled"})
        EXPECT_FALSE(is_program_data_name(name)) << name;
}
