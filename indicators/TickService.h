// The process-wide tick service behind the lamps: one 55 ms tick drives every
// lamp's blink and flash. Qt-free; TickDriver.h runs the tick from a QTimer.
// Everything runs on the window thread, so nothing here is locked.
//
// An idle window should not wake 18 times a second: an owner marks its timer
// idle while its callback would change nothing (a lamp that does not blink, a
// dark LED whose flash is over), and the driver stops its timer while every
// timer is idle. The ticks that go by meanwhile are still counted: before the
// next change the service advances the blink phase and the countdowns by
// them, so each callback runs at the very tick it would have run at with a
// timer that never stopped.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

// Start-up failure of a limited system resource ("no more timers").
class EOutOfResources : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TTickService {
public:
    static constexpr int TickMs = 55;
    static constexpr int PhaseCount = 7;
    using TTickProc = std::function<void()>;

    // What a record holds, for inspection.
    struct TTimerInfo {
        bool Busy = false;
        bool Enabled = false;
        std::int32_t Id = 0;
        std::uint16_t Reload = 0; // a phase timer's phase
        std::uint16_t Countdown = 0;
        bool PhaseTimer = false;
        bool Idle = false; // its callback would change nothing now
    };
    // The driver's side: how many ticks went by since the last one it ran or
    // reported (0 while its timer runs), and a call for when ticks are needed.
    using TElapsedProc = std::function<std::uint64_t()>;
    using TWakeProc = std::function<void()>;

    TTickService() = default;
    TTickService(const TTickService&) = delete;
    TTickService& operator=(const TTickService&) = delete;

    // An interval timer, not yet running; its id is one above the largest.
    std::int32_t AddIntervalTimer(TTickProc callback);
    // A phase timer, running at once; phases are handed out 0..6 in turn.
    // An owner whose lamp starts out still passes idle = true.
    std::int32_t AddPhaseTimer(TTickProc callback, bool idle = false);
    // (Re)starts an interval timer with the interval in whole ticks of 55.5 ms
    // (at least one); a zero or negative interval leaves it as it is.
    void SetInterval(std::int32_t id, std::int32_t milliseconds);
    void Remove(std::int32_t id);
    // Marks whether the timer's callback may change anything at present.
    void SetIdle(std::int32_t id, bool idle);
    // True while some enabled timer is not idle: the driver's timer must run.
    bool NeedsTicks() const;
    void SetDriver(TElapsedProc elapsed, TWakeProc wake);
    // Accounts for n ticks in which no callback had anything to do: the blink
    // phase and the running countdowns advance as n ticks would advance them.
    void Skip(std::uint64_t n);

    // One tick: advance the blink phase, run due phase and interval timers.
    void Tick();

    int BlinkPhase() const { return FBlinkPhase; }
    bool BlinkFlag() const { return FBlinkFlag; }
    int PhaseAllocator() const { return FPhaseAllocator; }
    std::uint64_t TicksRun() const { return FTicksRun; }
    std::size_t Count() const;
    std::optional<TTimerInfo> Timer(std::int32_t id) const;

    // Ticks for an interval: milliseconds / 55.5 rounded, within 1..65535;
    // 0 for a zero or negative interval.
    static int TicksFor(std::int32_t milliseconds);

private:
    struct TRecord {
        TTimerInfo Info;
        TTickProc Callback;
        bool Removed = false; // taken out while a tick runs; freed after it
    };
    std::int32_t NewRecord(TTickProc callback);
    TRecord* Find(std::int32_t id) const;
    void Purge();
    // Before a change: the ticks the stopped driver let pass. After it: wake
    // the driver if ticks are needed now.
    void CatchUp();
    void WakeIfNeeded();

    // Records are heap-held so a callback that adds timers does not move the
    // record (and the function) that is running.
    std::vector<std::unique_ptr<TRecord>> FRecords;
    int FBlinkPhase = 0;
    bool FBlinkFlag = false;
    int FPhaseAllocator = 0;
    int FTickDepth = 0;
    std::uint64_t FTicksRun = 0;
    TElapsedProc FElapsed;
    TWakeProc FWake;
};

// The one service of the program (created on first use, before any lamp).
TTickService& TickService();
