#include "TickService.h"

#include <algorithm>
#include <cmath>

std::int32_t TTickService::NewRecord(TTickProc callback) {
    std::int32_t id = 0;
    if (!FRecords.empty()) {
        const auto it =
            std::max_element(FRecords.begin(), FRecords.end(),
                             [](const auto& a, const auto& b) { return a->Info.Id < b->Info.Id; });
        id = (*it)->Info.Id + 1;
    }
    auto rec = std::make_unique<TRecord>();
    rec->Info.Id = id;
    rec->Info.Reload = 1000;
    rec->Info.Countdown = 1000;
    rec->Callback = std::move(callback);
    FRecords.push_back(std::move(rec));
    return id;
}

std::int32_t TTickService::AddIntervalTimer(TTickProc callback) {
    CatchUp();
    return NewRecord(std::move(callback));
}

std::int32_t TTickService::AddPhaseTimer(TTickProc callback, bool idle) {
    CatchUp();
    const std::int32_t id = NewRecord(std::move(callback));
    TRecord* r = FRecords.back().get();
    r->Info.PhaseTimer = true;
    r->Info.Enabled = true;
    r->Info.Idle = idle;
    r->Info.Reload = static_cast<std::uint16_t>(FPhaseAllocator);
    FPhaseAllocator = (FPhaseAllocator + 1) % PhaseCount;
    WakeIfNeeded();
    return id;
}

int TTickService::TicksFor(std::int32_t milliseconds) {
    if (milliseconds <= 0) return 0;
    const long ticks = std::lround(static_cast<double>(milliseconds) / 55.5);
    return static_cast<int>(std::clamp<long>(ticks, 1, 65535));
}

void TTickService::SetInterval(std::int32_t id, std::int32_t milliseconds) {
    TRecord* r = Find(id);
    const int ticks = TicksFor(milliseconds);
    if (!r || ticks == 0) return;
    CatchUp();
    r->Info.Reload = static_cast<std::uint16_t>(ticks);
    r->Info.Countdown = static_cast<std::uint16_t>(ticks);
    r->Info.Enabled = true;
    WakeIfNeeded();
}

void TTickService::SetIdle(std::int32_t id, bool idle) {
    TRecord* r = Find(id);
    if (!r || r->Info.Idle == idle) return;
    CatchUp();
    r->Info.Idle = idle;
    WakeIfNeeded();
}

bool TTickService::NeedsTicks() const {
    return std::any_of(FRecords.begin(), FRecords.end(), [](const auto& r) {
        return !r->Removed && r->Callback && r->Info.Enabled && !r->Info.Idle;
    });
}

void TTickService::SetDriver(TElapsedProc elapsed, TWakeProc wake) {
    FElapsed = std::move(elapsed);
    FWake = std::move(wake);
}

void TTickService::CatchUp() {
    // Inside a tick the driver's timer runs, so nothing has been let pass.
    if (FElapsed && FTickDepth == 0) Skip(FElapsed());
}

void TTickService::WakeIfNeeded() {
    if (FWake && NeedsTicks()) FWake();
}

void TTickService::Skip(std::uint64_t n) {
    if (n == 0) return;
    // Every 7 ticks bring the phase round once and flip the flag once.
    const std::uint64_t steps = static_cast<std::uint64_t>(FBlinkPhase) + n;
    FBlinkPhase = static_cast<int>(steps % PhaseCount);
    if ((steps / PhaseCount) % 2 == 1) FBlinkFlag = !FBlinkFlag;
    for (const auto& r : FRecords) {
        TTimerInfo& t = r->Info;
        if (r->Removed || t.PhaseTimer || !t.Enabled || t.Countdown == 0) continue;
        if (n < t.Countdown) {
            t.Countdown = static_cast<std::uint16_t>(t.Countdown - n);
        } else {
            // Expired, reloaded, and counting down again since.
            const std::uint64_t since = (n - t.Countdown) % std::max<std::uint16_t>(t.Reload, 1);
            t.Countdown = static_cast<std::uint16_t>(t.Reload - since);
        }
    }
}

void TTickService::Remove(std::int32_t id) {
    TRecord* r = Find(id);
    if (!r) return;
    CatchUp();
    if (FTickDepth > 0) {
        // A tick is walking the list (maybe inside this very callback): retire
        // the record now, free it when the outermost tick has finished.
        r->Removed = true;
        r->Info.Enabled = false;
        return;
    }
    std::erase_if(FRecords, [r](const auto& p) { return p.get() == r; });
}

TTickService::TRecord* TTickService::Find(std::int32_t id) const {
    for (const auto& r : FRecords)
        if (r->Info.Id == id && !r->Removed) return r.get();
    return nullptr;
}

std::size_t TTickService::Count() const {
    return static_cast<std::size_t>(
        std::count_if(FRecords.begin(), FRecords.end(), [](const auto& r) { return !r->Removed; }));
}

std::optional<TTickService::TTimerInfo> TTickService::Timer(std::int32_t id) const {
    if (const TRecord* r = Find(id)) return r->Info;
    return std::nullopt;
}

void TTickService::Purge() {
    std::erase_if(FRecords, [](const auto& r) { return r->Removed; });
}

void TTickService::Tick() {
    ++FTicksRun;
    if (++FBlinkPhase > PhaseCount - 1) {
        FBlinkPhase = 0;
        FBlinkFlag = !FBlinkFlag;
    }
    ++FTickDepth;
    struct TDepth {
        TTickService* S;
        ~TDepth() {
            if (--S->FTickDepth == 0) S->Purge();
        }
    } depth{this};
    // By index: a callback may add records (appended, run in this pass) or
    // remove them (only marked while ticking).
    for (std::size_t i = 0; i < FRecords.size(); ++i) {
        TRecord* r = FRecords[i].get();
        if (r->Removed || !r->Callback || !r->Info.Enabled) continue;
        if (r->Info.PhaseTimer) {
            if (r->Info.Reload != FBlinkPhase || r->Info.Busy) continue;
            r->Info.Busy = true;
            struct TBusy {
                TRecord* R;
                ~TBusy() { R->Info.Busy = false; }
            } busy{r};
            r->Callback();
        } else {
            // A countdown already at 0 belongs to a callback still running.
            if (r->Info.Countdown > 0) --r->Info.Countdown;
            if (r->Info.Countdown != 0) continue;
            if (r->Info.Busy) {
                r->Info.Countdown = 1; // retry at the next tick
                continue;
            }
            r->Info.Busy = true;
            struct TReload {
                TRecord* R;
                ~TReload() {
                    R->Info.Countdown = R->Info.Reload;
                    R->Info.Busy = false;
                }
            } reload{r};
            r->Callback();
        }
    }
}

TTickService& TickService() {
    static TTickService service;
    return service;
}
