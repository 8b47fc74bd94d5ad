#include "Rahmen.h"
#include "Platform.h"
#include "TestPalette.h"

#include <QTest>

char* toString(const TRect& r) {
    return QTest::toString(
        QString("(%1, %2, %3, %4)").arg(r.Left).arg(r.Top).arg(r.Right).arg(r.Bottom));
}

namespace {

// The button mode is set by descendants; the test plays one.
class TButton : public TRahmen {
public:
    using TRahmen::SetBtnMode;
    using TRahmen::TRahmen;
};

using TSetup = std::function<void(TButton&)>;

} // namespace

Q_DECLARE_METATYPE(TRect)
Q_DECLARE_METATYPE(TSetup)

class RahmenTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { UseTestPalette(); }

    void innerRect_data() {
        QTest::addColumn<TSetup>("setup");
        QTest::addColumn<TRect>("inner");
        using F = TSetup;
        QTest::newRow("defaults") << F([](TButton&) {}) << TRect{4, 4, 196, 96};
        QTest::newRow("open top") << F([](TButton& r) { r.SetBordTop(false); })
                                  << TRect{4, 0, 196, 96};
        QTest::newRow("all sides open") << F([](TButton& r) {
            r.SetBordTop(false);
            r.SetBordLeft(false);
            r.SetBordRight(false);
            r.SetBordBottom(false);
        }) << TRect{0, 0, 200, 100};
        QTest::newRow("framed") << F([](TButton& r) { r.SetFramed(true); }) << TRect{5, 5, 195, 95};
        QTest::newRow("framed, open left") << F([](TButton& r) {
            r.SetFramed(true);
            r.SetBordLeft(false);
        }) << TRect{1, 5, 195, 95};
        QTest::newRow("inner bevel too")
            << F([](TButton& r) { r.SetBevelIn(bvLowered); }) << TRect{6, 6, 194, 94};
        QTest::newRow("widest") << F([](TButton& r) {
            r.SetBevelIn(bvSpace);
            r.SetBevWidth(9);
            r.SetBordWidth(7);
        }) << TRect{15, 15, 185, 85};
        QTest::newRow("push button frame")
            << F([](TButton& r) { r.SetBtnMode(1); }) << TRect{5, 5, 195, 95};
        QTest::newRow("button without 3D") << F([](TButton& r) {
            r.SetBtnMode(2);
            r.SetBtnPress3D(false);
        }) << TRect{4, 4, 196, 96};
        QTest::newRow("nothing") << F([](TButton& r) {
            r.SetBevelOut(bvNone);
            r.SetBordWidth(0);
        }) << TRect{0, 0, 200, 100};
    }
    void innerRect() {
        QFETCH(TSetup, setup);
        QFETCH(TRect, inner);
        TButton r;
        setup(r);
        Shot(r);
        QCOMPARE(r.InnerRect(), inner);
    }

    void widthsAreClamped() {
        TRahmen r;
        const std::pair<int, int> cases[] = {{9, 5}, {5, 5}, {-1, 0}, {3, 3}, {INT_MIN, 0}};
        for (auto [given, stored] : cases) {
            r.SetBevWidth(given);
            r.SetBordWidth(given);
            QCOMPARE(r.BevWidth(), stored);
            QCOMPARE(r.BordWidth(), stored);
        }
    }

    void bevelAndBorderPixels() {
        TRahmen r;
        r.SetColBgnd(clRed);
        QImage img = Shot(r);
        QCOMPARE(img.pixelColor(0, 50), kLight); // raised: light upper-left
        QCOMPARE(img.pixelColor(100, 1), kLight);
        QCOMPARE(img.pixelColor(199, 50), kShadow); // dark lower-right
        QCOMPARE(img.pixelColor(100, 98), kShadow);
        QCOMPARE(img.pixelColor(2, 50), kFace);           // flat border
        QCOMPARE(img.pixelColor(4, 50), QColor(Qt::red)); // background from InnerRect on
        QCOMPARE(img.pixelColor(100, 50), QColor(Qt::red));

        r.SetBevelOut(bvLowered);
        r.SetFramed(true);
        r.SetColBtnBord(clBlue);
        r.SetBordTop(false);
        img = Shot(r);
        QCOMPARE(img.pixelColor(0, 50), QColor(Qt::blue)); // frame in ColBtnBord
        QCOMPARE(img.pixelColor(1, 50), kShadow);          // lowered: dark upper-left
        QCOMPARE(img.pixelColor(198, 50), kLight);
        QCOMPARE(img.pixelColor(100, 1), QColor(Qt::red)); // open top: background at once
    }

    void systemColoursFollowThePalette() {
        TRahmen r;
        QPalette pal = r.palette();
        pal.setColor(QPalette::Button, QColor(10, 20, 30));
        r.setPalette(pal);
        QCOMPARE(Pixel(r, 100, 50), QColor(10, 20, 30)); // ColBgnd is clBtnFace
        QCOMPARE(ToQColor(clBtnFace, &r), QColor(10, 20, 30));
        QCOMPARE(ToQColor(clBtnShadow, &r), kShadow);
        QCOMPARE(ToQColor(clBtnHighlight, &r), kLight);
        QCOMPARE(ToQColor(0x123456, &r), QColor(0x56, 0x34, 0x12)); // red in the low byte
        QCOMPARE(ToQColor(0x0200FF00u, &r), QColor(0, 255, 0));     // top byte ignored
        QCOMPARE(ToQColor(0x800000FFu, &r), QColor(0, 0, 0));       // unknown index
        QCOMPARE(FromQColor(QColor(0x56, 0x34, 0x12)), TColor(0x123456));
    }

    void mouseByButtonMode() {
        struct Case {
            int Mode;
            bool DownAfterPress, DownAfterRelease;
            QString Events; // of one press and release
        };
        const Case cases[] = {
            {0, false, false, "C"}, {1, true, false, "DUC"}, {2, true, true, "DC"}};
        for (const Case& c : cases) {
            TButton r;
            r.SetBtnMode(c.Mode);
            QString events;
            r.OnDown = [&](TRahmen* s) { events += s == &r ? "D" : "?"; };
            r.OnUp = [&](TRahmen* s) { events += s == &r ? "U" : "?"; };
            r.onClick = [&](TRahmen* s) { events += s == &r ? "C" : "?"; };
            QTest::mousePress(&r, Qt::LeftButton, {}, {50, 50});
            QCOMPARE(r.Down(), c.DownAfterPress);
            QTest::mouseRelease(&r, Qt::LeftButton, {}, {50, 50});
            QCOMPARE(r.Down(), c.DownAfterRelease);
            QCOMPARE(events, c.Events);
            if (c.Mode == 2) { // the second press of a toggle goes up
                events.clear();
                QTest::mousePress(&r, Qt::RightButton, {}, {50, 50});
                QTest::mouseRelease(&r, Qt::RightButton, {}, {50, 50});
                QCOMPARE(r.Down(), false);
                QCOMPARE(events, QString("UC"));
            }
        }
    }

    void pressInvertsTheOuterBevel() {
        TButton r;
        r.SetBtnMode(1);
        QCOMPARE(Pixel(r, 1, 50), kLight); // inside the button frame
        QTest::mousePress(&r, Qt::LeftButton, {}, {50, 50});
        QImage img = Shot(r);
        QCOMPARE(img.pixelColor(1, 50), kShadow);
        QCOMPARE(img.pixelColor(198, 50), kLight);
        QCOMPARE(img.pixelColor(0, 50), QColor(Qt::black)); // frame in ColBtnBord
        QTest::mouseRelease(&r, Qt::LeftButton, {}, {50, 50});
        QCOMPARE(Pixel(r, 1, 50), kLight);
        // Without BtnPress3D there is neither frame nor inversion.
        r.SetBtnPress3D(false);
        Shot(r);
        QTest::mousePress(&r, Qt::LeftButton, {}, {50, 50});
        QCOMPARE(Pixel(r, 0, 50), kLight);
        QTest::mouseRelease(&r, Qt::LeftButton, {}, {50, 50});
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
        QTest::mousePress(&r, Qt::LeftButton, {}, {5, 5});
        QTest::mouseRelease(&r, Qt::LeftButton, {}, {5, 5});
        QCOMPARE(reported, QStringList{"up failed"});
        QCOMPARE(clicks, 1);
        platform::SetErrorReporter(nullptr);
    }

    void tinySizesPaint() {
        for (QSize s : {QSize(0, 0), QSize(1, 1), QSize(3, 2), QSize(7, 40)}) {
            TButton r;
            r.SetBtnMode(1);
            r.SetBevelIn(bvRaised);
            r.SetBevWidth(5);
            r.SetBordWidth(5);
            r.resize(s);
            Shot(r);
            QTest::mousePress(&r, Qt::LeftButton, {}, {0, 0});
            QTest::mouseRelease(&r, Qt::LeftButton, {}, {0, 0});
        }
    }
};

QTEST_MAIN(RahmenTest)
#include "RahmenTest.moc"
