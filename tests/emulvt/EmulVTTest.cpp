// The terminal view widget, painted off screen: repaint requests, geometry,
// colours, scroll bar, log file, mouse, keyboard and the rxview picture.
#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QRandomGenerator>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <random>
#include <sstream>

#include "EmulVT.h"
#include "Platform.h"
#include "ansi.h"

namespace {

// "^[" stands for ESC.
QByteArray E(QByteArray s) {
    return s.replace("^[", "\x1b");
}

void Feed(TEmulVT& v, const QByteArray& bytes) {
    for (char c : bytes)
        v.FeedChar(c);
}

std::unique_ptr<TEmulVT> ShownView(int points = 12) {
    auto v = std::make_unique<TEmulVT>();
    v->resize(502, 298);
    v->SetFontSize(points);
    v->ClearView();
    v->SetPassive(true);
    v->show();
    if (!QTest::qWaitForWindowExposed(v.get())) qWarning("view not exposed");
    return v;
}

// What FeedChar(c) asks to repaint once the bytes of setup are in.
std::vector<QRect> Invalidated(TEmulVT& v, const QByteArray& setup, char c) {
    Feed(v, E(setup));
    v.TakeInvalidations();
    v.FeedChar(c);
    return v.TakeInvalidations();
}

QImage Painted(TEmulVT& v) {
    v.repaint();
    return v.grab().toImage();
}

QColor At(const QImage& img, QPoint p) {
    return QColor(img.pixel(p));
}

// Centre of cell (r, c) as painted, window rows counted from the top.
QPoint CellCentre(const TEmulVT& v, int r, int c) {
    return {v.ColumnX(c) + 6 + v.CharWidth() / 2,
            v.RowY(r) + 4 + v.TextLeading() + v.LineHeight() / 2};
}

QByteArray SgrFor(int attr) {
    return QByteArray("\x1b[0;") + (attr & 0x08 ? "1;" : "") + (attr & 0x80 ? "5;" : "") +
           QByteArray::number(30 + (attr & 7)) + ";" + QByteArray::number(40 + ((attr >> 4) & 7)) +
           "m";
}

// Colours, positioning, line ends, CP437 blocks and text, packed densely.
QByteArray DenseArt(int size, unsigned seed) {
    std::mt19937 rng(seed);
    QByteArray s;
    while (s.size() < size) {
        if (rng() % 3 == 0)
            s += "\x1b[" + QByteArray::number(1 + rng() % 25) + ";" +
                 QByteArray::number(1 + rng() % 80) + "H";
        else if (rng() % 5 == 0)
            s += "\r\n";
        s += SgrFor(int(rng() % 256));
        for (int n = 2 + int(rng() % 12); n > 0; --n)
            s += rng() % 2 ? char(0xB0 + rng() % 0x30) : char('a' + rng() % 26);
    }
    return s;
}

// Counts the paints a widget receives.
struct PaintCounter : QObject {
    int Paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) ++Paints;
        return false;
    }
};

// What the window system holds of a top-level view: what its paints left.
QImage OnScreen(TEmulVT& v) {
    return v.screen()->grabWindow(v.winId()).toImage().convertToFormat(QImage::Format_RGB32);
}

} // namespace

class TestEmulVT : public QObject {
    Q_OBJECT
private slots:
    void init() {
        platform::SetDebugSink([](std::string_view) {});
    } // junk makes many reports
    void cleanup() { platform::SetDebugSink(nullptr); }

    void freshViewShowsBanner() {
        TEmulVT v;
        v.resize(502, 298);
        const emulvt::TLine& row = v.Screen().RowAt(0);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(row.Chars.data()), 7), "EmulVT ");
        QCOMPARE(QPoint(v.Screen().CurCol(), v.Screen().CurRow()), QPoint(0, 1));
        const QImage img = v.grab().toImage();
        int brightest = 0; // light grey ink in the first cells
        for (int x = 6; x < 6 + 6 * v.CharWidth(); ++x)
            for (int y = 4 + v.TextLeading(); y < 4 + v.TextLeading() + v.LineHeight(); ++y)
                brightest = std::max(brightest, At(img, {x, y}).green());
        QVERIFY(brightest >= 150);
    }

    void invalidationRectangles() {
        auto v = ShownView();
        v->TakeInvalidations();
        v->ClearView();
        QVERIFY(v->TakeInvalidations().empty()); // ClearView asks for nothing itself
        const auto whole = [&v](const std::vector<QRect>& r) {
            return std::find(r.begin(), r.end(), v->rect()) != r.end();
        };
        QVERIFY(whole(Invalidated(*v, "", 'x'))); // but the next byte repaints everything
        Painted(*v);
        // The cell (0,0) with the left margin its background covers, and the
        // cursor's cell (0,1).
        const int tl = v->TextLeading();
        QCOMPARE(Invalidated(*v, "^[[H", 'A'),
                 (std::vector<QRect>{QRect(0, 4 + tl, 18, 16), QRect(18, 4, 12, 16)}));
        QVERIFY(whole(Invalidated(*v, "^[[25;1H", '\n')));
        v->ScrollBar()->setValue(7);
        QCOMPARE(v->ViewTop(), 7);
        QVERIFY(Invalidated(*v, "^[[2;1H", 'A').empty()); // row 1 lies above the window
        QCOMPARE(Invalidated(*v, "^[[9;1H", 'B'),         // row 8 is window row 1
                 (std::vector<QRect>{QRect(0, 20 + tl, 18, 16), QRect(18, 20, 12, 16)}));
    }

    void eighteenRowsFitAndTheScrollBarReachesTheRest() {
        auto v = ShownView();
        QCOMPARE(QSize(v->CharWidth(), v->LineHeight()), QSize(12, 16));
        QVERIFY(!v->Font().bold());
        for (int r = 0; r < 25; ++r)
            Feed(*v, E("^[[" + QByteArray::number(r + 1) + ";1H^[[0;4" +
                       QByteArray::number(1 + r % 6) + "m^[[K"));
        Feed(*v, E("^[[0m"));
        QImage img = Painted(*v);
        for (int r = 0; r < 18; ++r)
            QCOMPARE(At(img, {100, CellCentre(*v, r, 0).y()}), TEmulVT::Palette(1 + r % 6));
        // row 18 would reach below the bottom margin: not even partly drawn
        for (int y = v->RowY(18) + 4; y < 298; ++y)
            QCOMPARE(At(img, {100, y}), QColor(0, 0, 0));

        QScrollBar* bar = v->ScrollBar();
        QCOMPARE(QList<int>({bar->minimum(), bar->maximum(), bar->pageStep(), bar->isEnabled()}),
                 QList<int>({0, 7, 18, true}));
        QCOMPARE(bar->geometry(), QRect(486, 0, 16, 298));
        bar->setValue(7);
        QCOMPARE(v->ViewTop(), 7);
        img = v->grab().toImage();
        for (int w = 0; w < 18; ++w)
            QCOMPARE(At(img, {100, CellCentre(*v, w, 0).y()}), TEmulVT::Palette(1 + (w + 7) % 6));

        v->SetFontSize(9); // 6 x 12 cells, bold: 24 rows fit
        QCOMPARE(QSize(v->CharWidth(), v->LineHeight()), QSize(6, 12));
        QVERIFY(v->Font().bold() && QFontInfo(v->Font()).fixedPitch());
        QCOMPARE(QList<int>({bar->maximum(), bar->pageStep(), v->ViewTop()}),
                 QList<int>({1, 24, 1}));
    }

    void fortyColumnsAndMarginsInTheCurrentBackground() {
        auto v = ShownView(9);
        v->SetCols(40);
        QCOMPARE(v->Screen().Cols(), 40);
        Feed(*v, E("^[[44m^[[2J^[[41m")); // cells blue, current attribute red
        QImage img = Painted(*v);
        const int y = CellCentre(*v, 3, 0).y();
        QCOMPARE(At(img, {v->ColumnX(39) + 7, y}), TEmulVT::Palette(4));
        for (const QPoint p : {QPoint(v->ColumnX(40) + 6, y), QPoint(400, y), QPoint(200, 1),
                               QPoint(2, 1), QPoint(200, 296)})
            QCOMPARE(At(img, p), TEmulVT::Palette(1));
        Feed(*v, E("^[[0m"));
        img = Painted(*v);
        QCOMPARE(At(img, {200, 1}), QColor(0, 0, 0));
        QCOMPARE(At(img, {200, 296}), QColor(0, 0, 0));
    }

    void colours_data() {
        QTest::addColumn<int>("attr");
        QTest::addColumn<bool>("mono");
        QTest::addColumn<QColor>("back");
        QTest::addColumn<QColor>("text");
        for (int a : {0x07, 0x1E, 0x4F, 0x62, 0x70, 0x9A, 0xE6, 0xF8, 0x0C, 0xB5})
            QTest::addRow("attr %02X", a)
                << a << false << TEmulVT::Palette(a >> 4) << TEmulVT::Palette(a & 15);
        const QColor grey(127, 127, 127), white(255, 255, 255), black(0, 0, 0);
        QTest::newRow("mono 70") << 0x70 << true << grey << white;
        QTest::newRow("mono 07") << 0x07 << true << white << black;
        QTest::newRow("mono 00") << 0x00 << true << white << white;
        QTest::newRow("mono 1F") << 0x1F << true << grey << black;
    }
    void colours() {
        QFETCH(int, attr);
        QFETCH(bool, mono);
        QFETCH(QColor, back);
        QFETCH(QColor, text);
        auto v = ShownView();
        v->SetMonoChrome(mono);
        Feed(*v, SgrFor(attr) + " \xDB" + E("^[[0m"));
        QCOMPARE(int(v->Screen().RowAt(0).Attrs[0]), attr);
        const QImage img = Painted(*v);
        QCOMPARE(At(img, CellCentre(*v, 0, 0)), back); // the blank
        QCOMPARE(At(img, CellCentre(*v, 0, 1)), text); // the full block
        QCOMPARE(At(img, {300, 1}), mono ? QColor(255, 255, 255) : QColor(0, 0, 0)); // margin
    }

    void brightRedIsRed() {
        // The palette runs black, red, green, yellow, blue, magenta, cyan, white.
        QCOMPARE(TEmulVT::Palette(9), QColor(255, 84, 84));
        QCOMPARE(TEmulVT::Palette(6), QColor(0, 112, 216)); // the dark cyan stays as it is
        auto v = ShownView();
        Feed(*v, E("^[[1;31m\xDB^[[0m"));
        QCOMPARE(At(Painted(*v), CellCentre(*v, 0, 0)), QColor(255, 84, 84));
    }

    // Every glyph keeps its whole shape in its cell: no two different code page
    // 437 characters may look alike, at either font size.
    void everyGlyphIsWholeAndDistinct_data() {
        QTest::addColumn<int>("points");
        QTest::newRow("12 pt") << 12;
        QTest::newRow("9 pt") << 9;
    }
    void everyGlyphIsWholeAndDistinct() {
        QFETCH(int, points);
        auto v = ShownView(points);
        for (int b = 0; b < 256; ++b) {
            emulvt::TLine& line = v->Screen().RowAt(b / 16);
            line.Chars[b % 16] = std::uint8_t(b);
        }
        const QImage img = Painted(*v);
        const auto cell = [&](int b) {
            return img.copy(v->ColumnX(b % 16) + 6, v->RowY(b / 16) + 4 + v->TextLeading(),
                            v->CharWidth(), v->LineHeight());
        };
        // The same picture by design: the blanks.
        const auto sameByDesign = [](int a, int b) {
            const auto blank = [](int x) { return x == 0x00 || x == 0x20 || x == 0xFF; };
            return blank(a) && blank(b);
        };
        QStringList alike;
        std::vector<QImage> cells;
        for (int b = 0; b < 256; ++b)
            cells.push_back(cell(b));
        for (int a = 0; a < 256; ++a)
            for (int b = a + 1; b < 256; ++b)
                if (cells[a] == cells[b] && !sameByDesign(a, b))
                    alike << QString::asprintf("%02X=%02X", a, b);
        QVERIFY2(alike.isEmpty(), qPrintable(alike.join(' ')));

        // Line drawing and blocks join between rows: a column of full blocks
        // and one of vertical lines carry ink on every pixel row.
        for (int r = 0; r < 6; ++r) {
            v->Screen().RowAt(r).Chars[20] = 0xDB;
            v->Screen().RowAt(r).Chars[22] = 0xB3;
            v->Screen().RowAt(r).Chars[24] = 0xBA;
        }
        const QImage joined = Painted(*v);
        for (const int col : {20, 22, 24})
            for (int y = v->RowY(0) + 4 + v->TextLeading(); y < v->RowY(6) + 4 + v->TextLeading();
                 ++y) {
                int ink = 0;
                for (int x = v->ColumnX(col) + 6; x < v->ColumnX(col + 1) + 6; ++x)
                    ink = std::max(ink, At(joined, {x, y}).green());
                QVERIFY2(ink >= 150,
                         qPrintable(QString("gap in column %1 at y %2").arg(col).arg(y)));
            }
    }

    // Whatever an operation changes on the screen lies inside what it asked
    // to repaint: a full paint after it differs from the one before only there.
    void repaintRequestsCoverEveryChangedPixel_data() {
        QTest::addColumn<int>("points");
        QTest::addColumn<bool>("scrolled");
        for (int pt : {12, 9})
            for (bool scrolled : {false, true})
                QTest::addRow("%d pt%s", pt, scrolled ? " scrolled" : "") << pt << scrolled;
    }
    void repaintRequestsCoverEveryChangedPixel() {
        QFETCH(int, points);
        QFETCH(bool, scrolled);
        auto v = ShownView(points);
        if (scrolled) v->ScrollBar()->setValue(v->ScrollBar()->maximum());
        const int top = v->ViewTop();
        const QByteArray home = "^[[" + QByteArray::number(top + 1) + ";1H";
        const QByteArray last = "^[[25;1H";
        const QList<QByteArray> steps = {
            home + "^[[44mA^[[0m",           // column 0 takes a blue background
            "^[[41m",                        // margins follow the current background
            home + "^[[42mB^[[0m",           // and back to black
            home + "^[[1;33;45mCDE",         // a run in the middle of the row
            last + "^[[46mZ^[[K",            // the last row, erased to its end
            home + "^[[0;47m^[[2K",          // the whole row
            "^[[0m" + home + "\xDB\xB3\xC5", // blocks and line drawing
            "^[[43m",                        // margins again, nothing stored
        };
        Feed(*v, " "); // past the full repaint that follows a clear
        QImage before = Painted(*v);
        for (const QByteArray& step : steps) {
            v->TakeInvalidations();
            Feed(*v, E(step));
            const std::vector<QRect> asked = v->TakeInvalidations();
            const QImage after = Painted(*v);
            QRegion region;
            for (const QRect& r : asked)
                region += r;
            int outside = 0;
            QPoint first;
            for (int y = 0; y < after.height(); ++y)
                for (int x = 0; x < after.width() - TCustomEmulVT::kScrollBarWidth; ++x)
                    if (after.pixel(x, y) != before.pixel(x, y) && !region.contains(QPoint(x, y)))
                        if (outside++ == 0) first = QPoint(x, y);
            QVERIFY2(outside == 0,
                     qPrintable(QString("%1 pixels outside after \"%2\", first at %3,%4")
                                    .arg(outside)
                                    .arg(QString::fromLatin1(step))
                                    .arg(first.x())
                                    .arg(first.y())));
            before = after;
        }
    }

    // A stream fed while the event loop runs is painted once a refresh, not
    // once a byte or once a loop pass, and what those paints leave on the
    // screen is the whole final picture.
    void streamedBytesArePaintedOnceARefresh() {
        auto v = ShownView();
        const QByteArray art = DenseArt(150000, 3);
        PaintCounter counter;
        v->installEventFilter(&counter);
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < art.size(); ++i) {
            v->FeedChar(art[i]);
            if (i % 32 == 31) QCoreApplication::processEvents();
        }
        const qint64 elapsed = t.elapsed();
        QVERIFY(v->FlushPending() || counter.Paints > 0);
        QVERIFY2(counter.Paints <= elapsed / v->FrameMs() + 3,
                 qPrintable(QString("%1 paints in %2 ms").arg(counter.Paints).arg(elapsed)));
        // The last bytes are shown without any more coming.
        QTRY_VERIFY(!v->FlushPending());
        QTRY_COMPARE(OnScreen(*v), v->grab().toImage().convertToFormat(QImage::Format_RGB32));
        v->removeEventFilter(&counter);

        // A byte after a quiet spell is asked for at the next pass of the loop.
        QTest::qWait(3 * v->FrameMs());
        v->TakeInvalidations();
        v->FeedChar('Q');
        QVERIFY(v->FlushPending());
        QTRY_VERIFY_WITH_TIMEOUT(!v->FlushPending(), 1000);
        QCOMPARE(v->TakeInvalidations().size(), std::size_t(2)); // the cell and the cursor
    }

    // A replayed history fed as text shows and logs what byte-wise feeding does.
    void feedTextIsFeedCharForEachByte() {
        const QByteArray art = DenseArt(40000, 5);
        QTemporaryDir dir;
        const QString old = QDir::currentPath();
        QDir::setCurrent(dir.path());
        std::string logs[2];
        QImage shown[2];
        for (int way = 0; way < 2; ++way) {
            auto v = ShownView();
            v->SetLog(true);
            if (way == 0)
                Feed(*v, art);
            else
                v->FeedText(std::string_view(art.constData(), art.size()));
            v->SetLog(false);
            shown[way] = Painted(*v);
            QFile log(dir.filePath("EMULVT.LOG"));
            QVERIFY(log.open(QIODevice::ReadOnly));
            logs[way] = log.readAll().toStdString();
            log.remove();
            QVERIFY(v->FlushPending());
        }
        QDir::setCurrent(old);
        QCOMPARE(shown[1], shown[0]);
        QVERIFY(logs[1] == logs[0]);
        QCOMPARE(logs[0].size(), std::size_t(art.size()) + 13); // <Open> and <Close>
    }

    void logFileMarkersAndAFileThatCannotBeOpened() {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath("bad/EMULVT.LOG")); // a directory is no file
        const QString old = QDir::currentPath();
        std::vector<std::string> reports;
        platform::SetErrorReporter([&reports](const std::string& m) { reports.push_back(m); });
        QDir::setCurrent(dir.path());
        {
            auto v = ShownView();
            v->SetLog(true);
            v->SetLog(true);
            Feed(*v, E("AB^[[31m\xE9"));
            v->SetLog(false);
            v->SetLog(true);
            v->FeedChar('C'); // the view closes the log when it goes
        }
        QDir::setCurrent(dir.filePath("bad"));
        {
            auto v = ShownView();
            v->SetLog(true);
            QVERIFY(reports.empty()); // it shows at the first byte, once
            Feed(*v, "XY");
            QCOMPARE(v->Screen().RowAt(0).Chars[1], std::uint8_t('Y'));
        }
        QDir::setCurrent(old);
        platform::SetErrorReporter(nullptr);
        QCOMPARE(reports, std::vector<std::string>{"File access denied"});
        QFile f(dir.filePath("EMULVT.LOG"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), E("<Open>AB^[[31m\xE9<Close><Open>C<Close>"));
    }

    void mouseKeysAndContextMenu() {
        auto v = ShownView();
        int clicks = 0, presses = 0;
        TCustomEmulVT* sender = nullptr;
        v->OnClick = [&](TCustomEmulVT* s) { ++clicks, sender = s; };
        QTest::mouseClick(v.get(), Qt::LeftButton, {}, QPoint(100, 100));
        QTest::mouseClick(v.get(), Qt::RightButton, {}, QPoint(100, 100));
        QCOMPARE(clicks, 1);
        QCOMPARE(sender, v.get());
        QCOMPARE(v->window()->focusWidget(), v.get());

        v->SetPassive(false);
        v->SetLocalEcho(true);
        v->OnKeyPress = [&presses](TCustomEmulVT*, char&) { ++presses; };
        QTest::keyClick(v.get(), Qt::Key_A, {}, 0);
        QCOMPARE(v->Screen().RowAt(0).Chars[0], std::uint8_t('a'));
        v->SetPassive(true); // a passive view takes no keys
        QTest::keyClick(v.get(), Qt::Key_B, {}, 0);
        QCOMPARE(v->Screen().RowAt(0).Chars[1], std::uint8_t(' '));
        QCOMPARE(presses, 1);

        QMenu* menu = v->PopupMenu();
        QContextMenuEvent e(QContextMenuEvent::Mouse, QPoint(50, 50),
                            v->mapToGlobal(QPoint(50, 50)));
        QApplication::sendEvent(v.get(), &e);
        QVERIFY(!menu->isVisible()); // nothing to offer yet
        menu->addAction("FONTsize 12");
        QApplication::sendEvent(v.get(), &e);
        QVERIFY(menu->isVisible());
        menu->close();
        delete menu; // its owner may delete it; the view then makes a new one
        QVERIFY(v->PopupMenu() != nullptr);
        QApplication::sendEvent(v.get(), &e);
    }

    void badInputNeverCrashes() {
        auto v = ShownView();
        QByteArray junk(100000, '\0');
        for (char& c : junk)
            c = char(QRandomGenerator::global()->bounded(256));
        for (const QSize size : {QSize(0, 0), QSize(1, 1), QSize(30, 7), QSize(3000, 2000)}) {
            v->resize(size);
            Feed(*v, junk.mid(0, 20000));
            QCOMPARE(Painted(*v).size(), size);
        }
        v->SetRows(1000);
        v->SetCols(500);
        v->SetCharWidth(0);
        v->SetLineHeight(100000);
        QCOMPARE(QList<int>({v->Rows(), v->Cols(), v->CharWidth(), v->LineHeight()}),
                 QList<int>({TCustomEmulVT::kMaxRows, 133, 1, TCustomEmulVT::kMaxCellSize}));
        Feed(*v, junk);
        Painted(*v);
        v->SetLineHeight(1);
        v->ScrollBar()->setValue(v->ScrollBar()->maximum());
        Feed(*v, junk);
        Painted(*v);
        v->SetCharWidth(TCustomEmulVT::kMaxCellSize); // glyphs of 256 x 256 pixels
        v->SetLineHeight(TCustomEmulVT::kMaxCellSize);
        Feed(*v, junk);
        Painted(*v);
        v->SetRows(0);
        QCOMPARE(v->Rows(), 1);
        QFont tiny = v->Font();
        tiny.setPixelSize(1);
        v->SetFont(tiny);
        Painted(*v);
        v->SetFontSize(55);
        QCOMPARE(Painted(*v).size(), QSize(3000, 2000));
    }

    void rxviewPictureIsWhatTheViewPaints() {
        QFile file(QFINDTESTDATA("data/testpic.ans"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const std::string picture = file.readAll().toStdString();
        QTemporaryDir dir;
        const std::string out = dir.filePath("pic.png").toStdString();
        std::ostringstream so, se;
        QCOMPARE(rxview::RunAnsiView({"--format=png", "--font=9", "--out=" + out}, picture, so, se),
                 0);
        QCOMPARE(QString::fromStdString(se.str()), QString());
        const QImage png(QString::fromStdString(out));
        QCOMPARE(png.size(), QSize(502, 298));

        auto v = ShownView(9);
        Feed(*v, QByteArray::fromStdString(picture));
        QCOMPARE(png, Painted(*v).convertToFormat(png.format()));
        // blue inside the frame, the red bar of the colour bars
        QCOMPARE(At(png, CellCentre(*v, 6, 60)), QColor(0, 0, 168));
        QCOMPARE(At(png, CellCentre(*v, 3, 14)), QColor(168, 0, 0));

        const std::string bad = "--out=" + dir.filePath("none/x.png").toStdString();
        QCOMPARE(rxview::RunAnsiView({"--format=png", bad}, picture, so, se), 1);
        QVERIFY(se.str().find("cannot write") != std::string::npos);
    }
};

QTEST_MAIN(TestEmulVT)
#include "EmulVTTest.moc"
