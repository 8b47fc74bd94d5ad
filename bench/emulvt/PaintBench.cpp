// Painting cost of the terminal view off screen: a full repaint of 25 x 80
// cells with varied attributes, and whether a 2 MB/s ANSI stream keeps the
// event loop responsive (repaints coalesce).
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>

#include "EmulVT.h"
#include "Platform.h"

namespace {

std::string VariedScreen(std::mt19937& rng) {
    std::uniform_int_distribution<int> attr(0, 255), run(1, 4), glyph(0x20, 0xFE);
    std::string s = "\x1b[H";
    for (int cell = 0; cell < 25 * 80 - 1;) {
        const int a = attr(rng);
        char seq[40];
        std::snprintf(seq, sizeof seq, "\x1b[0;%s%s3%d;4%dm", a & 8 ? "1;" : "",
                      a & 0x80 ? "5;" : "", a & 7, (a >> 4) & 7);
        s += seq;
        for (int n = run(rng); n > 0 && cell < 25 * 80 - 1; --n, ++cell) {
            int g = glyph(rng);
            if (g == 0x1B) g = 0xDB;
            s += char(g);
            if (cell % 80 == 79) s += "\r\n";
        }
    }
    return s;
}

void FeedAll(TEmulVT& v, const std::string& s) {
    for (char c : s)
        v.FeedChar(c);
}

void FullRepaint(const char* name, int points, int width, int height) {
    std::mt19937 rng(5);
    TEmulVT v;
    v.resize(width, height);
    v.SetFontSize(points);
    v.ClearView();
    v.SetPassive(true);
    v.show();
    QApplication::processEvents();
    FeedAll(v, VariedScreen(rng));
    QElapsedTimer t;
    t.start();
    v.repaint(); // the first paint also renders the glyphs it needs
    const double first = t.nsecsElapsed() / 1e6;
    constexpr int kRounds = 200;
    t.start();
    for (int i = 0; i < kRounds; ++i)
        v.repaint();
    const double each = t.nsecsElapsed() / 1e6 / kRounds;
    std::printf("%-44s %8.2f ms (first paint %.2f ms)\n", name, each, first);
}

// Feeds an ANSI-art stream at 2 MB/s from a 10 ms timer for three seconds and
// records the longest gap between two ticks.
void LiveStream() {
    std::mt19937 rng(6);
    std::string art;
    while (art.size() < (8u << 20))
        art += VariedScreen(rng) + "\r\n\x1b[2J";
    TEmulVT v;
    v.resize(502, 298);
    v.SetFontSize(12);
    v.ClearView();
    v.SetPassive(true);
    v.show();
    QApplication::processEvents();

    struct TPaints : QObject {
        int Count = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint) ++Count;
            return false;
        }
    } paints;
    v.installEventFilter(&paints);

    constexpr std::size_t kPerTick = 20000; // 10 ms at 2 MB/s
    std::size_t pos = 0, fed = 0;
    qint64 worstGap = 0, last = -1;
    QElapsedTimer clock;
    clock.start();
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        if (last >= 0) worstGap = std::max(worstGap, now - last);
        last = now;
        for (std::size_t i = 0; i < kPerTick; ++i) {
            v.FeedChar(art[pos]);
            pos = (pos + 1) % art.size();
        }
        fed += kPerTick;
        if (now >= 3000) QApplication::quit();
    });
    timer.start(10);
    QApplication::exec();
    const double seconds = clock.elapsed() / 1000.0;
    std::printf("%-44s %8.2f MB/s fed, %d paints, longest tick gap %lld ms\n",
                "2 MB/s ANSI stream, 3 s, 502 x 298 view", fed / seconds / 1e6, paints.Count,
                static_cast<long long>(worstGap));
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    platform::SetDebugSink([](std::string_view) {});
    FullRepaint("full repaint 25 x 80, 12 pt, 990 x 410", 12, 990, 410);
    FullRepaint("full repaint 24 x 80 shown, 9 pt, 502 x 298", 9, 502, 298);
    LiveStream();
    return 0;
}
