#include "LedCheck.h"
#include "TestPalette.h"
#include "TickService.h"

#include <QTest>

#include <memory>

char* toString(const TRect& r) {
    return QTest::toString(
        QString("(%1, %2, %3, %4)").arg(r.Left).arg(r.Top).arg(r.Right).arg(r.Bottom));
}

namespace {

const QColor kLime(0, 255, 0);
const QColor kDarkLime(0, 0x60, 0);
const QColor kDarkRed(0x60, 0, 0);
const QColor kDisabledLed(0x96, 0x96, 0x96);
const QColor kDisabledText(0x80, 0x80, 0x80);

void SetFontHeight(QWidget& w, int px) {
    QFont f = w.font();
    f.setPixelSize(px);
    w.setFont(f);
}

// The CTS lamp of the worked example: 33 x 40, LED size 8, caption on top.
void MakeTopLamp(TLedCheck& l, TColor col = clLime) {
    l.resize(33, 40);
    l.SetCaptPos(orTop);
    l.SetLedSize(8);
    l.SetLedCol(col);
    l.SetCaption("CTS");
    SetFontHeight(l, 11);
}

QColor Led(TLedCheck& l) {
    const QImage img = Shot(l); // paints first, so the centre is known
    return img.pixelColor(l.LedX(), l.LedY());
}

QRect CaptionArea(const TLedCheck& l) {
    const TRect r = l.CaptRect();
    return QRect(r.Left + 1, r.Top + 1, r.Width() - 2, r.Height() - 2);
}

void Ticks(int n) {
    for (int i = 0; i < n; ++i)
        TickService().Tick();
}

void Click(QWidget& w) {
    QTest::mousePress(&w, Qt::LeftButton, {}, {3, 3});
    QTest::mouseRelease(&w, Qt::LeftButton, {}, {3, 3});
}

} // namespace

class LedCheckTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { UseTestPalette(); }

    void defaultsAndTimers() {
        const std::size_t before = TickService().Count();
        {
            TLedCheck l;
            QCOMPARE(l.size(), QSize(113, 17));
            QCOMPARE(l.LedCol(), clRed);
            QCOMPARE(l.CaptPos(), orRight);
            QCOMPARE(l.LedSize(), 8);
            QCOMPARE(l.LedBevel(), bvRaised);
            QCOMPARE(l.BevelOut(), bvNone);
            QCOMPARE(l.BevWidth(), 0);
            QCOMPARE(l.BordWidth(), 0);
            QCOMPARE(l.ColBtnBord(), clBtnFace);
            QCOMPARE(l.BtnPress3D(), false);
            QCOMPARE(l.LedFlashTime(), 300);
            QCOMPARE(l.CheckMode(), lcNone);
            QCOMPARE(l.Checked(), false);
            QCOMPARE(l.Painted(), false);
            // A running phase timer and an idle interval timer of its own.
            QVERIFY(TickService().Timer(l.BlinkTimer())->PhaseTimer);
            QVERIFY(TickService().Timer(l.BlinkTimer())->Enabled);
            QVERIFY(!TickService().Timer(l.FlashTimer())->Enabled);
            QCOMPARE(TickService().Count(), before + 2);
        }
        QCOMPARE(TickService().Count(), before);
    }

    void workedGeometry() {
        TLedCheck l;
        MakeTopLamp(l);
        const QImage img = Shot(l);
        QVERIFY(l.Painted());
        QCOMPARE(l.FontHeight(), 11);
        QCOMPARE(l.InnerRect(), (TRect{0, 0, 33, 40}));
        QCOMPARE(l.LedX(), 16);
        QCOMPARE(l.LedY(), 30);
        QCOMPARE(l.LedRect(), (TRect{8, 22, 24, 38}));
        QCOMPARE(l.CaptRect(), (TRect{2, 6, 31, 20}));
        QCOMPARE(l.LedRadius(), 6); // ring of width 1 inside the background disc
        QCOMPARE(img.pixelColor(16, 30), kDarkLime);
        QCOMPARE(img.pixelColor(10, 30), QColor(Qt::black)); // body outline at radius 6
        QCOMPARE(img.pixelColor(9, 30), kLight);             // upper-left ring of a raised LED
        QCOMPARE(img.pixelColor(22, 30), kShadow);           // lower-right ring
        QCOMPARE(img.pixelColor(1, 1), kFace);
    }

    void placementByCaptionPosition_data() {
        QTest::addColumn<int>("pos");
        QTest::addColumn<int>("ledX");
        QTest::addColumn<int>("ledY");
        QTest::addColumn<TRect>("capt");
        // 113 x 30, LED size 8, font 11: line height 14.
        QTest::newRow("top") << int(orTop) << 56 << 20 << TRect{2, 2, 111, 10};
        QTest::newRow("bottom") << int(orBottom) << 56 << 10 << TRect{2, 20, 111, 28};
        QTest::newRow("left") << int(orLeft) << 103 << 15 << TRect{2, 8, 93, 22};
        QTest::newRow("right") << int(orRight) << 10 << 15 << TRect{20, 8, 111, 22};
    }
    void placementByCaptionPosition() {
        QFETCH(int, pos);
        QFETCH(int, ledX);
        QFETCH(int, ledY);
        QFETCH(TRect, capt);
        TLedCheck l;
        l.resize(113, 30);
        SetFontHeight(l, 11);
        l.SetCaptPos(TOrientType(pos));
        Shot(l);
        QCOMPARE(l.LedX(), ledX);
        QCOMPARE(l.LedY(), ledY);
        QCOMPARE(l.CaptRect(), capt);
    }

    void ringWidthBySize() {
        // Body radius = size - 1 - ring width (1 for 6..8, 2 for 9..14, 3 for
        // 15..17, 4 for 18..26, 5 for 27..29, 6 for 30).
        const std::pair<int, int> cases[] = {{6, 4},   {8, 6},   {9, 6},   {14, 11}, {15, 11},
                                             {17, 13}, {18, 13}, {26, 21}, {27, 21}, {30, 23}};
        for (auto [size, body] : cases) {
            TLedCheck l;
            l.resize(70, 70);
            l.SetLedSize(size);
            Shot(l);
            QCOMPARE(l.LedRadius(), body);
        }
        // The square LED keeps the same ring inside its bounding square.
        TLedCheck sq;
        sq.resize(70, 70);
        sq.SetLedSize(30);
        sq.SetLedShape(ledRectangle);
        sq.SetLedCol(clLime);
        sq.SetChecked(true);
        const QImage img = Shot(sq);
        const TRect r = sq.LedRect(); // shrunk by 1 + ring width
        QCOMPARE(r.Width(), 60 - 2 * 7);
        QCOMPARE(img.pixelColor(sq.LedX(), sq.LedY()), kLime);
        QCOMPARE(img.pixelColor(r.Left, r.Top + 5), QColor(Qt::black));
        QCOMPARE(img.pixelColor(r.Left - 3, r.Top + 5), kLight);   // raised ring, left
        QCOMPARE(img.pixelColor(r.Right + 2, r.Top + 5), kShadow); // right
    }

    void ledColours() {
        struct Case {
            TColor Col;
            bool Checked, Enabled;
            QColor Shown;
        };
        const Case cases[] = {
            {clLime, true, true, kLime},
            {clLime, false, true, kDarkLime},
            {clRed, true, true, QColor(Qt::red)},
            {clRed, false, true, kDarkRed},
            {clLime, true, false, kDisabledLed},
            {clRed, false, false, kDisabledLed},
            {0x00A0B0C0, false, true, QColor(0x40, 0x20, 0x20)}, // each channel & 0x60
        };
        for (const Case& c : cases) {
            TLedCheck l;
            MakeTopLamp(l, c.Col);
            l.SetChecked(c.Checked);
            l.setEnabled(c.Enabled);
            QCOMPARE(Led(l), c.Shown);
        }
    }

    void settersRedrawAtOnce() {
        QWidget panel;
        TLedCheck l(&panel);
        MakeTopLamp(l, clRed);
        Shot(l);
        l.SetChecked(true);
        QCOMPARE(Led(l), QColor(Qt::red));
        l.SetLedCol(clLime);
        QCOMPARE(Led(l), kLime);
        l.setEnabled(false);
        QCOMPARE(Led(l), kDisabledLed);
        QVERIFY(CountNear(Shot(l), CaptionArea(l), kDisabledText, 8) > 0);
        QCOMPARE(CountNear(Shot(l), CaptionArea(l), Qt::black, 10), 0);
        l.setEnabled(true);
        QCOMPARE(Led(l), kLime);
        QVERIFY(CountNear(Shot(l), CaptionArea(l), Qt::black, 10) > 0);
    }

    void captionTextAndColour() {
        TLedCheck l;
        l.resize(113, 30);
        SetFontHeight(l, 14);
        l.SetCaption("OFF");
        l.SetCaptionCol(clRed);
        l.SetCaption1("ON");
        l.SetCaptionCol1(clBlue);
        QImage img = Shot(l);
        QVERIFY(CountNear(img, CaptionArea(l), Qt::red) > 0);
        QCOMPARE(CountNear(img, CaptionArea(l), Qt::blue), 0);
        l.SetChecked(true);
        img = Shot(l);
        QVERIFY(CountNear(img, CaptionArea(l), Qt::blue) > 0);
        QCOMPARE(CountNear(img, CaptionArea(l), Qt::red), 0);
        l.SetCaption1("");
        img = Shot(l);
        QVERIFY(CountNear(img, CaptionArea(l), Qt::red) > 0);
        l.SetCaptionCol(clLime); // redraws the caption only
        QVERIFY(CountNear(Shot(l), CaptionArea(l), Qt::green) > 0);
    }

    void captionFrameRules() {
        TLedCheck l;
        l.resize(113, 30);
        SetFontHeight(l, 11);
        l.SetCaption("x");
        l.SetCaptFrmCol(clBlue);
        Shot(l);
        const auto corner = [&] { return Pixel(l, l.CaptRect().Left, l.CaptRect().Top); };
        QCOMPARE(corner(), kFace);
        l.SetCaptFrame(true);
        QCOMPARE(corner(), QColor(Qt::blue));
        QCOMPARE(l.CaptRect().Height(), 16); // the framed line is 2 higher
        l.SetCaptAutoFrm(true);
        QVERIFY(!l.CaptFrame());
        QCOMPARE(corner(), kFace); // auto frame: only while checked
        l.SetChecked(true);
        QCOMPARE(corner(), QColor(Qt::blue));
        l.SetChecked(false);
        QCOMPARE(corner(), kFace);
        l.SetCaptFrame(true);
        QVERIFY(!l.CaptAutoFrm());
        l.SetCaptFrmCol(clRed);
        QCOMPARE(corner(), QColor(Qt::red));
    }

    void setterClamps() {
        TLedCheck l;
        const std::pair<int, int> sizes[] = {{40, 30}, {2, 6}, {-7, 6}, {17, 17}};
        for (auto [given, stored] : sizes) {
            l.SetLedSize(given);
            QCOMPARE(l.LedSize(), stored);
        }
        l.SetLedFlashTime(50);
        QCOMPARE(l.LedFlashTime(), 100);
        l.SetLedFlashTime(INT_MAX);
        QCOMPARE(l.LedFlashTime(), INT_MAX);
        l.SetGroupIndex(-3);
        QCOMPARE(l.GroupIndex(), 0);
        l.SetBevWidth(9);
        QCOMPARE(l.BevWidth(), 5);
        l.SetBevWidth(-1);
        QCOMPARE(l.BevWidth(), 0);
        // The longest flash stays within the 16-bit tick count.
        l.SetLedFlash(true);
        QCOMPARE(TickService().Timer(l.FlashTimer())->Reload, 65535);
    }

    void minimumSize() {
        QWidget panel;
        panel.resize(200, 200);
        TLedCheck l(&panel);
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        QCOMPARE(l.size(), QSize(113, 18)); // 17 is below 2 * 8 + 2
        l.resize(5, 30);
        QCOMPARE(l.size(), QSize(18, 30));
        l.SetBevelOut(bvRaised);
        l.SetBevWidth(2);
        l.resize(5, 5);
        QCOMPARE(l.size(), QSize(22, 22));
        l.SetBevelIn(bvLowered);
        l.SetLedSize(30);
        l.resize(1, 100);
        QCOMPARE(l.size(), QSize(70, 100));
    }

    void mouseByCheckMode_data() {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("expected"); // per press/release: state and events
        QTest::newRow("none") << int(lcNone) << "0:|0:C|0:|0:C";
        QTest::newRow("button") << int(lcButton) << "1:D|0:UC|1:D|0:UC";
        QTest::newRow("check box") << int(lcCheckBox) << "1:D|1:C|0:U|0:C";
        QTest::newRow("radio, no group") << int(lcRadioBtn) << "1:D|1:C|0:U|0:C";
    }
    void mouseByCheckMode() {
        QFETCH(int, mode);
        QFETCH(QString, expected);
        QWidget panel;
        TLedCheck l(&panel);
        MakeTopLamp(l);
        l.SetCheckMode(TCheckMode(mode));
        Shot(l);
        QString events;
        l.OnDown = [&](TRahmen*) { events += "D"; };
        l.OnUp = [&](TRahmen*) { events += "U"; };
        l.onClick = [&](TRahmen*) { events += "C"; };
        QStringList got;
        const auto step = [&] {
            // The LED shows the state the press leads to at once.
            const QColor want = l.Checked() ? kLime : kDarkLime;
            QCOMPARE(Led(l), want);
            got << QString("%1:%2").arg(int(l.Checked())).arg(events);
            events.clear();
        };
        for (int i = 0; i < 2; ++i) {
            QTest::mousePress(&l, Qt::LeftButton, {}, {3, 3});
            step();
            QTest::mouseRelease(&l, Qt::LeftButton, {}, {3, 3});
            step();
        }
        QCOMPARE(got.join('|'), expected);
    }

    void radioGroups() {
        QWidget panelA, panelB;
        std::unique_ptr<TLedCheck> a[3];
        for (auto& l : a) {
            l = std::make_unique<TLedCheck>(&panelA);
            l->SetCheckMode(lcRadioBtn);
            l->SetGroupIndex(1);
        }
        TLedCheck other(&panelB);
        other.SetCheckMode(lcRadioBtn);
        other.SetGroupIndex(1);
        other.SetChecked(true);
        TLedCheck otherGroup(&panelA);
        otherGroup.SetCheckMode(lcRadioBtn);
        otherGroup.SetGroupIndex(2);
        otherGroup.SetChecked(true);
        for (auto& l : a)
            Shot(*l);

        Click(*a[0]);
        QVERIFY(a[0]->Checked());
        int events = 0;
        a[1]->OnDown = a[1]->OnUp = [&](TRahmen*) { ++events; };
        Click(*a[1]);
        QVERIFY(!a[0]->Checked());
        QVERIFY(a[1]->Checked());
        QCOMPARE(events, 1);
        QCOMPARE(Led(*a[0]), kDarkRed);
        // A checked member is not turned off by a press.
        Click(*a[1]);
        QVERIFY(a[1]->Checked());
        QCOMPARE(events, 1);
        // Setting Checked in code turns the others off as well.
        a[2]->SetChecked(true);
        QVERIFY(!a[1]->Checked());
        QVERIFY(!a[0]->Checked());
        // Another parent and another group are left alone.
        QVERIFY(other.Checked());
        QVERIFY(otherGroup.Checked());
        // Check boxes with the same group index are not members.
        TLedCheck box(&panelA);
        box.SetCheckMode(lcCheckBox);
        box.SetGroupIndex(1);
        box.SetChecked(true);
        a[0]->SetChecked(true);
        QVERIFY(box.Checked());
        QVERIFY(!a[2]->Checked());
    }

    void blinkFollowsTheSharedRhythm() {
        TLedCheck l1, l2;
        for (TLedCheck* l : {&l1, &l2}) {
            MakeTopLamp(*l);
            l->SetChecked(true);
            l->SetLedBlink(true);
            Shot(*l);
        }
        QVERIFY(TickService().Timer(l1.BlinkTimer())->Reload !=
                TickService().Timer(l2.BlinkTimer())->Reload);
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
        // Not checked: no blinking.
        l1.SetChecked(false);
        for (int t = 0; t < 14; ++t) {
            TickService().Tick();
            QCOMPARE(Led(l1), kDarkLime);
        }
    }

    void flashDarkensAfterItsTime() {
        for (const auto& [ms, ticks] : {std::pair{500, 9}, std::pair{300, 5}}) {
            TLedCheck l;
            MakeTopLamp(l, clRed);
            l.SetLedFlashTime(ms);
            Shot(l);
            l.SetLedFlash(true);
            for (int t = 1; t < ticks; ++t) {
                TickService().Tick();
                QCOMPARE(Led(l), QColor(Qt::red));
            }
            TickService().Tick();
            QCOMPARE(Led(l), kDarkRed);
            // Again, and switching the flash off darkens at once.
            l.SetLedFlash(true);
            QCOMPARE(Led(l), QColor(Qt::red));
            l.SetLedFlash(false);
            QCOMPARE(Led(l), kDarkRed);
            Ticks(ticks);
            QCOMPARE(Led(l), kDarkRed);
        }
    }

    void fullRepaintShowsTheProperties() {
        TLedCheck l;
        MakeTopLamp(l);
        Shot(l);
        l.SetLedFlash(true); // lit although not checked
        QCOMPARE(Led(l), kLime);
        l.SetCaption("DSR"); // a repaint draws the LED after Checked again
        QCOMPARE(Led(l), kDarkLime);
        int repaints = 0;
        l.OnRepaint = [&](TRahmen*) { ++repaints; };
        l.SetLedShape(ledRectangle);
        Shot(l);
        QCOMPARE(repaints, 1);
    }

    void badInputPaintsHarmlessly() {
        for (int px : {1, 2, 400, 3000}) {
            TLedCheck l;
            l.resize(3, 3);
            SetFontHeight(l, px);
            l.SetCaption(QString(2000, 'W'));
            l.SetCaptFrame(true);
            for (int pos = orTop; pos <= orRight; ++pos) {
                l.SetCaptPos(TOrientType(pos));
                l.SetLedShape(pos % 2 ? ledRectangle : ledCircle);
                l.SetLedBevel(TBevelCut(pos));
                Shot(l);
                l.SetChecked(pos % 2 == 0);
            }
        }
        TLedCheck l;
        l.SetLedSize(INT_MAX);
        l.SetGroupIndex(INT_MIN);
        l.SetCaptPos(TOrientType(200));
        l.SetLedBevel(TBevelCut(99));
        l.resize(0, 0);
        Shot(l);
        QCOMPARE(l.LedSize(), 30);
    }
};

QTEST_MAIN(LedCheckTest)
#include "LedCheckTest.moc"
