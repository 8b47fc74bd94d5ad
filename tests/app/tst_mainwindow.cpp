// The main window as a user meets it: layout, connect failures, port lists,
// clear buttons, hints and the close order.
#include "AppHarness.h"
#include "ChannelView.h"
#include "LedCheck.h"
#include "MemoView.h"
#include "Platform.h"
#include "device/PortMap.h"

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QHelpEvent>
#include <QMenuBar>
#include <QRadioButton>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>

class TstMainWindow : public QObject {
    Q_OBJECT
private slots:
    void layoutAsGiven();
    void connectWithUnusablePortBeepsAndStaysDown();
    void connectWithoutSelectionBeeps();
    void listIndexOutsideRangeChangesNothing();
    void baudItem13SetsBr256000AndHandshakeDoesNothing();
    void clearButtonsEmptyViewAndHistory();
    void lineButtonsOnClosedPortShowNothing();
    void hintGoesToStatusPanelUnlessSwitchedOff();
    void closeClosesPortsBeforeSaving();
    void exceptionInHandlerGoesToErrorReport();
};

void TstMainWindow::layoutAsGiven() {
    AppHarness h;
    QVERIFY(h.Start());
    TTermMain& m = *h.Main;
    QCOMPARE(m.windowTitle(), QString("Varnex Dual Terminal [noname]"));
    QCOMPARE(m.centralWidget()->size(), QSize(1010, 611));
    QCOMPARE(m.StatusBar->height(), 25);
    QCOMPARE(m.StatusText(1), QString("disconnected"));
    QCOMPARE(m.StatusText(3), QString("disconnected"));
    QCOMPARE(m.StatusPanels[0]->width(), 400);
    QCOMPARE(m.StatusPanels[2]->width(), 410);
    // The last panel reaches the right edge of the bar.
    QCOMPARE(m.StatusPanels[3]->geometry().right() + 1 >= m.StatusBar->width() - 4, true);
    QVERIFY(!(m.windowFlags() & Qt::WindowMaximizeButtonHint));

    struct Expect {
        const char* name;
        QRect rect;
    } expect[] = {
        {"Panel3", {0, 0, 504, 611}},       {"Panel5", {506, 0, 504, 611}},
        {"Panel1", {1, 1, 502, 94}},        {"PortCombo1", {6, 20, 59, 23}},
        {"LEDcon1", {66, 19, 25, 25}},      {"BaudCombo2", {106, 20, 71, 23}},
        {"CTSLED1", {408, 4, 33, 40}},      {"ComPortBtn1", {6, 64, 83, 24}},
        {"DTRbtn1", {316, 64, 51, 23}},     {"DTRbtn2", {318, 64, 51, 23}},
        {"BrkLed2", {376, 48, 33, 40}},     {"OutPutList1", {1, 95, 502, 298}},
        {"EmulVT2", {1, 95, 504, 298}},     {"PrnBtn1", {414, 395, 70, 20}},
        {"PrnBtn2", {412, 395, 70, 20}},    {"InputList2", {1, 417, 502, 193}},
        {"BothCheck1", {250, 398, 43, 17}}, {"BtnHalf", {472, 4, 25, 25}},
    };
    for (const Expect& e : expect) {
        auto* w = m.findChild<QWidget*>(e.name);
        QVERIFY2(w, e.name);
        QCOMPARE(w->geometry(), e.rect);
    }
    auto* baud = m.findChild<QComboBox*>("BaudCombo1");
    QCOMPARE(baud->count(), 14);
    QCOMPARE(baud->itemText(10), QString("56000Nd"));
    QVERIFY(!m.findChild<QComboBox*>("HskCombo2")->isEnabled());
    QVERIFY(!m.findChild<QWidget*>("InputList1")->isEnabled());
    QVERIFY(m.findChild<QRadioButton*>("ASCIIcheck2")->isChecked());
    QVERIFY(m.BtnHalf->isVisible());
    QVERIFY(!m.BtnFull->isVisible());
    QCOMPARE(m.findChild<QWidget*>("StopBitCombo1")->property("hint").toString(),
             QString("select the\rstopp bit count|select the stopp bit count"));
    QCOMPARE(m.findChild<QWidget*>("ComPortBtn2")->toolTip(),
             QString("connect/disconnect\nthe selected ComPort"));
    // After the load the session defaults stand in the lists.
    QCOMPARE(m.findChild<QComboBox*>("StopBitCombo1")->currentIndex(), 2);
    QCOMPARE(h.Ser->ComPort1->StopBits(), sbTwoStopBits);
    QCOMPARE(m.findChild<QLabel*>("Label17")->text(), QString("level"));
    QCOMPARE(m.findChild<QLabel*>("Label18")->pos(), QPoint(322, 48));
}

void TstMainWindow::connectWithUnusablePortBeepsAndStaysDown() {
    AppHarness h;
    QVERIFY(h.Start());
    serial::SetPortMapEntry("COM1", h.Dir.toStdString() + "/no-such-device");
    TChannelUi& c = h.Ch(0);
    const TColor ctsBefore = c.CTSLED->LedCol();
    const bool conBefore = c.LEDcon->Checked();
    platform::TakeBeeps();
    const int fds = OpenFdCount();
    QTest::mouseClick(c.ComPortBtn, Qt::LeftButton);
    QVERIFY(!c.ComPortBtn->isChecked());
    QCOMPARE(h.Main->StatusText(1), QString("disconnected"));
    QCOMPARE(c.CTSLED->LedCol(), ctsBefore);
    QCOMPARE(c.LEDcon->Checked(), conBefore);
    QVERIFY(!c.InputList->isEnabled());
    QCOMPARE(platform::TakeBeeps(), std::vector<std::uint32_t>{0});
    QVERIFY(h.Errors.empty()); // a failed connect shows no message
    QCOMPARE(OpenFdCount(), fds);
}

void TstMainWindow::connectWithoutSelectionBeeps() {
    AppHarness h;
    QVERIFY(h.Start());
    TChannelUi& c = h.Ch(1);
    c.PortCombo->setCurrentIndex(-1);
    platform::TakeBeeps();
    QTest::mouseClick(c.ComPortBtn, Qt::LeftButton);
    QVERIFY(!c.ComPortBtn->isChecked());
    QCOMPARE(platform::TakeBeeps(), std::vector<std::uint32_t>{0});
}

void TstMainWindow::listIndexOutsideRangeChangesNothing() {
    AppHarness h;
    QVERIFY(h.Start());
    TChannelUi& c = h.Ch(0);
    TComPortN& port = *h.Ser->ComPort1;
    const auto baud = port.BaudRate();
    const auto parity = port.Parity().Bits();
    const auto data = port.DataBits();
    const auto stop = port.StopBits();
    for (QComboBox* combo : {c.BaudCombo, c.ParityCombo, c.DataBitsCombo, c.StopBitCombo}) {
        combo->setCurrentIndex(-1);
        emit combo->activated(-1);
    }
    h.Main->BaudCombo1Change();
    QCOMPARE(port.BaudRate(), baud);
    QCOMPARE(port.Parity().Bits(), parity);
    QCOMPARE(port.DataBits(), data);
    QCOMPARE(port.StopBits(), stop);
    QVERIFY(h.Errors.empty());
}

void TstMainWindow::baudItem13SetsBr256000AndHandshakeDoesNothing() {
    AppHarness h;
    QVERIFY(h.Start());
    TChannelUi& c = h.Ch(0);
    c.BaudCombo->setCurrentIndex(13);
    emit c.BaudCombo->activated(13);
    QCOMPARE(h.Ser->ComPort1->BaudRate(), br256000);
    QCOMPARE(h.Ser->ComPort2->BaudRate(), br9600); // the other channel keeps its own

    const TFlowControl flow = h.Ser->ComPort1->FlowControl().FlowControl();
    const auto dcb = h.Ser->ComPort1->BuildDCB();
    c.HskCombo->setCurrentIndex(1);
    h.Main->HskCombo1Change();
    QCOMPARE(h.Ser->ComPort1->FlowControl().FlowControl(), flow);
    const auto after = h.Ser->ComPort1->BuildDCB();
    QVERIFY(std::memcmp(&dcb, &after, sizeof dcb) == 0);

    c.ParityCombo->setCurrentIndex(3);
    emit c.ParityCombo->activated(3);
    QCOMPARE(h.Ser->ComPort1->Parity().Bits(), prMark);
    c.DataBitsCombo->setCurrentIndex(1);
    emit c.DataBitsCombo->activated(1);
    QCOMPARE(h.Ser->ComPort1->DataBits(), dbSix);
    c.StopBitCombo->setCurrentIndex(1);
    emit c.StopBitCombo->activated(1);
    QCOMPARE(h.Ser->ComPort1->StopBits(), sbOne5StopBits);
}

void TstMainWindow::clearButtonsEmptyViewAndHistory() {
    AppHarness h;
    QVERIFY(h.Start());
    TChannelUi& c = h.Ch(0);
    for (char b : std::string("line one\r\nline two"))
        h.Main->AddRxByte1(static_cast<unsigned char>(b));
    c.View->ShowTxByte('x');
    QVERIFY(!h.Main->RxData1().empty());
    QVERIFY(c.View->OutPutList().LineCount() > 0);

    QWidget* focusBefore = QApplication::focusWidget();
    QTest::mouseClick(c.ClearInpBtn, Qt::LeftButton);
    QVERIFY(h.Main->RxData1().empty());
    QCOMPARE(c.View->OutPutList().LineCount(), std::size_t(0));
    // The editor is disabled while disconnected: the focus does not move to it.
    QVERIFY(QApplication::focusWidget() != c.InputList);
    Q_UNUSED(focusBefore);

    // A later mode switch shows nothing of the cleared data.
    QTest::mouseClick(c.HEXcheck, Qt::LeftButton);
    QCOMPARE(c.View->OutPutList().LineCount(), std::size_t(0));

    c.InputList->setEnabled(true);
    h.Main->activateWindow();
    QTest::mouseClick(c.ClearOutputBtn, Qt::LeftButton);
    QVERIFY(h.Main->TxData1().empty());
    QCOMPARE(c.View->InputList().LineCount(), std::size_t(0));
    QTRY_VERIFY(c.InputList->hasFocus());
}

void TstMainWindow::lineButtonsOnClosedPortShowNothing() {
    AppHarness h;
    QVERIFY(h.Start());
    TChannelUi& c = h.Ch(1);
    QTest::mouseClick(c.RTSbtn, Qt::LeftButton);
    QTest::mouseClick(c.DTRbtn, Qt::LeftButton);
    QVERIFY(c.RTSbtn->isChecked()); // kept for the next connect
    QVERIFY(c.DTRbtn->isChecked());
    h.Main->BrkLed2Click();
    QVERIFY(h.Errors.empty());
    QVERIFY(!h.Ser->ComPort2->Connected());
}

void TstMainWindow::hintGoesToStatusPanelUnlessSwitchedOff() {
    AppHarness h;
    QVERIFY(h.Start());
    QWidget* baud = h.Ch(0).BaudCombo;
    QHelpEvent tip(QEvent::ToolTip, QPoint(5, 5), baud->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(baud, &tip);
    QCOMPARE(h.Main->StatusText(0), QString("select the\nbaudrate"));

    h.Main->showHintsItem->trigger();
    QVERIFY(!h.Main->showHintsItem->isChecked());
    QHelpEvent tip2(QEvent::ToolTip, QPoint(5, 5), QPoint(5, 5));
    QApplication::sendEvent(h.Ch(0).ParityCombo, &tip2);
    QCOMPARE(h.Main->StatusText(0), QString("select the\nbaudrate")); // kept as it was
    h.Main->showHintsItem->trigger();
    QVERIFY(h.Main->showHintsItem->isChecked());
}

void TstMainWindow::closeClosesPortsBeforeSaving() {
    AppHarness h;
    QVERIFY(h.Start());
    Pty pty;
    QVERIFY(pty.Master >= 0);
    serial::SetPortMapEntry("COM1", pty.SlavePath);
    QTest::mouseClick(h.Ch(0).ComPortBtn, Qt::LeftButton);
    QVERIFY(h.Ser->ComPort1->Connected());
    QVERIFY(!QFile::exists(h.IniPath()));
    bool iniExistedAtClose = true;
    h.Ser->ComPort1->OnAfterClose = [&](TCustomComPort*) {
        iniExistedAtClose = QFile::exists(h.IniPath());
    };
    h.Close();
    QVERIFY(!h.Ser->ComPort1->Connected());
    QVERIFY(!iniExistedAtClose);
    QVERIFY(QFile::exists(h.IniPath()));
}

void TstMainWindow::exceptionInHandlerGoesToErrorReport() {
    AppHarness h;
    QVERIFY(h.Start());
    // A failing send is not caught by the serial module: it reaches the error
    // report through the key handler, never the event loop.
    TChannelUi& c = h.Ch(0);
    c.InputList->setEnabled(true);
    c.InputList->setFocus();
    QTest::keyClick(c.InputList, Qt::Key_A);
    QCOMPARE(h.Errors.size(), std::size_t(1));
    QVERIFY2(h.Errors[0].rfind("WriteFile function failed", 0) == 0, h.Errors[0].c_str());
}

QTEST_MAIN(TstMainWindow)
#include "tst_mainwindow.moc"
