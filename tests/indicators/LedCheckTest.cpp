#include "LedCheck.h"
#include "TestPalette.h"
#include "TickService.h"

#include <memory>

namespace {

const QColor kLime(0, 255, 0), kDarkLime(0, 0x60, 0), kRed(255, 0, 0), kDarkRed(0x60, 0, 0);

void SetFontHeight(QWidget& w, int px) {
    QFont f = w.font();
    f.setPixelSize(px);
    w.setFont(f);
}

// The CTS lamp of the worked example: 33 x 40, LED size 8, caption on top.
void MakeTopLamp(TLedCheck& l, TColor col = clLime) {
    l.resize(33, 40);
    l.SetCaptPos(orTop);
    l.SetLedCol(col);
    l.SetCaption("CTS");
    SetFontHeight(l, 11);
}

QColor Led(TLedCheck& l) {
    const QImage img = Shot(l); // paints first, so the centre is known
    return img.pixelColor(l.LedX(), l.LedY());
}

int CaptionPixels(TLedCheck& l, const QColor& c, int tolerance = 40) {
    const QImage img = Shot(l);
    const TRect r = l.CaptRect();
    return CountNear(img, QRect(r.Left + 1, r.Top + 1, r.Width() - 2, r.Height() - 2), c,
                     tolerance);
}

void Ticks(int n) {
    for (int i = 0; i < n; ++i)
        TickService().Tick();
}

} // namespace

class LedCheckTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { UseTestPalette(); }

    void timersComeAndGoWithTheLamp() {
        const std::size_t before = TickService().Count();
        {
            TLedCheck l;
            QVERIFY(TickService().Timer(l.BlinkTimer())->PhaseTimer);
            QVERIFY(!TickService().Timer(l.FlashTimer())->Enabled);
            QCOMPARE(TickService().Count(), before + 2);
        }
        QCOMPARE(TickService().Count(), before);
    }

    void workedGeometry() {
        TLedCheck l;
        MakeTopLamp(l);
        const QImage img = Shot(l);
        QCOMPARE(l.FontHeight(), 11);
        QVERIFY(l.InnerRect() == (TRect{0, 0, 33, 40}));
        QCOMPARE(l.LedX(), 16);
        QCOMPARE(l.LedY(), 30);
        QVERIFY(l.LedRect() == (TRect{8, 22, 24, 38}));
        QVERIFY(l.CaptRect() == (TRect{2, 6, 31, 20}));
        QCOMPARE(l.LedRadius(), 6);              // inside a ring of width 1
        QCOMPARE(img.pixelColor(9, 30), kLight); // raised ring: light upper-left
        QCOMPARE(img.pixelColor(10, 30), QColor(Qt::black));
        QCOMPARE(img.pixelColor(22, 30), kShadow);
        // The other caption positions on a 113 x 30 lamp (line height 14).
        struct Case {
            TOrientType Pos;
            int X, Y;
            TRect Capt;
        };
        for (const Case& c :
             {Case{orTop, 56, 20, {2, 2, 111, 10}}, Case{orBottom, 56, 10, {2, 20, 111, 28}},
              Case{orLeft, 103, 15, {2, 8, 93, 22}}, Case{orRight, 10, 15, {20, 8, 111, 22}}}) {
            TLedCheck p;
            p.resize(113, 30);
            SetFontHeight(p, 11);
            p.SetCaptPos(c.Pos);
            Shot(p);
            QCOMPARE(p.LedX(), c.X);
            QCOMPARE(p.LedY(), c.Y);
            QVERIFY(p.CaptRect() == c.Capt);
        }
        // Ring width 1 for 6..8, 2 for 9..14, 3 for 15..17, 4 for 18..26,
        // 5 for 27..29, 6 for 30: body radius = size - 1 - ring.
        for (auto [size, body] :
             {std::pair{6, 4}, std::pair{9, 6}, std::pair{14, 11}, std::pair{15, 11},
              std::pair{18, 13}, std::pair{26, 21}, std::pair{27, 21}, std::pair{30, 23}}) {
            TLedCheck s;
            s.resize(70, 70);
            s.SetLedSize(size);
            Shot(s);
            QCOMPARE(s.LedRadius(), body);
        }
        TLedCheck sq; // the square LED: frames of 1, 4 and 2 for size 30
        sq.resize(70, 70);
        sq.SetLedSize(30);
        sq.SetLedShape(ledRectangle);
        const QImage sqImg = Shot(sq);
        const TRect r = sq.LedRect();
        QCOMPARE(r.Width(), 60 - 2 * 7);
        QCOMPARE(sqImg.pixelColor(r.Left, r.Top + 5), QColor(Qt::black));
        QCOMPARE(sqImg.pixelColor(r.Left - 3, r.Top + 5), kLight);
        QCOMPARE(sqImg.pixelColor(r.Right + 2, r.Top + 5), kShadow);
        QCOMPARE(sqImg.pixelColor(r.Left - 1, r.Top + 5), kFace);
    }

    void ledColours() {
        struct Case {
            TColor Col;
            bool Checked, Enabled;
            QColor Shown;
        };
        for (const Case& c : {Case{clLime, true, true, kLime}, Case{clLime, false, true, kDarkLime},
                              Case{clRed, true, true, kRed}, Case{clRed, false, true, kDarkRed},
                              Case{clLime, true, false, QColor(0x96, 0x96, 0x96)},
                              Case{clRed, false, false, QColor(0x96, 0x96, 0x96)},
                              Case{0xA0B0C0, false, true, QColor(0x40, 0x20, 0x20)}}) {
            TLedCheck l;
            MakeTopLamp(l, c.Col);
            l.SetChecked(c.Checked);
            l.setEnabled(c.Enabled);
            QCOMPARE(Led(l), c.Shown);
        }
        // After the first paint the setters redraw the LED and caption at once.
        TLedCheck l;
        MakeTopLamp(l, clRed);
        Shot(l);
        l.SetChecked(true);
        QCOMPARE(Led(l), kRed);
        l.SetLedCol(clLime);
        QCOMPARE(Led(l), kLime);
        l.setEnabled(false);
        QCOMPARE(Led(l), QColor(0x96, 0x96, 0x96));
        QVERIFY(CaptionPixels(l, QColor(0x80, 0x80, 0x80), 8) > 0);
        QCOMPARE(CaptionPixels(l, Qt::black, 10), 0);
        l.setEnabled(true);
        QVERIFY(CaptionPixels(l, Qt::black, 10) > 0);
        // A full repaint draws the LED after Checked again.
        l.SetChecked(false);
        l.SetLedFlash(true);
        QCOMPARE(Led(l), kLime);
        int repaints = 0;
        l.OnRepaint = [&](TRahmen*) { ++repaints; };
        l.SetCaption("DSR");
        QCOMPARE(Led(l), kDarkLime);
        QCOMPARE(repaints, 1);
    }

    void captions() {
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
        // Frame rules: always with CaptFrame, while checked with CaptAutoFrm.
        l.SetCaptFrmCol(clBlue);
        const auto corner = [&] {
            const QImage img = Shot(l);
            return img.pixelColor(l.CaptRect().Left, l.CaptRect().Top);
        };
        QCOMPARE(corner(), kFace);
        l.SetCaptFrame(true);
        QCOMPARE(corner(), QColor(Qt::blue));
        QCOMPARE(l.CaptRect().Height(), 18); // a framed line is 2 higher
        l.SetCaptAutoFrm(true);
        QVERIFY(!l.CaptFrame());
        QCOMPARE(corner(), kFace);
        l.SetChecked(true);
        QCOMPARE(corner(), QColor(Qt::blue));
        l.SetCaptFrame(true);
        QVERIFY(!l.CaptAutoFrm());
        l.SetCaptFrmCol(clRed);
        QCOMPARE(corner(), QColor(Qt::red));
    }

    void clampsAndMinimumSize() {
        QWidget panel;
        panel.resize(200, 200);
        TLedCheck l(&panel);
        for (auto [given, stored] : {std::pair{40, 30}, std::pair{2, 6}, std::pair{-7, 6}}) {
            l.SetLedSize(given);
            QCOMPARE(l.LedSize(), stored);
        }
        l.SetLedSize(8);
        l.SetLedFlashTime(50);
        QCOMPARE(l.LedFlashTime(), 100);
        l.SetGroupIndex(-3);
        QCOMPARE(l.GroupIndex(), 0);
        l.SetBevWidth(9);
        QCOMPARE(l.BevWidth(), 5);
        l.SetBevWidth(-1);
        QCOMPARE(l.BevWidth(), 0);
        l.SetLedFlashTime(INT_MAX); // the longest flash still fits the tick count
        l.SetLedFlash(true);
        QCOMPARE(TickService().Timer(l.FlashTimer())->Reload, 65535);

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
            TLedCheck l(&panel);
            MakeTopLamp(l);
            l.SetCheckMode(mode);
            QString events;
            l.OnDown = [&](TRahmen*) { events += "D"; };
            l.OnUp = [&](TRahmen*) { events += "U"; };
            l.onClick = [&](TRahmen*) { events += "C"; };
            QStringList got;
            const auto step = [&] {
                got << QString::number(l.Checked()) + events;
                events.clear();
                return Led(l) == (l.Checked() ? kLime : kDarkLime);
            };
            for (int i = 0; i < 2; ++i) {
                QTest::mousePress(&l, Qt::LeftButton, {}, {3, 3});
                QVERIFY(step());
                QTest::mouseRelease(&l, Qt::LeftButton, {}, {3, 3});
                QVERIFY(step());
            }
            QCOMPARE(got.join(' '), QString(expected));
        }
    }

    void radioGroups() {
        QWidget panelA, panelB;
        std::unique_ptr<TLedCheck> a[3];
        for (auto& l : a) {
            l = std::make_unique<TLedCheck>(&panelA);
            l->SetCheckMode(lcRadioBtn);
            l->SetGroupIndex(1);
        }
        const auto make = [](QWidget* parent, TCheckMode mode, int group) {
            auto l = std::make_unique<TLedCheck>(parent);
            l->SetCheckMode(mode);
            l->SetGroupIndex(group);
            l->SetChecked(true);
            return l;
        };
        auto otherPanel = make(&panelB, lcRadioBtn, 1);
        auto otherGroup = make(&panelA, lcRadioBtn, 2);
        auto checkBox = make(&panelA, lcCheckBox, 1);
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
        QVERIFY(otherPanel->Checked());
        QVERIFY(otherGroup->Checked());
        QVERIFY(checkBox->Checked());
    }

    void blinkAndFlash() {
        TLedCheck l1, l2;
        for (TLedCheck* l : {&l1, &l2}) {
            MakeTopLamp(*l);
            l->SetChecked(true);
            l->SetLedBlink(true);
            Shot(*l);
        }
        // Both follow the shared flag, each redrawn at its own phase.
        bool shown[2] = {true, true};
        int changes = 0;
        for (int t = 0; t < 15; ++t) {
            TickService().Tick();
            TLedCheck* lamps[2] = {&l1, &l2};
            for (int i = 0; i < 2; ++i) {
                if (TickService().Timer(lamps[i]->BlinkTimer())->Reload ==
                    TickService().BlinkPhase()) {
                    changes += shown[i] != TickService().BlinkFlag();
                    shown[i] = TickService().BlinkFlag();
                }
                QCOMPARE(Led(*lamps[i]), shown[i] ? kLime : kDarkLime);
            }
        }
        QVERIFY(changes >= 2);
        l1.SetChecked(false);
        for (int t = 0; t < 14; ++t) {
            TickService().Tick();
            QCOMPARE(Led(l1), kDarkLime);
        }
        for (const auto& [ms, ticks] : {std::pair{500, 9}, std::pair{300, 5}}) {
            TLedCheck l;
            MakeTopLamp(l, clRed);
            l.SetLedFlashTime(ms);
            Shot(l);
            l.SetLedFlash(true);
            for (int t = 1; t < ticks; ++t) {
                TickService().Tick();
                QCOMPARE(Led(l), kRed);
            }
            TickService().Tick();
            QCOMPARE(Led(l), kDarkRed);
            l.SetLedFlash(true);
            QCOMPARE(Led(l), kRed);
            l.SetLedFlash(false); // darkens at once, and the ticks leave it so
            QCOMPARE(Led(l), kDarkRed);
            Ticks(ticks);
            QCOMPARE(Led(l), kDarkRed);
        }
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
};

QTEST_MAIN(LedCheckTest)
#include "LedCheckTest.moc"
