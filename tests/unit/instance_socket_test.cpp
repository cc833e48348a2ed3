#include "base/app_log.h"
#include "app/second_instance.h"
#include "support/temp_dir.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <future>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

class InstanceSocket : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
        open_app_log(logs.path());
    }
    void TearDown() override { close_app_log(); }
    std::string socket_path() { return runtime / "velunio-printaro/instance.sock"; }
    std::string log() { return read_file(app_log_path()); }
    temp_dir runtime, logs;
};

int raised = 0;

// A second start's record travels through the running instance's main loop, which answers it
// once the window was raised; a declared size over the limit is refused unread.
TEST_F(InstanceSocket, FirstClaimOwnsAPrivateSocketThatAnswersHandOvers) {
    EXPECT_EQ(send_hand_over(socket_path(), encode_hand_over_record(std::nullopt)), hand_over_outcome::not_running);
    ASSERT_EQ(claim_single_instance("/unused"), instance_claim::first);
    EXPECT_EQ(file_mode(runtime / "velunio-printaro"), 0700u);
    EXPECT_TRUE(std::filesystem::is_socket(socket_path()));
    EXPECT_EQ(file_mode(socket_path()), 0600u);
    EXPECT_EQ(claim_single_instance("/unused"), instance_claim::second);

    set_bring_to_front_action([] { ++raised; });
    std::vector<std::string> records{encode_hand_over_record(std::nullopt),
                                     std::string("\0\0\x10\0velunioprinter://big", 24)};
    for (const std::string& record : records) {
        auto sent = std::async(std::launch::async, [&] { return send_hand_over(socket_path(), record); });
        while (sent.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
            g_main_context_iteration(nullptr, FALSE);
        EXPECT_EQ(sent.get(), record.size() == 4 ? hand_over_outcome::answered : hand_over_outcome::no_answer);
    }
    EXPECT_EQ(raised, 1);
    EXPECT_TRUE(contains(log(), "[callback] Hand-over of 1048576 bytes refused (limit 65536)"));
    set_bring_to_front_action(nullptr);
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
    EXPECT_TRUE(contains(log(), "Replacing stale socket"));
}

TEST_F(InstanceSocket, FolderThatIsALinkIsNotUsed) {
    temp_dir elsewhere;
    std::filesystem::create_directory_symlink(elsewhere.path(), runtime / "velunio-printaro");
    EXPECT_EQ(claim_single_instance("/unused"), instance_claim::unavailable);
    EXPECT_FALSE(std::filesystem::exists(elsewhere / "instance.sock"));
}

}  // namespace
