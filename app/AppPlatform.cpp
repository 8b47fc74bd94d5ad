#include "AppPlatform.h"

#include "Platform.h"
#include "SyncQueue.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QSocketNotifier>
#include <QWidget>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int g_signalFds[2] = {-1, -1};
bool g_closingOnSignal = false;

void OnSignal(int) {
    const char b = 1;
    // Only async-signal-safe work here: the window closes on the event loop.
    [[maybe_unused]] ssize_t n = ::write(g_signalFds[0], &b, 1);
}
} // namespace

namespace AppPlatform {

void Install() {
    platform::SetBeeper([](std::uint32_t) { QApplication::beep(); });
    platform::SetErrorReporter([](const std::string& message) {
        QMessageBox::critical(QApplication::activeWindow(), QApplication::applicationName(),
                              QString::fromStdString(message));
    });
    // Port threads hand their events to the window thread through this queue.
    SyncQueue::Instance().SetWakeUp([] {
        QMetaObject::invokeMethod(
            qApp, [] { SyncQueue::Instance().Drain(); }, Qt::QueuedConnection);
    });
}

void CloseOnSignals(QWidget* window) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalFds) != 0) return;
    auto* notifier = new QSocketNotifier(g_signalFds[1], QSocketNotifier::Read, qApp);
    QPointer<QWidget> target(window);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [target] {
        char buf[16];
        [[maybe_unused]] ssize_t n = ::read(g_signalFds[1], buf, sizeof buf);
        g_closingOnSignal = true;
        // A box or dialog waiting for a click must not hold the close up.
        while (QWidget* modal = QApplication::activeModalWidget())
            if (!modal->close()) break;
        if (target)
            target->close();
        else
            QApplication::quit();
    });
    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

bool ClosingOnSignal() {
    return g_closingOnSignal;
}

} // namespace AppPlatform
