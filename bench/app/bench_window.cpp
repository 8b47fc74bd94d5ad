// Figures of the running window (offscreen):
//  1. receive throughput from a pseudo-terminal into channel 1's history, ASCII mode;
//  2. ANSI mode under a steady 2 MB/s stream: longest event-loop stall;
//  3. CPU of the idle program with both channels open (null-modem) for 10 s.
// Prints figures; never fails on time.
#include "AppPlatform.h"
#include "FSerPort.h"
#include "Main.h"
#include "Platform.h"
#include "TickDriver.h"
#include "device/PortMap.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <atomic>
#include <cstdio>
#include <pty.h>
#include <random>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {
double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

struct PtyPair {
    int master = -1;
    std::string path;
    PtyPair() {
        int slave = -1;
        char name[128];
        openpty(&master, &slave, name, nullptr, nullptr);
        termios t{};
        tcgetattr(master, &t);
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
        ::close(slave);
        path = name;
    }
    ~PtyPair() { ::close(master); }
    void Write(const char* p, size_t n) {
        while (n) {
            ssize_t w = ::write(master, p, n);
            if (w <= 0) return;
            p += w;
            n -= size_t(w);
        }
    }
};

bool Connect(TTermMain& m, int ch, int comIndex) {
    TChannelUi& c = m.Channel(ch);
    c.PortCombo->setCurrentIndex(comIndex);
    emit c.PortCombo->activated(comIndex);
    c.ComPortBtn->click();
    return c.ComPortBtn->isChecked();
}

// Longest gap between the ticks of a 5 ms timer while `run` is true.
struct StallMeter {
    QTimer timer;
    QElapsedTimer clock;
    qint64 last = 0, worst = 0, ticks = 0;
    StallMeter() {
        timer.setInterval(5);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            const qint64 now = clock.elapsed();
            worst = std::max(worst, now - last);
            last = now;
            ++ticks;
        });
        clock.start();
        timer.start();
    }
    // Counts the time since the last tick too, so a loop that never ticked shows.
    void Finish() { worst = std::max(worst, clock.elapsed() - last); }
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
    QElapsedTimer t;
    t.start();
    std::thread writer([&] {
        for (size_t sent = 0; sent < total; sent += data.size())
            pty.Write(data.data(), data.size());
    });
    StallMeter stall;
    while (m.RxData1().size() < total && t.elapsed() < 120000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    const double secs = t.elapsed() / 1000.0;
    writer.join();
    stall.Finish();
    std::printf("receive (pty -> RxData1, ASCII view): %.1f MB/s (%zu bytes in %.2f s), "
                "longest event-loop stall %lld ms\n",
                m.RxData1().size() / secs / 1e6, m.RxData1().size(), secs, stall.worst);
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
} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    AppPlatform::Install();
    platform::SetBeeper({});
    platform::SetDebugSink([](std::string_view) {});
    TTickServiceRun ticks;
    QTemporaryDir dir;
    TTermMain main(dir.filePath("Zelmar.ini"));
    TSerForm ser(&main);
    main.SetSerForm(&ser);
    main.show();
    if (!QTest::qWaitForWindowExposed(&main)) return 1;
    QTest::qWait(200);
    const QString only = argc > 1 ? argv[1] : QString();
    if (only.isEmpty() || only == "receive") ReceiveThroughput(main);
    if (only.isEmpty() || only == "ansi") AnsiStream(main);
    if (only.isEmpty() || only == "idle") IdleCpu(main);
    return 0;
}
