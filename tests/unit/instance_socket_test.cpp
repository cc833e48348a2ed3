#include "base/app_log.h"
#include "app/second_instance.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

class InstanceSocket : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* old = std::getenv("XDG_RUNTIME_DIR")) saved = old;
        setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
        open_app_log(logs.path());
    }
    void TearDown() override {
        if (saved.empty()) unsetenv("XDG_RUNTIME_DIR");
        else setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
        close_app_log();
    }
    std::string socket_path() { return runtime / "velunio-printaro/instance.sock"; }
    temp_dir runtime;
    temp_dir logs;
    std::string saved;
};

TEST_F(InstanceSocket, FirstClaimOwnsAPrivateSocketAndALaterClaimFindsIt) {
    EXPECT_EQ(instance_socket_path("/unused"), socket_path());
    ASSERT_EQ(claim_single_instance("/unused"), instance_claim::first);
    struct stat info {};
    ASSERT_EQ(::stat((runtime / "velunio-printaro").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(socket_path().c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(claim_single_instance("/unused"), instance_claim::second);
}

TEST_F(InstanceSocket, SocketLeftByADeadInstanceIsReplaced) {
    std::filesystem::create_directory(runtime / "velunio-printaro");
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socket_path().c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(fd);  // the path stays, nobody listens
    EXPECT_EQ(claim_single_instance("/unused"), instance_claim::first);
    EXPECT_NE(read_file(app_log_path()).find("Replacing stale socket"), std::string::npos);
}

TEST_F(InstanceSocket, FolderThatIsALinkIsNotUsed) {
    temp_dir elsewhere;
    std::filesystem::create_directory_symlink(elsewhere.path(), runtime / "velunio-printaro");
    EXPECT_EQ(claim_single_instance("/unused"), instance_claim::unavailable);
    EXPECT_FALSE(std::filesystem::exists(elsewhere / "instance.sock"));
}

TEST_F(InstanceSocket, NothingListeningMeansNotRunning) {
    EXPECT_EQ(send_hand_over(socket_path(), encode_hand_over_record(std::nullopt)), hand_over_outcome::not_running);
}

}  // namespace
