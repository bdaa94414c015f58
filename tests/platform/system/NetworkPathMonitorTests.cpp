#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "platform/system/NetworkPathMonitor.hpp"
#include "support/ThreadCpuTime.hpp"

using namespace platform;

namespace {

// Runs the watcher's loop on `socketFd` in a thread of its own, counting the
// changes it reports and the processor time it takes.
class Watcher {
  public:
    explicit Watcher(int socketFd) : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        thread_ = std::thread([this, socketFd] {
            const double start = testsupport::threadCpuSeconds();
            NetworkPathMonitor::watchSocket(socketFd, wake_, [this] { changes_.fetch_add(1); });
            cpu_ = testsupport::threadCpuSeconds() - start;
        });
    }
    ~Watcher() {
        if (thread_.joinable()) stop();
        close(wake_);
    }
    // Ends the loop; returns its processor seconds.
    double stop() {
        const std::uint64_t one = 1;
        EXPECT_EQ(write(wake_, &one, sizeof one), ssize_t(sizeof one));
        thread_.join();
        return cpu_;
    }
    int changes() const { return changes_.load(); }

  private:
    int wake_;
    std::thread thread_;
    std::atomic<int> changes_{0};
    double cpu_ = 0;
};

bool waitForChanges(const Watcher& w, int n) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (w.changes() < n && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return w.changes() >= n;
}

bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

}  // namespace

// Each burst of messages is one change; the loop ends when woken, closing the socket.
TEST(NetworkPathMonitorWatch, EachBurstOfMessagesIsAChange) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair), 0);
    Watcher watcher(pair[0]);
    for (int burst = 1; burst <= 3; ++burst) {
        for (int m = 0; m < 5; ++m) ASSERT_EQ(send(pair[1], "x", 1, 0), 1);
        ASSERT_TRUE(waitForChanges(watcher, burst)) << "burst " << burst;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    watcher.stop();
    EXPECT_GE(watcher.changes(), 3);
    EXPECT_LE(watcher.changes(), 15);
    EXPECT_FALSE(isOpen(pair[0]));
    close(pair[1]);
}

// A socket in error (as a routing socket whose buffer overflowed in a burst of
// changes) and a socket whose peer is gone must not make the loop spin: each
// is a change once, then the loop sleeps until woken.
TEST(NetworkPathMonitorWatch, AnErrorOrAHangUpNeitherSpinsNorEndsTheWatch) {
    // Error: a datagram socket "connected" to a port nobody listens on gets
    // the refusal as a pending error.
    const int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(udp, 0);
    sockaddr_in nobody{};
    nobody.sin_family = AF_INET;
    nobody.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    {
        // A port that was free a moment ago.
        const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in any = nobody;
        ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
        socklen_t len = sizeof any;
        ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&any), &len), 0);
        nobody.sin_port = any.sin_port;
        close(probe);
    }
    ASSERT_EQ(connect(udp, reinterpret_cast<sockaddr*>(&nobody), sizeof nobody), 0);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);

    const struct {
        const char* name;
        int fd;
        void (*provoke)(int peer, int self);
        int peer;
    } cases[] = {
        {"a pending error", udp, [](int, int self) { ASSERT_EQ(send(self, "x", 1, 0), 1); }, -1},
        {"a peer that hung up", pair[0], [](int peer, int) { close(peer); }, pair[1]},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Provoked before the watcher starts (the condition stays until read),
        // so that the socket's last use here comes before the watcher's close.
        c.provoke(c.peer, c.fd);
        pollfd pending{c.fd, POLLIN, 0};
        ASSERT_EQ(poll(&pending, 1, 2000), 1);
        Watcher watcher(c.fd);
        ASSERT_TRUE(waitForChanges(watcher, 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const double cpu = watcher.stop();
        EXPECT_LE(watcher.changes(), 2);
        // Spinning for the 300 ms would take all of them.
        EXPECT_LT(cpu, 0.05 * testsupport::kCpuTimeScale);
        EXPECT_FALSE(isOpen(c.fd));
    }
}
