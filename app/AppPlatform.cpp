#include "AppPlatform.h"

#include "Platform.h"
#include "SyncQueue.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <utility>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int g_signalFds[2] = {-1, -1};
bool g_closingOnSignal = false;
constexpr int kLoadWaitMs = 5000;

// The main window loads its session in its first paint; a close before that
// would save defaults over the stored session. This watches for that paint.
class FirstPaintWatch : public QObject {
public:
    explicit FirstPaintWatch(QWidget* window) : QObject(window) {
        window->installEventFilter(this);
    }
    // Runs `close` once the first paint has returned (at once if it has).
    void WhenLoaded(std::function<void()> close) {
        if (Loaded)
            close();
        else
            Pending = std::move(close);
    }

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint && !Painted) {
            Painted = true;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    Loaded = true;
                    if (Pending) std::exchange(Pending, {})();
                },
                Qt::QueuedConnection);
        }
        return false;
    }

private:
    bool Painted = false;
    bool Loaded = false;
    std::function<void()> Pending;
};

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
    QPointer<FirstPaintWatch> watch(window ? new FirstPaintWatch(window) : nullptr);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [target, watch] {
        char buf[16];
        [[maybe_unused]] ssize_t n = ::read(g_signalFds[1], buf, sizeof buf);
        g_closingOnSignal = true;
        // A box or dialog waiting for a click must not hold the close up.
        while (QWidget* modal = QApplication::activeModalWidget())
            if (!modal->close()) break;
        if (!target || !watch) {
            QApplication::quit();
            return;
        }
        watch->WhenLoaded([target] {
            if (target) target->close();
        });
        // A window never painted has loaded nothing, so there is nothing to save.
        QTimer::singleShot(kLoadWaitMs, qApp, [target] {
            if (target && target->isVisible()) QApplication::quit();
        });
    });
    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // The terminal that started us closed: end as after SIGTERM, saving. Started
    // under nohup (SIGHUP ignored), keep ignoring it.
    struct sigaction old = {};
    if (sigaction(SIGHUP, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
        sigaction(SIGHUP, &sa, nullptr);
}

bool ClosingOnSignal() {
    return g_closingOnSignal;
}

} // namespace AppPlatform
