#include "TickService.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
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

// A lamp as the LED control drives its two timers: the blink shows the shared
// flag while checked and blinking; a flash lights at once and each expiry
// darkens. With `marks` it tells the service when its ticks change nothing.
struct TModelLamp {
    TTickService& S;
    bool Marks;
    bool Checked = false, Blink = false, Flash = false, Lit = false;
    std::int32_t BlinkId = 0, FlashId = 0;

    TModelLamp(TTickService& s, bool marks) : S(s), Marks(marks) {
        BlinkId = S.AddPhaseTimer([this] { BlinkTick(); }, marks);
        FlashId = S.AddIntervalTimer([this] { FlashTick(); });
        if (marks) S.SetIdle(FlashId, true);
    }
    void BlinkTick() {
        if (Checked && Blink) Draw(S.BlinkFlag());
    }
    void FlashTick() {
        if (Flash) Draw(false);
    }
    void Draw(bool on) {
        Lit = on;
        if (!Marks) return;
        S.SetIdle(BlinkId, !(Checked && Blink));
        S.SetIdle(FlashId, !(Flash && Lit));
    }
    void SetChecked(bool v) {
        Checked = v;
        Draw(v);
    }
    void SetBlink(bool v) {
        Blink = v;
        Draw(Checked);
    }
    void SetFlash(bool v, int ms) {
        Flash = v;
        if (v) S.SetInterval(FlashId, ms);
        Draw(v);
    }
};

// A driver that stops its timer while no timer needs ticks, on a clock that
// counts whole ticks.
struct TStoppingDriver {
    TTickService& S;
    std::uint64_t Now = 0, Last = 0;
    bool Running = true;
    explicit TStoppingDriver(TTickService& s) : S(s) {
        S.SetDriver(
            [this]() -> std::uint64_t {
                if (Running) return 0;
                const std::uint64_t n = Now - Last;
                Last = Now;
                return n;
            },
            [this] { Running = true; });
    }
    void Tick() {
        ++Now;
        if (!Running) return;
        Last = Now;
        S.Tick();
        Running = S.NeedsTicks();
    }
};

TEST(TickService, StoppedWhileIdleYetEveryLampLooksAndTimesAsWithAFreeRunningTimer) {
    for (unsigned seed : {1u, 2u, 3u}) {
        TTickService free, stopping;
        TStoppingDriver driver(stopping);
        std::vector<std::unique_ptr<TModelLamp>> a, b;
        for (int i = 0; i < 9; ++i) { // more lamps than phases
            a.push_back(std::make_unique<TModelLamp>(free, false));
            b.push_back(std::make_unique<TModelLamp>(stopping, true));
        }
        std::mt19937 rng(seed);
        const int flashTimes[] = {100, 300, 500, 1000};
        int ticksWithChanges = 0;
        for (int t = 0; t < 20000; ++t) {
            // Now and then a change between two ticks, alike in both worlds.
            if (rng() % 40 == 0) {
                const std::size_t i = rng() % a.size();
                const bool v = rng() % 2;
                const int ms = flashTimes[rng() % 4];
                switch (rng() % 6) {
                case 0:
                    a[i]->SetChecked(v), b[i]->SetChecked(v);
                    break;
                case 1:
                    a[i]->SetBlink(v), b[i]->SetBlink(v);
                    break;
                case 2:
                    a[i]->SetFlash(false, ms), b[i]->SetFlash(false, ms);
                    break;
                case 3: // blinking is shorter than the pauses between, as in use
                    for (std::size_t k = 0; k < a.size(); ++k)
                        a[k]->SetBlink(false), b[k]->SetBlink(false);
                    break;
                default:
                    a[i]->SetFlash(true, ms), b[i]->SetFlash(true, ms);
                    break;
                }
                ++ticksWithChanges;
            }
            free.Tick();
            driver.Tick();
            for (std::size_t i = 0; i < a.size(); ++i)
                ASSERT_EQ(a[i]->Lit, b[i]->Lit)
                    << "seed " << seed << ", tick " << t << ", lamp " << i;
        }
        // Settle the account, then the shared state is the free-running one.
        if (!driver.Running) stopping.Skip(driver.Now - driver.Last);
        EXPECT_EQ(stopping.BlinkPhase(), free.BlinkPhase());
        EXPECT_EQ(stopping.BlinkFlag(), free.BlinkFlag());
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (free.Timer(a[i]->FlashId)->Enabled) {
                EXPECT_EQ(stopping.Timer(b[i]->FlashId)->Countdown,
                          free.Timer(a[i]->FlashId)->Countdown);
            }
        }
        EXPECT_GT(ticksWithChanges, 300);
        EXPECT_LT(stopping.TicksRun(), free.TicksRun() / 2) << "stopped while idle";
    }
}

TEST(TickService, SkippedTicksAdvancePhaseFlagAndCountdowns) {
    TTickService s, ref;
    for (TTickService* x : {&s, &ref}) {
        x->SetInterval(x->AddIntervalTimer([] {}), 500); // 9 ticks
        x->AddIntervalTimer([] {});                      // not running: left alone
        Ticks(*x, 3);
    }
    for (int n : {0, 1, 5, 6, 7, 13, 14, 100, 1001}) {
        s.Skip(n);
        Ticks(ref, n);
        EXPECT_EQ(s.BlinkPhase(), ref.BlinkPhase()) << n;
        EXPECT_EQ(s.BlinkFlag(), ref.BlinkFlag()) << n;
        for (int id : {0, 1})
            EXPECT_EQ(s.Timer(id)->Countdown, ref.Timer(id)->Countdown) << n << " id " << id;
    }
}

} // namespace
