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

#include <memory>
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
        const int tl = v->TextLeading(); // the cell (0,0) and the cursor's cell (0,1)
        QCOMPARE(Invalidated(*v, "^[[H", 'A'),
                 (std::vector<QRect>{QRect(6, 4 + tl, 12, 16), QRect(18, 4, 12, 16)}));
        QVERIFY(whole(Invalidated(*v, "^[[25;1H", '\n')));
        v->ScrollBar()->setValue(7);
        QCOMPARE(v->ViewTop(), 7);
        QVERIFY(Invalidated(*v, "^[[2;1H", 'A').empty()); // row 1 lies above the window
        QCOMPARE(Invalidated(*v, "^[[9;1H", 'B'),         // row 8 is window row 1
                 (std::vector<QRect>{QRect(6, 20 + tl, 12, 16), QRect(18, 20, 12, 16)}));
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
