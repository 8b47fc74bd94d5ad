// Measures what a process spends while it shows the main window's eight
// lamps in the connected state with nothing flashing or blinking (a BRK flash
// has come and gone, so LedFlash stays set): CPU, tick-timer ticks run, and
// wake-ups (voluntary context switches of the process).
// Usage: indicators_idle_bench [--seconds N] [--compare] [--blink] [--snapshot FILE.png]
//   --compare  also measures the same lamps with a tick timer that never stops
//   --blink    lets the lamps blink (the timer must run then)
// Uses the offscreen platform unless QT_QPA_PLATFORM is set (e.g. xcb).
#include "LedCheck.h"
#include "TickDriver.h"
#include "TickService.h"

#include <QApplication>
#include <QTimer>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct TUsage {
    double Cpu = 0;
    long WakeUps = 0;
    std::uint64_t Ticks = 0;
    std::chrono::steady_clock::time_point Wall;
    static TUsage Now() {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        TUsage r;
        r.Cpu = double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
        r.WakeUps = u.ru_nvcsw;
        r.Ticks = TickService().TicksRun();
        r.Wall = std::chrono::steady_clock::now();
        return r;
    }
};

void Wait(QApplication& app, int ms) {
    QTimer::singleShot(ms, Qt::PreciseTimer, &app, &QApplication::quit);
    app.exec();
}

void Measure(QApplication& app, const char* what, double seconds) {
    const TUsage a = TUsage::Now();
    Wait(app, static_cast<int>(seconds * 1000));
    const TUsage b = TUsage::Now();
    const double wall = std::chrono::duration<double>(b.Wall - a.Wall).count();
    std::printf("%-44s CPU %.3f %% of one core over %.1f s (%.3f s), %llu ticks, "
                "%.1f wake-ups/s\n",
                what, 100.0 * (b.Cpu - a.Cpu) / wall, wall, b.Cpu - a.Cpu,
                static_cast<unsigned long long>(b.Ticks - a.Ticks),
                double(b.WakeUps - a.WakeUps) / wall);
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 30;
    bool blink = false, compare = false;
    std::string snapshot;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--blink"))
            blink = true;
        else if (!std::strcmp(argv[i], "--compare"))
            compare = true;
        else if (!std::strcmp(argv[i], "--snapshot") && i + 1 < argc)
            snapshot = argv[++i];
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TTickServiceRun ticks;

    QWidget window;
    window.setWindowTitle("lamps");
    window.resize(1010, 95);
    for (int ch = 1; ch <= 2; ++ch) {
        auto* panel = new QWidget(&window);
        panel->setGeometry((ch - 1) * 506, 0, 504, 95);
        const QString n = QString::number(ch);
        TLedCheck* con = MakeLamp(panel, "LEDcon" + n, 66, 19, 25, 25, "", 11, bvLowered, clLime);
        TLedCheck* cts = MakeLamp(panel, "CTSLED" + n, 408, 4, 33, 40, "CTS", 8, bvRaised, clLime);
        TLedCheck* brk = MakeLamp(panel, "BrkLed" + n, 376, 48, 33, 40, "BRK", 8, bvRaised, clRed);
        TLedCheck* dsr = MakeLamp(panel, "DSRLED" + n, 408, 48, 33, 40, "DSR", 8, bvRaised, clLime);
        brk->SetLedFlashTime(500);
        con->SetChecked(true);
        cts->SetChecked(true);
        dsr->SetLedCol(ch == 1 ? clLime : clRed);
        dsr->SetChecked(true);
        QTimer::singleShot(100, brk, [brk] { brk->SetLedFlash(true); }); // a break, once
        if (blink)
            for (TLedCheck* l : {con, cts, dsr, brk}) {
                l->SetChecked(true);
                l->SetLedBlink(true);
            }
    }
    window.show();
    Wait(app, 1000); // first paint, the flash, settling

    std::printf("platform %s, 8 lamps%s\n", qPrintable(QGuiApplication::platformName()),
                blink ? " blinking" : ", connected, the BRK flash over");
    Measure(app, "tick timer only while a lamp needs it:", seconds);
    if (compare) {
        // What the lamps cost while the timer never stopped: one timer that
        // always wants ticks keeps it running.
        const auto keep = TickService().AddIntervalTimer([] {});
        TickService().SetInterval(keep, TTickService::TickMs);
        Measure(app, "tick timer running all the time:", seconds);
        TickService().Remove(keep);
    }
    if (!snapshot.empty()) {
        const bool saved = window.grab().save(QString::fromStdString(snapshot));
        std::printf("snapshot %s: %s\n", snapshot.c_str(), saved ? "saved" : "FAILED");
    }
    return 0;
}
