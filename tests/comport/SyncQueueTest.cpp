// The window-thread call queue, driven without any GUI.
#include "Platform.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

using namespace testsupport;

namespace {

TEST(SyncQueueTest, SynchronizeRunsOnTheDrainingThreadWaitsAndRethrowsOthersReport) {
    SyncQueue q;
    std::atomic<int> wakes{0};
    q.SetWakeUp([&] { ++wakes; });
    std::thread::id ranOn;
    std::atomic<bool> returned{false};
    std::string caught;
    std::thread worker([&] {
        q.Synchronize([&] { ranOn = std::this_thread::get_id(); });
        returned = true;
        try {
            q.Synchronize([] { throw std::runtime_error("from handler"); });
        } catch (const std::exception& e) {
            caught = e.what();
        }
    });
    WaitPending(q);
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(returned) << "the worker waits until the call has run";
    EXPECT_EQ(wakes, 1);
    EXPECT_EQ(q.Drain(), 1u);
    WaitPending(q);
    q.Drain();
    worker.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(caught, "from handler");

    // Calls nobody waits for report their exceptions instead.
    std::vector<std::string> reported;
    platform::SetErrorReporter([&](const std::string& m) { reported.push_back(m); });
    q.Post([] { throw std::runtime_error("posted"); });
    std::thread sender([&] { q.Send([] { throw std::runtime_error("sent"); }); });
    q.WaitDrainingFor([&] { return reported.size() == 2; }, 5s);
    sender.join();
    platform::SetErrorReporter(nullptr);
    EXPECT_EQ(reported, (std::vector<std::string>{"posted", "sent"}));
}

TEST(SyncQueueTest, OneWakeUpPerDrainAndCallsQueuedDuringADrainWaitForTheNext) {
    SyncQueue q;
    std::atomic<int> wakes{0};
    q.SetWakeUp([&] { ++wakes; });
    int ran = 0;
    for (int i = 0; i < 3; ++i)
        q.Post([&] { ++ran; });
    EXPECT_EQ(wakes, 1) << "a pending Drain takes all three";
    q.Drain();
    EXPECT_EQ(ran, 3);
    q.Post([&] { ++ran; });
    EXPECT_EQ(wakes, 2);
    q.Drain();
    // A call queued by a running call waits for the next Drain, which its
    // wake-up asks for: a busy port cannot keep the window thread in Drain.
    int nested = 0;
    q.Post([&] { q.Post([&] { ++nested; }); });
    EXPECT_EQ(q.Drain(), 1u);
    EXPECT_EQ(nested, 0);
    EXPECT_EQ(wakes, 4);
    EXPECT_EQ(q.Drain(), 1u);
    EXPECT_EQ(nested, 1);
}

TEST(SyncQueueTest, ReleaserLetsTheWorkerGoBeforeTheCallEnds) {
    SyncQueue q;
    EXPECT_FALSE(SyncQueue::CurrentReleaser());
    std::atomic<bool> workerDone{false};
    bool sawWorkerDone = false;
    std::thread worker([&] {
        q.Synchronize([&] {
            auto release = SyncQueue::CurrentReleaser();
            ASSERT_TRUE(release);
            release();
            // the worker may now return although this call still runs
            SpinUntil([&] { return workerDone.load(); });
            sawWorkerDone = workerDone;
            throw std::runtime_error("not seen by the released worker");
        });
        workerDone = true;
    });
    WaitPending(q);
    q.Drain();
    worker.join();
    EXPECT_TRUE(sawWorkerDone);
}

} // namespace
