// The terminal view widget, painted off screen: repaint requests, geometry,
// colours, scroll bar, log file, mouse, keyboard and the rxview picture.
#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>

#include "AnsiPng.h"
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

bool Contains(const std::vector<QRect>& rects, const QRect& r) {
    return std::find(rects.begin(), rects.end(), r) != rects.end();
}

QColor At(const QImage& img, int x, int y) {
    return QColor(img.pixel(x, y));
}

// Centre of cell (r, c) as painted, window rows counted from the top.
QPoint CellCentre(const TEmulVT& v, int r, int c) {
    return {v.ColumnX(c) + 6 + v.CharWidth() / 2,
            v.RowY(r) + 4 + v.TextLeading() + v.LineHeight() / 2};
}

QByteArray SgrFor(int attr) {
    QByteArray s = "\x1b[0;";
    if (attr & 0x08) s += "1;";
    if (attr & 0x80) s += "5;";
    s += QByteArray::number(30 + (attr & 7)) + ";" + QByteArray::number(40 + ((attr >> 4) & 7)) +
         "m";
    return s;
}

} // namespace

class TestEmulVT : public QObject {
    Q_OBJECT
private slots:
    void init() {
        platform::TakeBeeps();
        platform::SetDebugSink([](std::string_view) {}); // random bytes make many reports
    }
    void cleanup() { platform::SetDebugSink(nullptr); }

    void freshViewShowsBanner() {
        TEmulVT v;
        v.resize(502, 298);
        v.show();
        QVERIFY(QTest::qWaitForWindowExposed(&v));
        const emulvt::TLine& row = v.Screen().RowAt(0);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(row.Chars.data()), 7), "EmulVT ");
        QCOMPARE(v.Screen().CurRow(), 1);
        QCOMPARE(v.Screen().CurCol(), 0);
        const QImage img = v.grab().toImage();
        // light grey ink in the first cells, none after the word
        int brightest = 0;
        for (int x = 6; x < 6 + 6 * v.CharWidth(); ++x)
            for (int y = 4 + v.TextLeading(); y < 4 + v.TextLeading() + v.LineHeight(); ++y)
                brightest = std::max(brightest, At(img, x, y).green());
        QVERIFY(brightest >= 150);
        for (int x = 6 + 7 * v.CharWidth(); x < 6 + 12 * v.CharWidth(); ++x)
            QCOMPARE(At(img, x, 4 + v.TextLeading() + 5), QColor(0, 0, 0));
    }

    void clearedViewRepaintsWholeWindowOnFirstByte() {
        auto v = ShownView();
        v->TakeInvalidations();
        v->ClearView();
        QVERIFY(v->TakeInvalidations().empty()); // ClearView asks for nothing itself
        v->FeedChar('x');
        QVERIFY(Contains(v->TakeInvalidations(), v->rect()));
    }

    void letterAtHomeInvalidatesItsCellAndTheCursorCell() {
        auto v = ShownView();
        v->FeedChar('x');
        Feed(*v, E("^[[H"));
        QTest::qWait(1);
        v->repaint();
        v->TakeInvalidations();
        v->FeedChar('A');
        const int tl = v->TextLeading();
        const std::vector<QRect> expected = {QRect(6, 4 + tl, 12, 16), QRect(18, 4, 12, 16)};
        QCOMPARE(v->TakeInvalidations(), expected);
    }

    void lineFeedOnLastRowInvalidatesEverything() {
        auto v = ShownView();
        Feed(*v, E("^[[25;1H"));
        v->TakeInvalidations();
        v->FeedChar('\n');
        QVERIFY(Contains(v->TakeInvalidations(), v->rect()));
    }

    void changesAboveTheWindowInvalidateNothing() {
        auto v = ShownView();
        v->ScrollBar()->setValue(7);
        QCOMPARE(v->ViewTop(), 7);
        Feed(*v, E("^[[2;1H"));
        v->TakeInvalidations();
        v->FeedChar('A'); // row 1 lies above the window
        QVERIFY(v->TakeInvalidations().empty());
        Feed(*v, E("^[[9;1H"));
        v->TakeInvalidations();
        v->FeedChar('B'); // row 8 is window row 1
        const int tl = v->TextLeading();
        const std::vector<QRect> expected = {QRect(6, 20 + tl, 12, 16), QRect(18, 20, 12, 16)};
        QCOMPARE(v->TakeInvalidations(), expected);
    }

    void eighteenRowsFitAndTheScrollBarReachesTheRest() {
        auto v = ShownView();
        for (int r = 0; r < 25; ++r)
            Feed(*v, E(QByteArray("^[[" + QByteArray::number(r + 1) + ";1H^[[0;4" +
                                  QByteArray::number(1 + r % 6) + "m^[[K")));
        Feed(*v, E("^[[0m"));
        v->repaint();
        QImage img = v->grab().toImage();
        for (int r = 0; r < 18; ++r)
            QCOMPARE(At(img, 100, CellCentre(*v, r, 0).y()), TEmulVT::Palette(1 + r % 6));
        // row 18 would reach below the bottom margin: not even partly drawn
        for (int y = v->RowY(18) + 4; y < 298; ++y)
            QCOMPARE(At(img, 100, y), QColor(0, 0, 0));

        QScrollBar* bar = v->ScrollBar();
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 7);
        QCOMPARE(bar->pageStep(), 18);
        QVERIFY(bar->isEnabled());
        QCOMPARE(bar->geometry(), QRect(486, 0, 16, 298));
        bar->setValue(7);
        QCOMPARE(v->ViewTop(), 7);
        img = v->grab().toImage();
        for (int w = 0; w < 18; ++w)
            QCOMPARE(At(img, 100, CellCentre(*v, w, 0).y()), TEmulVT::Palette(1 + (w + 7) % 6));

        v->SetFontSize(9); // 24 rows fit
        v->repaint();
        QCOMPARE(bar->maximum(), 1);
        QCOMPARE(bar->pageStep(), 24);
        QCOMPARE(v->ViewTop(), 1);
    }

    void fortyColumnsAndTheMarginBrush() {
        auto v = ShownView(9);
        v->SetCols(40);
        QCOMPARE(v->Screen().Cols(), 40);
        Feed(*v, E("^[[44m^[[2J^[[41m")); // cells blue, current attribute red
        v->repaint();
        const QImage img = v->grab().toImage();
        const int y = CellCentre(*v, 3, 0).y();
        QCOMPARE(At(img, v->ColumnX(39) + 7, y), TEmulVT::Palette(4));
        QCOMPARE(At(img, v->ColumnX(40) + 6, y), TEmulVT::Palette(1));
        QCOMPARE(At(img, 400, y), TEmulVT::Palette(1));
        QCOMPARE(At(img, 400, 2), TEmulVT::Palette(1));
    }

    void marginsTakeTheCurrentBackground() {
        auto v = ShownView();
        Feed(*v, E("^[[0;37;41m"));
        v->repaint();
        QImage img = v->grab().toImage();
        QCOMPARE(At(img, 200, 1), QColor(168, 0, 0));
        QCOMPARE(At(img, 2, 1), QColor(168, 0, 0));
        QCOMPARE(At(img, 200, 296), QColor(168, 0, 0));
        Feed(*v, E("^[[0m"));
        v->repaint();
        img = v->grab().toImage();
        QCOMPARE(At(img, 200, 1), QColor(0, 0, 0));
        QCOMPARE(At(img, 200, 296), QColor(0, 0, 0));
    }

    void paletteColours_data() {
        QTest::addColumn<int>("attr");
        for (int attr : {0x07, 0x1E, 0x4F, 0x62, 0x70, 0x9A, 0xE6, 0xF8, 0x0C, 0xB5})
            QTest::newRow(qPrintable(QString::asprintf("attr %02X", attr))) << attr;
    }
    void paletteColours() {
        QFETCH(int, attr);
        auto v = ShownView();
        Feed(*v, SgrFor(attr) + " \xDB" + E("^[[0m"));
        QCOMPARE(int(v->Screen().RowAt(0).Attrs[0]), attr);
        v->repaint();
        const QImage img = v->grab().toImage();
        const QPoint blank = CellCentre(*v, 0, 0);
        const QPoint block = CellCentre(*v, 0, 1);
        QCOMPARE(At(img, blank.x(), blank.y()), TEmulVT::Palette(attr >> 4));
        QCOMPARE(At(img, block.x(), block.y()), TEmulVT::Palette(attr & 15));
    }

    void monoChrome_data() {
        QTest::addColumn<QByteArray>("sgr");
        QTest::addColumn<QColor>("back");
        QTest::addColumn<QColor>("text");
        QTest::newRow("0x70") << E("^[[7m") << QColor(127, 127, 127) << QColor(255, 255, 255);
        QTest::newRow("0x07") << E("^[[0m") << QColor(255, 255, 255) << QColor(0, 0, 0);
        QTest::newRow("0x00") << E("^[[8m") << QColor(255, 255, 255) << QColor(255, 255, 255);
        QTest::newRow("0x1F") << E("^[[1;37;41m") << QColor(127, 127, 127) << QColor(0, 0, 0);
    }
    void monoChrome() {
        QFETCH(QByteArray, sgr);
        QFETCH(QColor, back);
        QFETCH(QColor, text);
        auto v = ShownView();
        v->SetMonoChrome(true);
        Feed(*v, sgr + " \xDB");
        v->repaint();
        const QImage img = v->grab().toImage();
        const QPoint blank = CellCentre(*v, 0, 0);
        const QPoint block = CellCentre(*v, 0, 1);
        QCOMPARE(At(img, blank.x(), blank.y()), back);
        QCOMPARE(At(img, block.x(), block.y()), text);
        QCOMPARE(At(img, 300, 1), QColor(255, 255, 255)); // margins keep the white brush
    }

    void logFileHasMarkersAndRawBytes() {
        QTemporaryDir dir;
        const QString old = QDir::currentPath();
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
        QDir::setCurrent(old);
        QFile f(dir.filePath("EMULVT.LOG"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), E("<Open>AB^[[31m\xE9<Close><Open>C<Close>"));
    }

    void logThatCannotBeOpenedIsReportedOnceAndTheViewGoesOn() {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("EMULVT.LOG")); // a directory cannot be opened as a file
        const QString old = QDir::currentPath();
        QDir::setCurrent(dir.path());
        std::vector<std::string> reports;
        platform::SetErrorReporter([&reports](const std::string& m) { reports.push_back(m); });
        {
            auto v = ShownView();
            v->SetLog(true);
            QVERIFY(reports.empty()); // it shows at the first byte
            Feed(*v, "XY");
            QCOMPARE(v->Screen().RowAt(0).Chars[1], std::uint8_t('Y'));
        }
        platform::SetErrorReporter(nullptr);
        QDir::setCurrent(old);
        QCOMPARE(reports.size(), std::size_t(1));
        QCOMPARE(QString::fromStdString(reports[0]), QString("File access denied"));
    }

    void clickRaisesOnClickAndTakesFocus() {
        auto v = ShownView();
        int clicks = 0;
        TCustomEmulVT* sender = nullptr;
        v->OnClick = [&](TCustomEmulVT* s) {
            ++clicks;
            sender = s;
        };
        QTest::mouseClick(v.get(), Qt::LeftButton, {}, QPoint(100, 100));
        QCOMPARE(clicks, 1);
        QCOMPARE(sender, v.get());
        QCOMPARE(v->window()->focusWidget(), v.get());
        QTest::mouseClick(v.get(), Qt::RightButton, {}, QPoint(100, 100));
        QCOMPARE(clicks, 1);
    }

    void contextMenuIsTheOwnersMenu() {
        auto v = ShownView();
        QMenu* menu = v->PopupMenu();
        QCOMPARE(v->PopupMenu(), menu);
        QContextMenuEvent empty(QContextMenuEvent::Mouse, QPoint(50, 50),
                                v->mapToGlobal(QPoint(50, 50)));
        QApplication::sendEvent(v.get(), &empty);
        QVERIFY(!menu->isVisible()); // nothing to offer yet
        menu->addAction("FONTsize 12");
        QContextMenuEvent e(QContextMenuEvent::Mouse, QPoint(50, 50),
                            v->mapToGlobal(QPoint(50, 50)));
        QApplication::sendEvent(v.get(), &e);
        QVERIFY(menu->isVisible());
        menu->close();
        delete menu; // its owner may delete it; the view then makes a new one
        QVERIFY(v->PopupMenu() != nullptr);
        QApplication::sendEvent(v.get(), &e);
    }

    void passiveViewTakesNoKeys() {
        auto v = ShownView();
        v->SetPassive(false);
        v->SetLocalEcho(true);
        int presses = 0;
        v->OnKeyPress = [&presses](TCustomEmulVT*, char&) { ++presses; };
        QTest::keyClick(v.get(), Qt::Key_A, {}, 0);
        QCOMPARE(v->Screen().RowAt(0).Chars[0], std::uint8_t('a'));
        QCOMPARE(presses, 1);
        v->SetPassive(true);
        QTest::keyClick(v.get(), Qt::Key_B, {}, 0);
        QCOMPARE(v->Screen().RowAt(0).Chars[1], std::uint8_t(' '));
        QCOMPARE(presses, 1);
    }

    void fontSizesSetTheCellSize() {
        auto v = ShownView();
        QCOMPARE(v->CharWidth(), 12);
        QCOMPARE(v->LineHeight(), 16);
        QVERIFY(!v->Font().bold());
        v->SetFontSize(9);
        QCOMPARE(v->CharWidth(), 6);
        QCOMPARE(v->LineHeight(), 12);
        QVERIFY(v->Font().bold());
        QCOMPARE(v->Font().pointSize(), 9);
        QCOMPARE(QFontInfo(v->Font()).fixedPitch(), true);
        // assigning a font takes the cell size from its metrics
        QFont f = v->Font();
        f.setPointSize(20);
        v->SetFont(f);
        QVERIFY(v->LineHeight() > 16);
        QVERIFY(v->CharWidth() > 6);
    }

    void badInputNeverCrashes() {
        auto v = ShownView();
        auto* rng = QRandomGenerator::global();
        QByteArray junk(100000, '\0');
        for (char& c : junk)
            c = char(rng->bounded(256));
        for (const QSize size : {QSize(0, 0), QSize(1, 1), QSize(30, 7), QSize(3000, 2000)}) {
            v->resize(size);
            Feed(*v, junk.mid(0, 20000));
            v->repaint();
            QCOMPARE(v->grab().size(), size);
        }
        v->SetRows(1000);
        QCOMPARE(v->Rows(), TCustomEmulVT::kMaxRows);
        v->SetCols(500);
        QCOMPARE(v->Cols(), 133);
        v->SetCharWidth(0);
        v->SetLineHeight(100000);
        QCOMPARE(v->CharWidth(), 1);
        QCOMPARE(v->LineHeight(), TCustomEmulVT::kMaxCellSize);
        Feed(*v, junk);
        v->repaint();
        v->SetLineHeight(1);
        v->ScrollBar()->setValue(v->ScrollBar()->maximum());
        Feed(*v, junk);
        v->repaint();
        v->SetCharWidth(TCustomEmulVT::kMaxCellSize); // glyphs of 256 x 256 pixels
        v->SetLineHeight(TCustomEmulVT::kMaxCellSize);
        v->resize(3000, 2000);
        Feed(*v, junk);
        v->repaint();
        v->SetRows(0);
        QCOMPARE(v->Rows(), 1);
        QFont tiny = v->Font();
        tiny.setPixelSize(1);
        v->SetFont(tiny);
        v->repaint();
        v->SetFontSize(55);
        v->repaint();
        QVERIFY(v->grab().width() > 0);
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
        v->repaint();
        const QImage painted = v->grab().toImage().convertToFormat(png.format());
        QCOMPARE(png, painted);
        // blue inside the frame, the red bar of the colour bars
        const QPoint inside = CellCentre(*v, 6, 60), red = CellCentre(*v, 3, 14);
        QCOMPARE(At(png, inside.x(), inside.y()), QColor(0, 0, 168));
        QCOMPARE(At(png, red.x(), red.y()), QColor(168, 0, 0));

        std::ostringstream so2, se2;
        QCOMPARE(rxview::RunAnsiView(
                     {"--format=png", "--out=" + dir.filePath("none/x.png").toStdString()}, picture,
                     so2, se2),
                 1);
        QVERIFY(se2.str().find("cannot write") != std::string::npos);
    }
};

QTEST_MAIN(TestEmulVT)
#include "EmulVTTest.moc"
