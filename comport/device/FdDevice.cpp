#include "FdDevice.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace serial {

TFdDevice::TFdDevice(int fd, int wakeFd) : FFd(fd), FWakeFd(wakeFd) {
    FQueue.reserve(kMinQueue);
}

TFdDevice::~TFdDevice() {
    ::close(FFd);
    ::close(FWakeFd);
}

bool TFdDevice::SetupComm(std::uint32_t inQueue, std::uint32_t) {
    std::lock_guard lock(FMutex);
    FCapacity = std::clamp(inQueue, kMinQueue, kMaxQueue);
    return true;
}

bool TFdDevice::SetCommTimeouts(const COMMTIMEOUTS& t) {
    std::lock_guard lock(FMutex);
    FTimeouts = t;
    return true;
}

bool TFdDevice::GetCommTimeouts(COMMTIMEOUTS& t) {
    std::lock_guard lock(FMutex);
    t = FTimeouts;
    return true;
}

bool TFdDevice::SetCommMask(std::uint32_t mask) {
    std::lock_guard lock(FMutex);
    FMask = mask;
    FHistory = 0;
    Wake();
    return true;
}

TWaitResult TFdDevice::WaitCommEvent(std::uint32_t& mask, TStopSignal& stop) {
    const int wakeFd = FWakeFd;
    stop.SetWaker([wakeFd] {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeFd, &one, sizeof one);
    });
    struct Unhook {
        TStopSignal& s;
        ~Unhook() { s.SetWaker({}); }
    } unhook{stop};

    std::unique_lock lock(FMutex);
    for (;;) {
        if (stop.IsSet()) return TWaitResult::Stopped;
        if (FHistory & FMask) {
            mask = FHistory & FMask;
            FHistory = 0;
            return TWaitResult::Event;
        }
        if (FGone) {
            SetLastError(FGoneError);
            return TWaitResult::Failed;
        }
        const TPollPlan plan = PlanPoll();
        pollfd fds[2] = {{FFd, plan.events, 0}, {FWakeFd, POLLIN, 0}};
        FWaiting = true;
        lock.unlock();
        const int r = ::poll(fds, 2, plan.timeoutMs);
        const int pollError = errno;
        lock.lock();
        FWaiting = false;
        if (r < 0) {
            if (pollError != EINTR) MarkGone(pollError);
            continue;
        }
        if (fds[1].revents & POLLIN) {
            std::uint64_t count;
            [[maybe_unused]] ssize_t n = ::read(FWakeFd, &count, sizeof count);
        }
        Polled(fds[0].revents, plan);
    }
}

bool TFdDevice::ReadFile(void* buffer, std::uint32_t count, std::uint32_t& read) {
    read = 0;
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::unique_lock lock(FMutex);
    const auto timer = TTransferTimer::ForRead(FTimeouts, count);
    const unsigned abort = FRxAbort;
    Clock::time_point last{};
    for (;;) {
        if (Queued() == 0) Pull();
        const std::uint32_t n = std::min<std::uint32_t>(count - read, Queued());
        if (n) {
            std::copy_n(FQueue.begin() + static_cast<long>(FHead), n, out + read);
            FHead += n;
            read += n;
            if (FHead == FQueue.size()) {
                FQueue.clear();
                FHead = 0;
            }
            if (timer.UsesInterval()) last = Clock::now();
        }
        if (read == count || timer.Immediate() || (timer.ReturnOnFirst() && read > 0)) break;
        if (FGone) {
            if (read > 0) break;
            return Fail(FGoneError);
        }
        if (FRxAbort != abort) return Fail(ECANCELED);
        const auto deadline = timer.Deadline(read > 0, last);
        if (deadline && Clock::now() >= *deadline) break;
        WaitForInput(lock, deadline);
    }
    if (read == 0 && FGone && (ImmediateReadTellsLoss() || !timer.Immediate()))
        return Fail(FGoneError);
    return true;
}

bool TFdDevice::ClearCommError(std::uint32_t& errors, COMSTAT* stat) {
    std::lock_guard lock(FMutex);
    if (Queued() == 0) Pull(); // the count must include what the device holds
    errors = FErrors;
    FErrors = 0;
    if (stat) {
        *stat = COMSTAT{};
        stat->cbInQue = Queued();
        stat->cbOutQue = OutQueued();
    }
    return true;
}

bool TFdDevice::PurgeComm(std::uint32_t flags) {
    std::lock_guard lock(FMutex);
    // A device that went away has nothing left to abort or discard.
    if (FGone) return true;
    if (flags & PURGE_RXABORT) ++FRxAbort;
    if (flags & PURGE_TXABORT) ++FTxAbort;
    if (flags & PURGE_RXCLEAR) {
        FQueue.clear();
        FHead = 0;
    }
    return PurgeDevice(flags);
}

void TFdDevice::Pull() {
    if (FGone) return;
    if (FHead > 0 && FHead == FQueue.size()) {
        FQueue.clear();
        FHead = 0;
    }
    std::uint32_t events = 0;
    const std::size_t before = Queued();
    Take(events);
    const std::size_t full = std::size_t(FCapacity) * 8 / 10;
    if (before < full && Queued() >= full) events |= EV_RX80FULL;
    AddEvents(events);
}

void TFdDevice::Emit(std::uint8_t c, std::uint32_t& events) {
    if (c == 0 && (FDcb.Flags & fNull)) return;
    FQueue.push_back(c);
    events |= EV_RXCHAR;
    if (c == static_cast<std::uint8_t>(FDcb.EvtChar)) events |= EV_RXFLAG;
}

void TFdDevice::AddEvents(std::uint32_t events) {
    const std::uint32_t fresh = events & FMask & ~FHistory;
    FHistory |= events & FMask;
    if (fresh) Wake();
}

void TFdDevice::MarkGone(int error) {
    if (FGone) return;
    FGone = true;
    FGoneError = error;
    Wake();
}

void TFdDevice::Wake() {
    if (!FWaiting) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(FWakeFd, &one, sizeof one);
}

} // namespace serial
