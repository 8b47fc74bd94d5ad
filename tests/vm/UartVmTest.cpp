// The serial component on Linux's own 8250/16550 driver, run inside the test
// VM (tests/vm/run_vm.py boots it). Ports, as the VM is started:
//   /dev/ttyS1  a 16550A whose far end the host harness plays over a socket
//   /dev/ttyS2  a 16550A with nothing attached, used in the UART's loopback
//   the PCI serial card's port, which the harness removes on request
// The driver's own view of a line (TCGETS2, TIOCMGET on a second descriptor)
// is the oracle; the component is used as the serial module uses it.
#include "../comport/TestSupport.h"
#include "SendQueue.h"
#include "SideTty.h"
#include "device/TtyDevice.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sstream>
#include <unistd.h>

using namespace testsupport;
using namespace vmtest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kLinkTty = "/dev/ttyS1";
constexpr const char* kLoopTty = "/dev/ttyS2";

// A crash in the VM has no debugger at hand: print the return addresses
// (addr2line -e comport_vm_tests resolves them on the host).
[[maybe_unused]] const bool kCrashTrace = [] {
    for (int sig : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE}) {
        std::signal(sig, [](int s) {
            void* frames[48];
            const int n = ::backtrace(frames, 48);
            char line[32];
            [[maybe_unused]] auto w = ::write(2, "crash backtrace:", 16);
            for (int i = 0; i < n; ++i) {
                const int len = std::snprintf(line, sizeof line, " %p", frames[i]);
                w = ::write(2, line, static_cast<std::size_t>(len));
            }
            w = ::write(2, "\n", 1);
            std::signal(s, SIG_DFL);
            std::raise(s);
        });
    }
    return true;
}();

// Options the harness passes on the kernel command line ("zelmar.data_kib=64").
std::string KernelOption(const std::string& key, const std::string& fallback) {
    std::ifstream in("/proc/cmdline");
    std::string word;
    while (in >> word)
        if (word.rfind("zelmar." + key + "=", 0) == 0) return word.substr(key.size() + 8);
    return fallback;
}

// The byte stream both ends make from a seed (run_vm.py has the same).
std::string Stream(std::uint32_t seed, std::size_t n) {
    std::string s(n, '\0');
    std::uint32_t x = seed ? seed : 1;
    for (auto& c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x & 0xFF);
    }
    return s;
}

// FNV-1a, 64 bits, as hex: the host's checksum of what it received.
std::string Fnv(const std::string& s) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : s)
        h = (h ^ c) * 0x100000001b3ull;
    char out[17];
    std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
    return out;
}

// The threads of this process.
std::set<int> Tids() {
    std::set<int> tids;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task"))
        tids.insert(std::stoi(e.path().filename().string()));
    return tids;
}

// The one thread that appeared while f ran (the port's event thread).
int NewThread(const std::function<void()>& f) {
    const auto before = Tids();
    f();
    for (int tid : Tids())
        if (!before.count(tid)) return tid;
    return -1;
}

// CPU seconds a thread of this process has used; -1 once it has ended.
double ThreadCpu(int tid) {
    const clockid_t clock = static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6);
    timespec ts{};
    if (clock_gettime(clock, &ts) != 0) return -1;
    return double(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// Share of one CPU that thread tid used while the window thread slept for d;
// -1 if the thread ended meanwhile.
double ThreadCpuPercent(int tid, std::chrono::milliseconds d) {
    const double c0 = ThreadCpu(tid);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(d);
    const double c1 = ThreadCpu(tid);
    if (c0 < 0 || c1 < 0) return -1;
    return (c1 - c0) / std::chrono::duration<double>(Clock::now() - t0).count() * 100.0;
}

// What a thread that only wakes every 20 ms costs this guest meanwhile: under
// full emulation a timer wake-up alone is a visible share of a CPU.
struct TimerReference {
    std::atomic<bool> stop{false};
    std::atomic<int> tid{0};
    std::thread thread{[this] {
        tid = static_cast<int>(::gettid());
        while (!stop)
            std::this_thread::sleep_for(20ms);
    }};
    ~TimerReference() {
        stop = true;
        thread.join();
    }
};

int Threads() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    return -1;
}

// Fast cards run the 16550 from a 14.7456 MHz crystal; the VM's UARTs come
// with the PC's 1.8432 MHz, whose top rate is 115200.
constexpr int kFastBase = 921600;
constexpr int kPcBase = 115200;

// The link to the host harness over ttyS1: commands are lines "@@..." written
// through the port; the host answers with data (and "@@OK" lines) that arrive
// through OnRxChar and one-byte reads, as the serial module reads them.
class HostLink {
public:
    TComPortN port;
    EventLog log;
    std::string rx;
    int breaks = 0;
    TComErrors breakErrors = 0;

    HostLink() {
        port.SetPort(kLinkTty);
        log.Attach(port);
        log.onRxChar = [this](TCustomComPort* p, int) { ReadAll(p, rx); };
        port.OnBreak = [this](TCustomComPort* p) {
            log.Add("Break");
            ++breaks;
            breakErrors |= p->LastErrors();
        };
    }
    ~HostLink() { port.Close(); } // while the handlers' targets still exist

    void Send(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const auto n = std::min<std::size_t>(bytes.size() - done, 4096);
            done += static_cast<std::size_t>(port.Write(bytes.data() + done, std::int32_t(n)));
        }
    }
    void Command(const std::string& line) { Send("@@" + line + "\n"); }

    // Waits (playing the window thread) until n bytes have arrived.
    bool Receive(std::size_t n, std::chrono::milliseconds limit) {
        return WaitFor([&] { return rx.size() >= n; }, limit);
    }
    // Waits for a reply line from the host and takes it out of the data.
    std::string Reply(std::chrono::milliseconds limit = 20s) {
        std::string line;
        WaitFor(
            [&] {
                const auto at = rx.find("@@");
                const auto end = at == std::string::npos ? at : rx.find('\n', at);
                if (end == std::string::npos) return false;
                line = rx.substr(at + 2, end - at - 2);
                rx.erase(at, end - at + 1);
                return true;
            },
            limit);
        return line;
    }
};

// The thread count once it has come down to want (a joined thread leaves the
// kernel's count a moment after the join); what it is after a second if not.
int SettledThreads(int want) {
    // Under full emulation on a busy host a thread can take a while to go.
    const auto end = Clock::now() + 3s;
    int n = Threads();
    while (n != want && Clock::now() < end) {
        std::this_thread::sleep_for(5ms);
        n = Threads();
    }
    return n;
}

// ---- 1. settings reach the driver

class VmSettings : public ::testing::Test {
protected:
    SideTty side{kLoopTty};
    TComPortN port;
    void SetUp() override {
        ASSERT_TRUE(side.IsOpen()) << std::strerror(errno);
        port.SetPort(kLoopTty);
    }
    void TearDown() override {
        port.Close();
        side.SetBaudBase(kPcBase);
    }
};

TEST_F(VmSettings, EveryRateOfTheListAndACustomRateIsWhatTheDriverHolds) {
    ASSERT_TRUE(side.SetBaudBase(kFastBase));
    port.Open();
    for (int r = br110; r <= br256000; ++r) {
        port.SetBaudRate(TBaudRate(r));
        EXPECT_EQ(side.Settings().ospeed, std::uint32_t(BaudRateValue(TBaudRate(r))))
            << "rate " << BaudRateValue(TBaudRate(r));
        EXPECT_EQ(side.Settings().ispeed, side.Settings().ospeed);
    }
    for (std::int32_t custom : {31250, 76800, 250000, 921600}) {
        port.SetCustomBaudRate(custom);
        port.SetBaudRate(brCustom);
        EXPECT_EQ(side.Settings().ospeed, std::uint32_t(custom));
        port.SetBaudRate(br9600);
    }
}

TEST_F(VmSettings, RatesBeyondThePcClockAreRefusedNotClipped) {
    ASSERT_TRUE(side.SetBaudBase(kPcBase));
    port.SetBaudRate(br57600);
    port.SetCustomBaudRate(230400);
    ASSERT_EQ(CodeOf([&] { port.Open(); }), 0);
    ASSERT_EQ(side.Settings().ospeed, 57600u);
    // 230400 has a B constant of its own, 128000 and 256000 do not: the driver
    // quietly keeps the old rate for all three, and the port must say so.
    EXPECT_EQ(CodeOf([&] { port.SetBaudRate(br128000); }), 7);
    EXPECT_EQ(side.Settings().ospeed, 57600u);
    EXPECT_EQ(CodeOf([&] { port.SetBaudRate(br256000); }), 7);
    EXPECT_EQ(CodeOf([&] { port.SetBaudRate(brCustom); }), 7);
    EXPECT_EQ(side.Settings().ospeed, 57600u);
    EXPECT_EQ(CodeOf([&] { port.SetBaudRate(br115200); }), 0);
    EXPECT_EQ(side.Settings().ospeed, 115200u);
}

TEST_F(VmSettings, DataBitsParityAndStopBitsAreWhatTheDriverHolds) {
    port.Open();
    for (int db = dbFive; db <= dbEight; ++db)
        for (int pr = prNone; pr <= prSpace; ++pr)
            for (auto sb : {sbOneStopBit, sbTwoStopBits}) {
                port.SetDataBits(TDataBits(db));
                port.Parity().SetBits(TParityBits(pr));
                port.SetStopBits(sb);
                const auto t = side.Settings();
                SCOPED_TRACE("bits " + std::to_string(db + 5) + " parity " + std::to_string(pr) +
                             " stop " + std::to_string(sb));
                EXPECT_EQ(t.dataBits, db + 5);
                EXPECT_EQ(t.parity, pr);
                EXPECT_EQ(t.twoStop, sb == sbTwoStopBits);
            }
}

TEST_F(VmSettings, DtrAndRtsStayLowThroughOpenAndClose) {
    // The side descriptor raised both lines when it opened; drop them, then
    // watch them while the port is set up, changed and closed. Inside Open
    // they may be seen high: the kernel raises both on every open() of a tty
    // not at B0, before the port can drop them; a watcher that takes the one
    // CPU just then sees that.
    ASSERT_TRUE(side.Clear(kDtr | kRts));
    std::atomic<bool> stop{false}, opening{false};
    std::atomic<int> raised{0}, raisedInOpen{0};
    std::thread watch([&] {
        while (!stop) {
            const bool inOpen = opening;
            const int l = side.Lines();
            if (l >= 0 && (l & (kDtr | kRts))) ++(inOpen ? raisedInOpen : raised);
        }
    });
    for (int i = 0; i < 20; ++i) {
        opening = true;
        port.Open();
        opening = false;
        EXPECT_EQ(side.Lines() & (kDtr | kRts), 0) << "after open";
        port.SetBaudRate(i % 2 ? br19200 : br9600);
        port.Parity().SetBits(i % 2 ? prEven : prNone);
        EXPECT_EQ(side.Lines() & (kDtr | kRts), 0) << "after a change";
        port.Close();
        EXPECT_EQ(side.Lines() & (kDtr | kRts), 0) << "after close";
    }
    stop = true;
    watch.join();
    EXPECT_EQ(raised.load(), 0);
    std::printf("[ vm ] DTR/RTS high outside Open: %d samples; inside Open (the kernel's "
                "open-time raise): %d samples\n",
                raised.load(), raisedInOpen.load());
    // Lines the user raised are theirs: closing does not drop them either.
    port.Open();
    port.SetDTR(true);
    port.SetRTS(true);
    EXPECT_EQ(side.Lines() & (kDtr | kRts), kDtr | kRts);
    port.Close();
    EXPECT_EQ(side.Lines() & (kDtr | kRts), kDtr | kRts);
    side.Clear(kDtr | kRts);
}

// ---- 2. modem lines, with the UART in loopback (RTS->CTS, DTR->DSR,
// OUT1->RI, OUT2->DCD)

class VmModemLines : public ::testing::Test {
protected:
    SideTty side{kLoopTty};
    TComPortN port;
    EventLog log;
    std::vector<Clock::time_point> stamps;

    void SetUp() override {
        ASSERT_TRUE(side.IsOpen()) << std::strerror(errno);
        ASSERT_TRUE(side.Set(kLoop));
        ASSERT_TRUE(side.Clear(kDtr | kRts | kOut1));
        port.SetPort(kLoopTty);
        log.Attach(port);
        auto stamp = [this](TComSignalEvent inner) {
            return [this, inner](TCustomComPort* p, bool on) {
                stamps.push_back(Clock::now());
                inner(p, on);
            };
        };
        port.OnCTSChange = stamp(port.OnCTSChange);
        port.OnDSRChange = stamp(port.OnDSRChange);
        port.OnRLSDChange = stamp(port.OnRLSDChange);
    }
    void TearDown() override {
        port.Close();
        side.Clear(kLoop | kDtr | kRts | kOut1);
        side.Set(kOut2);
    }

    // Runs change(), then waits for exactly `expected` as the new events;
    // returns the time to the first of them.
    long long Expect(const std::function<void()>& change, const std::string& expected) {
        const std::size_t before = log.lines.size();
        const std::size_t stampsBefore = stamps.size();
        const auto t0 = Clock::now();
        change();
        const auto want =
            expected.empty() ? 0 : std::count(expected.begin(), expected.end(), ' ') + 1;
        WaitFor([&] { return log.lines.size() >= before + want; }, 2s);
        DrainFor(100ms); // and nothing more
        std::string got;
        for (auto i = before; i < log.lines.size(); ++i)
            got += (got.empty() ? "" : " ") + log.lines[i];
        EXPECT_EQ(got, expected);
        if (stamps.size() <= stampsBefore) return -1;
        return std::chrono::duration_cast<std::chrono::microseconds>(stamps[stampsBefore] - t0)
            .count();
    }
};

TEST_F(VmModemLines, EachLineChangeArrivesOnceWithItsStateWithin50ms) {
    port.Open();
    // OUT2 is on while the driver has the port open: DCD reads on.
    EXPECT_EQ(log.Joined(), "BeforeOpen AfterOpen CTS- DSR- RLSD+");
    EXPECT_EQ(side.Lines() & (kDtr | kRts), 0);
    log.lines.clear();
    long long worst = 0;
    auto track = [&](long long us) {
        EXPECT_GE(us, 0);
        EXPECT_LT(us, 50'000);
        worst = std::max(worst, us);
    };
    for (int round = 0; round < 5; ++round) {
        track(Expect([&] { port.SetRTS(true); }, "CTS+"));
        track(Expect([&] { port.SetDTR(true); }, "DSR+"));
        track(Expect([&] { port.SetRTS(false); }, "CTS-"));
        track(Expect([&] { port.SetDTR(false); }, "DSR-"));
        track(Expect([&] { side.Clear(kOut2); }, "RLSD-"));
        track(Expect([&] { side.Set(kOut2); }, "RLSD+"));
    }
    // A ring: RI rising.
    Expect([&] { side.Set(kOut1); }, "Ring");
    Expect([&] { side.Clear(kOut1); }, "");
    std::printf("[ vm ] line change to event, worst of 30: %.1f ms\n", worst / 1000.0);
    // No change, no event: the same state again, and idle time.
    const auto seen = log.lines.size();
    port.SetRTS(false);
    port.SetDTR(false);
    DrainFor(300ms);
    EXPECT_EQ(log.lines.size(), seen) << log.Joined();
    EXPECT_EQ(log.lines.size(), 31u);
}

TEST_F(VmModemLines, ChangesSeenTogetherAreDispatchedCtsDsrRlsd) {
    port.Open();
    log.lines.clear();
    // One register write changes all three inputs at once, in the reverse order.
    const int now = side.Lines() & (kDtr | kRts | kOut1 | kOut2 | kLoop);
    Expect([&] { side.SetAll((now & ~kOut2) | kDtr | kRts); }, "CTS+ DSR+ RLSD-");
    Expect([&] { side.SetAll(now); }, "CTS- DSR- RLSD+");
}

TEST_F(VmModemLines, IdlePortCostsUnderHalfAPercentOfACpuBeyondItsTimer) {
    const int tid = NewThread([&] { port.Open(); });
    ASSERT_GT(tid, 0);
    DrainFor(100ms);
    TimerReference reference;
    std::this_thread::sleep_for(50ms);
    const double c0 = ThreadCpu(reference.tid);
    const double pct = ThreadCpuPercent(tid, 3s);
    const double ref = (ThreadCpu(reference.tid) - c0) / 3.0 * 100.0;
    std::printf("[ vm ] idle open port, lines watched: event thread %.3f %% of a CPU; "
                "a bare 20 ms timer thread %.3f %%\n",
                pct, ref);
    EXPECT_GE(pct, 0);
    EXPECT_LT(pct - ref, 0.5);
    EXPECT_LT(pct, 5.0); // whatever the emulation costs, never a busy loop
}

// ---- 3. breaks and 4. data, against the host harness

class VmLink : public ::testing::Test {
protected:
    SideTty side{kLinkTty};
    HostLink link;
    void SetUp() override { ASSERT_TRUE(side.IsOpen()) << std::strerror(errno); }
    void TearDown() override {
        link.port.Close();
        side.SetBaudBase(kPcBase);
    }
    void Open(TBaudRate rate, std::int32_t custom = 9600) {
        link.port.SetCustomBaudRate(custom);
        link.port.SetBaudRate(rate);
        link.port.Open();
    }
    // Asks the host for the bytes and reads them whole.
    void Fetch(const std::string& bytes) {
        std::string hex;
        char h[3];
        for (unsigned char c : bytes) {
            std::snprintf(h, sizeof h, "%02x", c);
            hex += h;
        }
        const auto before = link.rx.size();
        link.Command("RAW " + hex);
        ASSERT_TRUE(link.Receive(before + bytes.size(), 10s)) << link.rx.size() - before;
        DrainFor(50ms);
    }
};

TEST_F(VmLink, EachBreakArrivesOnceAndLeavesTheDataAroundItAlone) {
    Open(br115200);
    // Data ends, then the break, then data again: the host waits for each
    // request, so the UART's receive FIFO is empty when the break comes (the
    // VM's UART model flags a break on whatever byte heads its FIFO).
    const std::string before("\xff\x00\x41\xff", 4), after("\x00\xff\x00\x00\xff", 5);
    std::string expected;
    for (int i = 0; i < 5; ++i) {
        Fetch(before);
        link.Command("BREAK");
        ASSERT_TRUE(WaitFor([&] { return link.breaks == i + 1; }, 5s)) << "break " << i;
        Fetch(after);
        expected += before + after;
    }
    DrainFor(200ms);
    EXPECT_EQ(link.breaks, 5);
    EXPECT_EQ(link.log.Count("Break"), 5);
    EXPECT_EQ(link.breakErrors, SetOf(erBreak));
    EXPECT_EQ(link.rx, expected); // the break's own NUL is not data
    // 0xFF 0x00 0x00 as data is data, not a break.
    link.rx.clear();
    Fetch(std::string("\xff\x00\x00\xff\x00\x00", 6));
    EXPECT_EQ(link.rx, std::string("\xff\x00\x00\xff\x00\x00", 6));
    EXPECT_EQ(link.breaks, 5);
    EXPECT_EQ(link.port.LastErrors(), 0);
    std::printf("[ vm ] breaks sent 5, OnBreak 5, erBreak reported by LastErrors\n");
}

TEST_F(VmLink, RandomBytesArriveWholeAndInOrderAt115200And921600) {
    const std::size_t kib = std::stoul(KernelOption("data_kib", "64"));
    for (std::int32_t rate : {115200, 921600}) {
        SCOPED_TRACE(rate);
        ASSERT_TRUE(side.SetBaudBase(rate > kPcBase ? kFastBase : kPcBase));
        if (rate == 115200)
            Open(br115200);
        else
            Open(brCustom, rate);
        ASSERT_EQ(side.Settings().ospeed, std::uint32_t(rate));
        link.rx.clear();
        const std::size_t n = kib * 1024;
        const std::uint32_t seed = 0x5eed0000u + std::uint32_t(rate);
        const auto t0 = Clock::now();
        link.Command("SEND " + std::to_string(n) + " " + std::to_string(seed));
        ASSERT_TRUE(link.Receive(n, std::chrono::milliseconds(2000 + n / 2)))
            << link.rx.size() << " of " << n;
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        DrainFor(100ms);
        ASSERT_EQ(link.rx.size(), n);
        const std::string want = Stream(seed, n);
        const auto diff = std::mismatch(want.begin(), want.end(), link.rx.begin());
        EXPECT_TRUE(diff.first == want.end())
            << "first difference at " << diff.first - want.begin();
        EXPECT_EQ(link.port.LastErrors(), 0);
        std::printf("[ vm ] %zu KiB at %d: %.2f s, %.1f KiB/s\n", kib, rate, s, kib / s);

        // The other way: what the port writes reaches the host unchanged.
        link.rx.clear();
        const std::string out = Stream(seed ^ 0xFFFFu, 4096) + std::string("\xff\xff\x00\xff", 4);
        link.Command("SUM " + std::to_string(out.size()));
        link.Send(out);
        EXPECT_EQ(link.Reply(), "SUM " + std::to_string(out.size()) + " " + Fnv(out));
        link.port.Close();
    }
}

// ---- 5. a UART that goes away while open

std::string PciSerialTty() {
    for (int i = 0; i < 8; ++i) {
        const std::string dev = "/sys/class/tty/ttyS" + std::to_string(i) + "/device";
        char target[PATH_MAX] = {};
        if (::realpath(dev.c_str(), target) && std::strstr(target, "/pci"))
            return "/dev/ttyS" + std::to_string(i);
    }
    return "";
}

TEST(VmLostDevice, RemovedCardEndsInTheDisconnectPathWithoutSpinningOrLeaking) {
    const std::string tty = PciSerialTty();
    ASSERT_FALSE(tty.empty()) << "no PCI serial port in the VM";
    HostLink link; // to ask the host for the removal
    link.port.Open();
    const int fds = OpenDescriptors(), threads = Threads();
    TComPortN port;
    EventLog log;
    log.Attach(port);
    port.SetPort(tty);
    const int tid = NewThread([&] { port.Open(); });
    ASSERT_GT(tid, 0);
    DrainFor(100ms);
    log.lines.clear();
    const auto t0 = Clock::now();
    link.Command("UNPLUG");
    ASSERT_TRUE(WaitFor([&] { return log.Count("DeviceLost") == 1; }, 15s)) << log.Joined();
    std::printf("[ vm ] %s removed: OnDeviceLost after %lld ms\n", tty.c_str(), MsSince(t0));
    // The event thread stops waiting on a device that is gone: it ends (or, at
    // the least, sleeps) instead of spinning until the user closes the port.
    const double pct = ThreadCpuPercent(tid, 2s);
    std::printf("[ vm ] lost device, port still open: event thread %s\n",
                pct < 0 ? "has ended" : (std::to_string(pct) + " % of a CPU").c_str());
    EXPECT_LT(pct, 0.5);
    DrainFor(200ms);
    EXPECT_EQ(log.Count("DeviceLost"), 1);
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(CodeOf([&] { port.Close(); }), 0);
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(log.Joined(), "DeviceLost CTS- DSR- RLSD- BeforeClose AfterClose");
    EXPECT_EQ(OpenDescriptors(), fds);
    EXPECT_EQ(SettledThreads(threads), threads);
    EXPECT_EQ(CodeOf([&] { port.Open(); }), 1); // the device is gone
}

// ---- 6. many open/close cycles

TEST(VmCycles, AThousandOpenCloseCyclesLeaveNoDescriptorOrThread) {
    TComPortN port;
    port.SetPort(kLoopTty);
    const int before = Threads();
    port.Open(); // whatever the first open sets up once
    port.Close();
    SettledThreads(before);
    const int fds = OpenDescriptors(), threads = Threads();
    const auto t0 = Clock::now();
    for (int i = 0; i < 1000; ++i) {
        port.Open();
        ASSERT_TRUE(port.Connected());
        port.Close();
    }
    const auto ms = MsSince(t0);
    EXPECT_EQ(OpenDescriptors(), fds);
    // A thread of an earlier test may still be on its way out when the count
    // is taken; a leak can only make the count grow.
    EXPECT_LE(SettledThreads(threads), threads);
    std::printf("[ vm ] 1000 open/close cycles: %lld ms; descriptors %d, threads %d before and "
                "after\n",
                ms, fds, threads);
}

// ---- 7. flow control, with the UART in loopback: what the port sends comes
// back to it, and its RTS is its own CTS.

class VmFlowControl : public ::testing::Test {
protected:
    SideTty side{kLoopTty};
    TComPortN port;
    EventLog log;
    std::string rx;
    TSendQueue sender; // writes as a channel does: a held write blocks its thread only

    void SetUp() override {
        ASSERT_TRUE(side.IsOpen()) << std::strerror(errno);
        ASSERT_TRUE(side.Set(kLoop));
        ASSERT_TRUE(side.Clear(kDtr | kRts | kOut1));
        port.SetPort(kLoopTty);
        port.SetBaudRate(br115200);
        // A write the line holds gives up after this long: a fault fails the
        // test instead of hanging the VM.
        port.Timeouts().SetWriteTotalMultiplier(0);
        port.Timeouts().SetWriteTotalConstant(15000);
        log.Attach(port);
        log.onRxChar = [this](TCustomComPort* p, int) { ReadAll(p, rx); };
    }
    void TearDown() override {
        sender.Stop();
        port.Close();
        side.Clear(kLoop | kDtr | kRts | kOut1);
        side.Set(kOut2);
    }
    void StartSending() {
        sender.Start([this](const void* b, std::int32_t n) { return port.Write(b, n); },
                     [this] {
                         if (auto* device = port.Handle()) device->PurgeComm(serial::PURGE_TXABORT);
                     });
    }
    // Bytes in flight somewhere: the sender's queue or the driver's.
    std::string Where() {
        return "rx " + std::to_string(rx.size()) + ", sender " + std::to_string(sender.Pending()) +
               ", driver " + std::to_string(side.OutQueue()) + ", lines " +
               std::to_string(side.Lines());
    }
};

TEST_F(VmFlowControl, CtsLowHoldsOutputAndSwitchingToNoneReleasesItWhole) {
    port.Open();
    StartSending();
    // Output waits for CTS; RTS stays with the port (low), and so, looped
    // back, does CTS.
    port.FlowControl().SetOutCTSFlow(true);
    ASSERT_TRUE(side.Settings().rtsCts);
    ASSERT_EQ(side.Lines() & (kRts | kCts), 0);
    // More than the driver's buffer: part of it waits in the write call.
    const std::string out = Stream(0xC75u, 6000);
    sender.Enqueue(out);
    ASSERT_TRUE(WaitFor([&] { return side.OutQueue() > 0; }, 2s)) << Where();
    DrainFor(500ms);
    EXPECT_EQ(rx.size(), 0u) << "sent although CTS is low";
    EXPECT_GT(side.OutQueue(), 0);
    EXPECT_EQ(sender.Pending(), out.size()) << "a write reported held bytes as sent";

    // Flow control off: the driver lets the held bytes go, in order.
    const auto t0 = Clock::now();
    port.FlowControl().SetFlowControl(fcNone);
    EXPECT_FALSE(side.Settings().rtsCts);
    EXPECT_TRUE(WaitFor([&] { return rx.size() >= out.size(); }, 5s)) << Where();
    const auto ms = MsSince(t0);
    DrainFor(100ms);
    EXPECT_EQ(rx.size(), out.size());
    EXPECT_TRUE(rx == out) << "the held bytes came back changed";
    EXPECT_TRUE(sender.WaitIdle(2000)) << Where();
    EXPECT_EQ(side.OutQueue(), 0);
    std::printf("[ vm ] held output released by flow control off: all %zu bytes after %lld ms\n",
                rx.size(), ms);

    // Held again, then CTS raised (RTS looped back). A 16550 signals the
    // change and the driver restarts output; the emulator's UART shows CTS
    // in loopback but signals no change, so its driver keeps holding. The
    // driver's CTS change count tells which UART this is.
    rx.clear();
    port.FlowControl().SetOutCTSFlow(true);
    const int deltas = side.CtsDeltas();
    const std::string more = Stream(0xC76u, 300);
    sender.Enqueue(more);
    DrainFor(300ms);
    EXPECT_EQ(rx.size(), 0u) << "sent although CTS is low";
    port.SetRTS(true);
    ASSERT_TRUE(WaitFor([&] { return (side.Lines() & kCts) != 0; }, 1s));
    DrainFor(50ms);
    const int signalled = side.CtsDeltas() - deltas;
    if (signalled > 0) {
        EXPECT_TRUE(WaitFor([&] { return rx.size() >= more.size(); }, 2s)) << Where();
    }
    DrainFor(300ms);
    std::printf("[ vm ] CTS raised in loopback: %d CTS change(s) signalled, %zu of %zu held "
                "bytes sent on it\n",
                signalled, rx.size(), more.size());
    port.FlowControl().SetOutCTSFlow(false);
    EXPECT_TRUE(WaitFor([&] { return rx.size() >= more.size(); }, 5s)) << Where();
    DrainFor(50ms);
    EXPECT_TRUE(rx == more) << "the held bytes came back changed";

    // and the line works on unheld
    rx.clear();
    sender.Enqueue("after");
    EXPECT_TRUE(WaitFor([&] { return rx.size() >= 5; }, 2s)) << Where();
    EXPECT_EQ(rx, "after");
}

TEST_F(VmFlowControl, RtsCtsHandshakePassesABlockWholeAndInOrder) {
    // Switched on while open (the handshake list) and set before opening.
    for (bool whileOpen : {true, false}) {
        SCOPED_TRACE(whileOpen ? "switched on while open" : "set before opening");
        if (!whileOpen) port.FlowControl().SetFlowControl(fcHardware);
        port.Open();
        StartSending();
        if (whileOpen) port.FlowControl().SetFlowControl(fcHardware);
        EXPECT_TRUE(side.Settings().rtsCts);
        EXPECT_EQ(side.Lines() & (kRts | kCts), kRts | kCts) << "the driver's RTS is up";
        rx.clear();
        const std::string out = Stream(whileOpen ? 0xB10Cu : 0xB10Du, 4096);
        const auto t0 = Clock::now();
        sender.Enqueue(out);
        EXPECT_TRUE(WaitFor([&] { return rx.size() >= out.size(); }, 5s)) << Where();
        const auto ms = MsSince(t0);
        DrainFor(100ms);
        EXPECT_EQ(rx.size(), out.size());
        EXPECT_TRUE(rx == out) << "the block came back changed";
        EXPECT_EQ(port.LastErrors(), 0);
        std::printf("[ vm ] RTS/CTS handshake, %s: %zu bytes looped back in %lld ms\n",
                    whileOpen ? "switched on while open" : "set before opening", rx.size(), ms);
        // Leaving the handshake keeps RTS where it is: the line's new owner
        // (the RTS button) sets it, so the board sees no pulse.
        port.FlowControl().SetFlowControl(fcNone);
        EXPECT_FALSE(side.Settings().rtsCts);
        EXPECT_TRUE(side.Lines() & kRts) << "leaving the handshake dropped RTS";
        sender.Stop();
        port.Close();
        side.Clear(kRts);
    }
}

TEST_F(VmFlowControl, AFullInputDropsRtsUntilReadAndASettingChangeDoesNotRaiseIt) {
    // Nobody reads: the port's queue fills, then the driver's, and the
    // driver drops RTS, the handshake's "stop sending".
    log.onRxChar = [](TCustomComPort*, int) {};
    port.FlowControl().SetFlowControl(fcHardware);
    port.Open();
    StartSending();
    ASSERT_EQ(side.Lines() & kRts, kRts);
    const std::size_t n = 16384 + 4096 + 1024; // the port's queue, the driver's, and more
    const std::string out = Stream(0xF11u, n);
    sender.Enqueue(out);
    ASSERT_TRUE(WaitFor([&] { return (side.Lines() & kRts) == 0; }, 10s))
        << "RTS stayed up with the input full; " << Where();
    const int queued = port.InputCount();
    // A UART that signals CTS holds the rest with the sender; the emulator's
    // does not, and sends it into the driver's buffer. Let either settle.
    WaitFor([&] { return sender.Pending() == 0 && side.OutQueue() == 0; }, 5s);
    // A setting changed meanwhile leaves RTS to the driver: raising it here
    // would let the far end send into a full buffer.
    port.SetBaudRate(br57600);
    DrainFor(100ms);
    EXPECT_EQ(side.Lines() & kRts, 0) << "a rate change raised RTS while the input is full";
    // Reading frees the input: RTS goes up again and every byte arrives in order.
    const auto t0 = Clock::now();
    EXPECT_TRUE(WaitFor(
        [&] {
            ReadAll(&port, rx);
            return rx.size() >= n || (side.Lines() & kRts);
        },
        5s));
    const auto ms = MsSince(t0);
    EXPECT_TRUE(WaitFor([&] { return (side.Lines() & kRts) != 0; }, 5s)) << Where();
    EXPECT_TRUE(WaitFor(
        [&] {
            ReadAll(&port, rx);
            return rx.size() >= n;
        },
        10s))
        << Where();
    EXPECT_EQ(rx.size(), n);
    EXPECT_TRUE(rx == out) << "the data came back changed";
    EXPECT_EQ(port.LastErrors(), 0);
    std::printf("[ vm ] input full: RTS dropped with %d bytes queued in the port, raised again "
                "%lld ms after reading began; %zu of %zu bytes arrived in order\n",
                queued, ms, rx.size(), n);
}

// The last close of a serial tty waits until the driver has sent what it
// holds, for up to the port's closing wait (30 s): a disconnect while the far
// end holds the line must not wait that out. With an event thread the queues
// are purged before the close; a port without events closes with them full.
TEST_F(VmFlowControl, ClosingWithOutputHeldByCtsOrXoffReturnsAtOnce) {
    for (bool events : {true, false})
        for (bool xoff : {false, true}) {
            const std::string how =
                std::string(xoff ? "XOFF" : "CTS low") + (events ? ", with events" : ", no events");
            SCOPED_TRACE(how);
            ASSERT_TRUE(side.IsOpen() || side.Open(kLoopTty)) << std::strerror(errno);
            ASSERT_TRUE(side.Set(kLoop));
            ASSERT_TRUE(side.Clear(kDtr | kRts | kOut1));
            port.SetEvents(events ? AllComEvents : TComEvents(0));
            port.Open();
            StartSending();
            if (xoff) {
                // Looped back, the port's own XOFF stops its output.
                port.FlowControl().SetXonXoffOut(true);
                sender.Enqueue("\x13");
                ASSERT_TRUE(sender.WaitIdle(2000)) << Where();
                DrainFor(100ms);
            } else {
                port.FlowControl().SetOutCTSFlow(true); // RTS low, so CTS low
            }
            sender.Enqueue(Stream(0xC105u, 300));
            ASSERT_TRUE(WaitFor([&] { return side.OutQueue() > 0; }, 2s)) << Where();
            DrainFor(200ms);
            ASSERT_GT(side.OutQueue(), 0) << "the line did not hold the output; " << Where();
            side.Close(); // the port's descriptor is the tty's last
            const auto t0 = Clock::now();
            sender.Stop();
            port.Close();
            const auto ms = MsSince(t0);
            std::printf("[ vm ] disconnect with 300 bytes held by %s: %lld ms\n", how.c_str(), ms);
            EXPECT_LT(ms, 1500);
            EXPECT_FALSE(port.Connected());
            // The discarded bytes do not come out on the next connection.
            port.FlowControl().SetFlowControl(fcNone);
            port.SetEvents(AllComEvents);
            ASSERT_TRUE(side.Open(kLoopTty));
            rx.clear();
            port.Open();
            EXPECT_EQ(side.OutQueue(), 0);
            DrainFor(200ms);
            EXPECT_EQ(rx, "");
            port.Close();
        }
}

TEST_F(VmFlowControl, ARefusedSettingLeavesRtsAsItWas) {
    // The device alone, below the port's retry of single settings: entering
    // the handshake raises RTS first, and takes it back when the rate is refused.
    ASSERT_EQ(side.BaudBase(), kPcBase);
    auto device = serial::OpenTty(kLoopTty);
    ASSERT_TRUE(device);
    serial::DCB d;
    d.BaudRate = 9600;
    d.Flags = serial::fBinary;
    ASSERT_TRUE(device->SetCommState(d));
    ASSERT_EQ(side.Lines() & kRts, 0);
    d.BaudRate = 230400; // beyond the PC clock: the driver keeps its rate
    d.Flags |= serial::fOutxCtsFlow | serial::fRtsControlHandshake;
    EXPECT_FALSE(device->SetCommState(d));
    EXPECT_EQ(side.Lines() & kRts, 0) << "a refused setting left RTS up";
    d.BaudRate = 9600;
    EXPECT_TRUE(device->SetCommState(d));
    EXPECT_EQ(side.Lines() & (kRts | kCts), kRts | kCts);
    EXPECT_TRUE(side.Settings().rtsCts);
}
} // namespace
