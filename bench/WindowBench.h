// Pieces the window benchmarks share: the application with its window, a raw
// pseudo-terminal to feed a channel, connecting a channel as the user would,
// CPU time, and the longest stall of the event loop.
#pragma once

#include "AppPlatform.h"
#include "FSerPort.h"
#include "Main.h"
#include "Platform.h"
#include "TickDriver.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <functional>
#include <memory>
#include <pty.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace bench {

// The application, off screen unless a platform is asked for (xcb: the
// figures on a real X server), with the program's window on a settings file
// in a temporary directory.
class WindowRun {
public:
    WindowRun(int& argc, char** argv) : FApp((Offscreen(), argc), argv) {
        AppPlatform::Install();
        platform::SetBeeper({});
        platform::SetDebugSink([](std::string_view) {});
    }
    ~WindowRun() {
        // As in the program: the serial module goes first, then its window.
        FSer.reset();
        FMain.reset();
    }

    QString Dir() const { return FDir.path(); }
    QString File(const QString& name) const { return FDir.filePath(name); }
    // The window on Dir()/Zelmar.ini, made on first use.
    TTermMain& Main() {
        if (!FMain) {
            FMain = std::make_unique<TTermMain>(File("Zelmar.ini"));
            FSer = std::make_unique<TSerForm>(FMain.get());
            FMain->SetSerForm(FSer.get());
        }
        return *FMain;
    }
    // Shows the window and lets it settle; false when it never appears.
    bool Show(int settleMs = 200) {
        Main().show();
        if (!QTest::qWaitForWindowExposed(FMain.get())) return false;
        QTest::qWait(settleMs);
        return true;
    }

private:
    static void Offscreen() {
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    }

    QApplication FApp;
    TTickServiceRun FTicks;
    QTemporaryDir FDir;
    std::unique_ptr<TTermMain> FMain;
    std::unique_ptr<TSerForm> FSer;
};

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
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;
    void Write(const char* p, size_t n) {
        while (n) {
            ssize_t w = ::write(master, p, n);
            if (w <= 0) return;
            p += w;
            n -= size_t(w);
        }
    }
};

// Picks list item `comIndex` (COM1 = 0) and presses connect.
inline bool Connect(TTermMain& m, int ch, int comIndex) {
    TChannelUi& c = m.Channel(ch);
    c.PortCombo->setCurrentIndex(comIndex);
    emit c.PortCombo->activated(comIndex);
    c.ComPortBtn->click();
    return c.ComPortBtn->isChecked();
}

inline double CpuSeconds(int who = RUSAGE_SELF) {
    rusage ru{};
    getrusage(who, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Longest gap between the ticks of a 5 ms timer.
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

// Writes `data` into the pty over and over on a thread until `total` bytes
// went, while the event loop runs until channel 1 holds them (two minutes at
// most); `done` runs before the clock stops. Returns the seconds taken and
// puts the longest event-loop stall in `stallMs`.
inline double FeedChannel1(TTermMain& m, PtyPair& pty, const std::string& data, size_t total,
                           qint64& stallMs, const std::function<void()>& done = {}) {
    QElapsedTimer t;
    t.start();
    std::thread writer([&] {
        for (size_t sent = 0; sent < total; sent += data.size())
            pty.Write(data.data(), data.size());
    });
    StallMeter stall;
    while (m.RxData1().size() < total && t.elapsed() < 120000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (done) done();
    const double secs = t.elapsed() / 1000.0;
    writer.join();
    stall.Finish();
    stallMs = stall.worst;
    return secs;
}

} // namespace bench
