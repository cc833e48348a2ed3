#include "base/app_log.h"
#include "app/error_reporting.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Runs `crash` in a child that set up error reporting on `dir`; returns the signal that ended it.
template <class F>
int crash_in_child(const std::string& dir, F crash) {
    pid_t pid = ::fork();
    if (pid == 0) {
        open_app_log(dir);
        setup_error_reporting("1.0.4", dir);
        crash();
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

std::vector<std::string> crash_files(const std::string& dir) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        auto name = entry.path().filename().string();
        if (name.rfind("crash-", 0) == 0 && entry.path().extension() == ".txt") files.push_back(entry.path().string());
    }
    return files;
}

}  // namespace

TEST(ErrorReporting, StartupLineSaysReportingIsOff) {
    temp_dir dir;
    ASSERT_TRUE(open_app_log(dir.path()));
    setup_error_reporting("1.0.4", dir.path());
    close_error_reporting();
    close_app_log();
    EXPECT_NE(read_file(dir / "velunio-print.log").find("] [Sentry] Disabled: built without error reporting\n"),
              std::string::npos);
}

TEST(ErrorReporting, FatalSignalLeavesACrashRecordAndStillKillsTheProcess) {
    for (int sig : {SIGSEGV, SIGABRT}) {
        temp_dir dir;
        EXPECT_EQ(crash_in_child(dir.path(), [sig] { ::raise(sig); }), sig);
        auto files = crash_files(dir.path());
        ASSERT_EQ(files.size(), 1u) << "signal " << sig;
        std::string record = read_file(files[0]);
        EXPECT_NE(record.find("signal: " + std::to_string(sig)), std::string::npos) << record;
        EXPECT_NE(record.find("version: 1.0.4"), std::string::npos);
        EXPECT_NE(record.find("release: velunio-printer@1.0.4"), std::string::npos);
        EXPECT_NE(record.find("time: 20"), std::string::npos);
        EXPECT_NE(record.find("backtrace:\n"), std::string::npos);
        EXPECT_GT(record.size(), record.find("backtrace:\n") + 12) << "no frames written";
    }
}
