#include "SendQueue.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <vector>

namespace {
// How often Stop repeats its abort: a write that began just after an abort
// would otherwise wait out its whole time-out.
constexpr auto kAbortRepeat = std::chrono::milliseconds(20);
constexpr auto kRetryPause = std::chrono::milliseconds(10);
} // namespace

TSendQueue::~TSendQueue() {
    Stop();
}

void TSendQueue::Start(TWrite write, TAbort abort, TFailed failed) {
    Stop();
    std::lock_guard lock(FMutex);
    FWrite = std::move(write);
    FAbort = std::move(abort);
    FOnFailed = std::move(failed);
    FStop = false;
    FFailed = false;
    FFinished = false;
    FThread = std::thread([this] { Run(); });
}

bool TSendQueue::Running() const {
    std::lock_guard lock(FMutex);
    return FThread.joinable() && !FFinished;
}

std::string TSendQueue::Stop() {
    std::unique_lock lock(FMutex);
    if (FThread.joinable()) {
        FStop = true;
        FChanged.notify_all();
        while (!FFinished) {
            if (FAbort) {
                lock.unlock();
                FAbort();
                lock.lock();
            }
            FChanged.wait_for(lock, kAbortRepeat, [this] { return FFinished; });
        }
        lock.unlock();
        FThread.join();
        lock.lock();
    }
    std::string unsent(FBytes.begin(), FBytes.end());
    FBytes.clear();
    FInFlight = 0;
    FWrite = nullptr;
    FAbort = nullptr;
    FOnFailed = nullptr;
    return unsent;
}

void TSendQueue::Enqueue(std::string_view bytes) {
    if (bytes.empty()) return;
    std::lock_guard lock(FMutex);
    FBytes.insert(FBytes.end(), bytes.begin(), bytes.end());
    FChanged.notify_all();
}

std::size_t TSendQueue::Pending() const {
    std::lock_guard lock(FMutex);
    return FBytes.size();
}

std::string TSendQueue::DropAll() {
    std::lock_guard lock(FMutex);
    const auto from = FBytes.begin() + static_cast<std::ptrdiff_t>(FInFlight);
    std::string dropped(from, FBytes.end());
    FBytes.erase(from, FBytes.end());
    FChanged.notify_all();
    return dropped;
}

bool TSendQueue::WaitIdle(int timeoutMs) const {
    std::unique_lock lock(FMutex);
    return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] {
        return FBytes.empty() || FFailed || FFinished;
    }) && FBytes.empty();
}

void TSendQueue::Run() {
    std::vector<char> chunk;
    std::unique_lock lock(FMutex);
    for (;;) {
        FChanged.wait(lock, [this] { return FStop || !FBytes.empty(); });
        if (FStop) break;
        const std::size_t n = std::min(FBytes.size(), kChunk);
        chunk.assign(FBytes.begin(), FBytes.begin() + static_cast<std::ptrdiff_t>(n));
        FInFlight = n;
        lock.unlock();
        std::int32_t taken = 0;
        std::string error;
        bool failed = false;
        try {
            taken = FWrite(chunk.data(), static_cast<std::int32_t>(n));
        } catch (const std::exception& e) {
            failed = true;
            error = e.what();
        } catch (...) {
            failed = true;
            error = "write failed";
        }
        lock.lock();
        FInFlight = 0;
        if (failed) {
            // An abort asked for by Stop is no failure of the device.
            if (FStop) break;
            FFailed = true;
            FChanged.notify_all();
            TFailed report = FOnFailed;
            lock.unlock();
            if (report) report(error);
            lock.lock();
            break;
        }
        const std::size_t done = std::clamp<std::int32_t>(taken, 0, static_cast<std::int32_t>(n));
        FBytes.erase(FBytes.begin(), FBytes.begin() + static_cast<std::ptrdiff_t>(done));
        FChanged.notify_all();
        // A device that returns at once without taking anything is not asked again at once.
        if (done == 0) FChanged.wait_for(lock, kRetryPause, [this] { return FStop; });
    }
    FFinished = true;
    FChanged.notify_all();
}
