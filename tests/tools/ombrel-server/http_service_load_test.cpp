// The server under many clients at once: idle connections do not starve the others, bursts of
// connections are all answered with the same bytes, nothing is left open afterwards, and a
// second server cannot take over a port in use.

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "tests/tools/ombrel-server/server_test_support.h"

namespace ombrel::server {
namespace {

using ombrel::testing::TempFolder;
using testing::FolderPackage;
using testing::PublishOk;
using testing::TRunningServer;

size_t OpenDescriptors() {
    size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count;
}

// A TCP connection to 127.0.0.1:port that sends nothing; closed on destruction.
class IdleConnection {
  public:
    explicit IdleConnection(int port) : fd(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address),
                                       sizeof address) == 0;
    }
    ~IdleConnection() {
        if (fd >= 0) close(fd);
    }
    IdleConnection(const IdleConnection&) = delete;
    IdleConnection& operator=(const IdleConnection&) = delete;

    int fd;
    bool connected = false;
};

class HttpServiceLoadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tmp.Write("core/bin/run", "#!/bin/sh\n");
        tmp.Write("core/README.txt", "readme\n");
        PublishOk(Store(), "demo", "1.0", {FolderPackage("core", tmp / "core")});
    }
    std::string Store() const { return tmp / "store"; }

    TempFolder tmp;
};

TEST_F(HttpServiceLoadTest, IdleConnectionsDoNotStarveOtherClients) {
    TRunningServer server(Store());
    // Clients that connect and then say nothing (slow networks, kept-alive connections of a
    // proxy) each hold a connection until the server's read time-out (5 s).
    std::vector<std::unique_ptr<IdleConnection>> idle;
    for (int i = 0; i < 40; ++i) {
        idle.push_back(std::make_unique<IdleConnection>(server.Port()));
        ASSERT_TRUE(idle.back()->connected) << i;
    }
    auto client = server.Client();
    client->set_read_timeout(3);
    auto res = client->Get("/api/update/install/demo");
    ASSERT_TRUE(res) << "no answer while 40 connections were idle";
    EXPECT_EQ(res->status, 200);
}

TEST_F(HttpServiceLoadTest, ABurstOfClientsIsAnsweredCompletelyAndLeavesNothingOpen) {
    TRunningServer server(Store());
    const std::string expected = server.Client()->Get("/api/update/install/demo")->body;
    ASSERT_FALSE(expected.empty());
    const size_t descriptorsBefore = OpenDescriptors();

    constexpr int kClients = 50;
    constexpr int kRequestsEach = 20;
    std::mutex mutex;
    std::map<std::string, int> outcomes;  // "status length" or "no answer: error"
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&] {
            for (int r = 0; r < kRequestsEach; ++r) {
                // A connection of its own for each request, as a burst of installers has.
                auto client = server.Client();
                auto res = client->Get("/api/update/install/demo");
                std::string outcome =
                    !res ? "no answer: " + httplib::to_string(res.error())
                         : std::to_string(res->status) + (res->body == expected ? " same" : " other");
                std::lock_guard<std::mutex> lock(mutex);
                ++outcomes[outcome];
            }
        });
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(outcomes, (std::map<std::string, int>{{"200 same", kClients * kRequestsEach}}));

    // The server closes each connection once answered; give its threads a moment to do so.
    size_t descriptorsAfter = OpenDescriptors();
    for (int i = 0; i < 100 && descriptorsAfter > descriptorsBefore; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        descriptorsAfter = OpenDescriptors();
    }
    EXPECT_LE(descriptorsAfter, descriptorsBefore);
}

TEST_F(HttpServiceLoadTest, ASecondServerCannotTakeAPortInUse) {
    TRunningServer first(Store());
    TServerOptions options;
    options.Store = Store();
    options.Port = first.Port();
    options.Quiet = true;
    THttpService second(options);
    std::string error;
    EXPECT_FALSE(second.Bind(error));
    EXPECT_EQ(error, "cannot listen on 127.0.0.1 port " + std::to_string(first.Port()) +
                         ": Address already in use");
}

}  // namespace
}  // namespace ombrel::server
