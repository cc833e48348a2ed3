#include "base/app_log.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

void grow_to(const std::string& path, std::uintmax_t size) {
    std::filesystem::resize_file(path, size);
}

class AppLog : public ::testing::Test {
protected:
    void TearDown() override { close_app_log(); }
    temp_dir dir;
    std::string log() const { return dir / "velunio-print.log"; }
};

}  // namespace

TEST_F(AppLog, BannerAndTimePrefix) {
    ASSERT_TRUE(open_app_log(dir.path()));
    EXPECT_EQ(app_log_path(), log());
    app_log("[tag] %s %d", "héllo", 42);
    app_log_text("plain");
    auto lines = lines_of(read_file(log()));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "");
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(--- Velunio Printaro started \d{4}-\d\d-\d\d \d\d:\d\d:\d\d ---)")))
        << lines[1];
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(R"(\[\d\d:\d\d:\d\d\] \[tag\] héllo 42)"))) << lines[2];
    EXPECT_TRUE(std::regex_match(lines[3], std::regex(R"(\[\d\d:\d\d:\d\d\] plain)"))) << lines[3];
}

TEST_F(AppLog, SecondOpenerAppendsWithItsOwnBanner) {
    ASSERT_TRUE(open_app_log(dir.path()));
    app_log("first");
    ASSERT_TRUE(open_app_log(dir.path()));
    app_log("second");
    std::string text = read_file(log());
    EXPECT_EQ(std::count(text.begin(), text.end(), '-') >= 12, true);
    auto first = text.find("first"), second_banner = text.rfind("--- Velunio Printaro started");
    EXPECT_LT(first, second_banner);
    EXPECT_GT(text.find("second"), second_banner);
}

TEST_F(AppLog, MissingFolderMeansLoggingOff) {
    EXPECT_FALSE(open_app_log(dir / "missing"));
    EXPECT_FALSE(app_log_is_open());
    app_log("nothing");  // must not crash or create anything
    EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

TEST_F(AppLog, RotatesAtExactlyThreeMebibytes) {
    ASSERT_TRUE(open_app_log(dir.path()));
    grow_to(log(), app_log_rotate_size - 1);
    app_log("below");
    EXPECT_FALSE(std::filesystem::exists(log() + ".1"));
    EXPECT_NE(read_file(log()).find("below"), std::string::npos);

    grow_to(log(), app_log_rotate_size);
    write_file(log() + ".1", "older generation");
    app_log("at threshold");
    ASSERT_TRUE(std::filesystem::exists(log() + ".1"));
    EXPECT_EQ(std::filesystem::file_size(log() + ".1"), app_log_rotate_size);  // older one replaced
    auto fresh = lines_of(read_file(log()));
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_NE(fresh[0].find("at threshold"), std::string::npos);
}

TEST_F(AppLog, EightThreadsThroughRotationKeepEveryLineWhole) {
    ASSERT_TRUE(open_app_log(dir.path()));
    constexpr int threads = 8, per_thread = 10000;
    // Long lines so that the run crosses the rotation threshold at least once.
    const std::string pad(300, 'x');
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t, &pad] {
            for (int i = 0; i < per_thread; ++i) app_log("T%d L%d %s", t, i, pad.c_str());
        });
    }
    for (auto& w : workers) w.join();

    std::set<std::pair<int, int>> seen;
    std::regex line_re(R"(\[\d\d:\d\d:\d\d\] T(\d) L(\d+) x{300})");
    std::size_t total_lines = 0;
    for (const auto& name : {log() + ".1", log()}) {
        for (const auto& line : lines_of(read_file(name))) {
            if (line.empty() || line.rfind("--- ", 0) == 0) continue;
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, line_re)) << "torn line: " << line.substr(0, 80);
            seen.insert({std::stoi(m[1]), std::stoi(m[2])});
            ++total_lines;
        }
    }
    EXPECT_EQ(seen.size(), total_lines) << "a line was written twice";
    EXPECT_GE(std::filesystem::file_size(log() + ".1"), app_log_rotate_size);
    // Rotation drops only whole older generations, so what survives of each thread is one
    // run of consecutive lines, and the last line written overall is among them.
    bool some_thread_complete = false;
    for (int t = 0; t < threads; ++t) {
        auto first = seen.lower_bound({t, 0});
        if (first == seen.end() || first->first != t) continue;
        int expected = first->second;
        for (auto it = first; it != seen.end() && it->first == t; ++it) ASSERT_EQ(it->second, expected++);
        some_thread_complete = some_thread_complete || expected == per_thread;
    }
    EXPECT_TRUE(some_thread_complete);
}
