// Remote ports through the port object: against a real ser2net serving a
// pseudo-terminal, against a plain socket (tcp://), and against a scripted
// server for what a pseudo-terminal cannot show (line states, silent servers).
#include "../Ser2netServer.h"
#include "TestSupport.h"
#include "device/NetDevice.h"
#include "device/Telnet.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>

using namespace testsupport;
using namespace serial::telnet;

namespace {

using ser2nettest::RandomBytes;
using ser2nettest::ReadFor;

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

using Ser2net = ser2nettest::Server;

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
    if (!ser2nettest::Installed())                                                                 \
    GTEST_SKIP() << "ser2net is not installed (scripts/setup installs it)"

TEST(RemotePort, Ser2netCarriesEveryByteBothWaysAndTheLineSettings) {
    NEED_SER2NET();
    Ser2net server;
    RemotePort p(server.Url());
    p.port.Open();
    ASSERT_TRUE(p.port.Connected());

    const std::string down = RandomBytes(1 << 20, 11); // includes 0xFF
    std::thread writer([&] { WriteAll(server.master, down); });
    const bool all = WaitFor([&] { return p.rx.size() >= down.size(); }, 120s);
    writer.join();
    ASSERT_TRUE(all) << p.rx.size();
    EXPECT_TRUE(p.rx == down);

    const std::string up = RandomBytes(1 << 20, 12);
    std::string got;
    std::thread reader([&] { got = ReadFor(server.master, up.size(), 10000); });
    for (std::size_t off = 0; off < up.size(); off += 4096)
        ASSERT_EQ(p.port.Write(up.data() + off, 4096), 4096);
    reader.join();
    EXPECT_TRUE(got == up) << got.size();

    // Nobody waits for the server's answers: the line shows the change soon after.
    p.port.SetBaudRate(br19200);
    p.port.Parity().SetBits(prEven);
    p.port.SetStopBits(sbTwoStopBits);
    p.port.SetDataBits(dbSeven);
    // A pseudo-terminal keeps 8 bits and no parity; rate and stop bits show.
    EXPECT_TRUE(WaitFor(
        [&] { return server.Line().c_ospeed == 19200u && (server.Line().c_cflag & CSTOPB); }, 5s));
    p.port.SetStopBits(sbOneStopBit);
    EXPECT_TRUE(WaitFor([&] { return !(server.Line().c_cflag & CSTOPB); }, 5s));
    p.port.SetBaudRate(brCustom);
    p.port.SetCustomBaudRate(31250);
    EXPECT_TRUE(WaitFor([&] { return server.Line().c_ospeed == 31250u; }, 5s));

    // ser2net acknowledges a break but not DTR on a device without modem
    // lines. No call waits for it; the silence is reported once, after about
    // a second, and the next DTR command is not expected to be answered.
    std::mutex m;
    std::vector<std::string> notices;
    ASSERT_TRUE(serial::SetNetDeviceNotice(p.port.Handle(), [&](const std::string& text) {
        std::lock_guard lock(m);
        notices.push_back(text);
    }));
    auto count = [&] {
        std::lock_guard lock(m);
        return notices.size();
    };
    auto t0 = std::chrono::steady_clock::now();
    p.port.SetBreak(true);
    p.port.SetBreak(false);
    p.port.SetDTR(true);
    EXPECT_LT(MsSince(t0), 100);
    ASSERT_TRUE(WaitFor([&] { return count() == 1; }, 5s));
    EXPECT_GE(MsSince(t0), 900);
    EXPECT_NE(notices[0].find("set control"), std::string::npos) << notices[0];
    t0 = std::chrono::steady_clock::now();
    p.port.SetDTR(false);
    p.port.SetRTS(true);
    EXPECT_LT(MsSince(t0), 100);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(count(), 1u) << "reported once per connection and kind";
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
            ::fcntl(server.master, F_SETFL, O_NONBLOCK);
            // Paced and finite, so a reader slowed by sanitizers still empties
            // the port and its handler returns.
            for (int i = 0; run && i < 2048; ++i) {
                [[maybe_unused]] auto n = ::write(server.master, chunk.data(), chunk.size());
                std::this_thread::sleep_for(2ms);
            }
        });
        ASSERT_TRUE(WaitFor([&] { return p.rx.size() > 100000; }));
        server.Stop();
        ASSERT_TRUE(WaitFor([&] { return p.log.Count("DeviceLost") == 1; }, 10s));
        run = false;
        server.CloseSlave(); // wakes the writer
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

// A connection made on another thread is what the port's open takes: no
// second connect; one offered under another name is closed unused.
TEST(RemotePort, AConnectionMadeAheadIsTakenByTheOpenOfItsName) {
    Listener l;
    const std::string url = "tcp://127.0.0.1:" + std::to_string(l.port);
    std::unique_ptr<serial::ISerialDevice> ahead;
    std::thread([&] { ahead = serial::OpenNetDevice(url); }).join();
    ASSERT_TRUE(ahead);
    const int peer = l.Accept();
    ASSERT_GE(peer, 0);
    RemotePort p(url);
    {
        const serial::TPreparedNetDevice offer(url, std::move(ahead));
        p.port.Open();
        EXPECT_TRUE(offer.Taken());
    }
    pollfd again{l.fd, POLLIN, 0};
    EXPECT_EQ(::poll(&again, 1, 200), 0) << "the open connected a second time";
    ASSERT_TRUE(WriteAll(peer, "hi"));
    EXPECT_TRUE(WaitFor([&] { return p.rx == "hi"; }));
    p.port.Close();

    std::unique_ptr<serial::ISerialDevice> other = serial::OpenNetDevice(url);
    ASSERT_TRUE(other);
    const int peer2 = l.Accept();
    {
        const serial::TPreparedNetDevice offer("tcp://127.0.0.1:1", std::move(other));
        EXPECT_FALSE(offer.Taken());
    }
    EXPECT_EQ(ReadFor(peer2, 1, 2000), "") << "closed when nobody took it";
    ::close(peer);
    ::close(peer2);
}

// The rate a server answers with is the one the device then reports, but an
// answer to an earlier request never stands for a later one.
TEST(RemotePort, TheRateIsTheServersAnswerToTheLastRequest) {
    Listener l;
    std::atomic<int> stage{0};
    std::thread server([&] {
        const int s = l.Accept();
        WriteAll(s, std::string{char(IAC), char(DO), char(OPT_COM_PORT)});
        auto rate = [&](std::uint32_t v) {
            const std::uint8_t payload[] = {std::uint8_t(serial::rfc2217::SET_BAUDRATE + 100),
                                            std::uint8_t(v >> 24), std::uint8_t(v >> 16),
                                            std::uint8_t(v >> 8), std::uint8_t(v)};
            Bytes m;
            AppendSubnegotiation(m, OPT_COM_PORT, payload, 5);
            WriteAll(s, std::string(m.begin(), m.end()));
        };
        while (stage < 1)
            std::this_thread::sleep_for(5ms);
        rate(230400); // the answer to the 256000 asked at the open
        while (stage < 2)
            std::this_thread::sleep_for(5ms);
        rate(240000); // an answer to the first of two requests
        while (stage < 3)
            std::this_thread::sleep_for(5ms);
        rate(9600);
        ReadFor(s, 1 << 20, 500);
        ::close(s);
    });
    RemotePort p("rfc2217://127.0.0.1:" + std::to_string(l.port));
    p.port.SetBaudRate(br256000);
    p.port.Open();
    auto rateNow = [&] {
        serial::DCB d;
        p.port.Handle()->GetCommState(d);
        return d.BaudRate;
    };
    EXPECT_EQ(rateNow(), 256000u) << "nothing answered yet";
    stage = 1;
    EXPECT_TRUE(WaitFor([&] { return rateNow() == 230400u; }, 5s));
    p.port.SetBaudRate(br57600);
    p.port.SetBaudRate(br9600);
    stage = 2;
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(rateNow(), 9600u) << "an answer to the 57600 request";
    stage = 3;
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(rateNow(), 9600u);
    p.port.Close();
    server.join();
}

// Connected and given its first settings on another thread, as the window
// does: the open then reports the rate the server made at once, and a silence
// noticed before anyone listened is told to the first listener.
TEST(RemotePort, SettingsAnsweredWhileConnectingShowAtTheOpen) {
    Listener l;
    std::atomic<bool> run{true};
    std::thread server([&] {
        const int s = l.Accept();
        WriteAll(s, std::string{char(IAC), char(DO), char(OPT_COM_PORT)});
        std::string in;
        std::size_t scanned = 0;
        while (run) {
            in += ReadFor(s, 1, 20);
            for (std::size_t at; (at = in.find("\xFF\xFA\x2C", scanned)) != std::string::npos;) {
                const std::size_t end = in.find("\xFF\xF0", at);
                if (end == std::string::npos) break;
                const auto cmd = static_cast<std::uint8_t>(in[at + 3]);
                std::string answer = in.substr(at, end + 2 - at);
                answer[3] = static_cast<char>(cmd + 100);
                if (cmd == serial::rfc2217::SET_BAUDRATE) // 230400, whatever was asked
                    answer = std::string("\xFF\xFA\x2C\x65\x00\x03\x84\x00\xFF\xF0", 10);
                // Answers all but the line controls.
                if (cmd >= 1 && cmd <= 4) WriteAll(s, answer);
                scanned = end + 2;
            }
        }
        ::close(s);
    });
    RemotePort p("rfc2217://127.0.0.1:" + std::to_string(l.port));
    p.port.SetBaudRate(br256000);
    std::vector<std::uint32_t> kept;
    p.port.OnSettingsKept = [&](TCustomComPort*, TLineSettings which, const serial::DCB& d) {
        if (which & SetOf(lnBaudRate)) kept.push_back(d.BaudRate);
    };
    const std::string url = "rfc2217://127.0.0.1:" + std::to_string(l.port);
    std::unique_ptr<serial::ISerialDevice> ahead;
    const serial::DCB first = p.port.BuildDCB();
    std::thread([&] {
        ahead = serial::OpenNetDevice(url);
        if (ahead && ahead->SetCommState(first)) serial::AwaitNetDeviceAnswers(ahead.get(), 1500ms);
    }).join();
    ASSERT_TRUE(ahead);
    {
        const serial::TPreparedNetDevice offer(url, std::move(ahead));
        p.port.Open();
    }
    EXPECT_EQ(kept, std::vector<std::uint32_t>{230400});
    std::vector<std::string> notices;
    serial::SetNetDeviceNotice(p.port.Handle(),
                               [&](const std::string& text) { notices.push_back(text); });
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices[0].find("set control"), std::string::npos) << notices[0];
    p.port.Close();
    run = false;
    server.join();
}

// A loopback of its own (a network namespace, made by a helper thread), so a
// test can pull it down under an open connection: a server that vanishes
// without a word. Needs the right to make namespaces (root); else skipped.
struct IsolatedLoopback {
    int control = -1; // a socket in the namespace, to switch its loopback
    std::unique_ptr<Listener> listener;
    std::vector<std::unique_ptr<serial::ISerialDevice>> devices;

    // Connects `count` devices of the scheme to a listener there.
    bool Start(const std::string& scheme, int count) {
        bool ok = false;
        std::thread([&] {
            if (::unshare(CLONE_NEWNET) != 0) return;
            control = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (control < 0 || !Switch(true)) return;
            listener = std::make_unique<Listener>();
            for (int i = 0; i < count; ++i)
                devices.push_back(serial::OpenNetDevice(
                    scheme + "://127.0.0.1:" + std::to_string(listener->port)));
            ok = std::all_of(devices.begin(), devices.end(), [](auto& d) { return !!d; });
        }).join();
        return ok;
    }
    bool Switch(bool up) const {
        ifreq r{};
        std::strcpy(r.ifr_name, "lo");
        if (::ioctl(control, SIOCGIFFLAGS, &r) != 0) return false;
        r.ifr_flags = static_cast<short>(up ? (r.ifr_flags | IFF_UP) : (r.ifr_flags & ~IFF_UP));
        return ::ioctl(control, SIOCSIFFLAGS, &r) == 0;
    }
    ~IsolatedLoopback() {
        devices.clear();
        listener.reset();
        if (control >= 0) ::close(control);
    }
};

// A server gone without a word is noticed in seconds, both by a quiet
// connection and by one with typed bytes still unanswered (where the socket's
// keep-alive never runs); a server that merely stops reading is not gone.
TEST(RemotePort, AVanishedServerIsNoticedAlsoWhileSending) {
    IsolatedLoopback net;
    if (!net.Start("tcp", 2)) GTEST_SKIP() << "cannot make a network namespace here";
    const std::string url = "tcp://127.0.0.1:" + std::to_string(net.listener->port);
    std::vector<std::unique_ptr<RemotePort>> ports;
    std::vector<int> peers;
    for (auto& d : net.devices) {
        ports.push_back(std::make_unique<RemotePort>(url));
        const serial::TPreparedNetDevice offer(url, std::move(d));
        ports.back()->port.Open();
        peers.push_back(net.listener->Accept());
        ASSERT_GE(peers.back(), 0);
    }
    RemotePort& quiet = *ports[0];
    RemotePort& typing = *ports[1];
    // A server that is there but reads nothing: our bytes wait as long as it likes.
    Listener reachable;
    RemotePort stalled("tcp://127.0.0.1:" + std::to_string(reachable.port));
    stalled.port.Open();
    const int stalledPeer = reachable.Accept();
    stalled.port.Timeouts().SetWriteTotalMultiplier(0);
    stalled.port.Timeouts().SetWriteTotalConstant(100);
    const std::string block(1 << 20, 'x');
    std::atomic<bool> stop{false};
    std::thread flooder([&] {
        try {
            while (!stop)
                stalled.port.Write(block.data(), static_cast<int>(block.size()));
        } catch (const EComPort&) {
        }
    });
    EXPECT_EQ(typing.port.Write("a", 1), 1);
    EXPECT_EQ(ReadFor(peers[1], 1, 2000), "a");

    ASSERT_TRUE(net.Switch(false));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(typing.port.Write("b", 1), 1); // taken by the socket, never answered
    EXPECT_TRUE(WaitFor([&] { return quiet.log.Count("DeviceLost") == 1; }, 20s));
    EXPECT_TRUE(WaitFor([&] { return typing.log.Count("DeviceLost") == 1; }, 20s))
        << "unanswered for " << MsSince(t0) << " ms";
    EXPECT_LT(MsSince(t0), 16000);
    EXPECT_EQ(stalled.log.Count("DeviceLost"), 0) << "a stalled server is no vanished one";
    int win = 0;
    EXPECT_EQ(CodeOf([&] { typing.port.Write("c", 1); }, &win), 2);
    stop = true;
    flooder.join();
    for (int peer : peers)
        ::close(peer);
    ::close(stalledPeer);
}

// A server that pours out data before it even agrees to the line control:
// connecting waits without spinning, and what came meanwhile is handed on
// after the open, whole and in order, with nothing more arriving to announce it.
TEST(RemotePort, DataPouredOutWhileConnectingIsDeliveredAfterTheOpen) {
    Listener l;
    const std::string url = "rfc2217://127.0.0.1:" + std::to_string(l.port);
    const std::string burst = RandomBytes(1 << 21, 9); // 0xFF among them
    Bytes wire;
    AppendData(wire, reinterpret_cast<const std::uint8_t*>(burst.data()), burst.size());
    AppendNegotiation(wire, DO, OPT_COM_PORT);
    std::atomic<bool> done{false};
    std::thread server([&] {
        const int s = l.Accept();
        WriteAll(s, std::string(wire.begin(), wire.end()));
        while (!done)
            ReadFor(s, 1 << 20, 50);
        ::close(s);
    });
    std::unique_ptr<serial::ISerialDevice> ahead;
    long long cpu = 0; // ms
    std::thread([&] {
        timespec t0, t1;
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);
        ahead = serial::OpenNetDevice(url);
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t1);
        cpu = (t1.tv_sec - t0.tv_sec) * 1000 + (t1.tv_nsec - t0.tv_nsec) / 1000000;
    }).join();
    ASSERT_TRUE(ahead);
    EXPECT_LT(cpu, 300) << "ms of CPU while connecting: it spun";
    RemotePort p(url);
    {
        const serial::TPreparedNetDevice offer(url, std::move(ahead));
        p.port.Open();
    }
    EXPECT_TRUE(WaitFor([&] { return p.rx.size() >= burst.size(); }, 10s)) << p.rx.size();
    EXPECT_TRUE(p.rx == burst);
    p.port.Close();
    done = true;
    server.join();
}

bool HaveIpv6Loopback() {
    const int s = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    const bool ok = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

// IPv6 loopback, by address in brackets: raw data against a plain socket and
// the line control against ser2net listening on ::1.
TEST(RemotePort, Ipv6LoopbackCarriesDataAndLineSettings) {
    if (!HaveIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback on this machine";
    const int ls = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(ls, 2), 0);
    ::getsockname(ls, reinterpret_cast<sockaddr*>(&a), &len);
    {
        RemotePort p("tcp://[::1]:" + std::to_string(ntohs(a.sin6_port)));
        p.port.Open();
        const int peer = ::accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_GE(peer, 0);
        const std::string bytes("\xff\x00v6", 4);
        ASSERT_TRUE(WriteAll(peer, bytes));
        EXPECT_TRUE(WaitFor([&] { return p.rx == bytes; }));
        EXPECT_EQ(p.port.Write(bytes.data(), 4), 4);
        EXPECT_EQ(ReadFor(peer, 4, 5000), bytes);
        ::close(peer);
    }
    ::close(ls);

    NEED_SER2NET();
    Ser2net server(true);
    ASSERT_TRUE(server.Running()) << "ser2net did not listen on ::1";
    RemotePort p(server.Url());
    p.port.Open();
    ASSERT_TRUE(p.port.Connected());
    const std::string down = RandomBytes(4096, 5);
    ASSERT_TRUE(WriteAll(server.master, down));
    EXPECT_TRUE(WaitFor([&] { return p.rx == down; }));
    p.port.SetBaudRate(br57600);
    EXPECT_TRUE(WaitFor([&] { return server.Line().c_ospeed == 57600u; }, 5s));
}

} // namespace
