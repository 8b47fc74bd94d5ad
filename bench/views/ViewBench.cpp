// Receive view figures:
//  (a) AddRxByte throughput with the receive view shown (offscreen) in the ASCII,
//      HEX and both forms, while a 64 MiB stream arrives through the event loop
//      in 4 KiB batches; the longest gap between 10 ms timer ticks shows whether
//      the event loop was ever blocked.
//  (b) a mode switch replaying a 16 MiB receive history into HEX: time and the
//      growth of resident memory.
#include "ChannelView.h"
#include "MemoView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>

namespace {

constexpr std::size_t kStream = std::size_t{64} << 20;
constexpr std::size_t kBatch = 4096;
constexpr std::size_t kHistory = std::size_t{16} << 20;

double ResidentMiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

// Text-like traffic: printable runs with CR LF, some control and high bytes.
std::string Traffic(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s;
    s.reserve(n);
    while (s.size() < n) {
        const unsigned r = rng() % 100;
        if (r < 2)
            s += "\r\n";
        else if (r < 4)
            s.push_back(static_cast<char>(rng() % 32));
        else if (r < 8)
            s.push_back(static_cast<char>(128 + rng() % 128));
        else
            s.push_back(static_cast<char>(32 + rng() % 95));
    }
    s.resize(n);
    return s;
}

struct TPaintCounter : QObject {
    int Paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) ++Paints;
        return false;
    }
};

struct TChannelWindow {
    QWidget window;
    TMemoView* out = new TMemoView(&window);
    TTxEditor* in = new TTxEditor(&window);
    TChannelView ch;
    TPaintCounter paints;
    TChannelWindow() {
        out->setGeometry(1, 95, 502, 298);
        in->setGeometry(1, 417, 502, 193);
        AttachChannelViews(ch, out, in);
        out->viewport()->installEventFilter(&paints);
        window.resize(504, 611);
        window.show();
        QCoreApplication::processEvents();
    }
};

void Throughput(std::uint8_t mode, const char* name, const std::string& block) {
    TChannelWindow w;
    w.ch.SetMode(mode);
    QEventLoop loop;
    QElapsedTimer clock;
    qint64 lastTick = 0, maxGap = 0;
    QTimer ticker;
    ticker.setInterval(10);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        maxGap = std::max(maxGap, now - lastTick);
        lastTick = now;
    });
    std::size_t delivered = 0;
    std::function<void()> deliver = [&] {
        const std::size_t off = delivered % block.size();
        for (std::size_t i = 0; i < kBatch; ++i)
            w.ch.AddRxByte(static_cast<std::uint8_t>(block[off + i]));
        delivered += kBatch;
        if (delivered < kStream)
            QMetaObject::invokeMethod(&w.window, deliver, Qt::QueuedConnection);
        else
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    };
    clock.start();
    ticker.start();
    QMetaObject::invokeMethod(&w.window, deliver, Qt::QueuedConnection);
    loop.exec();
    const qint64 lastGap = clock.nsecsElapsed() - lastTick;
    maxGap = std::max(maxGap, lastGap);
    const double secs = clock.nsecsElapsed() / 1e9;
    std::printf("(a) %-5s 64 MiB in %.2f s = %6.1f MB/s; longest gap between 10 ms ticks %.1f ms; "
                "%d paints; %llu lines\n",
                name, secs, kStream / secs / 1e6, maxGap / 1e6, w.paints.Paints,
                static_cast<unsigned long long>(w.ch.OutPutList().LineCount()));
    std::fflush(stdout);
}

void Replay() {
    TChannelWindow w;
    const double hist = kHistory / double(1 << 20);
    const std::string history = Traffic(kHistory, 7);
    // Received while in ANSI mode, so no memo holds it yet: the growth below is
    // what the HEX view of a 16 MiB history costs.
    w.ch.SetMode(TChannelView::dmANSI);
    for (const char c : history)
        w.ch.AddRxByte(static_cast<std::uint8_t>(c));
    QCoreApplication::processEvents();
    double before = ResidentMiB();
    QElapsedTimer clock;
    clock.start();
    w.ch.SetMode(TChannelView::dmHEX);
    QCoreApplication::processEvents(); // the one repaint after the replay
    double secs = clock.nsecsElapsed() / 1e9;
    double after = ResidentMiB();
    std::printf("(b) replay of a 16 MiB history into HEX: %.3f s; resident %.1f -> %.1f MiB, "
                "growth %.1f MiB "
                "= %.2f x history; %llu lines\n",
                secs, before, after, after - before, (after - before) / hist,
                static_cast<unsigned long long>(w.ch.OutPutList().LineCount()));
    for (const auto& [mode, name] :
         {std::pair<std::uint8_t, const char*>{TChannelView::dmBoth, "HEX -> both"},
          {TChannelView::dmASCII, "both -> ASCII"},
          {TChannelView::dmHEX, "ASCII -> HEX"}}) {
        before = ResidentMiB();
        clock.restart();
        w.ch.SetMode(mode);
        QCoreApplication::processEvents();
        secs = clock.nsecsElapsed() / 1e9;
        after = ResidentMiB();
        std::printf("    %-13s %.3f s; resident %.1f -> %.1f MiB\n", name, secs, before, after);
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const std::string block = Traffic(1 << 20, 1);
    Replay();
    Throughput(TChannelView::dmASCII, "ASCII", block);
    Throughput(TChannelView::dmHEX, "HEX", block);
    Throughput(TChannelView::dmBoth, "both", block);
    return 0;
}
