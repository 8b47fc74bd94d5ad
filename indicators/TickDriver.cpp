#include "TickDriver.h"

#include "Platform.h"
#include "TickService.h"

#include <QTimer>

#include <memory>

namespace {
std::unique_ptr<QTimer> gTimer;
}

void StartTickService() {
    if (gTimer) return;
    auto timer = std::make_unique<QTimer>();
    timer->setTimerType(Qt::PreciseTimer); // the flash times count whole 55 ms ticks
    QObject::connect(timer.get(), &QTimer::timeout,
                     [] { platform::Guarded([] { TickService().Tick(); }); });
    timer->start(TTickService::TickMs);
    // Without an event dispatcher (or with the timers used up) no id is given.
    if (timer->timerId() <= 0) throw EOutOfResources("no more timers");
    gTimer = std::move(timer);
}

void StopTickService() {
    if (!gTimer) return;
    gTimer->stop();
    gTimer.reset();
}

bool TickServiceRunning() {
    return gTimer && gTimer->isActive();
}
