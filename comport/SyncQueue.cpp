#include "SyncQueue.h"

#include "Platform.h"

#include <exception>
#include <utility>

struct SyncQueue::Item {
    enum Kind { kSync, kSend, kPost };
    std::function<void()> call;
    Kind kind = kSync;
    bool done = false;
    std::exception_ptr error;
};

namespace {
// The Synchronize call the current thread is running (for CurrentReleaser).
struct Running {
    SyncQueue* queue = nullptr;
    std::shared_ptr<void> item;
};
thread_local Running tlsRunning;
} // namespace

SyncQueue& SyncQueue::Instance() {
    static SyncQueue queue;
    return queue;
}

void SyncQueue::SetWakeUp(std::function<void()> wakeUp) {
    std::lock_guard lock(FMutex);
    FWakeUp = std::move(wakeUp);
    FWakePending = false;
}

void SyncQueue::Enqueue(const std::shared_ptr<Item>& item) {
    std::function<void()> wake;
    {
        std::lock_guard lock(FMutex);
        FItems.push_back(item);
        // One wake-up per Drain is enough: a pending Drain takes everything queued before it.
        if (FWakeUp && !FWakePending) {
            FWakePending = true;
            wake = FWakeUp;
        }
    }
    FQueued.notify_all();
    if (wake) wake();
}

void SyncQueue::WaitDone(const std::shared_ptr<Item>& item) {
    std::unique_lock lock(FMutex);
    FDone.wait(lock, [&] { return item->done; });
}

void SyncQueue::Synchronize(std::function<void()> call) {
    auto item = std::make_shared<Item>();
    item->call = std::move(call);
    Enqueue(item);
    WaitDone(item);
    std::exception_ptr error;
    {
        // Taken out, so that the exception ends its life on this thread.
        std::lock_guard lock(FMutex);
        error = std::exchange(item->error, nullptr);
    }
    if (error) std::rethrow_exception(error);
}

void SyncQueue::Send(std::function<void()> call) {
    auto item = std::make_shared<Item>();
    item->call = std::move(call);
    item->kind = Item::kSend;
    Enqueue(item);
    WaitDone(item);
}

void SyncQueue::Post(std::function<void()> call) {
    auto item = std::make_shared<Item>();
    item->call = std::move(call);
    item->kind = Item::kPost;
    item->done = true; // nobody waits
    Enqueue(item);
}

void SyncQueue::Run(const std::shared_ptr<Item>& item) {
    if (item->kind == Item::kSend) {
        {
            std::lock_guard lock(FMutex);
            item->done = true;
        }
        FDone.notify_all();
    }
    if (item->kind != Item::kSync) {
        platform::Guarded(item->call);
        return;
    }
    Running saved = std::exchange(tlsRunning, Running{this, item});
    std::exception_ptr error;
    try {
        item->call();
    } catch (...) {
        error = std::current_exception();
    }
    tlsRunning = std::move(saved);
    {
        std::lock_guard lock(FMutex);
        item->error = std::move(error); // keeps no reference on this thread
        item->done = true;
    }
    FDone.notify_all();
}

std::size_t SyncQueue::Drain() {
    std::size_t count = 0;
    std::unique_lock lock(FMutex);
    FWakePending = false;
    // Only the calls queued before this Drain: a port that keeps delivering
    // must not hold the window thread here for ever. Calls queued meanwhile
    // have issued a new wake-up, which runs after the event loop had its turn.
    std::size_t left = FItems.size();
    while (left-- > 0 && !FItems.empty()) {
        auto item = std::move(FItems.front());
        FItems.pop_front();
        lock.unlock();
        Run(item);
        ++count;
        lock.lock();
    }
    return count;
}

void SyncQueue::RunQueued(std::unique_lock<std::mutex>& lock) {
    while (!FItems.empty()) {
        auto item = std::move(FItems.front());
        FItems.pop_front();
        lock.unlock();
        Run(item);
        lock.lock();
    }
}

void SyncQueue::WaitDraining(const std::function<bool()>& done) {
    std::unique_lock lock(FMutex);
    for (;;) {
        RunQueued(lock);
        if (done()) return;
        FQueued.wait(lock);
    }
}

bool SyncQueue::WaitDrainingFor(const std::function<bool()>& done,
                                std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(FMutex);
    for (;;) {
        RunQueued(lock);
        if (done()) return true;
        if (FQueued.wait_until(lock, deadline) == std::cv_status::timeout && FItems.empty())
            return done();
    }
}

void SyncQueue::Notify() {
    { std::lock_guard lock(FMutex); }
    FQueued.notify_all();
}

std::size_t SyncQueue::Pending() const {
    std::lock_guard lock(FMutex);
    return FItems.size();
}

std::function<void()> SyncQueue::CurrentReleaser() {
    if (!tlsRunning.queue) return {};
    SyncQueue* queue = tlsRunning.queue;
    auto item = std::static_pointer_cast<Item>(tlsRunning.item);
    return [queue, item] {
        {
            std::lock_guard lock(queue->FMutex);
            item->done = true;
        }
        queue->FDone.notify_all();
    };
}
