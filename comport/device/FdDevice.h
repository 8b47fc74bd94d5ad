// What the devices backed by a file descriptor (a tty, a socket to a port
// server) have in common: the time-outs, the event mask and its history, an
// eventfd that wakes the event wait, an input queue of their own (so a one-byte
// read costs no system call) and the skeletons of the event wait, the read,
// the error read-out and the purge. A device supplies how bytes come in and
// what the descriptor's readiness means.
#pragma once

#include "SerialDevice.h"
#include "Timeouts.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <poll.h>
#include <vector>

namespace serial {

// Sets the last error and returns false, for `return Fail(errno);`.
inline bool Fail(int error) {
    SetLastError(error);
    return false;
}

class TFdDevice : public ISerialDevice {
public:
    using Clock = TTransferTimer::Clock;

    // Takes both descriptors over; closes them when destroyed.
    TFdDevice(int fd, int wakeFd);
    ~TFdDevice() override;

    bool SetupComm(std::uint32_t inQueue, std::uint32_t outQueue) final;
    bool SetCommTimeouts(const COMMTIMEOUTS& timeouts) final;
    bool GetCommTimeouts(COMMTIMEOUTS& timeouts) final;
    bool SetCommMask(std::uint32_t mask) final;
    TWaitResult WaitCommEvent(std::uint32_t& mask, TStopSignal& stop) final;
    bool ReadFile(void* buffer, std::uint32_t count, std::uint32_t& read) final;
    bool ClearCommError(std::uint32_t& errors, COMSTAT* stat) final;
    bool PurgeComm(std::uint32_t flags) final;

protected:
    static constexpr std::uint32_t kMinQueue = 16384;
    static constexpr std::uint32_t kMaxQueue = 1u << 20;

    // What one turn of the event wait polls the descriptor for, and for how
    // long at most (-1: until something happens).
    struct TPollPlan {
        short events = 0;
        int timeoutMs = -1;
    };

    // All of these run with FMutex held.
    virtual TPollPlan PlanPoll() { return {static_cast<short>(QueueFull() ? 0 : POLLIN), -1}; }
    // Acts on what the event wait's poll reported for the descriptor.
    virtual void Polled(short revents, const TPollPlan& plan) = 0;
    // Reads what the descriptor holds into the queue, through Emit; adds the
    // events it saw to `events`.
    virtual void Take(std::uint32_t& events) = 0;
    // Sleeps (FMutex released meanwhile) until input may be there, at most
    // until the deadline, or a short slice without one.
    virtual void WaitForInput(std::unique_lock<std::mutex>& lock,
                              std::optional<Clock::time_point> deadline) = 0;
    // The device's own part of PurgeComm, after the aborts and the queue.
    virtual bool PurgeDevice(std::uint32_t flags) = 0;
    // Bytes written but not yet taken by the device.
    virtual std::uint32_t OutQueued() const { return 0; }
    // Whether a read that returns at once fails on a lost device; when not,
    // the loss is told by the event wait alone.
    virtual bool ImmediateReadTellsLoss() const { return true; }

    std::uint32_t Queued() const { return static_cast<std::uint32_t>(FQueue.size() - FHead); }
    bool QueueFull() const { return Queued() >= FCapacity; }
    // Fills the queue from the device, noting when it crosses 80 %.
    void Pull();
    // Queues one received byte, as the control block says.
    void Emit(std::uint8_t c, std::uint32_t& events);
    void AddEvents(std::uint32_t events);
    void MarkGone(int error);
    void Wake();

    const int FFd;
    const int FWakeFd;
    std::mutex FMutex;      // everything below
    std::mutex FWriteMutex; // one WriteFile at a time
    DCB FDcb{};
    COMMTIMEOUTS FTimeouts{};
    std::uint32_t FCapacity = kMinQueue;
    std::vector<std::uint8_t> FQueue;
    std::size_t FHead = 0;
    std::vector<std::uint8_t> FChunk;
    std::uint32_t FMask = 0;
    std::uint32_t FHistory = 0;
    std::uint32_t FErrors = 0;
    bool FWaiting = false;
    bool FGone = false;
    int FGoneError = 0;
    unsigned FRxAbort = 0;
    unsigned FTxAbort = 0;
};

} // namespace serial
