// Pieces the window benchmarks share: a raw pseudo-terminal to feed a
// channel, connecting a channel as the user would, CPU time, and the longest
// stall of the event loop.
#pragma once

#include "Main.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <pty.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

namespace bench {

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

} // namespace bench
