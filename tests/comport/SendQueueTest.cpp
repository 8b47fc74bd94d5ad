// The send queue against a scripted line that can hold its output, take part
// of a write, fail, or be aborted (on a real port: PtyPortTest).
#include "SendQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

// A line with the write contract of the port: waits while held (up to a
// time-out, then takes nothing), takes at most maxTake bytes a call, throws
// when aborted or told to fail.
struct FakeLine {
    std::mutex m;
    std::condition_variable cv;
    bool held = false;
    bool fail = false;
    unsigned aborts = 0;
    int maxTake = 1 << 30;
    std::chrono::milliseconds holdFor = 5s;
    std::string out;
    int writes = 0;
    int busy = 0; // writes in progress

    std::int32_t Write(const void* p, std::int32_t n) {
        std::unique_lock l(m);
        ++writes;
        ++busy;
        cv.notify_all();
        struct Leave {
            FakeLine* f;
            ~Leave() { --f->busy, f->cv.notify_all(); }
        } leave{this};
        const unsigned seen = aborts;
        if (fail) throw std::runtime_error("WriteFile function failed (win error code: 5)");
        if (!cv.wait_for(l, holdFor, [&] { return !held || aborts != seen; })) return 0;
        if (aborts != seen) throw std::runtime_error("aborted");
        const int take = std::min(n, maxTake);
        out.append(static_cast<const char*>(p), static_cast<std::size_t>(take));
        cv.notify_all();
        return take;
    }
    void Abort() {
        std::lock_guard l(m);
        ++aborts;
        cv.notify_all();
    }
    void Hold(bool on) {
        std::lock_guard l(m);
        held = on;
        cv.notify_all();
    }
    bool WaitBusy() {
        std::unique_lock l(m);
        return cv.wait_for(l, 5s, [&] { return busy > 0; });
    }
    std::string Out() {
        std::lock_guard l(m);
        return out;
    }
    void Start(TSendQueue& q, TSendQueue::TFailed failed = {}) {
        q.Start([this](const void* p, std::int32_t n) { return Write(p, n); }, [this] { Abort(); },
                std::move(failed));
    }
};

} // namespace

// A line that takes a few bytes per write, and writes that time out taking
// nothing, still deliver a long stream whole and in order.
TEST(SendQueue, ShortAndTimedOutWritesLoseNothing) {
    FakeLine line;
    line.maxTake = 7;
    line.holdFor = 30ms;
    line.Hold(true);
    TSendQueue q;
    line.Start(q);
    std::mt19937 rng(13);
    std::string all;
    for (int i = 0; i < 3 * int(TSendQueue::kChunk) + 5; ++i)
        all.push_back(static_cast<char>(rng()));
    q.Enqueue(all.substr(0, 10));
    std::this_thread::sleep_for(100ms); // a few writes time out with nothing taken
    EXPECT_EQ(line.Out(), "");
    {
        std::lock_guard l(line.m);
        line.maxTake = 997;
    }
    q.Enqueue(all.substr(10));
    line.Hold(false);
    EXPECT_TRUE(q.WaitIdle(10000));
    EXPECT_EQ(line.Out(), all);
}

// DropAll takes what no write has started on; the byte in the write may still
// be taken by the device and is not reported as dropped.
TEST(SendQueue, DropAllLeavesTheByteBeingWritten) {
    FakeLine line;
    line.Hold(true);
    TSendQueue q;
    line.Start(q);
    q.Enqueue("a");
    ASSERT_TRUE(line.WaitBusy());
    q.Enqueue("bcd");
    EXPECT_EQ(q.DropAll(), "bcd");
    EXPECT_EQ(q.Pending(), 1u);
    line.Hold(false);
    EXPECT_TRUE(q.WaitIdle(5000));
    EXPECT_EQ(line.Out(), "a");
    EXPECT_EQ(q.DropAll(), "");
}

// A failing write is reported once; the writer stops there, later bytes are
// not written, and Stop hands back everything not sent.
TEST(SendQueue, FailedWriteIsReportedOnceAndKeepsTheBytes) {
    FakeLine line;
    line.fail = true;
    TSendQueue q;
    std::atomic<int> reports{0};
    std::string message;
    std::mutex mm;
    line.Start(q, [&](const std::string& m) {
        std::lock_guard l(mm);
        message = m;
        ++reports;
    });
    q.Enqueue("a");
    EXPECT_FALSE(q.WaitIdle(5000));
    q.Enqueue("b");
    q.Enqueue("c");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(reports.load(), 1);
    {
        std::lock_guard l(mm);
        EXPECT_EQ(message, "WriteFile function failed (win error code: 5)");
    }
    {
        std::lock_guard l(line.m);
        EXPECT_EQ(line.writes, 1);
    }
    EXPECT_EQ(q.Pending(), 3u);
    EXPECT_EQ(q.Stop(), "abc");
    EXPECT_EQ(reports.load(), 1); // stopping is no second report
}
