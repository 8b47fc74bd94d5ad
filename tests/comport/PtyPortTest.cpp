// The port object on real kernel pseudo-terminals: the data path, exclusive
// opening, failures to open, a far end that goes away, descriptor hygiene.
#include "SendQueue.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <random>
#include <termios.h>
#include <thread>

using namespace testsupport;

namespace {

struct PtyPort {
    Pty pty;
    std::string rx;
    EventLog log; // these outlive the port, whose destructor still raises events
    TComPortN port;
    PtyPort() {
        log.Attach(port);
        log.onRxChar = [this](TCustomComPort* p, int) { ReadAll(p, rx); };
        port.SetPort(pty.name);
    }
    void Open() {
        port.Open();
        pty.CloseSlave(); // from now on only the port holds the slave
    }
};

// Reads what the far end has received within waitMs.
std::string ReadMaster(int master, int waitMs) {
    std::string out;
    pollfd fd{master, POLLIN, 0};
    while (::poll(&fd, 1, waitMs) > 0 && (fd.revents & POLLIN)) {
        char buf[256];
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
        waitMs = 50;
    }
    return out;
}

TEST(PtyPort, OneMebibyteBurstArrivesInOrderAndTypedBytesReachTheFarEnd) {
    PtyPort p;
    ASSERT_FALSE(p.pty.name.empty());
    p.Open();
    EXPECT_TRUE(p.port.Connected());
    std::string data(1 << 20, '\0');
    std::mt19937 rng(7);
    for (auto& c : data)
        c = static_cast<char>(rng()); // includes 0xFF and 0x00
    std::thread writer([&] {
        std::size_t off = 0;
        while (off < data.size()) {
            const ssize_t n = ::write(p.pty.master, data.data() + off,
                                      std::min<std::size_t>(4096, data.size() - off));
            if (n > 0)
                off += static_cast<std::size_t>(n);
            else if (errno != EINTR)
                break;
        }
    });
    const bool all = WaitFor([&] { return p.rx.size() >= data.size(); }, 120s);
    writer.join();
    ASSERT_TRUE(all) << p.rx.size();
    EXPECT_TRUE(p.rx == data);
    EXPECT_EQ(p.log.Count("Error1"), 0);

    const std::string typed("hello\xff\x00world", 12);
    for (char c : typed)
        EXPECT_EQ(p.port.Write(&c, 1), 1);
    EXPECT_EQ(ReadMaster(p.pty.master, 10000), typed);
}

TEST(PtyPort, DeviceWithoutModemLinesReadsAllLinesOff) {
    PtyPort p;
    p.Open();
    EXPECT_EQ(p.log.Joined(), "BeforeOpen AfterOpen CTS- DSR- RLSD-");
    EXPECT_EQ(p.port.Signals(), 0);
    EXPECT_EQ(CodeOf([&] { p.port.SetRTS(true); }), 12) << "a pseudo-terminal has no RTS";
    p.port.SetBreak(true); // accepted and ignored by a pseudo-terminal
    p.port.SetBreak(false);
    // all settings reach the device, including rates without a B constant
    for (TBaudRate r : {br14400, br56000, br128000, br256000, br110})
        p.port.SetBaudRate(r);
    p.port.SetBaudRate(brCustom);
    p.port.SetCustomBaudRate(31250);
    p.port.SetStopBits(sbOne5StopBits);
    for (TParityBits b : {prOdd, prEven, prMark, prSpace, prNone})
        p.port.Parity().SetBits(b);
    p.port.SetDataBits(dbFive);
    for (TFlowControl f : {fcHardware, fcSoftware, fcNone})
        p.port.FlowControl().SetFlowControl(f);
    // flow control Linux does not have is refused, not pretended
    EXPECT_EQ(CodeOf([&] { p.port.FlowControl().SetOutDSRFlow(true); }), 7);
}

// A pseudo-terminal takes every control block but keeps 8 bits and no parity:
// reading the block back tells what the line really runs with.
TEST(PtyPort, ReadBackShowsTheLineSettingsThePtyKept) {
    Pty pty;
    auto dev = serial::CreateFile(pty.name);
    ASSERT_TRUE(dev);
    serial::DCB d{.BaudRate = 56000, .Flags = serial::fBinary, .ByteSize = 5, .Parity = 2};
    ASSERT_TRUE(dev->SetCommState(d));
    serial::DCB back;
    ASSERT_TRUE(dev->GetCommState(back));
    EXPECT_EQ(back.ByteSize, 8);
    EXPECT_EQ(back.Parity, 0);
    EXPECT_EQ(back.BaudRate, 56000u); // rates without a B constant are kept
    EXPECT_EQ(back.StopBits, 0);
    d = {.BaudRate = 19200, .Flags = serial::fBinary, .ByteSize = 8, .Parity = 0, .StopBits = 2};
    ASSERT_TRUE(dev->SetCommState(d));
    ASSERT_TRUE(dev->GetCommState(back));
    EXPECT_EQ(back, d); // what it takes reads back as given
    d.StopBits = 1;
    ASSERT_TRUE(dev->SetCommState(d));
    ASSERT_TRUE(dev->GetCommState(back));
    EXPECT_EQ(back.StopBits, 2); // one and a half is two here
}

// The port raises each kept setting once: again only when the choice or what
// the device kept changes, or on a new connection; a cable end keeps nothing.
TEST(PtyPort, SettingsTheDeviceKeepsAreRaisedOncePerChoice) {
    std::vector<std::string> kept;
    auto attach = [&](TComPortN& port) {
        port.OnSettingsKept = [&](TCustomComPort*, TLineSettings which, const serial::DCB& k) {
            std::string s;
            if (which & SetOf(lnBaudRate)) s += "baud" + std::to_string(k.BaudRate) + " ";
            if (which & SetOf(lnDataBits)) s += "bits" + std::to_string(k.ByteSize) + " ";
            if (which & SetOf(lnParity)) s += "parity" + std::to_string(k.Parity) + " ";
            if (which & SetOf(lnStopBits)) s += "stop" + std::to_string(k.StopBits) + " ";
            kept.push_back(s);
        };
    };
    PtyPort p;
    attach(p.port);
    p.port.SetDataBits(dbFive);
    p.port.Parity().SetBits(prEven);
    p.Open();
    EXPECT_EQ(kept, std::vector<std::string>{"bits8 parity0 "});
    EXPECT_EQ(p.port.DataBits(), dbFive); // the choice stays stored
    kept.clear();
    p.port.SetBaudRate(br115200);
    p.port.SetStopBits(sbTwoStopBits);
    EXPECT_TRUE(kept.empty());
    p.port.Parity().SetBits(prOdd);
    EXPECT_EQ(kept, std::vector<std::string>{"parity0 "});
    p.port.Parity().SetBits(prNone);
    p.port.SetDataBits(dbSeven);
    EXPECT_EQ(kept, (std::vector<std::string>{"parity0 ", "bits8 "}));
    kept.clear();
    p.port.Close();
    p.port.Open();
    EXPECT_EQ(kept, std::vector<std::string>{"bits8 "});

    TComPortN cable;
    attach(cable);
    kept.clear();
    cable.SetPort("null-modem:131a");
    cable.SetDataBits(dbFive);
    cable.Parity().SetBits(prMark);
    cable.SetStopBits(sbOne5StopBits);
    cable.Open();
    cable.SetBaudRate(br256000);
    EXPECT_TRUE(kept.empty());
}

// The send queue on a real port whose output the tty holds: bytes leave in
// order once it lets go; stopping while held hands them back at once; a far
// end that goes away fails the writer once.
TEST(PtyPort, QueuedBytesWaitForAHeldLineInOrderOrComeBackUnsent) {
    PtyPort p;
    const int control = ::open(p.pty.name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(control, 0);
    p.Open();
    TSendQueue q;
    std::atomic<int> failures{0};
    auto start = [&] {
        q.Start([&](const void* b, std::int32_t n) { return p.port.Write(b, n); },
                [&] { p.port.Handle()->PurgeComm(serial::PURGE_TXABORT); },
                [&](const std::string&) { ++failures; });
    };
    start();
    ASSERT_EQ(::tcflow(control, TCOOFF), 0);
    for (char c : std::string("abc"))
        q.Enqueue(std::string(1, c));
    EXPECT_EQ(ReadMaster(p.pty.master, 300), "");
    EXPECT_EQ(q.Pending(), 3u);
    ASSERT_EQ(::tcflow(control, TCOON), 0);
    EXPECT_TRUE(q.WaitIdle(5000));
    EXPECT_EQ(ReadMaster(p.pty.master, 1000), "abc");

    ASSERT_EQ(::tcflow(control, TCOOFF), 0);
    q.Enqueue("xyz");
    std::this_thread::sleep_for(100ms);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(q.Stop(), "xyz");
    EXPECT_LT(MsSince(t0), 1000); // the port's own write would wait 1.3 s
    ASSERT_EQ(::tcflow(control, TCOON), 0);
    EXPECT_EQ(ReadMaster(p.pty.master, 200), "");

    start();
    ASSERT_EQ(::tcflow(control, TCOOFF), 0);
    q.Enqueue("q");
    std::this_thread::sleep_for(100ms);
    p.pty.CloseMaster();
    EXPECT_FALSE(q.WaitIdle(5000));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(failures.load(), 1);
    EXPECT_EQ(q.Stop(), "q");
    ::close(control);
}

TEST(PtyPort, SecondOpenOfATtyOrACableEndFailsWithCode1) {
    Pty pty;
    for (const std::string& name : {pty.name, std::string("null-modem:109a")}) {
        EventLog log;
        TComPortN first, second;
        log.Attach(second);
        first.SetPort(name);
        second.SetPort(name);
        first.Open();
        pty.CloseSlave(); // from now on only the port holds the tty
        int win = 0;
        EXPECT_EQ(CodeOf([&] { second.Open(); }, &win), 1) << name;
        EXPECT_EQ(win, EBUSY) << name;
        EXPECT_FALSE(second.Connected());
        EXPECT_EQ(log.Joined(), "BeforeOpen");
        first.Close();
        second.Open();
        EXPECT_TRUE(second.Connected()) << name;
    }
}

TEST(PtyPort, UnusableNamesFailWithCode1AndTheirErrorNumber) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("comport-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto file = dir / "plain.txt";
    std::ofstream(file) << "not a terminal";
    const std::pair<std::string, int> cases[] = {
        {"/dev/no-such-tty", ENOENT},
        {file.string(), ENOTTY},
        {"/dev/null", ENOTTY},
        {dir.string(), EISDIR},
        {"COM4242", ENOENT},
        {"null-modem:x", ENOENT},
        {"", ENOENT},
    };
    const int fds = OpenDescriptors();
    for (const auto& [name, error] : cases) {
        EventLog log;
        TComPortN port;
        log.Attach(port);
        port.SetPort(name);
        int win = 0;
        std::string text;
        EXPECT_EQ(CodeOf([&] { port.Open(); }, &win, &text), 1) << name;
        EXPECT_EQ(win, error) << name;
        EXPECT_EQ(text, "Unable to open com port (win error code: " + std::to_string(error) + ")");
        EXPECT_FALSE(port.Connected());
        EXPECT_EQ(log.Joined(), "BeforeOpen");
    }
    EXPECT_EQ(OpenDescriptors(), fds);
    std::filesystem::remove_all(dir);
}

TEST(PtyPort, FarEndClosedForGoodGivesDeviceLostWithoutBusyLoopAndLeavesNothing) {
    const int fds = OpenDescriptors();
    {
        PtyPort p;
        p.Open();
        p.pty.CloseMaster();
        ASSERT_TRUE(WaitFor([&] { return p.log.Count("DeviceLost") == 1; }));
        EXPECT_TRUE(p.port.Connected()) << "the owner decides when to close";
        const std::clock_t cpu0 = std::clock(); // the whole process's processor time
        std::this_thread::sleep_for(500ms);
        EXPECT_LT(double(std::clock() - cpu0) / CLOCKS_PER_SEC, 0.1) << "no thread may spin";
        DrainFor(50ms);
        EXPECT_EQ(p.log.Count("DeviceLost"), 1);
        p.log.lines.clear();
        p.port.Close();
        EXPECT_EQ(p.log.Joined(), "CTS- DSR- RLSD- BeforeClose AfterClose");
        unsigned char b;
        EXPECT_EQ(CodeOf([&] { p.port.Read(&b, 1); }), 3);

        // Once the device is back the port works again; as the window does,
        // the owner closes from the notice itself and can then reconnect.
        Pty again, third;
        p.port.SetPort(again.name);
        p.port.Open();
        again.CloseSlave();
        ASSERT_EQ(::write(again.master, "ok", 2), 2);
        ASSERT_TRUE(WaitFor([&] { return p.rx == "ok"; }));
        p.port.OnDeviceLost = [&](TCustomComPort* s) { s->Close(); };
        again.CloseMaster();
        ASSERT_TRUE(WaitFor([&] { return p.log.Count("AfterClose") == 2; }));
        EXPECT_FALSE(p.port.Connected());
        p.port.SetPort(third.name);
        p.port.Open();
        EXPECT_TRUE(p.port.Connected());
    }
    EXPECT_EQ(OpenDescriptors(), fds) << "no descriptor left behind";
}

} // namespace
