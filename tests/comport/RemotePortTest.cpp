// Remote ports through the port object: against a real ser2net serving a
// pseudo-terminal, against a plain socket (tcp://), and against a scripted
// server for what a pseudo-terminal cannot show (line states, silent servers).
#include "TestSupport.h"
#include "device/NetDevice.h"
#include "device/Telnet.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>

using namespace testsupport;
using namespace serial::telnet;

namespace {

// A listening socket on 127.0.0.1.
struct Listener {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::uint16_t port = 0;
    explicit Listener(int backlog = 4) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd, backlog);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Listener() { ::close(fd); }
    int Accept() const {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) return -1;
        return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    }
};

std::string ReadFor(int fd, std::size_t want, int waitMs) {
    std::string out;
    pollfd p{fd, POLLIN, 0};
    while (out.size() < want && ::poll(&p, 1, waitMs) > 0) {
        char buf[65536];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

bool WriteAll(int fd, const std::string& s) {
    std::size_t off = 0;
    while (off < s.size()) {
        const ssize_t n = ::write(fd, s.data() + off, s.size() - off);
        if (n > 0)
            off += static_cast<std::size_t>(n);
        else if (n < 0 && errno == EAGAIN)
            ::poll(nullptr, 0, 1);
        else if (errno != EINTR)
            return false;
    }
    return true;
}

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::string s(n, '\0');
    std::mt19937 rng(seed);
    for (auto& c : s)
        c = static_cast<char>(rng());
    return s;
}

// The kernel's termios2 (its header clashes with <termios.h>): the line's
// rate as set, custom rates included.
struct KernelTermios {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
#define TCGETS2_ _IOR('T', 0x2A, KernelTermios)

bool HaveSer2net() {
    return ::access("/usr/sbin/ser2net", X_OK) == 0;
}

// ser2net on 127.0.0.1 serving a pseudo-terminal (the test holds its master).
struct Ser2net {
    Pty pty;
    std::uint16_t port = 0;
    pid_t pid = -1;
    std::string dir;
    Ser2net() {
        {
            Listener probe; // a free port, given back at once
            port = probe.port;
        }
        char tmpl[] = "/tmp/ser2net-test-XXXXXX";
        dir = ::mkdtemp(tmpl);
        const std::string cfg = dir + "/ser2net.yaml";
        std::ofstream(cfg) << "%YAML 1.1\n---\nconnection: &c1\n"
                           << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << port << "\n"
                           << "  connector: serialdev," << pty.name << ",9600n81,local\n";
        pid = ::fork();
        if (pid == 0) {
            ::execl("/usr/sbin/ser2net", "ser2net", "-n", "-c", cfg.c_str(), "-P",
                    (dir + "/pid").c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // Ready once it accepts.
        for (int i = 0; i < 100; ++i) {
            const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(port);
            const bool up = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            ::close(s);
            if (up) break;
            std::this_thread::sleep_for(50ms);
        }
        std::this_thread::sleep_for(100ms); // the probe connection is gone before ours
    }
    void Stop() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
    ~Ser2net() {
        Stop();
        std::filesystem::remove_all(dir);
    }
    std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(port); }
    KernelTermios Line() const {
        KernelTermios t{};
        ::ioctl(pty.slave, TCGETS2_, &t);
        return t;
    }
};

struct RemotePort {
    std::string rx;
    EventLog log;
    TComPortN port;
    explicit RemotePort(const std::string& url) {
        log.Attach(port);
        log.onRxChar = [this](TCustomComPort* p, int) { ReadAll(p, rx); };
        port.SetPort(url);
    }
};

#define NEED_SER2NET()                                                                             \
    if (!HaveSer2net()) GTEST_SKIP() << "ser2net is not installed (scripts/setup installs it)"

TEST(RemotePort, Ser2netCarriesEveryByteBothWaysAndTheLineSettings) {
    NEED_SER2NET();
    Ser2net server;
    RemotePort p(server.Url());
    p.port.Open();
    ASSERT_TRUE(p.port.Connected());

    const std::string down = RandomBytes(1 << 20, 11); // includes 0xFF
    std::thread writer([&] { WriteAll(server.pty.master, down); });
    const bool all = WaitFor([&] { return p.rx.size() >= down.size(); }, 120s);
    writer.join();
    ASSERT_TRUE(all) << p.rx.size();
    EXPECT_TRUE(p.rx == down);

    const std::string up = RandomBytes(1 << 20, 12);
    std::string got;
    std::thread reader([&] { got = ReadFor(server.pty.master, up.size(), 10000); });
    for (std::size_t off = 0; off < up.size(); off += 4096)
        ASSERT_EQ(p.port.Write(up.data() + off, 4096), 4096);
    reader.join();
    EXPECT_TRUE(got == up) << got.size();

    p.port.SetBaudRate(br19200);
    p.port.Parity().SetBits(prEven);
    p.port.SetStopBits(sbTwoStopBits);
    p.port.SetDataBits(dbSeven);
    // A pseudo-terminal keeps 8 bits and no parity; rate and stop bits show.
    const KernelTermios t = server.Line();
    EXPECT_EQ(t.c_ospeed, 19200u);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    p.port.SetStopBits(sbOneStopBit);
    EXPECT_FALSE(server.Line().c_cflag & CSTOPB);
    p.port.SetBaudRate(brCustom);
    p.port.SetCustomBaudRate(31250);
    EXPECT_EQ(server.Line().c_ospeed, 31250u);

    // ser2net acknowledges a break but not DTR on a device without modem
    // lines: that costs one wait of about a second, then no more.
    auto t0 = std::chrono::steady_clock::now();
    p.port.SetBreak(true);
    p.port.SetBreak(false);
    EXPECT_LT(MsSince(t0), 500);
    t0 = std::chrono::steady_clock::now();
    p.port.SetDTR(true);
    EXPECT_GE(MsSince(t0), 900);
    EXPECT_LT(MsSince(t0), 1500);
    t0 = std::chrono::steady_clock::now();
    p.port.SetDTR(false);
    EXPECT_LT(MsSince(t0), 100);
    EXPECT_EQ(p.log.Count("DeviceLost"), 0);
}

TEST(RemotePort, Ser2netStoppedMidStreamGivesOneLossNoSpinNoLeak) {
    NEED_SER2NET();
    const int fds = OpenDescriptors();
    {
        Ser2net server;
        RemotePort p(server.Url());
        p.port.Open();
        std::atomic<bool> run{true};
        std::thread writer([&] {
            const std::string chunk = RandomBytes(1024, 3);
            // Never blocked: once the server is gone nobody drains the pty.
            ::fcntl(server.pty.master, F_SETFL, O_NONBLOCK);
            // Paced and finite, so a reader slowed by sanitizers still empties
            // the port and its handler returns.
            for (int i = 0; run && i < 2048; ++i) {
                [[maybe_unused]] auto n = ::write(server.pty.master, chunk.data(), chunk.size());
                std::this_thread::sleep_for(2ms);
            }
        });
        ASSERT_TRUE(WaitFor([&] { return p.rx.size() > 100000; }));
        server.Stop();
        ASSERT_TRUE(WaitFor([&] { return p.log.Count("DeviceLost") == 1; }, 10s));
        run = false;
        server.pty.CloseSlave(); // wakes the writer
        writer.join();
        const std::clock_t cpu0 = std::clock();
        std::this_thread::sleep_for(500ms);
        EXPECT_LT(double(std::clock() - cpu0) / CLOCKS_PER_SEC, 0.1) << "no thread may spin";
        DrainFor(50ms);
        EXPECT_EQ(p.log.Count("DeviceLost"), 1);
        p.port.Close();
    }
    EXPECT_EQ(OpenDescriptors(), fds) << "no descriptor left behind";
}

TEST(RemotePort, RefusedAndUnansweredConnectionsFailWithTheirReason) {
    std::uint16_t closed;
    {
        Listener l;
        closed = l.port;
    }
    RemotePort p("rfc2217://127.0.0.1:" + std::to_string(closed));
    int win = 0;
    EXPECT_EQ(CodeOf([&] { p.port.Open(); }, &win), 1);
    EXPECT_EQ(win, ECONNREFUSED);
    EXPECT_NE(serial::LastConnectReason().find("connection refused"), std::string::npos);

    // A server whose queue is full never answers a handshake.
    Listener full(0);
    std::vector<std::unique_ptr<serial::ISerialDevice>> held;
    for (int i = 0; i < 8; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        auto d = serial::OpenNetDevice("tcp://127.0.0.1:" + std::to_string(full.port), 400ms);
        if (d) {
            held.push_back(std::move(d));
            continue;
        }
        EXPECT_LT(MsSince(t0), 1000);
        EXPECT_EQ(serial::GetLastError(), ETIMEDOUT);
        EXPECT_NE(serial::LastConnectReason().find("no answer from 127.0.0.1"), std::string::npos);
        break;
    }
    EXPECT_LT(held.size(), 8u);
}

TEST(RemotePort, RawTcpPassesBytesUnchanged) {
    Listener l;
    RemotePort p("tcp://localhost:" + std::to_string(l.port));
    p.port.Open();
    const int peer = l.Accept();
    ASSERT_GE(peer, 0);
    const std::string bytes("\xff\xfa\x2c\x01\xff\xf0\x00zz", 9);
    ASSERT_TRUE(WriteAll(peer, bytes));
    ASSERT_TRUE(WaitFor([&] { return p.rx.size() >= bytes.size(); }));
    EXPECT_EQ(p.rx, bytes);
    EXPECT_EQ(p.port.Write(bytes.data(), 9), 9);
    EXPECT_EQ(ReadFor(peer, 9, 5000), bytes);
    p.port.SetBaudRate(br115200); // no line control: accepted, nothing sent
    p.port.SetDTR(true);
    ::close(peer);
    ASSERT_TRUE(WaitFor([&] { return p.log.Count("DeviceLost") == 1; }));
}

// A scripted server: line states arrive as the port's events and error flags.
TEST(RemotePort, LineAndModemStatesBecomeEvents) {
    Listener l;
    RemotePort p("rfc2217://127.0.0.1:" + std::to_string(l.port));
    std::thread server([&] {
        const int s = l.Accept();
        std::string w{char(IAC), char(DO), char(OPT_COM_PORT)};
        WriteAll(s, w);
        // After the opening (which waits a second for the rate's acknowledgement).
        std::this_thread::sleep_for(1500ms);
        Bytes m;
        auto notify = [&](std::uint8_t cmd, std::uint8_t v) {
            const std::uint8_t payload[] = {std::uint8_t(cmd + 100), v};
            AppendSubnegotiation(m, OPT_COM_PORT, payload, 2);
        };
        notify(serial::rfc2217::NOTIFY_MODEMSTATE, 0x31); // CTS and DSR on
        notify(serial::rfc2217::NOTIFY_LINESTATE, 0x10);  // break
        WriteAll(s, std::string(m.begin(), m.end()));
        std::this_thread::sleep_for(1500ms);
        ::close(s);
    });
    p.port.Open();
    ASSERT_TRUE(WaitFor([&] { return p.log.Count("Break") == 1; }, 5s)) << p.log.Joined();
    EXPECT_EQ(p.log.Count("CTS+"), 1) << p.log.Joined();
    EXPECT_EQ(p.log.Count("DSR+"), 1) << p.log.Joined();
    server.join();
}

} // namespace
