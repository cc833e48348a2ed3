#include "app/error_reporting.h"
#include "base/app_log.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

// The start-up line says reporting is off; a fatal signal leaves one crash record and still
// ends the process with that signal.
TEST(ErrorReporting, FatalSignalLeavesACrashRecordAndStillKillsTheProcess) {
    for (int sig : {SIGSEGV, SIGABRT}) {
        temp_dir dir;
        pid_t pid = ::fork();
        if (pid == 0) {
            open_app_log(dir.path());
            setup_error_reporting("1.0.4", dir.path());
            ::raise(sig);
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "signal " << sig << ", status " << status;
        EXPECT_TRUE(contains(read_file(dir / "velunio-print.log"), "] [Sentry] Disabled: built without error reporting\n"));
        std::vector<std::string> records;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            if (entry.path().filename().string().starts_with("crash-") && entry.path().extension() == ".txt")
                records.push_back(entry.path().string());
        ASSERT_EQ(records.size(), 1u) << "signal " << sig;
        std::string record = read_file(records[0]);
        for (const std::string& part : {"signal: " + std::to_string(sig), std::string("version: 1.0.4"),
                                        std::string("release: velunio-printer@1.0.4"), std::string("time: 20")})
            EXPECT_TRUE(contains(record, part)) << part << " in\n" << record;
        std::size_t frames = record.find("backtrace:\n");
        EXPECT_TRUE(frames != std::string::npos && record.size() > frames + 12) << "no frames written:\n" << record;
    }
}
