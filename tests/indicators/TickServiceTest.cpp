#include "TickService.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using TInts = std::vector<int>;

void Ticks(TTickService& s, int n) {
    for (int i = 0; i < n; ++i)
        s.Tick();
}

TEST(TickService, PhasesInTurnAndTheSharedBlinkRhythm) {
    TTickService s;
    std::vector<TInts> calls(8);
    int tick = 0;
    for (int i = 0; i < 8; ++i) {
        s.AddIntervalTimer([] {}); // takes no phase
        s.AddPhaseTimer([&calls, &tick, i] { calls[i].push_back(tick); });
    }
    for (tick = 1; tick <= 21; ++tick) {
        s.Tick();
        EXPECT_EQ(s.BlinkPhase(), tick % 7);
        EXPECT_EQ(s.BlinkFlag(), (tick / 7) % 2 == 1) << "flips as the phase wraps, tick " << tick;
    }
    for (int i = 0; i < 8; ++i) { // phases 0..6, then 0 again
        const int first = i % 7 == 0 ? 7 : i % 7;
        EXPECT_EQ(calls[i], (TInts{first, first + 7, first + 14})) << i;
    }
}

TEST(TickService, IntervalsInWholeTicksOf55_5Ms) {
    for (const auto& [ms, ticks] :
         {std::pair{100, 2}, std::pair{27, 1}, std::pair{0, 0}, std::pair{-500, 0},
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
        // Due again in a tick run from inside the callback (as a handler's
        // message processing would): retried at the next tick instead.
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
    s.AddPhaseTimer([&] { ++phaseCalls, Ticks(s, 7); }); // its phase comes round inside
    Ticks(s, 14);
    EXPECT_EQ(phaseCalls, 2);
}

TEST(TickService, CallbacksMayAddAndRemoveTimers) {
    TTickService s;
    TInts order;
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
    Ticks(s, 2);
    EXPECT_EQ(order, (TInts{1, 3, 3}));
    EXPECT_EQ(s.Count(), 1u);
}

} // namespace
