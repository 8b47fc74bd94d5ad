// Sessions with the real window and a real settings file in a temporary
// program directory.
#include "AppHarness.h"
#include "AppPlatform.h"
#include "ChannelView.h"
#include "DLGSelect.h"
#include "DlgSess.h"
#include "EmulVT.h"
#include "Platform.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QScreen>
#include <QThread>

#include <csignal>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {
void StartProgram(QProcess& proc, const QString& exe, const QStringList& args) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    proc.setProcessEnvironment(env);
    proc.setWorkingDirectory(QFileInfo(exe).path());
    proc.start(exe, args);
    proc.waitForStarted(10000);
}

// What each thread of the program waits in, for a failure message.
QByteArray Threads(QProcess& proc) {
    QByteArray out = "state " + QByteArray::number(int(proc.state()));
    const QString dir = QString("/proc/%1/task").arg(proc.processId());
    for (const QString& tid : QDir(dir).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        out += "; " + ReadFile(dir + "/" + tid + "/comm").trimmed() + ": " +
               ReadFile(dir + "/" + tid + "/wchan");
    return out;
}

// True once the program's window thread waits in its event loop: the window
// is shown and its session loaded (seen twice, so not a passing wait).
bool WaitUntilIdle(QProcess& proc, int timeoutMs = 20000) {
    const QString wchan = QString("/proc/%1/wchan").arg(proc.processId());
    QElapsedTimer t;
    t.start();
    int seen = 0;
    while (t.elapsed() < timeoutMs && proc.state() == QProcess::Running) {
        seen = ReadFile(wchan).contains("poll") ? seen + 1 : 0;
        if (seen == 2) return true;
        QThread::msleep(30);
    }
    qWarning("not idle after %lld ms: %s; stderr: %s", t.elapsed(), Threads(proc).constData(),
             proc.readAllStandardError().constData());
    return false;
}

void Terminate(QProcess& proc) {
    ::kill(static_cast<pid_t>(proc.processId()), SIGTERM);
}

// Temporary files a save leaves beside the settings file.
QStringList Temporaries(const QString& dir) {
    return QDir(dir).entryList({".Zelmar.ini.tmp*"}, QDir::Files | QDir::Hidden);
}
} // namespace

class TstSessions : public QObject {
    Q_OBJECT
private slots:
    void firstStartGivesDefaultsAndWritesSections();
    void savedSessionComesBack();
    void storedValuesAreCheckedOnLoad();
    void openAndDeleteSessions();
    void newSessionNameRules();
    void sessionNameFromCommandLine();
    void unusableFilesAreSurvived();
    void reservedNamesAndCommentsAreNoSessions();
    void eightBitFileKeepsItsBytesAndLineEnds();
    void offScreenPositionIsCentred();
    void relativePortEntryIsUsedUnusableOneReported();
    void closeBeforeTheSessionLoadedKeepsIt();
    void failedSaveAtASignalCloseIsToldOnStandardError();
    void concurrentInstancesKeepEachOthersSessions();
    void killedSavesLeaveNoTemporaries();
    void signalCloseIsNotHeldByAnOpenBox();
};

void TstSessions::firstStartGivesDefaultsAndWritesSections() {
    AppHarness h;
    QVERIFY(h.Start());
    QCOMPARE(h.Main->windowTitle(), QString("Varnex Dual Terminal [noname]"));
    for (int ch = 0; ch < 2; ++ch) {
        TChannelUi& c = h.Ch(ch);
        const QStringList shown{c.PortCombo->currentText(),    c.BaudCombo->currentText(),
                                c.ParityCombo->currentText(),  c.DataBitsCombo->currentText(),
                                c.StopBitCombo->currentText(), c.HskCombo->currentText()};
        QCOMPARE(shown, (QStringList{"COM1", "9600Bd", "none", "8 Bits", "2 Bits", "none"}));
        QVERIFY(!c.RTSbtn->isChecked() && !c.DTRbtn->isChecked());
        QVERIFY(c.ASCIIcheck->isChecked() && c.ANSIfont12->isChecked());
    }
    QVERIFY(h.Main->showHintsItem->isChecked() && !h.Main->HalfSize);
    h.Close();
    const QByteArray text = ReadFile(h.IniPath());
    QVERIFY2(text.startsWith("[Sessions]\r\nnoname= \r\n"
                             "[Options]\r\nHints=True\r\nANSIfont1=12\r\nANSIfont2=12\r\n"
                             "[noname]\r\nPosX="),
             text.constData());
    qsizetype at = text.indexOf("[noname]");
    for (const char* entry : {"PosX=",
                              "PosY=",
                              "HalfSize=False",
                              "Port1=0",
                              "Port2=0",
                              "Baud1=6",
                              "Baud2=6",
                              "Parity1=0",
                              "Parity2=0",
                              "Data1=3",
                              "Data2=3",
                              "Stop1=2",
                              "Stop2=2",
                              "HSK1=0",
                              "HSK2=0",
                              "RTS1=False",
                              "RTS2=False",
                              "DTR1=False",
                              "DTR2=False",
                              "Mode1=0",
                              "Mode2=0",
                              "AutoReconnect1=False",
                              "AutoReconnect2=False"}) {
        const qsizetype next = text.indexOf(entry, at);
        QVERIFY2(next > at, entry);
        at = next;
    }
}

void TstSessions::savedSessionComesBack() {
    QTemporaryDir dir;
    {
        AppHarness h({}, dir.path());
        QVERIFY(h.Start());
        h.Ch(0).PortCombo->setCurrentIndex(6);
        h.Ch(0).BaudCombo->setCurrentIndex(12);
        h.Ch(1).BaudCombo->setCurrentIndex(13);
        h.Ch(0).ParityCombo->setCurrentIndex(2);
        h.Ch(1).DataBitsCombo->setCurrentIndex(0);
        h.Ch(1).StopBitCombo->setCurrentIndex(0);
        h.Ch(0).RTSbtn->setChecked(true);
        h.Ch(1).DTRbtn->setChecked(true);
        QTest::mouseClick(h.Ch(0).ANSIcheck, Qt::LeftButton);
        QTest::mouseClick(h.Ch(1).BothCheck, Qt::LeftButton);
        h.Ch(0).ANSIfont9->trigger();
        h.Main->showHintsItem->trigger();
        h.Main->BtnHalf->click();
        h.Main->move(140, 150);
        h.Close();
    }
    AppHarness h({}, dir.path());
    QVERIFY(h.Start());
    TComPortN& p1 = *h.Ser->ComPort1;
    TComPortN& p2 = *h.Ser->ComPort2;
    QCOMPARE(h.Ser->PortName1, std::string("COM7"));
    QCOMPARE(p1.BaudRate(), br115200);
    QCOMPARE(p2.BaudRate(), br256000);
    QCOMPARE(p1.Parity().Bits(), prEven);
    QCOMPARE(p2.DataBits(), dbFive);
    QCOMPARE(p2.StopBits(), sbOneStopBit);
    QVERIFY(h.Ch(0).RTSbtn->isChecked() && !h.Ch(0).DTRbtn->isChecked());
    QVERIFY(h.Ch(1).DTRbtn->isChecked());
    QVERIFY(!p1.Connected()); // the lines are set at the next connect only
    QCOMPARE(h.Main->Mode1(), 3);
    QVERIFY(h.Ch(0).ANSIcheck->isChecked() && h.Ch(0).EmulVT->isVisible());
    QCOMPARE(h.Main->Mode2(), 2);
    QVERIFY(h.Ch(0).ANSIfont9->isChecked());
    QCOMPARE(h.Ch(0).EmulVT->LineHeight(), 12);
    QVERIFY(!h.Main->showHintsItem->isChecked());
    QVERIFY(h.Main->HalfSize && h.Main->BtnFull->isVisible());
    QCOMPARE(h.Main->pos(), QPoint(140, 150));
}

void TstSessions::storedValuesAreCheckedOnLoad() {
    AppHarness h;
    QVERIFY(WriteFile(h.IniPath(), "[noname]\r\nBaud2=13\r\nBaud1=fast\r\nParity1=9\r\nData2=-4\r\n"
                                   "Mode2=7\r\nStop1=$1\r\nPosX=0\r\nPosY=100\r\n"
                                   "[Options]\r\nANSIfont2=10\r\nHints=maybe\r\n"));
    h.Main->move(33, 44);
    QVERIFY(h.Start());
    QCOMPARE(h.Main->pos(), QPoint(33, 44)); // PosX 0: position kept
    QCOMPARE(h.Ser->ComPort2->BaudRate(), br256000);
    QCOMPARE(h.Ch(0).BaudCombo->currentIndex(), 6);    // not a number: the default
    QCOMPARE(h.Ch(0).ParityCombo->currentIndex(), -1); // outside the items: none
    QCOMPARE(h.Ser->ComPort1->Parity().Bits(), prNone);
    QCOMPARE(h.Ch(1).DataBitsCombo->currentIndex(), -1);
    QCOMPARE(h.Ch(0).StopBitCombo->currentIndex(), 1); // "$1" is hex
    QCOMPARE(h.Main->Mode2(), 7);
    QVERIFY(h.Ch(1).ASCIIcheck->isChecked()); // radio buttons unchanged
    QVERIFY(h.Ch(1).ANSIfont12->isChecked());
    QVERIFY(!h.Main->showHintsItem->isChecked()); // an unknown text reads as false
    QVERIFY(h.Errors.empty());
}

void TstSessions::openAndDeleteSessions() {
    AppHarness h({"NoName.cfg"});
    QVERIFY(WriteFile(h.IniPath(),
                      "[Sessions]\r\nnoname= \r\nLab= \r\nold= \r\n[Lab]\r\nBaud1=2\r\n"
                      "Mode1=1\r\n[old]\r\nBaud1=4\r\n[noname]\r\nBaud1=3\r\n"));
    QVERIFY(h.Start());
    QCOMPARE(h.Main->SessionName, QString("NoName"));
    TSelSession* dlg = h.Main->SelSession;
    dlg->FormShow();
    QCOMPARE(dlg->SessionList->count(), 3);
    QVERIFY(!dlg->OKBtn->isEnabled());
    dlg->SessionList->setCurrentRow(0); // the current session in another letter case
    QVERIFY(dlg->OKBtn->isEnabled() && !dlg->DelBtn->isEnabled());
    dlg->SessionList->setCurrentRow(2);
    dlg->DelBtn->click();
    QCOMPARE(dlg->SessionList->count(), 2);
    QVERIFY(!dlg->DelBtn->isEnabled() && !dlg->OKBtn->isEnabled());
    QByteArray text = ReadFile(h.IniPath());
    QVERIFY(!text.contains("old") && text.contains("[noname]\r\nBaud1=3"));

    h.Ch(0).BaudCombo->setCurrentIndex(9); // unsaved: dropped by the open
    QTimer::singleShot(0, [dlg] {
        dlg->SessionList->setCurrentRow(1);
        dlg->OKBtn->click();
    });
    h.Main->openSessionItem->trigger();
    QCOMPARE(h.Main->windowTitle(), QString("Varnex Dual Terminal [Lab]"));
    QCOMPARE(h.Ch(0).BaudCombo->currentIndex(), 2);
    QVERIFY(h.Ch(0).HEXcheck->isChecked());
    QCOMPARE(ReadFile(h.IniPath()), text); // nothing written
}

void TstSessions::newSessionNameRules() {
    AppHarness h;
    QVERIFY(h.Start());
    QStringList shown;
    TSessNameDlg::ErrorBox = [&](QWidget*, const QString& text) { shown << text; };
    TSessNameDlg* dlg = h.Main->SessNameDlg;
    auto tryName = [&](const QString& name) {
        shown.clear();
        QTimer::singleShot(0, [&, name] {
            dlg->SessEdit->setText(name);
            dlg->OKBtn->click();
            if (dlg->isVisible()) dlg->CancelBtn->click();
        });
        h.Main->newSession1->trigger();
    };
    tryName("ab");
    QCOMPARE(shown, QStringList{"name too short"});
    for (const QString& bad : {QString("a]b"), QString("x=y"), QString(" lead"), QString("OPTIONS"),
                               QString("ports"), QString("tab\there"), QString(300, 'n')}) {
        tryName(bad);
        QCOMPARE(shown.size(), 1);
    }
    QCOMPARE(h.Main->SessionName, QString("noname"));
    QVERIFY(!QFile::exists(h.IniPath()));
    tryName("abc");
    QVERIFY(shown.isEmpty());
    QCOMPARE(h.Main->SessionName, QString("abc"));
    QCOMPARE(h.Main->windowTitle(), QString("Varnex Dual Terminal [noname]"));
    QVERIFY(ReadFile(h.IniPath()).contains("[abc]"));
    TSessNameDlg::ErrorBox = {};
}

// The name rules themselves are the session-name unit's; here the window
// takes the name its arguments make (split by the shell or not) as its title.
void TstSessions::sessionNameFromCommandLine() {
    AppHarness h({"C:\\data\\lab", "test.cfg"});
    QVERIFY(h.Start());
    QCOMPARE(h.Main->SessionName, QString("lab test"));
    QCOMPARE(h.Main->windowTitle(), QString("Varnex Dual Terminal [lab test]"));
}

void TstSessions::unusableFilesAreSurvived() {
    {
        AppHarness h; // garbage: defaults where unusable, nothing of it lost
        QByteArray garbage(
            "; notes\r\n[noname\r\n=\r\n\x01\xff\r\n[noname]\r\nBaud1=99999999999\r\n"
            "[noname]\r\nBaud1=3\r\n");
        garbage.append(QByteArray(100000, 'x')).append("\r\n[Options]\r\nHints=False");
        QVERIFY(WriteFile(h.IniPath(), garbage));
        QVERIFY(h.Start());
        QCOMPARE(h.Ch(0).BaudCombo->currentIndex(), 6); // overflow; the first section counts
        QVERIFY(!h.Main->showHintsItem->isChecked());
        h.Close();
        const QByteArray after = ReadFile(h.IniPath());
        QVERIFY(after.startsWith("; notes\r\n") && after.contains(QByteArray(100000, 'x')));
        QVERIFY(after.contains("[Sessions]\r\nnoname= \r\n"));
    }
    AppHarness h; // read-only file and directory
    QVERIFY(WriteFile(h.IniPath(), "[noname]\r\nBaud1=4\r\n"));
    QFile::setPermissions(h.IniPath(), QFile::ReadOwner);
    QFile::setPermissions(h.Dir, QFile::ReadOwner | QFile::ExeOwner);
    QVERIFY(h.Start());
    QCOMPARE(h.Ch(0).BaudCombo->currentIndex(), 4);
    h.Close();
    QFile::setPermissions(h.Dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(ReadFile(h.IniPath()), QByteArray("[noname]\r\nBaud1=4\r\n"));
    // The user is told once, with the file and the reason.
    QCOMPARE(h.Errors,
             (std::vector<std::string>{"Settings not saved: " + h.IniPath().toStdString() +
                                       ": Permission denied"}));
}

// A hand-edited list: "Ports", "Options", "Sessions" (any case) and names with
// "]" are no sessions, comment lines are no entries; none of them is listed,
// and nothing of theirs is rewritten or removed.
void TstSessions::reservedNamesAndCommentsAreNoSessions() {
    AppHarness h;
    const QByteArray sessions = "[Sessions]\r\n; see http://x/?y=z\r\nnoname= \r\nPorts= \r\n"
                                "options= \r\nSESSIONS= \r\na]b= \r\n#old= \r\nLab= \r\n";
    const QByteArray ports = "[Ports]\r\nCOM8=/dev/ttyS7\r\n# COM2=/dev/old\r\n";
    QVERIFY(WriteFile(h.IniPath(), sessions + ports + "[Options]\r\nHints=True\r\n" +
                                       "[Lab]\r\nBaud1=2\r\n# note=1\r\n"));
    QVERIFY(h.Start());
    TSelSession* dlg = h.Main->SelSession;
    dlg->FormShow();
    QStringList listed;
    for (int i = 0; i < dlg->SessionList->count(); ++i)
        listed << dlg->SessionList->item(i)->text();
    QCOMPARE(listed, (QStringList{"noname", "Lab"}));
    dlg->SessionList->setCurrentRow(1);
    dlg->DelBtn->click();
    h.Close();
    const QByteArray text = ReadFile(h.IniPath());
    QVERIFY2(text.startsWith(QByteArray(sessions).replace("Lab= \r\n", "") + ports), text);
    QVERIFY2(text.contains("[Options]\r\nHints=True\r\nANSIfont1=12\r\nANSIfont2=12\r\n# note=1"),
             text);
    QVERIFY(!text.contains("[Lab]") && text.count("Port1=") == 1);
}

// A file from a Windows editor: byte-order mark, LF line ends, a Windows-1252
// session name. The name shows decoded, loads, and is saved under its own bytes.
void TstSessions::eightBitFileKeepsItsBytesAndLineEnds() {
    AppHarness h;
    QVERIFY(WriteFile(h.IniPath(),
                      "\xEF\xBB\xBF[Sessions]\nnoname= \nM\xFCller= \n[M\xFCller]\nBaud1=3\n"));
    QVERIFY(h.Start());
    TSelSession* dlg = h.Main->SelSession;
    QString shown;
    QTimer::singleShot(0, [dlg, &shown] {
        if (dlg->SessionList->count() < 2) return dlg->reject(); // the list unread
        dlg->SessionList->setCurrentRow(1);
        shown = dlg->SessionList->currentItem()->text();
        dlg->OKBtn->click();
    });
    h.Main->openSessionItem->trigger();
    QCOMPARE(shown, QString::fromUtf8("M\xC3\xBCller"));
    QCOMPARE(h.Main->windowTitle(), QString::fromUtf8("Varnex Dual Terminal [M\xC3\xBCller]"));
    QCOMPARE(h.Ch(0).BaudCombo->currentIndex(), 3);
    h.Ch(0).BaudCombo->setCurrentIndex(5);
    h.Close();
    const QByteArray text = ReadFile(h.IniPath());
    QVERIFY2(
        text.startsWith("\xEF\xBB\xBF[Sessions]\nnoname= \nM\xFCller= \n[M\xFCller]\nBaud1=5\n"),
        text);
    QVERIFY(!text.contains('\r') && text.count("[M\xFC") == 1 && !text.contains("\xC3"));
}

void TstSessions::offScreenPositionIsCentred() {
    AppHarness h;
    QVERIFY(WriteFile(h.IniPath(), "[noname]\r\nPosX=5000\r\nPosY=4000\r\n"));
    QVERIFY(h.Start());
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const QPoint off = h.Main->frameGeometry().center() - screen.center();
    QVERIFY2(off.manhattanLength() <= 4, qPrintable(QString("%1,%2").arg(off.x()).arg(off.y())));
    h.Close();
    QVERIFY(!ReadFile(h.IniPath()).contains("PosX=5000"));

    // 100 x 50 pixels on the screen are enough to reach the window.
    const QPoint corner = screen.bottomRight() - QPoint(99, 49);
    AppHarness h2;
    QVERIFY(WriteFile(
        h2.IniPath(),
        QString("[noname]\r\nPosX=%1\r\nPosY=%2\r\n").arg(corner.x()).arg(corner.y()).toUtf8()));
    QVERIFY(h2.Start());
    QCOMPARE(h2.Main->pos(), corner);
}

// COM2 maps to a path relative to the settings file (a link to a pseudo-
// terminal there); COM3's entry cannot be used and the connect says so.
void TstSessions::relativePortEntryIsUsedUnusableOneReported() {
    Pty pty;
    QVERIFY(!pty.SlavePath.empty());
    AppHarness h;
    QVERIFY(QDir(h.Dir).mkpath("dev"));
    QVERIFY(QFile::link(QString::fromStdString(pty.SlavePath), h.Dir + "/dev/tty"));
    QVERIFY(WriteFile(h.IniPath(), "[Ports]\r\nCOM2=dev/tty\r\nCOM3=bad\x01tty\r\n"));
    h.Main->LoadPortMap();
    QVERIFY(h.Start());
    QVERIFY(h.Connect(0, 1));
    QVERIFY(pty.WriteAll("hi", 2));
    QTRY_COMPARE(h.Main->RxData1(), std::string("hi"));
    platform::TakeBeeps();
    QVERIFY(!h.Connect(1, 2));
    QCOMPARE(h.Main->StatusText(3), QString("COM3: [Ports] entry \"bad?tty\" not usable"));
    QCOMPARE(platform::TakeBeeps().size(), std::size_t(1));
}

// A close before the first paint has loaded nothing: saving would put the
// defaults over the stored session.
void TstSessions::closeBeforeTheSessionLoadedKeepsIt() {
    AppHarness h;
    const QByteArray text = "[noname]\r\nBaud1=4\r\n";
    QVERIFY(WriteFile(h.IniPath(), text));
    h.Close();
    QCOMPARE(ReadFile(h.IniPath()), text);
}

// At a SIGTERM close no box may wait for a click: the failure goes to standard
// error, the program ends at once, the old file stays. A read-only file, and a
// full disk (the file size limit standing in for it).
void TstSessions::failedSaveAtASignalCloseIsToldOnStandardError() {
    QTemporaryDir dir;
    const QString exe = CopyProgram(dir.path()), ini = dir.filePath("Zelmar.ini");
    const QByteArray text = "[noname]\r\nBaud1=4\r\n" + QByteArray(20000, ';') + "\r\n";
    for (const char* reason : {"Permission denied", "File too large"}) {
        QVERIFY(WriteFile(ini, text));
        const bool readOnly = QByteArray(reason) == "Permission denied";
        QFile::setPermissions(ini,
                              readOnly ? QFile::ReadOwner : QFile::ReadOwner | QFile::WriteOwner);
        QProcess proc;
        if (!readOnly)
            proc.setChildProcessModifier([] {
                ::signal(SIGXFSZ, SIG_IGN);
                rlimit rl{8192, 8192};
                ::setrlimit(RLIMIT_FSIZE, &rl);
            });
        StartProgram(proc, exe, {});
        QVERIFY(WaitUntilIdle(proc));
        Terminate(proc);
        QVERIFY(proc.waitForFinished(5000));
        QCOMPARE(proc.exitCode(), 0);
        const QString err = QString::fromUtf8(proc.readAllStandardError());
        QVERIFY2(err.contains("zelmar: Settings not saved: " + ini + ": " + reason),
                 qPrintable(err));
        QCOMPARE(ReadFile(ini), text);
        QCOMPARE(Temporaries(dir.path()), QStringList());
    }
}

// Sixty rounds of two programs in one directory (sessions A_i and B_i), both
// sent SIGTERM at once: every save is whole, every name listed.
void TstSessions::concurrentInstancesKeepEachOthersSessions() {
    QTemporaryDir dir;
    const QString exe = CopyProgram(dir.path());
    constexpr int Rounds = 60;
    for (int i = 0; i < Rounds; ++i) {
        QProcess a, b;
        StartProgram(a, exe, {QString("A_%1").arg(i)});
        StartProgram(b, exe, {QString("B_%1").arg(i)});
        QVERIFY(WaitUntilIdle(a) && WaitUntilIdle(b));
        Terminate(a);
        Terminate(b);
        QVERIFY(a.waitForFinished(10000) && b.waitForFinished(10000));
        QCOMPARE(a.exitCode() + b.exitCode(), 0);
    }
    const QByteArray text = ReadFile(dir.filePath("Zelmar.ini"));
    const QByteArray list = text.mid(0, text.indexOf("[Options]"));
    for (int i = 0; i < Rounds; ++i)
        for (const char* who : {"A", "B"}) {
            const QByteArray name = QString("%1_%2").arg(who).arg(i).toUtf8();
            QVERIFY2(list.contains("\r\n" + name + "= \r\n"), name);
            const qsizetype at = text.indexOf("[" + name + "]\r\n");
            QVERIFY2(at > 0, name);
            QByteArray section = text.mid(at, text.indexOf("\r\n[", at + 1) - at);
            if (section.endsWith("\r\n")) section.chop(2);
            QVERIFY2(section.count("\r\n") == 23 && section.endsWith("AutoReconnect2=False"),
                     section);
        }
}

// SIGKILL in the middle of saves: the program is killed the moment its save
// creates the temporary file (a 4 MB settings file keeps it busy writing). The
// next save removes whatever the killed ones left.
void TstSessions::killedSavesLeaveNoTemporaries() {
    QTemporaryDir dir;
    const QString exe = CopyProgram(dir.path()), ini = dir.filePath("Zelmar.ini");
    const QByteArray filler = "; " + QByteArray(200000, 'x') + "\r\n";
    QVERIFY(WriteFile(ini, "[Sessions]\r\nnoname= \r\n" + filler.repeated(20)));
    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    QVERIFY(watch >= 0);
    QVERIFY(::inotify_add_watch(watch, QFile::encodeName(dir.path()).constData(), IN_CREATE) >= 0);
    auto tempCreated = [watch](int timeoutMs) {
        pollfd p{watch, POLLIN, 0};
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs && ::poll(&p, 1, timeoutMs) > 0) {
            alignas(inotify_event) char buf[4096];
            const ssize_t n = ::read(watch, buf, sizeof buf);
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
                if (e->len && QByteArray(e->name).startsWith(".Zelmar.ini.tmp")) return true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        }
        return false;
    };
    constexpr int Rounds = 20;
    int leftBehind = 0;
    for (int round = 0; round < Rounds; ++round) {
        QProcess proc;
        StartProgram(proc, exe, {QString("K%1").arg(round)}); // each save changes the file
        QVERIFY(WaitUntilIdle(proc));
        Terminate(proc);
        const bool caught = tempCreated(10000);
        ::kill(static_cast<pid_t>(proc.processId()), SIGKILL);
        QVERIFY(caught);
        QVERIFY(proc.waitForFinished(5000));
        leftBehind += Temporaries(dir.path()).isEmpty() ? 0 : 1;
    }
    ::close(watch);
    qInfo("rounds that left a temporary file: %d of %d", leftBehind, Rounds);
    QVERIFY(leftBehind > 0);
    QProcess proc;
    StartProgram(proc, exe, {"last"});
    QVERIFY(WaitUntilIdle(proc));
    Terminate(proc);
    QVERIFY(proc.waitForFinished(10000));
    QCOMPARE(Temporaries(dir.path()), QStringList());
    const QByteArray text = ReadFile(ini);
    QVERIFY(text.count(filler) == 20 && text.contains("[last]") &&
            text.endsWith("AutoReconnect2=False\r\n"));
}

// SIGTERM while a box waits for a click (the report of a failed save, say):
// the box goes, the window closes and saves.
void TstSessions::signalCloseIsNotHeldByAnOpenBox() {
    AppHarness h;
    QVERIFY(h.Start());
    QApplication::setQuitOnLastWindowClosed(false);
    AppPlatform::CloseOnSignals(h.Main.get());
    QTimer::singleShot(50, [] { ::raise(SIGTERM); });
    QTimer::singleShot(5000, [] { // only when the signal did not end the box
        if (QWidget* w = QApplication::activeModalWidget()) w->close();
    });
    QElapsedTimer t;
    t.start();
    QMessageBox::critical(h.Main.get(), "zelmar", "waiting for a click");
    QVERIFY(t.elapsed() < 4000);
    QVERIFY(!h.Main->isVisible());
    QVERIFY(ReadFile(h.IniPath()).contains("[noname]"));
    QVERIFY(AppPlatform::ClosingOnSignal());
}

QTEST_MAIN(TstSessions)
#include "tst_sessions.moc"
