#include "TickService.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

void Ticks(TTickService& s, int n) {
    for (int i = 0; i < n; ++i)
        s.Tick();
}

TEST(TickService, PhasesAreHandedOutInTurnModuloSeven) {
    TTickService s;
    std::vector<int> phases;
    for (int i = 0; i < 9; ++i)
        phases.push_back(s.Timer(s.AddPhaseTimer([] {}))->Reload);
    EXPECT_EQ(phases, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 0, 1}));
    EXPECT_EQ(s.PhaseAllocator(), 2);
    // Interval timers take no phase.
    s.AddIntervalTimer([] {});
    EXPECT_EQ(s.PhaseAllocator(), 2);
}

TEST(TickService, IdsAndNewRecords) {
    TTickService s;
    EXPECT_EQ(s.AddIntervalTimer([] {}), 0);
    EXPECT_EQ(s.AddPhaseTimer([] {}), 1);
    EXPECT_EQ(s.AddIntervalTimer([] {}), 2);
    const auto interval = *s.Timer(2);
    EXPECT_FALSE(interval.Enabled);
    EXPECT_FALSE(interval.PhaseTimer);
    EXPECT_EQ(interval.Reload, 1000);
    EXPECT_EQ(interval.Countdown, 1000);
    const auto phase = *s.Timer(1);
    EXPECT_TRUE(phase.Enabled);
    EXPECT_TRUE(phase.PhaseTimer);
    // One above the largest id present: a removed middle id is not reused,
    // the removed largest one is.
    s.Remove(1);
    EXPECT_EQ(s.AddIntervalTimer([] {}), 3);
    s.Remove(3);
    EXPECT_EQ(s.AddIntervalTimer([] {}), 3);
    EXPECT_EQ(s.Count(), 3u);
    s.Remove(42); // unknown id: nothing happens
    EXPECT_EQ(s.Count(), 3u);
    EXPECT_FALSE(s.Timer(1).has_value());
}

TEST(TickService, SharedBlinkRhythm) {
    TTickService s;
    std::vector<std::vector<int>> calls(7);
    int tick = 0;
    for (int i = 0; i < 7; ++i)
        s.AddPhaseTimer([&calls, &tick, i] { calls[i].push_back(tick); });
    std::vector<bool> flags;
    for (tick = 1; tick <= 21; ++tick) {
        s.Tick();
        EXPECT_EQ(s.BlinkPhase(), tick % 7);
        flags.push_back(s.BlinkFlag());
    }
    // The flag flips once per seven ticks, when the phase wraps to 0.
    for (int t = 1; t <= 21; ++t)
        EXPECT_EQ(flags[t - 1], (t / 7) % 2 == 1) << "tick " << t;
    // Each timer runs once per cycle, at its own phase.
    for (int phase = 0; phase < 7; ++phase) {
        const int first = phase == 0 ? 7 : phase;
        EXPECT_EQ(calls[phase], (std::vector<int>{first, first + 7, first + 14})) << phase;
    }
}

TEST(TickService, TicksForAnInterval) {
    struct Case {
        int Ms, Ticks;
    };
    for (const Case& c : {Case{300, 5}, Case{500, 9}, Case{55, 1}, Case{111, 2}, Case{100, 2},
                          Case{1, 1}, Case{27, 1}, Case{0, 0}, Case{-500, 0},
                          Case{3'637'000, 65'532}, Case{2'000'000'000, 65'535}})
        EXPECT_EQ(TTickService::TicksFor(c.Ms), c.Ticks) << c.Ms << " ms";
}

TEST(TickService, FlashIntervalsFireAfterWholeTicksAndRepeat) {
    for (const auto& [ms, ticks] : {std::pair{500, 9}, std::pair{300, 5}}) {
        TTickService s;
        int fired = 0;
        const auto id = s.AddIntervalTimer([&] { ++fired; });
        Ticks(s, 20);
        EXPECT_EQ(fired, 0) << "an interval timer waits for SetInterval";
        s.SetInterval(id, ms);
        Ticks(s, ticks - 1);
        EXPECT_EQ(fired, 0) << ms;
        s.Tick();
        EXPECT_EQ(fired, 1) << ms;
        Ticks(s, ticks);
        EXPECT_EQ(fired, 2) << ms;
        // Setting again restarts the countdown from the full interval.
        Ticks(s, ticks - 2);
        s.SetInterval(id, ms);
        Ticks(s, ticks - 1);
        EXPECT_EQ(fired, 2) << ms;
        s.Tick();
        EXPECT_EQ(fired, 3) << ms;
        // A zero interval leaves the timer as it is.
        s.SetInterval(id, 0);
        EXPECT_EQ(s.Timer(id)->Reload, ticks);
    }
}

TEST(TickService, BusyIntervalTimerIsRetriedAtTheNextTick) {
    TTickService s;
    int calls = 0;
    int countdownAfterNested = -1;
    std::int32_t id = 0;
    id = s.AddIntervalTimer([&] {
        ++calls;
        if (calls > 1) return;
        // The callback restarts itself and lets a tick run inside it, as
        // message processing in a handler would.
        s.SetInterval(id, 55);
        s.Tick();
        countdownAfterNested = s.Timer(id)->Countdown;
    });
    s.SetInterval(id, 55);
    s.Tick();
    EXPECT_EQ(calls, 1) << "not entered again while busy";
    EXPECT_EQ(countdownAfterNested, 1) << "due while busy: retried at the next tick";
    EXPECT_FALSE(s.Timer(id)->Busy);
    s.Tick();
    EXPECT_EQ(calls, 2);
}

TEST(TickService, BusyPhaseTimerIsNotEnteredAgain) {
    TTickService s;
    int calls = 0;
    s.AddPhaseTimer([&] {
        ++calls;
        for (int i = 0; i < 7; ++i)
            s.Tick(); // its phase comes round inside
    });
    Ticks(s, 7);
    EXPECT_EQ(calls, 1);
    Ticks(s, 7);
    EXPECT_EQ(calls, 2);
}

TEST(TickService, TimersMayBeAddedAndRemovedFromCallbacks) {
    TTickService s;
    std::vector<int> order;
    std::int32_t self = 0, later = 0, added = -1;
    self = s.AddIntervalTimer([&] {
        order.push_back(1);
        s.Remove(self);  // itself, while running
        s.Remove(later); // one further down the list: not run in this pass
        added = s.AddIntervalTimer([&] { order.push_back(3); });
        s.SetInterval(added, 55);
    });
    later = s.AddIntervalTimer([&] { order.push_back(2); });
    s.SetInterval(self, 55);
    s.SetInterval(later, 55);
    s.Tick();
    EXPECT_EQ(order, (std::vector<int>{1, 3}));
    EXPECT_EQ(s.Count(), 1u);
    EXPECT_FALSE(s.Timer(self).has_value());
    s.Tick();
    EXPECT_EQ(order, (std::vector<int>{1, 3, 3}));
}

TEST(TickService, RecordsWithoutCallbackAreSkipped) {
    TTickService s;
    const auto id = s.AddIntervalTimer(nullptr);
    s.AddPhaseTimer(nullptr);
    s.SetInterval(id, 55);
    Ticks(s, 10); // nothing to call, nothing breaks
    EXPECT_EQ(s.Timer(id)->Countdown, 1);
}

TEST(TickService, AThrowingCallbackLeavesTheRecordUsable) {
    TTickService s;
    int calls = 0;
    const auto id = s.AddIntervalTimer([&] {
        if (++calls == 1) throw std::runtime_error("boom");
    });
    s.SetInterval(id, 110);
    s.Tick();
    EXPECT_THROW(s.Tick(), std::runtime_error);
    EXPECT_FALSE(s.Timer(id)->Busy);
    EXPECT_EQ(s.Timer(id)->Countdown, 2);
    s.Tick();
    s.Tick();
    EXPECT_EQ(calls, 2);
}

TEST(TickService, ProcessWideInstance) {
    EXPECT_EQ(&TickService(), &TickService());
}

} // namespace
