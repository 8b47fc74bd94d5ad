// The window thread's call queue: a worker thread hands a call to the window
// thread and (for Synchronize) blocks until the window thread has run it.
//
// One process-wide instance (Instance()). The window thread runs queued calls
// in Drain(). Whenever a call is queued, the installed wake-up callback is
// invoked (from the queueing thread) so that the window thread calls Drain()
// soon; in the program the wake-up posts a queued call into the event loop.
// Without a wake-up (tests, benchmarks) the window thread drains by itself,
// e.g. in a loop around WaitDrainingFor().
//
// Whoever waits on the window thread for a worker to end (a port's Close)
// must keep the queue draining meanwhile: WaitDraining runs queued calls until
// its condition holds; a worker that changes what the condition looks at
// calls Notify() afterwards.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class SyncQueue {
public:
    static SyncQueue& Instance();

    SyncQueue() = default;
    SyncQueue(const SyncQueue&) = delete;
    SyncQueue& operator=(const SyncQueue&) = delete;

    // Installs the wake-up (empty: none). It may be called on any thread and
    // must only arrange for Drain() to run on the window thread later.
    void SetWakeUp(std::function<void()> wakeUp);

    // Worker side.
    // Queues the call and blocks until the window thread has run it; an
    // exception thrown by the call is rethrown here.
    void Synchronize(std::function<void()> call);
    // Queues the call and blocks only until the window thread has taken it up
    // (it then runs on without the caller); an exception goes to
    // platform::ReportError.
    void Send(std::function<void()> call);
    // Queues the call without waiting; an exception goes to platform::ReportError.
    void Post(std::function<void()> call);

    // Window-thread side.
    // Runs the calls queued when it starts; returns how many. Calls queued
    // meanwhile wait for the next Drain (their wake-up has been issued).
    std::size_t Drain();
    // Runs queued calls until done() holds (checked with the queue locked:
    // it must not use the queue).
    void WaitDraining(const std::function<bool()>& done);
    // The same with a time limit; false if done() still fails at the end.
    bool WaitDrainingFor(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // Wakes WaitDraining so that it checks its condition again.
    void Notify();
    std::size_t Pending() const;

    // Inside a call run for Synchronize: a function that lets its waiting
    // worker go on at once, although the call itself has not finished (the
    // worker then no longer sees its exception). Empty outside such a call.
    static std::function<void()> CurrentReleaser();

private:
    struct Item;
    void Enqueue(const std::shared_ptr<Item>& item);
    void Run(const std::shared_ptr<Item>& item);
    void WaitDone(const std::shared_ptr<Item>& item);
    // Runs queued calls until none is left; the lock is released around each call.
    void RunQueued(std::unique_lock<std::mutex>& lock);

    mutable std::mutex FMutex;
    std::condition_variable FQueued; // a call was queued, or Notify
    std::condition_variable FDone;   // a call was run or taken up
    std::deque<std::shared_ptr<Item>> FItems;
    std::function<void()> FWakeUp;
    bool FWakePending = false; // a wake-up was issued and its Drain has not begun
};
