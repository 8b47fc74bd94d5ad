#include "AppHarness.h"

#include "AppPlatform.h"
#include "Platform.h"
#include "TickDriver.h"
#include "device/PortMap.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QTest>
#include <QToolButton>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

AppHarness::AppHarness(const QStringList& args, const QString& dir) {
    AppPlatform::Install();
    platform::SetBeeper({});
    platform::SetErrorReporter([this](const std::string& m) { Errors.push_back(m); });
    platform::TakeBeeps();
    serial::ResetPortMap();
    StartTickService(); // as at program start: before any lamp exists
    Dir = dir.isEmpty() ? Temp.path() : dir;
    Main = std::make_unique<TTermMain>(IniPath(), args);
    Ser = std::make_unique<TSerForm>(Main.get());
    Main->SetSerForm(Ser.get());
    Main->LoadPortMap();
}

AppHarness::~AppHarness() {
    Ser.reset(); // ports close before the window goes
    Main.reset();
    StopTickService();
    platform::SetErrorReporter({});
    serial::ResetPortMap();
}

QString AppHarness::IniPath() const {
    return QDir(Dir).filePath("Zelmar.ini");
}

bool AppHarness::Start() {
    Main->show();
    if (!QTest::qWaitForWindowExposed(Main.get())) return false;
    return QTest::qWaitFor([this] { return !Main->FirstPaint; }, 5000);
}

void AppHarness::Close() {
    Main->close();
}

bool AppHarness::Connect(int ch, int comIndex) {
    TChannelUi& c = Main->Channel(ch);
    c.PortCombo->setCurrentIndex(comIndex);
    emit c.PortCombo->activated(comIndex);
    QTest::mouseClick(c.ComPortBtn, Qt::LeftButton);
    return c.ComPortBtn->isChecked();
}

bool AppHarness::ConnectTo(int ch, int comIndex, const std::string& device) {
    return serial::SetPortMapEntry("COM" + std::to_string(comIndex + 1), device) &&
           Connect(ch, comIndex);
}

namespace apptest {

void Pick(QComboBox* list, int index) {
    list->setCurrentIndex(index);
    emit list->activated(index);
}

void PostKeys(QWidget* w, const QString& text) {
    for (QChar c : text) {
        const int key = c.toUpper().unicode();
        QCoreApplication::postEvent(w, new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier, c));
        QCoreApplication::postEvent(w, new QKeyEvent(QEvent::KeyRelease, key, Qt::NoModifier, c));
    }
}

InTempDir::InTempDir() : old(QDir::currentPath()) {
    QDir::setCurrent(dir.path());
}

InTempDir::~InTempDir() {
    QDir::setCurrent(old);
}

void InTempDir::Write(const QString& name, const QByteArray& data) {
    WriteFile(dir.filePath(name), data);
}

} // namespace apptest

Pty::Pty() {
    int slave = -1;
    char name[128] = {};
    if (openpty(&Master, &slave, name, nullptr, nullptr) != 0) return;
    SlavePath = name;
    termios t{};
    tcgetattr(Master, &t);
    cfmakeraw(&t);
    tcsetattr(Master, TCSANOW, &t);
    ::close(slave); // the program opens the slave by its path
    fcntl(Master, F_SETFD, FD_CLOEXEC);
}

Pty::~Pty() {
    CloseMaster();
}

void Pty::CloseMaster() {
    if (Master >= 0) ::close(Master);
    Master = -1;
}

bool Pty::WriteAll(const void* data, size_t n) {
    auto* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t w = ::write(Master, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= size_t(w);
    }
    return true;
}

std::string Pty::ReadAvailable(int waitMs) {
    std::string out;
    pollfd pfd{Master, POLLIN, 0};
    while (::poll(&pfd, 1, waitMs) > 0 && (pfd.revents & POLLIN)) {
        char buf[4096];
        const ssize_t n = ::read(Master, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, size_t(n));
        waitMs = 50;
    }
    return out;
}

QByteArray ReadFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool WriteFile(const QString& path, const QByteArray& text) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size();
}

QString CopyProgram(const QString& dir) {
    QDir().mkpath(dir);
    const QString exe = dir + "/zelmar";
    if (!QFile::copy(ZELMAR_BIN, exe)) return {};
    QFile::setPermissions(exe, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return exe;
}

double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

int OpenFdCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}
