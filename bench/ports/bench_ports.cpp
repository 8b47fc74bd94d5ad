// Figures of the hot-plug watch in the running window (offscreen):
//  1. CPU of the idle program for 10 s with both channels open (null-modem) and
//     the watch on /dev, /dev/serial/by-id and a directory of mapped links;
//  2. delay from a device link appearing / going to the port list's new line;
//  3. time of one refresh of both port lists' lines.
// Prints figures; never fails on time.
#include "../WindowBench.h"
#include "IniEditor.h"
#include "PortsDlg.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>

#include <cstdio>

namespace {
using namespace bench;

// Milliseconds until COM1's line in channel 1's list mentions `word`.
qint64 DelayUntil(TTermMain& m, const QString& word) {
    QElapsedTimer t;
    t.start();
    while (!m.Channel(0).PortCombo->itemData(0, PortTextRole).toString().endsWith(word)) {
        if (t.elapsed() > 5000) return -1;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return t.elapsed();
}

} // namespace

int main(int argc, char** argv) {
    WindowRun run(argc, argv);
    QDir(run.Dir()).mkdir("links");
    const QString link = run.File("links/adapter");
    {
        QFile ini(run.File("Zelmar.ini"));
        if (!ini.open(QIODevice::WriteOnly)) return 1;
        ini.write("[Ports]\r\nCOM1=" + link.toUtf8() + "\r\n");
    }
    TTermMain& main = run.Main();
    main.LoadPortMap();
    if (!run.Show(300)) return 1;

    const bool ok = Connect(main, 0, 6) && Connect(main, 1, 7);
    QTest::qWait(500);
    const double cpu0 = CpuSeconds();
    QElapsedTimer t;
    t.start();
    QEventLoop idle; // a plain loop: QTest::qWait would wake every few milliseconds itself
    QTimer::singleShot(10000, &idle, &QEventLoop::quit);
    idle.exec();
    const double cpu = CpuSeconds() - cpu0;
    std::printf("idle CPU, both channels open%s, hot-plug watch running: %.3f %% over %.1f s\n",
                ok ? "" : " (connect failed)", 100.0 * cpu / (t.elapsed() / 1000.0),
                t.elapsed() / 1000.0);

    qint64 worstIn = 0, worstOut = 0;
    const int rounds = 20;
    for (int i = 0; i < rounds; ++i) {
        if (::symlink("/dev/null", link.toLocal8Bit().constData()) != 0) return 1;
        worstIn = std::max(worstIn, DelayUntil(main, "character device"));
        ::unlink(link.toLocal8Bit().constData());
        worstOut = std::max(worstOut, DelayUntil(main, "absent"));
    }
    std::printf("device link appearing / going to the new line, worst of %d: %lld / %lld ms\n",
                rounds, static_cast<long long>(worstIn), static_cast<long long>(worstOut));

    const int refreshes = 200;
    t.restart();
    for (int i = 0; i < refreshes; ++i)
        main.PortList->Refresh();
    std::printf("one refresh of both port lists: %.3f ms\n",
                static_cast<double>(t.nsecsElapsed()) / 1e6 / refreshes);
    return 0;
}
