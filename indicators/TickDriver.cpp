#include "TickDriver.h"

#include "Platform.h"
#include "TickService.h"

#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>

namespace {

using TClock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kTick{TTickService::TickMs};

std::unique_ptr<QTimer> gTimer;
// The last tick run or accounted for; the next one is due a tick after it.
TClock::time_point gLast;
// The first timeout after a wake lands on the old grid; then back to 55 ms.
bool gRealign = false;

void OnTimeout() {
    if (gRealign) {
        gRealign = false;
        gTimer->setInterval(kTick); // restarts it: the grid continues from here
    }
    gLast = TClock::now();
    platform::Guarded([] { TickService().Tick(); });
    if (gTimer && !TickService().NeedsTicks()) gTimer->stop();
}

std::uint64_t ElapsedWhileStopped() {
    if (!gTimer || gTimer->isActive()) return 0;
    const auto n = (TClock::now() - gLast) / kTick;
    if (n <= 0) return 0;
    gLast += n * kTick;
    return static_cast<std::uint64_t>(n);
}

void Wake() {
    if (!gTimer || gTimer->isActive()) return;
    const auto due = gLast + kTick - TClock::now();
    const double ms = std::chrono::duration<double, std::milli>(due).count();
    gRealign = true;
    gTimer->start(static_cast<int>(std::clamp(std::ceil(ms), 0.0, double(TTickService::TickMs))));
}

} // namespace

void StartTickService() {
    if (gTimer) return;
    auto timer = std::make_unique<QTimer>();
    timer->setTimerType(Qt::PreciseTimer); // the flash times count whole 55 ms ticks
    QObject::connect(timer.get(), &QTimer::timeout, [] { OnTimeout(); });
    timer->start(kTick);
    // Without an event dispatcher (or with the timers used up) no id is given.
    if (timer->timerId() <= 0) throw EOutOfResources("no more timers");
    gTimer = std::move(timer);
    gLast = TClock::now();
    gRealign = false;
    TickService().SetDriver(ElapsedWhileStopped, Wake);
    if (!TickService().NeedsTicks()) gTimer->stop();
}

void StopTickService() {
    if (!gTimer) return;
    TickService().SetDriver(nullptr, nullptr);
    gTimer->stop();
    gTimer.reset();
}

bool TickServiceRunning() {
    return gTimer != nullptr;
}

bool TickTimerActive() {
    return gTimer && gTimer->isActive();
}
