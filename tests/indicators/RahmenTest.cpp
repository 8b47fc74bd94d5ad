#include "Rahmen.h"
#include "Platform.h"
#include "TestPalette.h"

namespace {

// The button mode is set by descendants; the test plays one.
class TButton : public TRahmen {
public:
    using TRahmen::SetBtnMode;
    using TRahmen::TRahmen;
};

struct TInnerCase {
    const char* Name;
    std::function<void(TButton&)> Setup;
    TRect Inner;
};

} // namespace

class RahmenTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { UseTestPalette(); }

    void innerRectAndClamps() {
        const TInnerCase cases[] = {
            {"defaults", [](TButton&) {}, {4, 4, 196, 96}},
            {"open top", [](TButton& r) { r.SetBordTop(false); }, {4, 0, 196, 96}},
            {"framed", [](TButton& r) { r.SetFramed(true); }, {5, 5, 195, 95}},
            {"framed, open left",
             [](TButton& r) {
                 r.SetFramed(true);
                 r.SetBordLeft(false);
             },
             {1, 5, 195, 95}},
            {"push button frame", [](TButton& r) { r.SetBtnMode(1); }, {5, 5, 195, 95}},
            {"widest, clamped",
             [](TButton& r) {
                 r.SetBevelIn(bvSpace);
                 r.SetBevWidth(9);
                 r.SetBordWidth(7);
             },
             {15, 15, 185, 85}},
            {"nothing",
             [](TButton& r) {
                 r.SetBevelOut(bvNone);
                 r.SetBordWidth(-1);
             },
             {0, 0, 200, 100}},
        };
        for (const TInnerCase& c : cases) {
            TButton r;
            c.Setup(r);
            Shot(r);
            QVERIFY2(r.InnerRect() == c.Inner, c.Name);
        }
        TRahmen r;
        for (auto [given, stored] : {std::pair{9, 5}, std::pair{-1, 0}, std::pair{3, 3}}) {
            r.SetBevWidth(given);
            r.SetBordWidth(given);
            QCOMPARE(r.BevWidth(), stored);
            QCOMPARE(r.BordWidth(), stored);
        }
    }

    void pixelsAndColours() {
        TRahmen r;
        r.SetColBgnd(clRed);
        QImage img = Shot(r);
        QCOMPARE(img.pixelColor(0, 50), kLight); // raised: light upper-left
        QCOMPARE(img.pixelColor(100, 1), kLight);
        QCOMPARE(img.pixelColor(199, 50), kShadow);
        QCOMPARE(img.pixelColor(100, 98), kShadow);
        QCOMPARE(img.pixelColor(2, 50), kFace); // flat border
        QCOMPARE(img.pixelColor(4, 50), QColor(Qt::red));
        r.SetBevelOut(bvLowered);
        r.SetFramed(true);
        r.SetColBtnBord(clBlue);
        r.SetBordTop(false);
        img = Shot(r);
        QCOMPARE(img.pixelColor(0, 50), QColor(Qt::blue));
        QCOMPARE(img.pixelColor(1, 50), kShadow); // lowered: dark upper-left
        QCOMPARE(img.pixelColor(198, 50), kLight);
        QCOMPARE(img.pixelColor(100, 1), QColor(Qt::red)); // open top: background at once
        // System colours come from the control's palette; plain values are RGB.
        QPalette pal = r.palette();
        pal.setColor(QPalette::Button, QColor(10, 20, 30));
        r.setPalette(pal);
        QCOMPARE(Pixel(r, 3, 50), QColor(10, 20, 30)); // the border is button face
        QCOMPARE(ToQColor(clBtnShadow, &r), kShadow);
        QCOMPARE(ToQColor(0x123456, &r), QColor(0x56, 0x34, 0x12));
        QCOMPARE(ToQColor(0x0200FF00u, &r), QColor(0, 255, 0));
        QCOMPARE(ToQColor(0x800000FFu, &r), QColor(0, 0, 0)); // unknown index
    }

    void mouseByButtonMode() {
        struct Case {
            int Mode;
            QString Expected; // down after press, down after release, events
        };
        for (const Case& c : {Case{0, "00C"}, Case{1, "10DUC"}, Case{2, "11DC"}}) {
            TButton r;
            r.SetBtnMode(c.Mode);
            QString got;
            r.OnDown = [&](TRahmen* s) { got += s == &r ? "D" : "?"; };
            r.OnUp = [&](TRahmen* s) { got += s == &r ? "U" : "?"; };
            r.onClick = [&](TRahmen* s) { got += s == &r ? "C" : "?"; };
            QTest::mousePress(&r, Qt::RightButton, {}, {50, 50});
            const QString pressed = QString::number(r.Down());
            QTest::mouseRelease(&r, Qt::RightButton, {}, {50, 50});
            QCOMPARE(pressed + QString::number(r.Down()) + got, c.Expected);
        }
        // A toggle goes up on its next press; a push button shows its press
        // by inverting the outer bevel inside the frame.
        TButton r;
        r.SetBtnMode(2);
        QTest::mouseClick(&r, Qt::LeftButton, {}, {5, 5});
        QTest::mouseClick(&r, Qt::LeftButton, {}, {5, 5});
        QVERIFY(!r.Down());
        r.SetBtnMode(1);
        QCOMPARE(Pixel(r, 1, 50), kLight);
        QTest::mousePress(&r, Qt::LeftButton, {}, {50, 50});
        QCOMPARE(Pixel(r, 1, 50), kShadow);
        QCOMPARE(Pixel(r, 198, 50), kLight);
        QCOMPARE(Pixel(r, 0, 50), QColor(Qt::black)); // frame in ColBtnBord
        QTest::mouseRelease(&r, Qt::LeftButton, {}, {50, 50});
        QCOMPARE(Pixel(r, 1, 50), kLight);
    }

    void handlerErrorsGoToTheErrorReport() {
        QStringList reported;
        platform::SetErrorReporter(
            [&](const std::string& m) { reported << QString::fromStdString(m); });
        TButton r;
        r.SetBtnMode(1);
        r.OnUp = [](TRahmen*) { throw std::runtime_error("up failed"); };
        int clicks = 0;
        r.onClick = [&](TRahmen*) { ++clicks; };
        QTest::mouseClick(&r, Qt::LeftButton, {}, {5, 5});
        QCOMPARE(reported, QStringList{"up failed"});
        QCOMPARE(clicks, 1);
        platform::SetErrorReporter(nullptr);
    }
};

QTEST_MAIN(RahmenTest)
#include "RahmenTest.moc"
