// The memo widgets with real key and mouse events under the offscreen platform.
#include "MemoView.h"
#include "ChannelView.h"
#include "Platform.h"

#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QInputMethodEvent>
#include <QScrollBar>
#include <QtTest>

#include <memory>

namespace {

// A channel wired to its widgets, with the port writes recorded.
struct TRig {
    QWidget window;
    TMemoView* out = new TMemoView(&window);
    TTxEditor* in = new TTxEditor(&window);
    QWidget* ansi = new QWidget(&window);
    TChannelView ch;
    std::string sent;
    TRig() {
        out->setGeometry(1, 95, 502, 298);
        ansi->setGeometry(1, 95, 502, 298);
        in->setGeometry(1, 417, 502, 193);
        AttachChannelViews(ch, out, in, ansi);
        ch.SendByte = [this](std::uint8_t b) { sent.push_back(static_cast<char>(b)); };
        window.resize(504, 611);
        window.show();
        platform::TakeBeeps();
    }
    void Receive(const std::string& s) {
        for (const char c : s)
            ch.AddRxByte(static_cast<std::uint8_t>(c));
        QCoreApplication::processEvents();
    }
    QStringList Editor() const {
        QStringList l;
        for (std::uint64_t i = 0; i < ch.InputList().LineCount(); ++i)
            l << MemoBytesToQString(ch.InputList().Line(i));
        return l;
    }
    void Key(Qt::Key k, Qt::KeyboardModifiers m = Qt::NoModifier) { QTest::keyClick(in, k, m); }
    void KeyText(int k, const QString& text, Qt::KeyboardModifiers m = Qt::NoModifier) {
        QKeyEvent press(QEvent::KeyPress, k, m, text);
        QApplication::sendEvent(in, &press);
    }
};

using Beeps = std::vector<std::uint32_t>;

} // namespace

class TestMemoView : public QObject {
    Q_OBJECT
private slots:
    void hexEntryThroughKeyEvents() {
        TRig r;
        r.Key(Qt::Key_4, Qt::ControlModifier);
        r.Key(Qt::Key_1, Qt::ControlModifier);
        QCOMPARE(r.sent, std::string("A"));
        QCOMPARE(r.Editor(), QStringList{"A"});
        r.ch.SetMode(TChannelView::dmHEX);
        QCOMPARE(r.Editor(), QStringList{"41 "});
        r.Key(Qt::Key_0, Qt::ControlModifier);
        r.Key(Qt::Key_D, Qt::ControlModifier);
        QCOMPARE(r.sent, std::string("A\r"));
        QCOMPARE(r.Editor(), QStringList{"41 0D "});
        QCOMPARE(platform::TakeBeeps(), Beeps{});
        // Ctrl+4 then x: beep, the 4 dropped, x sent.
        r.Key(Qt::Key_4, Qt::ControlModifier);
        r.Key(Qt::Key_X);
        QCOMPARE(r.sent, std::string("A\rx"));
        QCOMPARE(platform::TakeBeeps(), Beeps{1});
        // Shifted digits, keypad digits and Super combinations are no hex digits.
        r.Key(Qt::Key_Dollar, Qt::ControlModifier | Qt::ShiftModifier);
        r.Key(Qt::Key_4, Qt::ControlModifier | Qt::KeypadModifier);
        r.Key(Qt::Key_4, Qt::ControlModifier | Qt::MetaModifier);
        QVERIFY(!r.ch.Keys().HexPending());
        QCOMPARE(r.sent, std::string("A\rx"));
    }

    // A character composed by the input method (dead key, compose key) has no
    // key-down of its own: it is typed without the Ctrl of the hex entry before it.
    void composedCharacterAfterHexEntry() {
        TRig r;
        r.Key(Qt::Key_4, Qt::ControlModifier);
        r.Key(Qt::Key_1, Qt::ControlModifier);
        // The dead key and the e are taken by the input method: no key events.
        QInputMethodEvent commit;
        commit.setCommitString(QStringLiteral("é"));
        QApplication::sendEvent(r.in, &commit);
        QCOMPARE(r.sent, std::string("A\xe9"));
        QCOMPARE(platform::TakeBeeps(), Beeps{});
        QVERIFY(!(r.ch.Keys().LastShift() & ssCtrl));
        // A character composed while Ctrl is held is refused, as typed ones are.
        QTest::keyPress(r.in, Qt::Key_Control);
        QApplication::sendEvent(r.in, &commit);
        QTest::keyRelease(r.in, Qt::Key_Control);
        QCOMPARE(r.sent, std::string("A\xe9"));
        QCOMPARE(platform::TakeBeeps(), Beeps{1});
    }

    void enterAndRefusedKeys() {
        TRig r;
        r.Key(Qt::Key_Backspace);
        r.Key(Qt::Key_Tab); // stays in the editor: handled, refused
        r.Key(Qt::Key_Escape);
        QCOMPARE(platform::TakeBeeps(), (Beeps{1, 1, 1}));
        QCOMPARE(r.sent, std::string());
        QCOMPARE(r.ch.InputList().LineCount(), 0u);
        r.Key(Qt::Key_A);
        r.KeyText(Qt::Key_B, QStringLiteral("B"), Qt::ShiftModifier);
        r.Key(Qt::Key_Return);
        QCOMPARE(r.sent, std::string("aB\r\n"));
        QCOMPARE(r.Editor(), (QStringList{"aB", ""}));
        QCOMPARE(r.ch.InputList().Caret(), (TMemoPos{1, 0}));
        r.Key(Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(r.sent, std::string("aB\r\n\r\n"));
        // Ctrl+J types code 10: refused with a beep; Ctrl+C types 3: silent.
        r.Key(Qt::Key_J, Qt::ControlModifier);
        r.Key(Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(platform::TakeBeeps(), Beeps{1});
        QCOMPARE(r.sent, std::string("aB\r\n\r\n"));
        // A disabled editor takes nothing.
        r.in->setEnabled(false);
        r.Key(Qt::Key_Z);
        QCOMPARE(r.sent, std::string("aB\r\n\r\n"));
    }

    void unusualKeyboards() {
        TRig r;
        r.Key(Qt::Key_X, Qt::AltModifier);              // a menu key: nothing
        r.Key(Qt::Key_Delete);                          // navigation: nothing
        r.KeyText(Qt::Key_Dead_Acute, QString());       // dead key alone types nothing
        r.KeyText(Qt::Key_Eacute, QStringLiteral("é")); // ...the next key types the letter
        r.KeyText(Qt::Key_At, QStringLiteral("@"), Qt::GroupSwitchModifier); // AltGr here
        r.KeyText(0x20AC, QStringLiteral("€"));
        r.KeyText(Qt::Key_4, QStringLiteral("4"), Qt::MetaModifier);
        QCOMPARE(r.sent, std::string("\xe9@\x80"));
        QCOMPARE(platform::TakeBeeps(), Beeps{});
        // Characters without a byte, and AltGr reported as Ctrl+Alt: refused.
        r.KeyText(0x416, QStringLiteral("Ж"));
        r.KeyText(Qt::Key_Q, QStringLiteral("@"), Qt::ControlModifier | Qt::AltModifier);
        r.KeyText(0x416, QStringLiteral("Ж"), Qt::ControlModifier); // no key code: types nothing
        r.KeyText(Qt::Key_unknown, QString::fromUcs4(U"\U0001F600"));
        QCOMPARE(platform::TakeBeeps(), (Beeps{1, 1, 1}));
        QCOMPARE(r.sent, std::string("\xe9@\x80"));
        // Composed text from an input method arrives as typed characters.
        QInputMethodEvent compose(QStringLiteral("~"), {});
        QApplication::sendEvent(r.in, &compose);
        QInputMethodEvent commit;
        commit.setCommitString(QStringLiteral("ñü"));
        QApplication::sendEvent(r.in, &commit);
        QCOMPARE(r.sent, std::string("\xe9@\x80\xf1\xfc"));
        QCOMPARE(r.Editor(), QStringList{QStringLiteral("é@€ñü")});
    }

    void editorNavigatesWithoutSending() {
        TRig r;
        for (const Qt::Key k : {Qt::Key_H, Qt::Key_E, Qt::Key_Y})
            r.Key(k);
        r.Key(Qt::Key_Left);
        QCOMPARE(r.ch.InputList().Caret(), (TMemoPos{0, 2}));
        r.Key(Qt::Key_Home, Qt::ShiftModifier);
        r.Key(Qt::Key_Insert, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("he"));
        QCOMPARE(r.sent, std::string("hey"));
        QCOMPARE(r.Editor(), QStringList{"hey"});
        // The next byte puts the caret back at the end.
        r.Key(Qt::Key_Exclam, Qt::ShiftModifier);
        QCOMPARE(r.Editor(), QStringList{"hey!"});
        QCOMPARE(r.ch.InputList().Caret(), (TMemoPos{0, 4}));
        QVERIFY(!r.ch.InputList().HasSelection());
    }

    void receiveViewFollowsTheCaret() {
        TRig r;
        std::string data;
        for (int i = 0; i < 500; ++i)
            data += "line " + std::to_string(i) + "\r\n";
        r.Receive(data + "end");
        QScrollBar* bar = r.out->verticalScrollBar();
        const int visible = r.out->VisibleLines();
        QVERIFY(visible >= 15);
        QCOMPARE(bar->maximum(), 501 - visible);
        QCOMPARE(bar->value(), bar->maximum());
        // The user scrolls up; the next byte brings the caret back into view.
        bar->setValue(0);
        QCOMPARE(r.out->TopLine(), 0u);
        r.Receive("!");
        QCOMPARE(bar->value(), bar->maximum());
        // A line end in the receive view scrolls to the caret without moving it.
        r.out->Model()->SetSelection({3, 0}, {3, 2});
        r.Receive("\r");
        QCOMPARE(r.ch.OutPutList().Caret(), (TMemoPos{3, 2}));
        QCOMPARE(r.out->TopLine(), 3u);
        // A font set later (the window's) re-measures the lines.
        QFont big = r.out->font();
        big.setPixelSize(24);
        r.out->setFont(big);
        QVERIFY(r.out->LineHeight() >= 24);
        QCOMPARE(bar->maximum(), 501 - r.out->VisibleLines());
        r.ch.ClearRx();
        QCoreApplication::processEvents();
        QCOMPARE(bar->maximum(), 0);
    }

    void selectionAndCopy() {
        TRig r;
        r.Receive("Hello\r\nW\xf6rld \x80\r\nagain");
        QTest::keyClick(r.out, Qt::Key_Home, Qt::ControlModifier);
        QTest::keyClick(r.out, Qt::Key_End, Qt::ShiftModifier);
        QTest::keyClick(r.out, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("Hello"));
        QTest::keyClick(r.out, Qt::Key_Down, Qt::ShiftModifier);
        QTest::keyClick(r.out, Qt::Key_Insert, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("Hello\nWörld"));
        QTest::keyClick(r.out, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(r.out, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("Hello\nWörld €\nagain"));
        // Drag, extend with Shift, then a double click selects a word.
        QWidget* vp = r.out->viewport();
        const QPoint half(1, r.out->LineHeight() / 2);
        QTest::mousePress(vp, Qt::LeftButton, {}, r.out->PointOf({0, 1}) + half);
        QMouseEvent move(QEvent::MouseMove, r.out->PointOf({1, 3}) + half,
                         vp->mapToGlobal(r.out->PointOf({1, 3}) + half), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(vp, &move);
        QTest::mouseRelease(vp, Qt::LeftButton, {}, r.out->PointOf({1, 3}) + half);
        auto selected = [&] { return MemoBytesToQString(r.ch.OutPutList().SelectedText("\n")); };
        QCOMPARE(selected(), QStringLiteral("ello\nWör"));
        QTest::mouseClick(vp, Qt::LeftButton, Qt::ShiftModifier, r.out->PointOf({2, 2}) + half);
        QCOMPARE(selected(), QStringLiteral("ello\nWörld €\nag"));
        QTest::mouseDClick(vp, Qt::LeftButton, {}, r.out->PointOf({1, 2}) + half);
        QCOMPARE(selected(), QStringLiteral("Wörld"));
    }

    void paintsTextOnlyWhereThereIsSome() {
        TRig r;
        auto whiteLines = [&] {
            const QImage img = r.out->viewport()->grab().toImage();
            const int top = r.out->PointOf({0, 0}).y();
            QSet<int> lines;
            for (int y = 0; y < img.height(); ++y)
                for (int x = 0; x < img.width(); ++x)
                    if (img.pixelColor(x, y) == Qt::white)
                        lines.insert((y - top) / r.out->LineHeight());
            return lines;
        };
        QVERIFY(whiteLines().isEmpty()); // white text on grey: nothing yet
        r.Receive("\r\n\r\nXYZ");
        QCOMPARE(whiteLines(), QSet<int>{2});
    }

    void modeSwitchShowsTheRightView() {
        TRig r;
        QVERIFY(r.out->isVisible() && !r.ansi->isVisible());
        r.ch.SetMode(TChannelView::dmANSI);
        QVERIFY(!r.out->isVisible() && r.ansi->isVisible());
        QCOMPARE(r.window.focusWidget(), r.in);
        r.ch.SetMode(7);
        QVERIFY(r.ansi->isVisible());
        r.ch.SetMode(TChannelView::dmBoth);
        QVERIFY(r.out->isVisible() && !r.ansi->isVisible());
    }

    void channelMayGoBeforeTheWidgets() {
        auto out = std::make_unique<TMemoView>();
        auto in = std::make_unique<TTxEditor>();
        {
            TChannelView ch;
            AttachChannelViews(ch, out.get(), in.get());
            ch.AddRxByte('a');
        }
        QCoreApplication::processEvents();
        QCOMPARE(out->Model(), nullptr);
        out->grab();                          // paints with no model
        QTest::keyClick(in.get(), Qt::Key_A); // goes nowhere, harmlessly
    }
};

QTEST_MAIN(TestMemoView)
#include "MemoViewTest.moc"
