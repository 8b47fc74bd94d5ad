// How long a read or a write may take under the device's COMMTIMEOUTS
// (shared by the device implementations).
#pragma once

#include "SerialDevice.h"

#include <chrono>
#include <cstdint>
#include <optional>

namespace serial {

class TTransferTimer {
public:
    using Clock = std::chrono::steady_clock;

    static TTransferTimer ForRead(const COMMTIMEOUTS& t, std::uint32_t count) {
        TTransferTimer r;
        if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
            t.ReadTotalTimeoutConstant == 0) {
            r.FImmediate = true; // what is queued, at once (and no clock is needed)
            return r;
        }
        const auto now = Clock::now();
        if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
            t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD) {
            // whatever is queued; else wait for the first byte up to the constant
            r.FReturnOnFirst = true;
            r.FTotal = now + std::chrono::milliseconds(t.ReadTotalTimeoutConstant);
            return r;
        }
        const std::uint64_t total =
            std::uint64_t(t.ReadTotalTimeoutMultiplier) * count + t.ReadTotalTimeoutConstant;
        if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0)
            r.FTotal = now + std::chrono::milliseconds(total);
        if (t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD)
            r.FInterval = std::chrono::milliseconds(t.ReadIntervalTimeout);
        return r;
    }

    static TTransferTimer ForWrite(const COMMTIMEOUTS& t, std::uint32_t count) {
        TTransferTimer r;
        const std::uint64_t total =
            std::uint64_t(t.WriteTotalTimeoutMultiplier) * count + t.WriteTotalTimeoutConstant;
        if (t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0)
            r.FTotal = Clock::now() + std::chrono::milliseconds(total);
        return r;
    }

    bool Immediate() const { return FImmediate; }
    bool UsesInterval() const { return FInterval.count() > 0; }
    bool ReturnOnFirst() const { return FReturnOnFirst; }

    // When the transfer ends if nothing more arrives (nullopt: no limit).
    // gotAny/lastByte: whether bytes were transferred, and when the last one came.
    std::optional<Clock::time_point> Deadline(bool gotAny, Clock::time_point lastByte) const {
        std::optional<Clock::time_point> d = FTotal;
        if (gotAny && FInterval.count() > 0) {
            const auto i = lastByte + FInterval;
            if (!d || i < *d) d = i;
        }
        return d;
    }

private:
    bool FImmediate = false;
    bool FReturnOnFirst = false;
    std::optional<Clock::time_point> FTotal;
    std::chrono::milliseconds FInterval{0};
};

// Checks the parts of a control block every implementation needs; false
// (EINVAL) for a block no line can take.
inline bool PlausibleDCB(const DCB& d) {
    return d.BaudRate > 0 && d.BaudRate <= 50000000u && d.ByteSize >= 5 && d.ByteSize <= 8 &&
           d.Parity <= 4 && d.StopBits <= 2;
}

} // namespace serial
