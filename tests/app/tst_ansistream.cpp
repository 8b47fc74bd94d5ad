// ANSI mode in the running window: a stream from a pseudo-terminal ends in the
// picture rxview draws for the same bytes.
#include "AnsiPng.h"
#include "AppHarness.h"
#include "ChannelView.h"
#include "EmulVT.h"

#include <QRadioButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <random>
#include <thread>

namespace {

// Colours with two to four parameters, positioning, line ends, CP437 blocks.
std::string DenseArt(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < size) {
        if (rng() % 3 == 0)
            s += "\x1b[" + std::to_string(1 + rng() % 25) + ";" + std::to_string(1 + rng() % 80) +
                 "H";
        else if (rng() % 5 == 0)
            s += "\r\n";
        s += "\x1b[" + std::string(rng() % 2 ? "0;" : "") + (rng() % 2 ? "1;" : "") +
             std::to_string(30 + rng() % 8) + ";" + std::to_string(40 + rng() % 8) + "m";
        for (int n = 2 + int(rng() % 12); n > 0; --n)
            s += rng() % 2 ? char(0xB0 + rng() % 0x30) : char('a' + rng() % 26);
    }
    return s;
}

struct PaintCounter : QObject {
    int Paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) ++Paints;
        return false;
    }
};

// The terminal view as the window's paints left it on the screen.
QImage OnScreen(TTermMain& main, TEmulVT* view) {
    const QPoint at = view->mapTo(&main, QPoint(0, 0));
    return main.screen()
        ->grabWindow(main.winId(), at.x(), at.y(), view->width(), view->height())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
}

QImage Rxview(const std::string& bytes) {
    return emulvt::RenderAnsiImage(bytes, true, 12).convertToFormat(QImage::Format_RGB32);
}

} // namespace

class TstAnsiStream : public QObject {
    Q_OBJECT
private slots:
    void streamFromAPtyEndsAsRxviewShowsIt();
};

void TstAnsiStream::streamFromAPtyEndsAsRxviewShowsIt() {
    AppHarness h;
    QVERIFY(h.Start());
    TChannelUi& c = h.Ch(0);
    QTest::mouseClick(c.ANSIcheck, Qt::LeftButton);
    Pty pty;
    QVERIFY(h.ConnectTo(0, 0, pty.SlavePath));
    const std::string art = DenseArt(3 << 20, 11);
    PaintCounter counter;
    c.EmulVT->installEventFilter(&counter);
    int ticks = 0; // the window's own events run while the stream comes in
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (!h.Main->RxData1().empty() && h.Main->RxData1().size() < art.size()) ++ticks;
    });
    timer.start(5);
    QElapsedTimer t;
    t.start();
    std::thread writer([&] { pty.WriteAll(art.data(), art.size()); });
    QTRY_COMPARE_WITH_TIMEOUT(h.Main->RxData1().size(), art.size(), 60000);
    const qint64 elapsed = t.elapsed();
    writer.join();
    timer.stop();
    c.EmulVT->removeEventFilter(&counter);
    QVERIFY(h.Main->RxData1() == art); // every byte, in order
    QVERIFY2(ticks > 0, "no event ran during the stream");
    // Paints follow the screen's refresh, not the bytes or the reads.
    QVERIFY2(counter.Paints <= elapsed / c.EmulVT->FrameMs() + 5,
             qPrintable(QString("%1 paints in %2 ms").arg(counter.Paints).arg(elapsed)));
    // Once the stream stops, its end is shown without more bytes coming.
    const QImage expected = Rxview(art);
    QTRY_COMPARE(OnScreen(*h.Main, c.EmulVT), expected);
}

QTEST_MAIN(TstAnsiStream)
#include "tst_ansistream.moc"
