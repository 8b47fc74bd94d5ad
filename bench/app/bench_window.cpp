// Figures of the running window (offscreen):
//  1. receive throughput from a pseudo-terminal into channel 1's history, ASCII mode;
//  2. ANSI mode under a steady 2 MB/s stream: longest event-loop stall;
//  3. CPU of the idle program with both channels open (null-modem) for 10 s;
//  4. "modes": one ANSI-art stream written to the pty as fast as it goes, in ASCII
//     and in ANSI mode by turns: throughput, CPU per MB, longest stall, paints
//     per second, and whether the final picture is rxview's for the same bytes;
//  5. "replay": the switch to ANSI mode with a 50 MB history (and back to ASCII).
// Prints figures; never fails on time. `bench_window modes [MB] [rounds] [POINTS]`,
// `bench_window replay [MB]` run one of them (POINTS: the terminal font, 12 or 9).
#include "../WindowBench.h"
#include "AnsiPng.h"
#include "EmulVT.h"
#include "MemoView.h"
#include "device/PortMap.h"

#include <QEventLoop>
#include <QRadioButton>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

namespace {
using namespace bench;
double ThreadCpuSeconds() {
    return CpuSeconds(RUSAGE_THREAD);
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Runs the event loop (without spinning) until done() holds or ms pass.
template <class F> bool WaitFor(F done, int ms) {
    QElapsedTimer t;
    t.start();
    QEventLoop loop;
    QTimer check;
    check.setInterval(5);
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done() || t.elapsed() >= ms) loop.quit();
    });
    check.start();
    if (!done()) loop.exec();
    return done();
}

// Dense ANSI art: cursor positioning, SGR with two to four parameters
// (bright and normal, backgrounds), CP437 blocks and text, line ends.
std::string AnsiArt(size_t size, unsigned seed) {
    std::string s;
    s.reserve(size + 64);
    std::mt19937 rng(seed);
    while (s.size() < size) {
        switch (rng() % 4) {
        case 0:
            s += "\x1b[" + std::to_string(1 + rng() % 25) + ";" + std::to_string(1 + rng() % 80) +
                 "H";
            break;
        case 1:
            s += "\r\n";
            break;
        default:
            break;
        }
        s += "\x1b[" + std::string(rng() % 2 ? "0;" : "") + (rng() % 2 ? "1;" : "") +
             std::to_string(30 + rng() % 8) + ";" + std::to_string(40 + rng() % 8) + "m";
        const int n = 4 + int(rng() % 13);
        for (int i = 0; i < n; ++i)
            s += rng() % 3 ? static_cast<char>(0xB0 + rng() % 0x30)
                           : static_cast<char>('A' + rng() % 26);
    }
    return s;
}

struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) ++paints;
        return false;
    }
};

void ReceiveThroughput(TTermMain& m) {
    PtyPair pty;
    serial::SetPortMapEntry("COM1", pty.path);
    if (!Connect(m, 0, 0)) {
        std::puts("receive: cannot connect");
        return;
    }
    const size_t total = size_t(32) << 20;
    std::string data(1 << 20, 'x');
    std::mt19937 rng(1);
    for (char& b : data)
        b = static_cast<char>(' ' + rng() % 90);
    qint64 stall = 0;
    const double secs = FeedChannel1(m, pty, data, total, stall);
    std::printf("receive (pty -> RxData1, ASCII view): %.1f MB/s (%zu bytes in %.2f s), "
                "longest event-loop stall %lld ms\n",
                m.RxData1().size() / secs / 1e6, m.RxData1().size(), secs, stall);
    m.Channel(0).ComPortBtn->click();
    m.ClearInpBtn1Click();
}

void AnsiStream(TTermMain& m) {
    PtyPair pty;
    serial::SetPortMapEntry("COM2", pty.path);
    m.Channel(1).ANSIcheck->click();
    if (!Connect(m, 1, 1)) {
        std::puts("ansi: cannot connect");
        return;
    }
    // ANSI-art-like: colours, positioning, CP437 blocks.
    std::string chunk;
    std::mt19937 rng(2);
    while (chunk.size() < 20000) {
        chunk +=
            "\x1b[" + std::to_string(1 + rng() % 25) + ";" + std::to_string(1 + rng() % 80) + "H";
        chunk +=
            "\x1b[" + std::to_string(30 + rng() % 8) + ";" + std::to_string(40 + rng() % 8) + "m";
        for (int i = 0; i < 12; ++i)
            chunk += static_cast<char>(0xB0 + rng() % 0x30);
    }
    std::atomic<bool> stop{false};
    std::atomic<size_t> written{0};
    const double rate = 2e6; // bytes per second
    const int seconds = 5;
    std::thread writer([&] {
        QElapsedTimer w;
        w.start();
        size_t sent = 0;
        while (!stop && w.elapsed() < seconds * 1000) {
            const size_t due = size_t(rate * w.elapsed() / 1000.0);
            while (sent < due) {
                // The stream repeats the chunk, so sequences stay whole across writes.
                const size_t at = sent % chunk.size();
                const size_t n = std::min(chunk.size() - at, due - sent);
                pty.Write(chunk.data() + at, n);
                sent += n;
            }
            written = sent;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    StallMeter stall;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < seconds * 1000 + 500)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    stall.Finish();
    stop = true;
    writer.join();
    QTest::qWait(200);
    std::printf("ANSI mode under a 2 MB/s stream for %d s: %zu of %zu bytes shown, "
                "longest event-loop stall %lld ms\n",
                seconds, m.RxData2().size(), written.load(), stall.worst);
    m.Channel(1).ComPortBtn->click();
}

void IdleCpu(TTermMain& m) {
    serial::ResetPortMap();
    const bool ok = Connect(m, 0, 6) && Connect(m, 1, 7);
    QTest::qWait(500);
    const double cpu0 = CpuSeconds();
    QElapsedTimer t;
    t.start();
    // A plain event loop: QTest::qWait would itself wake every few milliseconds.
    QEventLoop idle;
    QTimer::singleShot(10000, &idle, &QEventLoop::quit);
    idle.exec();
    const double cpu = CpuSeconds() - cpu0;
    std::printf("idle CPU, both channels open%s, eight lamps: %.3f %% over %.1f s\n",
                ok ? "" : " (connect failed)", 100.0 * cpu / (t.elapsed() / 1000.0),
                t.elapsed() / 1000.0);
}
struct ModeRun {
    double mbps = 0, cpuMsPerMb = 0, paintsPerSec = 0;
    qint64 stall = 0;
    bool complete = false, sameAsRxview = true;
};

// Channel 1 in the given mode takes the whole stream from a pty written as
// fast as the kernel takes it.
ModeRun RunMode(TTermMain& m, bool ansi, const std::string& stream, int points) {
    ModeRun r;
    TChannelUi& c = m.Channel(0);
    (ansi ? c.ANSIcheck : c.ASCIIcheck)->click();
    m.ClearInpBtn1Click();
    PtyPair pty;
    serial::SetPortMapEntry("COM1", pty.path);
    if (!Connect(m, 0, 0)) {
        std::puts("modes: cannot connect");
        return r;
    }
    PaintCounter paints;
    c.EmulVT->installEventFilter(&paints);
    std::atomic<double> writerCpu{0};
    const double cpu0 = CpuSeconds();
    QElapsedTimer t;
    t.start();
    std::thread writer([&] {
        pty.Write(stream.data(), stream.size());
        writerCpu = ThreadCpuSeconds();
    });
    StallMeter stall;
    r.complete = WaitFor([&] { return m.RxData1().size() >= stream.size(); }, 120000);
    const double secs = t.elapsed() / 1000.0;
    writer.join();
    stall.Finish();
    const double cpu = CpuSeconds() - cpu0 - writerCpu;
    c.EmulVT->removeEventFilter(&paints);
    const double mb = m.RxData1().size() / 1e6;
    r.mbps = mb / secs;
    r.cpuMsPerMb = 1000.0 * cpu / mb;
    r.paintsPerSec = paints.paints / secs;
    r.stall = stall.worst;
    if (ansi) {
        QTest::qWait(100); // the last refresh
        const QImage shown = c.EmulVT->grab().toImage();
        const QImage rxview = emulvt::RenderAnsiImage(m.RxData1(), true, points);
        r.sameAsRxview =
            r.complete && m.RxData1() == stream && shown.convertToFormat(rxview.format()) == rxview;
    }
    c.ComPortBtn->click();
    m.ClearInpBtn1Click();
    return r;
}

void ModeRace(TTermMain& m, double mb, int rounds, int points) {
    const std::string stream = AnsiArt(size_t(mb * 1e6), 7);
    points = points == 9 ? 9 : 12;
    (points == 9 ? m.ANSIfONT9_1Click() : m.ANSIfont12_1Click());
    std::printf("modes: %.1f MB of dense ANSI art through a pty into channel 1, %d rounds, "
                "%d-point terminal font\n",
                stream.size() / 1e6, rounds, points);
    std::vector<double> ratio, cpuRatio, asciiRate, ansiRate, asciiCpu, ansiCpu, paintRate;
    qint64 worstAscii = 0, worstAnsi = 0;
    bool allSame = true;
    for (int i = 0; i < rounds; ++i) {
        ModeRun ascii, ansi;
        // Alternate which goes first, so a drift in the machine's load evens out.
        if (i % 2 == 0) {
            ascii = RunMode(m, false, stream, points);
            ansi = RunMode(m, true, stream, points);
        } else {
            ansi = RunMode(m, true, stream, points);
            ascii = RunMode(m, false, stream, points);
        }
        std::printf("  round %d: ASCII %5.1f MB/s %6.1f ms CPU/MB stall %3lld ms | "
                    "ANSI %5.1f MB/s %6.1f ms CPU/MB stall %3lld ms, %4.0f paints/s, "
                    "picture %s\n",
                    i + 1, ascii.mbps, ascii.cpuMsPerMb, ascii.stall, ansi.mbps, ansi.cpuMsPerMb,
                    ansi.stall, ansi.paintsPerSec,
                    ansi.sameAsRxview ? "= rxview" : "DIFFERS from rxview");
        asciiRate.push_back(ascii.mbps);
        ansiRate.push_back(ansi.mbps);
        asciiCpu.push_back(ascii.cpuMsPerMb);
        ansiCpu.push_back(ansi.cpuMsPerMb);
        paintRate.push_back(ansi.paintsPerSec);
        ratio.push_back(ansi.mbps / ascii.mbps);
        cpuRatio.push_back(ansi.cpuMsPerMb / ascii.cpuMsPerMb);
        worstAscii = std::max(worstAscii, ascii.stall);
        worstAnsi = std::max(worstAnsi, ansi.stall);
        allSame = allSame && ansi.sameAsRxview && ascii.complete && ansi.complete;
    }
    std::printf("modes, medians: ASCII %.1f MB/s, ANSI %.1f MB/s, ANSI/ASCII throughput %.2f; "
                "CPU ASCII %.1f ms/MB, ANSI %.1f ms/MB, ANSI/ASCII CPU %.2f; longest stall "
                "ASCII %lld ms, ANSI %lld ms; ANSI paints %.0f/s (refresh every %d ms); "
                "final pictures %s\n",
                Median(asciiRate), Median(ansiRate), Median(ratio), Median(asciiCpu),
                Median(ansiCpu), Median(cpuRatio), worstAscii, worstAnsi, Median(paintRate),
                m.Channel(0).EmulVT->FrameMs(),
                allSame ? "all equal to rxview's" : "NOT all equal to rxview's");
}

// A mode switch replays the whole history: to ANSI through the terminal
// view, back to ASCII through the memo.
void Replay(TTermMain& m, double mb) {
    TChannelUi& c = m.Channel(0);
    c.ASCIIcheck->click();
    m.ClearInpBtn1Click();
    const std::string stream = AnsiArt(size_t(mb * 1e6), 9);
    for (char b : stream)
        m.AddRxByte1(static_cast<unsigned char>(b));
    QTest::qWait(50);
    // Wall time, and the window thread's CPU time, which a loaded machine
    // does not stretch.
    std::vector<double> toAnsi, toAscii, cpuAnsi, cpuAscii;
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer t;
        t.start();
        double cpu0 = ThreadCpuSeconds();
        c.ANSIcheck->click();
        c.EmulVT->repaint();
        toAnsi.push_back(t.elapsed() / 1000.0);
        cpuAnsi.push_back(ThreadCpuSeconds() - cpu0);
        QTest::qWait(50);
        t.start();
        cpu0 = ThreadCpuSeconds();
        c.ASCIIcheck->click();
        c.OutPutList->repaint();
        toAscii.push_back(t.elapsed() / 1000.0);
        cpuAscii.push_back(ThreadCpuSeconds() - cpu0);
        QTest::qWait(50);
    }
    std::printf("replay of a %.1f MB history, medians of 3: to ANSI %.3f s (CPU %.3f s), "
                "to ASCII %.3f s (CPU %.3f s)\n",
                stream.size() / 1e6, Median(toAnsi), Median(cpuAnsi), Median(toAscii),
                Median(cpuAscii));
    m.ClearInpBtn1Click();
}
} // namespace

int main(int argc, char** argv) {
    WindowRun run(argc, argv);
    if (!run.Show()) return 1;
    TTermMain& main = run.Main();
    const QString only = argc > 1 ? argv[1] : QString();
    if (only.isEmpty() || only == "receive") ReceiveThroughput(main);
    if (only.isEmpty() || only == "ansi") AnsiStream(main);
    if (only.isEmpty() || only == "idle") IdleCpu(main);
    if (only.isEmpty() || only == "modes")
        ModeRace(main, argc > 2 ? std::atof(argv[2]) : 10, argc > 3 ? std::atoi(argv[3]) : 5,
                 argc > 4 ? std::atoi(argv[4]) : 12);
    if (only.isEmpty() || only == "replay") Replay(main, argc > 2 ? std::atof(argv[2]) : 50);
    return 0;
}
