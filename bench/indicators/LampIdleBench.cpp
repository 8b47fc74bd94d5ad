// Measures the CPU a process spends while it shows the main window's eight
// lamps (connected state, a BRK flash under way) and the 55 ms tick runs.
// Usage: indicators_idle_bench [--seconds N] [--blink] [--snapshot FILE.png]
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

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void Wait(QApplication& app, int ms) {
    QTimer::singleShot(ms, Qt::PreciseTimer, &app, &QApplication::quit);
    app.exec();
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    bool blink = false;
    std::string snapshot;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--blink"))
            blink = true;
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
        brk->SetLedFlash(true); // keeps its flash timer running from now on
        if (blink)
            for (TLedCheck* l : {con, cts, dsr, brk}) {
                l->SetChecked(true);
                l->SetLedBlink(true);
            }
    }
    window.show();
    Wait(app, 500); // first paint and settling

    int tickCount = 0;
    const auto counter = TickService().AddIntervalTimer([&] { ++tickCount; });
    TickService().SetInterval(counter, TTickService::TickMs);
    const double cpu0 = CpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    Wait(app, static_cast<int>(seconds * 1000));
    const double cpu = CpuSeconds() - cpu0;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    TickService().Remove(counter);

    std::printf("platform %s, 8 lamps%s, tick service running\n",
                qPrintable(QGuiApplication::platformName()), blink ? " blinking" : "");
    std::printf("idle CPU: %.3f %% of one core over %.1f s (%.3f s CPU; %d ticks, %.1f ms per "
                "tick)\n",
                100.0 * cpu / wall, wall, cpu, tickCount,
                tickCount ? 1000.0 * wall / tickCount : 0.0);
    if (!snapshot.empty()) {
        const bool saved = window.grab().save(QString::fromStdString(snapshot));
        std::printf("snapshot %s: %s\n", snapshot.c_str(), saved ? "saved" : "FAILED");
    }
    return 0;
}
