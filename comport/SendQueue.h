// Bytes waiting for a port, in the order they were given. A writer thread of
// the queue hands them to the device, so whoever enqueues (the window thread)
// never waits for the line and never runs a nested event loop; and since one
// writer takes them strictly from the front, they leave in exactly the order
// they entered, whatever happens while the line holds them.
//
// A byte counts as sent once the write function reported it taken. Bytes a
// write is still busy with are pending: DropAll leaves them (the device may
// yet take them), Stop aborts that write and returns them as not sent.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

class TSendQueue {
public:
    // Writes up to count bytes and returns how many the device took (0 when
    // the line held them for the whole write time-out); throws on failure.
    using TWrite = std::function<std::int32_t(const void* buffer, std::int32_t count)>;
    // Makes a write in progress return soon (with an error or a short count).
    using TAbort = std::function<void()>;
    // A write failed: its message; called once, on the writer thread, after
    // which the writer has stopped (the bytes stay pending until Stop). It
    // must not wait for the thread that may be calling Stop.
    using TFailed = std::function<void(const std::string& message)>;

    static constexpr std::size_t kChunk = 4096; // most bytes given to one write

    TSendQueue() = default;
    ~TSendQueue(); // Stop
    TSendQueue(const TSendQueue&) = delete;
    TSendQueue& operator=(const TSendQueue&) = delete;

    // Starts the writer on an open device (a running writer is stopped first
    // and what it had not sent is dropped). Bytes already queued go first.
    void Start(TWrite write, TAbort abort, TFailed failed = {});
    // Ends writing: aborts the write in progress, waits for the writer to
    // end and returns every byte not sent, in order; the queue is then empty.
    std::string Stop();
    bool Running() const;

    // Appends bytes at the end; the writer takes them in turn.
    void Enqueue(std::string_view bytes);
    // Bytes not yet sent, including those a write is busy with.
    std::size_t Pending() const;
    // Removes and returns the bytes no write has taken up yet.
    std::string DropAll();
    // Blocks until nothing is pending, the writer failed or stopped, or the time is up.
    bool WaitIdle(int timeoutMs) const;

private:
    void Run();

    mutable std::mutex FMutex;
    mutable std::condition_variable FChanged; // bytes queued or taken, stop, failure, end
    std::deque<char> FBytes;
    std::size_t FInFlight = 0; // leading bytes of FBytes that a write is busy with
    bool FStop = false;
    bool FFailed = false;
    bool FFinished = true;
    TWrite FWrite;
    TAbort FAbort;
    TFailed FOnFailed;
    std::thread FThread;
};
