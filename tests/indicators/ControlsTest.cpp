// The framed control, the LED lamp and the tick driver, drawn with a fixed
// palette so the system colours are known, checked on grabbed pixels.
#include "LedCheck.h"
#include "Platform.h"
#include "TickDriver.h"
#include "TickService.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

#include <memory>
#include <thread>

namespace {

const QColor kFace(0xC0, 0xC0, 0xC0), kLight(0xFF, 0xFF, 0xFF), kShadow(0x80, 0x80, 0x80);
const QColor kLime(0, 255, 0), kDarkLime(0, 0x60, 0), kRed(255, 0, 0), kDarkRed(0x60, 0, 0),
    kGrey(0x96, 0x96, 0x96);

// The button mode is set by descendants; the test plays one.
class TButton : public TRahmen {
public:
    using TRahmen::SetBtnMode;
};

QImage Shot(QWidget& w) {
    return w.grab().toImage();
}

void SetFontHeight(QWidget& w, int px) {
    QFont f = w.font();
    f.setPixelSize(px);
    w.setFont(f);
}

// The main window's CTS lamp: 33 x 40, LED size 8, caption on top, 11 px font.
std::unique_ptr<TLedCheck> CtsLamp(TColor col = clLime, QWidget* parent = nullptr) {
    return std::unique_ptr<TLedCheck>(
        MakeLamp(parent, "CTSLED1", 0, 0, 33, 40, "CTS", 8, bvRaised, col));
}

QColor Led(TLedCheck& l) {
    const QImage img = Shot(l); // paints first, so the centre is known
    return img.pixelColor(l.LedX(), l.LedY());
}

// Caption pixels near a colour (text is antialiased: only its core reaches it).
int CaptionPixels(TLedCheck& l, const QColor& c, int tolerance = 40) {
    const QImage img = Shot(l);
    const TRect r = l.CaptRect();
    int n = 0;
    for (int y = r.Top + 1; y < r.Bottom - 1; ++y)
        for (int x = r.Left + 1; x < r.Right - 1; ++x) {
            const QColor p = img.pixelColor(x, y);
            n += std::abs(p.red() - c.red()) <= tolerance &&
                 std::abs(p.green() - c.green()) <= tolerance &&
                 std::abs(p.blue() - c.blue()) <= tolerance;
        }
    return n;
}

} // namespace

class ControlsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QPalette pal = QApplication::palette();
        for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
            pal.setColor(group, QPalette::Button, kFace);
            pal.setColor(group, QPalette::Window, kFace);
            pal.setColor(group, QPalette::Light, kLight);
            pal.setColor(group, QPalette::Dark, kShadow);
        }
        QApplication::setPalette(pal);
    }

    void frameInnerRect() {
        enum { Framed = 1, OpenTop = 2, OpenLeft = 4, PushButton = 8, WideIn = 16, Bare = 32 };
        const std::pair<int, TRect> cases[] = {
            {0, {4, 4, 196, 96}},          {OpenTop, {4, 0, 196, 96}},
            {Framed, {5, 5, 195, 95}},     {Framed | OpenLeft, {1, 5, 195, 95}},
            {PushButton, {5, 5, 195, 95}}, {WideIn, {15, 15, 185, 85}}, // widths clamped to 5
            {Bare, {0, 0, 200, 100}}};
        for (auto [setup, inner] : cases) {
            TButton r; // 200 x 100
            r.SetFramed(setup & Framed);
            r.SetBordTop(!(setup & OpenTop));
            r.SetBordLeft(!(setup & OpenLeft));
            r.SetBtnMode(setup & PushButton ? 1 : 0);
            r.SetBevelIn(setup & WideIn ? bvSpace : bvNone);
            r.SetBevelOut(setup & Bare ? bvNone : bvRaised);
            r.SetBevWidth(setup & WideIn ? 9 : 2);
            r.SetBordWidth(setup & WideIn ? 7 : setup & Bare ? -1 : 2);
            Shot(r);
            QVERIFY2(r.InnerRect() == inner, QByteArray::number(setup));
        }
    }

    void framePixelsAndColours() {
        TRahmen r;
        r.SetColBgnd(clRed);
        QImage img = Shot(r);
        QCOMPARE(img.pixelColor(0, 50), kLight); // raised: light upper-left
        QCOMPARE(img.pixelColor(100, 1), kLight);
        QCOMPARE(img.pixelColor(199, 50), kShadow);
        QCOMPARE(img.pixelColor(2, 50), kFace); // flat border
        QCOMPARE(img.pixelColor(4, 50), kRed);
        r.SetBevelOut(bvLowered);
        r.SetFramed(true);
        r.SetColBtnBord(clBlue);
        r.SetBordTop(false);
        img = Shot(r);
        QCOMPARE(img.pixelColor(0, 50), QColor(Qt::blue));
        QCOMPARE(img.pixelColor(1, 50), kShadow); // lowered: dark upper-left
        QCOMPARE(img.pixelColor(100, 1), kRed);   // open top: background at once
        // System colours come from the control's palette; plain values are RGB.
        QPalette pal = r.palette();
        pal.setColor(QPalette::Button, QColor(10, 20, 30));
        r.setPalette(pal);
        QCOMPARE(Shot(r).pixelColor(3, 50), QColor(10, 20, 30)); // the border is button face
        QCOMPARE(ToQColor(0x0200FF00u, &r), QColor(0, 255, 0));
        QCOMPARE(ToQColor(0x800000FFu, &r), QColor(0, 0, 0)); // unknown index
    }

    void pushButtonInvertsBevelAndReportsHandlerErrors() {
        QStringList reported;
        platform::SetErrorReporter(
            [&](const std::string& m) { reported << QString::fromStdString(m); });
        TButton r;
        r.SetBtnMode(1);
        int clicks = 0;
        r.OnUp = [](TRahmen*) { throw std::runtime_error("up failed"); };
        r.onClick = [&](TRahmen*) { ++clicks; };
        QCOMPARE(Shot(r).pixelColor(1, 50), kLight);
        QTest::mousePress(&r, Qt::LeftButton, {}, {50, 50});
        const QImage down = Shot(r);
        QCOMPARE(down.pixelColor(1, 50), kShadow);
        QCOMPARE(down.pixelColor(198, 50), kLight);
        QCOMPARE(down.pixelColor(0, 50), QColor(Qt::black)); // frame in ColBtnBord
        QTest::mouseRelease(&r, Qt::LeftButton, {}, {50, 50});
        QCOMPARE(Shot(r).pixelColor(1, 50), kLight);
        QCOMPARE(reported, QStringList{"up failed"}); // and the click still comes
        QCOMPARE(clicks, 1);
        platform::SetErrorReporter(nullptr);
    }

    void lampGeometryAndRing() {
        const auto l = CtsLamp();
        const QImage img = Shot(*l);
        QCOMPARE(l->LedX(), 16);
        QCOMPARE(l->LedY(), 30);
        QVERIFY(l->LedRect() == (TRect{8, 22, 24, 38}));
        QVERIFY(l->CaptRect() == (TRect{2, 6, 31, 20}));
        QCOMPARE(l->LedRadius(), 6);             // inside a ring of width 1
        QCOMPARE(img.pixelColor(9, 30), kLight); // raised ring: light upper-left
        QCOMPARE(img.pixelColor(10, 30), QColor(Qt::black));
        QCOMPARE(img.pixelColor(22, 30), kShadow);
        // The other caption positions on a 113 x 30 lamp (line height 14).
        struct Case {
            TOrientType Pos;
            int X, Y;
            TRect Capt;
        };
        TLedCheck p;
        p.resize(113, 30);
        SetFontHeight(p, 11);
        for (const Case& c :
             {Case{orTop, 56, 20, {2, 2, 111, 10}}, Case{orBottom, 56, 10, {2, 20, 111, 28}},
              Case{orLeft, 103, 15, {2, 8, 93, 22}}, Case{orRight, 10, 15, {20, 8, 111, 22}}}) {
            p.SetCaptPos(c.Pos);
            Shot(p);
            QCOMPARE(p.LedX(), c.X);
            QCOMPARE(p.LedY(), c.Y);
            QVERIFY(p.CaptRect() == c.Capt);
        }
        // Ring width 1 for 6..8, 2 for 9..14, 3 for 15..17, 4 for 18..26,
        // 5 for 27..29, 6 for 30: body radius = size - 1 - ring.
        TLedCheck sq;
        sq.resize(70, 70);
        for (auto [size, body] :
             {std::pair{6, 4}, std::pair{9, 6}, std::pair{14, 11}, std::pair{15, 11},
              std::pair{18, 13}, std::pair{26, 21}, std::pair{27, 21}, std::pair{30, 23}}) {
            sq.SetLedSize(size);
            Shot(sq);
            QCOMPARE(sq.LedRadius(), body);
        }
        sq.SetLedShape(ledRectangle); // the square LED: frames of 1, 4 and 2 for size 30
        const QImage sqImg = Shot(sq);
        const TRect r = sq.LedRect();
        QCOMPARE(r.Width(), 60 - 2 * 7);
        QCOMPARE(sqImg.pixelColor(r.Left, r.Top + 5), QColor(Qt::black));
        QCOMPARE(sqImg.pixelColor(r.Left - 3, r.Top + 5), kLight);
        QCOMPARE(sqImg.pixelColor(r.Right + 2, r.Top + 5), kShadow);
        QCOMPARE(sqImg.pixelColor(r.Left - 1, r.Top + 5), kFace);
    }

    void ledColoursRedrawnAtOnce() {
        const std::size_t timers = TickService().Count();
        {
            const auto l = CtsLamp(0xA0B0C0);
            QCOMPARE(Led(*l), QColor(0x40, 0x20, 0x20)); // dark: at most 0x60 a channel
            QCOMPARE(TickService().Count(), timers + 2); // its blink and flash timers
        }
        QCOMPARE(TickService().Count(), timers); // gone with the lamp
        // After the first paint the setters redraw the LED and caption at once.
        const auto l = CtsLamp(clRed);
        Shot(*l);
        l->SetChecked(true);
        QCOMPARE(Led(*l), kRed);
        l->SetLedCol(clLime);
        QCOMPARE(Led(*l), kLime);
        l->setEnabled(false);
        QCOMPARE(Led(*l), kGrey);
        QVERIFY(CaptionPixels(*l, QColor(0x80, 0x80, 0x80), 8) > 0);
        QCOMPARE(CaptionPixels(*l, Qt::black, 10), 0);
        l->setEnabled(true);
        QVERIFY(CaptionPixels(*l, Qt::black, 10) > 0);
    }

    void captionColoursAndFrames() {
        TLedCheck l;
        l.resize(113, 30);
        SetFontHeight(l, 14);
        l.SetCaption("OFF");
        l.SetCaptionCol(clRed);
        l.SetCaption1("ON");
        l.SetCaptionCol1(clBlue);
        QVERIFY(CaptionPixels(l, Qt::red) > 0);
        QCOMPARE(CaptionPixels(l, Qt::blue), 0);
        l.SetChecked(true);
        QVERIFY(CaptionPixels(l, Qt::blue) > 0);
        QCOMPARE(CaptionPixels(l, Qt::red), 0);
        l.SetCaption1("");
        QVERIFY(CaptionPixels(l, Qt::red) > 0);
        l.SetChecked(false);
        // Framed always with CaptFrame, while checked with CaptAutoFrm; each
        // clears the other.
        l.SetCaptFrmCol(clBlue);
        const auto corner = [&] { return Shot(l).pixelColor(l.CaptRect().Left, l.CaptRect().Top); };
        QCOMPARE(corner(), kFace);
        l.SetCaptFrame(true);
        QCOMPARE(corner(), QColor(Qt::blue));
        QCOMPARE(l.CaptRect().Height(), 18); // a framed line is 2 higher
        l.SetCaptAutoFrm(true);
        QCOMPARE(corner(), kFace);
        l.SetChecked(true);
        QCOMPARE(corner(), QColor(Qt::blue));
        l.SetCaptFrame(true);
        QVERIFY(!l.CaptAutoFrm());
        l.SetCaptFrmCol(clRed);
        QCOMPARE(corner(), kRed);
    }

    void lampClampsAndMinimumSize() {
        QWidget panel;
        panel.resize(200, 200);
        TLedCheck l(&panel);
        const auto stored = [&l](auto set, auto get, int v) {
            (l.*set)(v);
            return (l.*get)();
        };
        QCOMPARE(stored(&TLedCheck::SetLedSize, &TLedCheck::LedSize, 40), 30);
        QCOMPARE(stored(&TLedCheck::SetLedSize, &TLedCheck::LedSize, 2), 6);
        QCOMPARE(stored(&TLedCheck::SetLedFlashTime, &TLedCheck::LedFlashTime, 50), 100);
        QCOMPARE(stored(&TLedCheck::SetGroupIndex, &TLedCheck::GroupIndex, -3), 0);
        QCOMPARE(stored(&TLedCheck::SetBevWidth, &TLedCheck::BevWidth, 9), 5);
        QCOMPARE(stored(&TLedCheck::SetBevWidth, &TLedCheck::BevWidth, -1), 0);
        l.SetLedSize(8);
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        QCOMPARE(l.size(), QSize(113, 18)); // 17 is below 2 * 8 + 2
        l.resize(5, 30);
        QCOMPARE(l.size(), QSize(18, 30));
        l.SetBevelOut(bvRaised);
        l.SetBevWidth(2);
        l.SetBevelIn(bvLowered);
        l.resize(1, 100);
        QCOMPARE(l.size(), QSize(26, 100));
    }

    void mouseByCheckMode() {
        // Per press and release: Checked (the LED shows it at once) and events.
        const std::pair<TCheckMode, const char*> cases[] = {
            {lcNone, "0 0C 0 0C"},
            {lcButton, "1D 0UC 1D 0UC"},
            {lcCheckBox, "1D 1C 0U 0C"},
            {lcRadioBtn, "1D 1C 0U 0C"}, // without a group it toggles
        };
        for (auto [mode, expected] : cases) {
            QWidget panel;
            const auto l = CtsLamp(clLime, &panel);
            l->SetCheckMode(mode);
            QString events;
            l->OnDown = [&](TRahmen*) { events += "D"; };
            l->OnUp = [&](TRahmen*) { events += "U"; };
            l->onClick = [&](TRahmen*) { events += "C"; };
            QStringList got;
            const auto step = [&] {
                got << QString::number(l->Checked()) + events;
                events.clear();
                return Led(*l) == (l->Checked() ? kLime : kDarkLime);
            };
            for (int i = 0; i < 2; ++i) {
                QTest::mousePress(l.get(), Qt::LeftButton, {}, {3, 3});
                QVERIFY(step());
                QTest::mouseRelease(l.get(), Qt::LeftButton, {}, {3, 3});
                QVERIFY(step());
            }
            QCOMPARE(got.join(' '), QString(expected));
        }
    }

    void radioGroups() {
        QWidget panelA, panelB;
        const auto make = [](QWidget* parent, TCheckMode mode, int group, bool checked) {
            auto l = std::make_unique<TLedCheck>(parent);
            l->SetCheckMode(mode);
            l->SetGroupIndex(group);
            l->SetChecked(checked);
            return l;
        };
        std::unique_ptr<TLedCheck> a[3];
        for (auto& l : a)
            l = make(&panelA, lcRadioBtn, 1, false);
        const auto otherPanel = make(&panelB, lcRadioBtn, 1, true);
        const auto otherGroup = make(&panelA, lcRadioBtn, 2, true);
        const auto checkBox = make(&panelA, lcCheckBox, 1, true);
        QTest::mouseClick(a[0].get(), Qt::LeftButton, {}, {3, 3});
        QVERIFY(a[0]->Checked());
        int events = 0;
        a[1]->OnDown = a[1]->OnUp = [&](TRahmen*) { ++events; };
        QTest::mouseClick(a[1].get(), Qt::LeftButton, {}, {3, 3});
        QVERIFY(!a[0]->Checked());
        QVERIFY(a[1]->Checked());
        QCOMPARE(Led(*a[0]), kDarkRed);
        QTest::mouseClick(a[1].get(), Qt::LeftButton, {}, {3, 3}); // changes nothing
        QVERIFY(a[1]->Checked());
        QCOMPARE(events, 1);
        a[2]->SetChecked(true); // in code too
        QVERIFY(!a[1]->Checked());
        QVERIFY(otherPanel->Checked() && otherGroup->Checked() && checkBox->Checked());
    }

    void blinkAndFlashFollowTheTicks() {
        std::unique_ptr<TLedCheck> lamps[2] = {CtsLamp(), CtsLamp()};
        for (const auto& l : lamps) {
            l->SetChecked(true);
            l->SetLedBlink(true);
            Shot(*l);
        }
        // Both follow the shared flag, each redrawn only at its own phase.
        bool shown[2] = {true, true};
        int changes = 0;
        for (int t = 0; t < 15; ++t) {
            TickService().Tick();
            const bool flag = TickService().BlinkFlag();
            for (int i = 0; i < 2; ++i) {
                if (TickService().Timer(lamps[i]->BlinkTimer())->Reload ==
                    TickService().BlinkPhase())
                    changes += std::exchange(shown[i], flag) != flag;
                QCOMPARE(Led(*lamps[i]), shown[i] ? kLime : kDarkLime);
            }
        }
        QVERIFY(changes >= 2);
        lamps[0]->SetChecked(false); // blinks only while checked
        for (int t = 0; t < 14; ++t) {
            TickService().Tick();
            QCOMPARE(Led(*lamps[0]), kDarkLime);
        }
        const auto brk = CtsLamp(clRed); // the break lamp: 500 ms, 9 ticks
        brk->SetLedFlashTime(500);
        Shot(*brk);
        brk->SetLedFlash(true);
        for (int t = 1; t < 9; ++t) {
            TickService().Tick();
            QCOMPARE(Led(*brk), kRed);
        }
        TickService().Tick();
        QCOMPARE(Led(*brk), kDarkRed);
        brk->SetLedFlash(true);
        QCOMPARE(Led(*brk), kRed);
        brk->SetLedFlash(false); // darkens at once, and the ticks leave it so
        QCOMPARE(Led(*brk), kDarkRed);
        for (int t = 0; t < 9; ++t)
            TickService().Tick();
        QCOMPARE(Led(*brk), kDarkRed);
    }

    void badInputPaintsHarmlessly() {
        for (int px : {1, 400, 3000}) {
            QWidget panel;
            TLedCheck l(&panel);
            l.resize(3, 3);
            SetFontHeight(l, px);
            l.SetCaption(QString(2000, 'W'));
            l.SetCaptFrame(true);
            l.SetCheckMode(lcRadioBtn);
            l.SetGroupIndex(INT_MAX);
            for (int pos = orTop; pos <= orRight + 1; ++pos) {
                l.SetCaptPos(TOrientType(pos));
                l.SetLedShape(pos % 2 ? ledRectangle : ledCircle);
                l.SetLedBevel(TBevelCut(pos));
                l.SetBevelOut(TBevelCut(pos));
                Shot(l);
                QTest::mouseClick(&l, Qt::LeftButton, {}, {1, 1});
            }
        }
    }

    // Last, so the ticks above were all stepped by hand.
    void tickDriverRunsOnlyWhileALampFlashesOrBlinks() {
        StartTickService();
        StartTickService(); // running already: no second timer
        QVERIFY(TickServiceRunning());
        const auto lamp = CtsLamp(clRed);
        lamp->SetLedFlashTime(500);
        Shot(*lamp);
        const auto idleFor = [](int ms) {
            const std::uint64_t ticks = TickService().TicksRun();
            QTest::qWait(ms);
            return !TickTimerActive() && TickService().TicksRun() == ticks;
        };
        QVERIFY(idleFor(200)); // a shown lamp, dark or lit, needs no ticks
        lamp->SetChecked(true);
        QVERIFY(idleFor(200));
        lamp->SetChecked(false);

        // A flash wakes the timer for its nine ticks, then it sleeps again.
        const std::uint64_t before = TickService().TicksRun();
        QElapsedTimer clock;
        clock.start();
        lamp->SetLedFlash(true);
        QVERIFY(TickTimerActive());
        QCOMPARE(Led(*lamp), kRed);
        QTRY_VERIFY_WITH_TIMEOUT(!TickTimerActive(), 3000);
        QVERIFY(clock.elapsed() >= 8 * TTickService::TickMs);
        QCOMPARE(Led(*lamp), kDarkRed);
        QCOMPARE(TickService().TicksRun() - before, 9u);
        QVERIFY(idleFor(300)); // LedFlash stays true, but nothing is left to darken

        // Blinking keeps it running, at the shared rhythm, until it ends.
        lamp->SetChecked(true);
        lamp->SetLedBlink(true);
        QVERIFY(TickTimerActive());
        bool seen[2] = {false, false};
        QTRY_VERIFY_WITH_TIMEOUT((seen[Led(*lamp) == kRed] = true, seen[0] && seen[1]), 3000);
        lamp->SetLedBlink(false);
        QTRY_VERIFY_WITH_TIMEOUT(!TickTimerActive(), 1000);
        QVERIFY(idleFor(200));

        StopTickService();
        QVERIFY(!TickServiceRunning());
        lamp->SetLedFlash(true); // without the driver nothing ticks
        QVERIFY(idleFor(150));
        QCOMPARE(Led(*lamp), kRed);
        // A thread without an event loop cannot have the timer.
        QString error;
        std::thread([&] {
            try {
                TTickServiceRun run;
            } catch (const EOutOfResources& e) {
                error = e.what();
            }
        }).join();
        QCOMPARE(error, QString("no more timers"));
        QVERIFY(!TickServiceRunning());
    }
};

QTEST_MAIN(ControlsTest)
#include "ControlsTest.moc"
