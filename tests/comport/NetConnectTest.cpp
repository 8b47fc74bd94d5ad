// Remote port names and the connection to a port server: the parse, and each
// way a connection fails giving its own reason within the time-out.
#include "device/NetConnect.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

using namespace serial;
using Kind = TRemoteTarget::Kind;

namespace {

// A listening socket on 127.0.0.1 with the given backlog; port() tells where.
struct Listener {
    int fd = -1;
    explicit Listener(int backlog = 8) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(fd, backlog), 0);
    }
    ~Listener() { Close(); }
    void Close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    std::uint16_t port() const {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        return ntohs(a.sin_port);
    }
};

TEST(RemoteName, ParsesHostsAndPortsAndRefusesTheMalformed) {
    TRemoteTarget t;
    ASSERT_TRUE(ParseRemoteTarget("rfc2217://lab-rack-3.example:2001", t));
    EXPECT_EQ(t, (TRemoteTarget{Kind::Rfc2217, "lab-rack-3.example", 2001}));
    ASSERT_TRUE(ParseRemoteTarget("TCP://10.0.0.7:65535", t));
    EXPECT_EQ(t, (TRemoteTarget{Kind::Tcp, "10.0.0.7", 65535}));
    ASSERT_TRUE(ParseRemoteTarget("rfc2217://[fe80::1%eth0]:7", t));
    EXPECT_EQ(t, (TRemoteTarget{Kind::Rfc2217, "fe80::1%eth0", 7}));
    EXPECT_TRUE(IsRemoteName("Rfc2217://"));
    EXPECT_FALSE(IsRemoteName("/dev/ttyS0"));

    for (const char* bad :
         {"rfc2217://", "rfc2217://host", "rfc2217://host:", "rfc2217://:2001", "rfc2217://host:0",
          "rfc2217://host:65536", "rfc2217://host:99999999999", "rfc2217://host:20x1",
          "rfc2217://host:2001/path", "rfc2217://::1:2001", "rfc2217://[::1]2001", "rfc2217://[::1",
          "rfc2217://[host]:1", "rfc2217://a b:1", "rfc2217://user@host:1", "tcp://host:-1",
          "telnet://host:23", "/dev/ttyS0", "null-modem:1a"})
        EXPECT_FALSE(ParseRemoteTarget(bad, t)) << bad;
}

TEST(RemoteConnect, ConnectsNonBlockingWithKeepAlive) {
    Listener l;
    for (const char* host : {"127.0.0.1", "localhost"}) {
        const TConnection c = ConnectTcp(host, l.port());
        ASSERT_GE(c.fd, 0) << host << ": " << c.reason;
        EXPECT_TRUE(::fcntl(c.fd, F_GETFL) & O_NONBLOCK);
        EXPECT_TRUE(::fcntl(c.fd, F_GETFD) & FD_CLOEXEC);
        int on = 0;
        socklen_t len = sizeof on;
        ::getsockopt(c.fd, SOL_SOCKET, SO_KEEPALIVE, &on, &len);
        EXPECT_EQ(on, 1);
        ::close(c.fd);
    }
}

TEST(RemoteConnect, RefusedAndUnansweredEachGiveTheirReasonInTime) {
    std::uint16_t port;
    {
        Listener gone;
        port = gone.port();
    }
    TConnection c = ConnectTcp("127.0.0.1", port);
    EXPECT_EQ(c.fd, -1);
    EXPECT_EQ(c.error, ECONNREFUSED);
    EXPECT_EQ(c.reason, "connection refused by 127.0.0.1:" + std::to_string(port) +
                            " (no server on that port)");

    // A server that never accepts: once its queue is full, further handshakes
    // go unanswered, as with an address nobody answers.
    Listener full(0);
    std::vector<int> held;
    bool timedOut = false;
    for (int i = 0; i < 8 && !timedOut; ++i) {
        const auto start = std::chrono::steady_clock::now();
        c = ConnectTcp("127.0.0.1", full.port(), std::chrono::milliseconds(400));
        const auto took = std::chrono::steady_clock::now() - start;
        if (c.fd >= 0) {
            held.push_back(c.fd);
            continue;
        }
        timedOut = true;
        EXPECT_EQ(c.error, ETIMEDOUT);
        EXPECT_EQ(c.reason,
                  "no answer from 127.0.0.1:" + std::to_string(full.port()) + " within 1 s");
        EXPECT_GE(took, std::chrono::milliseconds(350));
        EXPECT_LT(took, std::chrono::milliseconds(1500));
    }
    EXPECT_TRUE(timedOut);
    for (int fd : held)
        ::close(fd);

    const auto start = std::chrono::steady_clock::now();
    c = ConnectTcp("no-such-host.invalid", 2001, std::chrono::milliseconds(2000));
    EXPECT_EQ(c.fd, -1);
    EXPECT_NE(c.reason.find("no-such-host.invalid"), std::string::npos) << c.reason;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000));
}

} // namespace
