// Prints a receive view of PAGES pages (default 1000) in the HEX form to a
// PDF "printer" and reports the time taken and the longest stretch during
// which the event loop did not turn (a 1 ms timer measures the turns).
#include "ReceivePrint.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const int pages = argc > 1 ? std::atoi(argv[1]) : 1000;
    QTemporaryDir dir;

    TPrintRequest rq;
    rq.Mode = 1;
    for (int i = 0; i < pages * 80; ++i) { // A4 portrait holds fewer than 80 lines
        std::string s;
        for (int b = 0; b < 20; ++b) {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%02X ", (i + b) & 0xFF);
            s += buf;
        }
        rq.Lines.push_back(s);
    }
    TFakePrintDialog dlg(dir.filePath("long.pdf"));
    rq.Dialog = &dlg;

    QElapsedTimer clock;
    qint64 last = 0, longest = 0;
    int turns = 0;
    QTimer tick;
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        longest = std::max(longest, now - last);
        last = now;
        ++turns;
    });
    tick.start();
    clock.start();
    const TPrintResult r = PrintReceiveView(rq);
    const qint64 total = clock.nsecsElapsed();
    longest = std::max(longest, total - last);
    std::printf("lines %zu  pages %d  total %.2f s  per page %.2f ms  event-loop turns %d  "
                "longest wait %.1f ms\n",
                rq.Lines.size(), r.Pages, total / 1e9, total / 1e6 / std::max(1, r.Pages), turns,
                longest / 1e6);

    // One receive line of a million characters (the memo never holds one,
    // but the device must not slow down with the length of a line).
    TPrintRequest huge;
    huge.Lines.push_back(std::string(1000000, 'A'));
    huge.Dialog = &dlg;
    clock.restart();
    const TPrintResult h = PrintReceiveView(huge);
    std::printf("one line of 1000000 characters: pages %d  total %.2f s\n", h.Pages,
                clock.nsecsElapsed() / 1e9);
    return 0;
}
