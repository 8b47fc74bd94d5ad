#include "TickService.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

void Ticks(TTickService& s, int n) {
    for (int i = 0; i < n; ++i)
        s.Tick();
}

TEST(TickService, RecordsIdsAndPhases) {
    TTickService s;
    std::vector<int> phases;
    for (int i = 0; i < 9; ++i)
        phases.push_back(s.Timer(s.AddPhaseTimer([] {}))->Reload);
    EXPECT_EQ(phases, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 0, 1}));
    const auto id = s.AddIntervalTimer([] {});
    EXPECT_EQ(id, 9);
    EXPECT_EQ(s.PhaseAllocator(), 2) << "interval timers take no phase";
    const auto t = *s.Timer(id);
    EXPECT_FALSE(t.Enabled);
    EXPECT_EQ(t.Reload, 1000);
    // One above the largest id present.
    s.Remove(3);
    EXPECT_EQ(s.AddIntervalTimer([] {}), 10);
    s.Remove(10);
    EXPECT_EQ(s.AddIntervalTimer([] {}), 10);
    EXPECT_FALSE(s.Timer(3).has_value());
}

TEST(TickService, SharedBlinkRhythm) {
    TTickService s;
    std::vector<std::vector<int>> calls(7);
    int tick = 0;
    for (int i = 0; i < 7; ++i)
        s.AddPhaseTimer([&calls, &tick, i] { calls[i].push_back(tick); });
    for (tick = 1; tick <= 21; ++tick) {
        s.Tick();
        EXPECT_EQ(s.BlinkPhase(), tick % 7);
        EXPECT_EQ(s.BlinkFlag(), (tick / 7) % 2 == 1)
            << "flips when the phase wraps, tick " << tick;
    }
    for (int phase = 0; phase < 7; ++phase) {
        const int first = phase == 0 ? 7 : phase;
        EXPECT_EQ(calls[phase], (std::vector<int>{first, first + 7, first + 14})) << phase;
    }
}

TEST(TickService, IntervalsInWholeTicksOf55_5Ms) {
    for (const auto& [ms, ticks] : {std::pair{300, 5}, std::pair{500, 9}, std::pair{100, 2},
                                    std::pair{27, 1}, std::pair{0, 0}, std::pair{-500, 0},
                                    std::pair{3'637'000, 65'532}, std::pair{2'000'000'000, 65'535}})
        EXPECT_EQ(TTickService::TicksFor(ms), ticks) << ms << " ms";
    for (const auto& [ms, ticks] : {std::pair{500, 9}, std::pair{300, 5}}) {
        TTickService s;
        int fired = 0;
        const auto id = s.AddIntervalTimer([&] { ++fired; });
        Ticks(s, 20);
        EXPECT_EQ(fired, 0) << "waits for SetInterval";
        s.SetInterval(id, ms);
        Ticks(s, ticks - 1);
        EXPECT_EQ(fired, 0) << ms;
        s.Tick();
        EXPECT_EQ(fired, 1) << ms;
        Ticks(s, ticks);
        EXPECT_EQ(fired, 2) << "keeps running, " << ms;
        s.SetInterval(id, 0); // leaves it as it is
        EXPECT_EQ(s.Timer(id)->Reload, ticks);
    }
}

TEST(TickService, BusyTimersAreNotEnteredAgain) {
    TTickService s;
    int calls = 0, countdownInside = -1;
    std::int32_t id = 0;
    id = s.AddIntervalTimer([&] {
        if (++calls > 1) return;
        // Due again during a tick that runs inside the callback (as message
        // processing in a handler would): retried at the next tick instead.
        s.SetInterval(id, 55);
        s.Tick();
        countdownInside = s.Timer(id)->Countdown;
    });
    s.SetInterval(id, 55);
    s.Tick();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(countdownInside, 1);
    s.Tick();
    EXPECT_EQ(calls, 2);

    int phaseCalls = 0;
    s.AddPhaseTimer([&] {
        ++phaseCalls;
        Ticks(s, 7); // its phase comes round inside
    });
    Ticks(s, 14);
    EXPECT_EQ(phaseCalls, 2);
}

TEST(TickService, CallbacksMayAddAndRemoveTimers) {
    TTickService s;
    std::vector<int> order;
    std::int32_t self = 0, later = 0;
    self = s.AddIntervalTimer([&] {
        order.push_back(1);
        s.Remove(self);  // itself, while running
        s.Remove(later); // one further down the list
        s.SetInterval(s.AddIntervalTimer([&] { order.push_back(3); }), 55);
    });
    later = s.AddIntervalTimer([&] { order.push_back(2); });
    s.SetInterval(self, 55);
    s.SetInterval(later, 55);
    s.Tick();
    s.Tick();
    EXPECT_EQ(order, (std::vector<int>{1, 3, 3}));
    EXPECT_EQ(s.Count(), 1u);
}

} // namespace
