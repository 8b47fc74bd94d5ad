// What each COM name is: the port lists' drop-down lines, the "Ports" dialog
// writing [Ports] (and a second start using it), and a device link that comes
// and goes while the program runs. Real window, real settings file, real
// pseudo-terminals and inotify.
#include "AppHarness.h"
#include "ChannelView.h"
#include "Platform.h"
#include "PortsDlg.h"
#include "device/PortMap.h"

#include <QAction>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <unistd.h>

namespace {

QString Line(QComboBox* combo, int i) {
    return combo->itemData(i, PortTextRole).toString();
}

// What the open drop-down paints for an item.
QString Painted(QComboBox* combo, int i) {
    auto* delegate = dynamic_cast<TPortItemDelegate*>(combo->itemDelegate());
    if (!delegate) return {};
    QStyleOptionViewItem option;
    delegate->initStyleOption(&option, combo->model()->index(i, 0));
    return option.text;
}

const QString Dash = QString::fromUtf8(" \u2014 ");

} // namespace

class TstPorts : public QObject {
    Q_OBJECT
private slots:
    void dropDownShowsWhatEachNameIs();
    void portsDialogWritesPortsAndASecondStartUsesIt();
    void portsDialogRefusesWhatCannotBeStored();
    void portsDialogKeepsPathsItCannotShowExactly();
    void deviceLinkComingAndGoingUpdatesTheLines();
};

void TstPorts::dropDownShowsWhatEachNameIs() {
    Pty pty;
    QVERIFY(pty.Master >= 0);
    QTemporaryDir dir;
    QVERIFY(WriteFile(dir.filePath("Zelmar.ini"),
                      "[Ports]\r\nCOM1=" + QByteArray::fromStdString(pty.SlavePath) +
                          "\r\nCOM2=" + dir.filePath("gone").toUtf8() + "\r\nCOM3=sub/\r\n"));
    AppHarness h({}, dir.path());
    QVERIFY(h.Start());
    for (int ch = 0; ch < 2; ++ch) {
        QComboBox* combo = h.Ch(ch).PortCombo;
        QCOMPARE(Line(combo, 0),
                 "COM1  " + QString::fromStdString(pty.SlavePath) + Dash + "pseudo-terminal");
        QCOMPARE(Line(combo, 1), "COM2  " + dir.filePath("gone") + Dash + "absent");
        QCOMPARE(Line(combo, 2), "COM3  /dev/ttyACM0" + Dash + "[Ports] entry not usable");
        QCOMPARE(Line(combo, 6), "COM7  null-modem:1a" + Dash + "built-in null-modem, end a");
        QCOMPARE(Line(combo, 7), "COM8  null-modem:1b" + Dash + "built-in null-modem, end b");
        QCOMPARE(Painted(combo, 1), Line(combo, 1));
        QCOMPARE(combo->itemData(1, Qt::ToolTipRole).toString(), Line(combo, 1));
        // The closed list and the connect keep to the COM names.
        for (int i = 0; i < combo->count(); ++i)
            QCOMPARE(combo->itemText(i), QString("COM%1").arg(i + 1));
        QVERIFY(combo->view()->minimumWidth() >
                combo->view()->fontMetrics().horizontalAdvance(Line(combo, 1)));
        // The dialog is one right-click away.
        QVERIFY(combo->contextMenuPolicy() == Qt::ActionsContextMenu);
        QVERIFY(combo->actions().contains(h.Main->PortsItem));
    }
    QVERIFY(h.Connect(0, 6));
    QCOMPARE(h.Ch(0).PortCombo->currentText(), QString("COM7"));
}

void TstPorts::portsDialogWritesPortsAndASecondStartUsesIt() {
    Pty pty;
    QVERIFY(pty.Master >= 0);
    QTemporaryDir dir;
    const QByteArray before = "; my bench\r\n[Ports]\r\n; adapters\r\nCOM4=/dev/ttyACM9\r\n"
                              "[noname]\r\nBaud1=6\r\n";
    QVERIFY(WriteFile(dir.filePath("Zelmar.ini"), before));
    const QString slave = QString::fromStdString(pty.SlavePath);
    {
        AppHarness h({}, dir.path());
        QVERIFY(h.Start());
        QCOMPARE(h.Main->PortsItem->text(), QString::fromUtf8("Ports\u2026"));
        TPortsDlg* dlg = h.Main->PortsDlg;
        bool seen = false;
        QTimer::singleShot(0, [&] {
            seen = dlg->isVisible();
            QCOMPARE(dlg->PortEdit[3]->currentText(), QString("/dev/ttyACM9"));
            QCOMPARE(dlg->PortEdit[6]->currentText(), QString("null-modem:1a"));
            // Every device found is offered, the null-modem ends among them.
            QVERIFY(!dlg->DeviceList->findItems("null-modem:1b", Qt::MatchExactly).isEmpty());
            dlg->PortEdit[0]->setCurrentText(slave);
            QCOMPARE(dlg->PortDesc[0]->text(), QString("pseudo-terminal"));
            dlg->DeviceList->setCurrentItem(
                dlg->DeviceList->findItems("null-modem:1b", Qt::MatchExactly).first());
            QTest::mouseClick(dlg->findChild<QPushButton*>("AssignBtn2"), Qt::LeftButton);
            QCOMPARE(dlg->PortEdit[1]->currentText(), QString("null-modem:1b"));
            dlg->PortEdit[3]->setCurrentText(""); // back to the usual device
            dlg->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        });
        h.Main->PortsItem->trigger();
        QVERIFY(seen);
        const QByteArray after = ReadFile(h.IniPath());
        QVERIFY2(after.contains("; my bench\r\n[Ports]\r\n; adapters\r\n"), after.constData());
        QVERIFY(after.contains("COM1=" + slave.toUtf8() + "\r\n"));
        QVERIFY(after.contains("COM2=null-modem:1b\r\n"));
        QVERIFY(!after.contains("COM4="));
        QVERIFY(after.contains("[noname]\r\nBaud1=6\r\n"));
        // The running map and the lines follow at once.
        QCOMPARE(serial::PortMapEntry("COM1"), pty.SlavePath);
        QCOMPARE(serial::PortMapEntry("COM4"), std::string("/dev/ttyACM1"));
        QCOMPARE(Line(h.Ch(1).PortCombo, 0), "COM1  " + slave + Dash + "pseudo-terminal");
        QVERIFY(h.Connect(0, 0));
        QVERIFY(pty.WriteAll("hi", 2));
        QTRY_COMPARE(h.Main->RxData1(), std::string("hi"));
        h.Close();
    }
    AppHarness h({}, dir.path());
    QVERIFY(h.Start());
    QCOMPARE(serial::PortMapEntry("COM1"), pty.SlavePath);
    QVERIFY(h.Connect(0, 0));
    QVERIFY(h.Connect(1, 1)); // COM2 is now the null-modem's b end
    QVERIFY(pty.WriteAll("again", 5));
    QTRY_COMPARE(h.Main->RxData1(), std::string("again"));
}

void TstPorts::portsDialogRefusesWhatCannotBeStored() {
    AppHarness h;
    QVERIFY(h.Start());
    QVERIFY(WriteFile(h.IniPath(), "[Ports]\r\nCOM1=/dev/ttyUSB7\r\n"));
    h.Main->LoadPortMap();
    TPortsDlg* dlg = h.Main->PortsDlg;
    QString shown;
    QTimer::singleShot(0, [&] {
        dlg->PortEdit[0]->setCurrentText("relative/dev");
        QPushButton* ok = dlg->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
        ok->click();
        shown = dlg->ErrorLabel->isVisible() && dlg->isVisible() ? dlg->ErrorLabel->text() : "";
        // Unchanged entries are not rewritten: cancelling leaves the file as it was.
        dlg->reject();
    });
    h.Main->PortsItem->trigger();
    QVERIFY2(shown.contains("COM1") && shown.contains("relative/dev"), qPrintable(shown));
    QCOMPARE(ReadFile(h.IniPath()), QByteArray("[Ports]\r\nCOM1=/dev/ttyUSB7\r\n"));
    QCOMPARE(serial::PortMapEntry("COM1"), std::string("/dev/ttyUSB7"));
}

// A link named in another encoding than UTF-8 (and with a blank) shows with
// a replacement character; an untouched entry, or the same device chosen
// again, keeps its bytes.
void TstPorts::portsDialogKeepsPathsItCannotShowExactly() {
    Pty pty;
    QVERIFY(pty.Master >= 0);
    QTemporaryDir dir;
    const QByteArray link = dir.path().toUtf8() + "/caf\xe9 adapter";
    QVERIFY(::symlink(pty.SlavePath.c_str(), link.constData()) == 0);
    const QByteArray before = "[Ports]\r\nCOM5=" + link + "\r\nCOM6=" + link + "\r\n";
    QVERIFY(WriteFile(dir.filePath("Zelmar.ini"), before));
    AppHarness h({}, dir.path());
    QVERIFY(h.Start());
    TPortsDlg* dlg = h.Main->PortsDlg;
    QString described;
    QTimer::singleShot(0, [&] {
        described = dlg->PortDesc[4]->text();
        dlg->PortEdit[0]->setCurrentText("null-modem:1b");
        // COM6 cleared and the same entry chosen again from its list.
        dlg->PortEdit[5]->setCurrentText("");
        dlg->PortEdit[5]->setCurrentIndex(
            dlg->PortEdit[5]->findText(dlg->PortEdit[4]->currentText()));
        dlg->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    });
    h.Main->PortsItem->trigger();
    const QByteArray after = ReadFile(h.IniPath());
    QVERIFY2(after.contains("COM5=" + link + "\r\n") && after.contains("COM6=" + link + "\r\n"),
             after.toPercentEncoding().constData());
    QVERIFY(after.contains("COM1=null-modem:1b\r\n"));
    QCOMPARE(described, QString("pseudo-terminal"));
    QCOMPARE(serial::PortMapEntry("COM5"), link.toStdString());
    QVERIFY(h.Connect(0, 4));
    QVERIFY(pty.WriteAll("ok", 2));
    QTRY_COMPARE(h.Main->RxData1(), std::string("ok"));
}

void TstPorts::deviceLinkComingAndGoingUpdatesTheLines() {
    Pty pty;
    QVERIFY(pty.Master >= 0);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("by-name"));
    const QString link = dir.filePath("by-name/my-adapter");
    QVERIFY(WriteFile(dir.filePath("Zelmar.ini"), "[Ports]\r\nCOM3=" + link.toUtf8() + "\r\n"));
    AppHarness h({}, dir.path());
    QVERIFY(h.Start());
    QComboBox* combo = h.Ch(1).PortCombo;
    QCOMPARE(Line(combo, 2), "COM3  " + link + Dash + "absent");
    for (int round = 0; round < 3; ++round) {
        QVERIFY(::symlink(pty.SlavePath.c_str(), link.toLocal8Bit().constData()) == 0);
        QTRY_COMPARE_WITH_TIMEOUT(Line(combo, 2), "COM3  " + link + Dash + "pseudo-terminal", 1000);
        QVERIFY(::unlink(link.toLocal8Bit().constData()) == 0);
        QTRY_COMPARE_WITH_TIMEOUT(Line(combo, 2), "COM3  " + link + Dash + "absent", 1000);
    }
    // The link works as a device the moment it is back.
    QVERIFY(::symlink(pty.SlavePath.c_str(), link.toLocal8Bit().constData()) == 0);
    QVERIFY(h.Connect(0, 2));
}

QTEST_MAIN(TstPorts)
#include "tst_ports.moc"
