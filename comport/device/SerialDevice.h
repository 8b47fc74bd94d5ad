// The device service the serial port component relies on: open a device by
// name, give it a whole line configuration, time-outs and an event mask, wait
// for its events, read, write, switch its output lines, read its input lines
// and its error flags. Every operation reports failure by its result and leaves
// the reason, an errno value, in the calling thread's last-error number.
//
// Implementations: POSIX ttys (TtyDevice.cpp) and an in-process virtual
// null-modem cable (NullModem.cpp); CreateFile picks one by name.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace serial {

// ---- the calling thread's last-error number (errno values; 0 after success is not promised)
int GetLastError();
void SetLastError(int error);

// ---- line configuration block
struct DCB {
    std::uint32_t DCBlength = 28;
    std::uint32_t BaudRate = 0;
    std::uint32_t Flags = 0; // f... bits below
    std::uint16_t wReserved = 0;
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    std::uint8_t ByteSize = 8;
    std::uint8_t Parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint8_t StopBits = 0; // 0 one, 1 one and a half, 2 two
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    std::uint16_t wReserved1 = 0;
    bool operator==(const DCB&) const = default;
};

constexpr std::uint32_t fBinary = 0x0001;
constexpr std::uint32_t fParity = 0x0002;
constexpr std::uint32_t fOutxCtsFlow = 0x0004;
constexpr std::uint32_t fOutxDsrFlow = 0x0008;
constexpr std::uint32_t fDtrControlMask = 0x0030;
constexpr std::uint32_t fDtrControlEnable = 0x0010;
constexpr std::uint32_t fDtrControlHandshake = 0x0020;
constexpr std::uint32_t fDsrSensitivity = 0x0040;
constexpr std::uint32_t fTXContinueOnXoff = 0x0080;
constexpr std::uint32_t fOutX = 0x0100;
constexpr std::uint32_t fInX = 0x0200;
constexpr std::uint32_t fErrorChar = 0x0400;
constexpr std::uint32_t fNull = 0x0800;
constexpr std::uint32_t fRtsControlMask = 0x3000;
constexpr std::uint32_t fRtsControlEnable = 0x1000;
constexpr std::uint32_t fRtsControlHandshake = 0x2000;
constexpr std::uint32_t fRtsControlToggle = 0x3000;
constexpr std::uint32_t fAbortOnError = 0x4000;

// ---- time-outs (milliseconds; MAXDWORD as the read interval with zero read
// totals: a read returns at once with what is queued)
constexpr std::uint32_t MAXDWORD = 0xFFFFFFFFu;
struct COMMTIMEOUTS {
    std::uint32_t ReadIntervalTimeout = 0;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 0;
    std::uint32_t WriteTotalTimeoutConstant = 0;
    bool operator==(const COMMTIMEOUTS&) const = default;
};

// ---- status: queue counts
struct COMSTAT {
    std::uint32_t Flags = 0;
    std::uint32_t cbInQue = 0;
    std::uint32_t cbOutQue = 0;
};

// ---- event mask bits
constexpr std::uint32_t EV_RXCHAR = 0x0001;
constexpr std::uint32_t EV_RXFLAG = 0x0002;
constexpr std::uint32_t EV_TXEMPTY = 0x0004;
constexpr std::uint32_t EV_CTS = 0x0008;
constexpr std::uint32_t EV_DSR = 0x0010;
constexpr std::uint32_t EV_RLSD = 0x0020;
constexpr std::uint32_t EV_BREAK = 0x0040;
constexpr std::uint32_t EV_ERR = 0x0080;
constexpr std::uint32_t EV_RING = 0x0100;
constexpr std::uint32_t EV_RX80FULL = 0x0400;

// ---- line error flags (ClearCommError)
constexpr std::uint32_t CE_RXOVER = 0x0001;
constexpr std::uint32_t CE_OVERRUN = 0x0002;
constexpr std::uint32_t CE_RXPARITY = 0x0004;
constexpr std::uint32_t CE_FRAME = 0x0008;
constexpr std::uint32_t CE_BREAK = 0x0010;
constexpr std::uint32_t CE_TXFULL = 0x0100;
constexpr std::uint32_t CE_IOE = 0x0400;
constexpr std::uint32_t CE_MODE = 0x8000;

// ---- purge flags
constexpr std::uint32_t PURGE_TXABORT = 0x0001;
constexpr std::uint32_t PURGE_RXABORT = 0x0002;
constexpr std::uint32_t PURGE_TXCLEAR = 0x0004;
constexpr std::uint32_t PURGE_RXCLEAR = 0x0008;

// ---- escape functions
constexpr std::uint32_t SETXOFF = 1;
constexpr std::uint32_t SETXON = 2;
constexpr std::uint32_t SETRTS = 3;
constexpr std::uint32_t CLRRTS = 4;
constexpr std::uint32_t SETDTR = 5;
constexpr std::uint32_t CLRDTR = 6;
constexpr std::uint32_t SETBREAK = 8;
constexpr std::uint32_t CLRBREAK = 9;

// ---- modem status bits
constexpr std::uint32_t MS_CTS_ON = 0x0010;
constexpr std::uint32_t MS_DSR_ON = 0x0020;
constexpr std::uint32_t MS_RING_ON = 0x0040;
constexpr std::uint32_t MS_RLSD_ON = 0x0080;

// The stop signal of an event wait: once Set it stays set, and a wait in
// progress (or the next one) returns Stopped.
class TStopSignal {
public:
    void Set();
    bool IsSet() const { return FSet.load(std::memory_order_acquire); }
    // For device implementations: how to wake the wait in progress (empty
    // when none). Set calls it outside the signal's own lock.
    void SetWaker(std::function<void()> waker);

private:
    std::atomic<bool> FSet{false};
    std::mutex FMutex;
    std::function<void()> FWaker;
};

enum class TWaitResult {
    Event,   // mask holds the events that occurred (at least one)
    Stopped, // the stop signal was set
    Failed   // the device can no longer be waited on (it went away); last error tells why
};

// One open device. Closing it is destroying it. The event wait runs on its own
// thread while another thread reads, writes and switches lines: every
// operation is safe to call concurrently with WaitCommEvent.
class ISerialDevice {
public:
    virtual ~ISerialDevice() = default;

    virtual bool SetupComm(std::uint32_t inQueue, std::uint32_t outQueue) = 0;
    virtual bool SetCommState(const DCB& dcb) = 0;
    virtual bool GetCommState(DCB& dcb) = 0;
    virtual bool SetCommTimeouts(const COMMTIMEOUTS& timeouts) = 0;
    virtual bool GetCommTimeouts(COMMTIMEOUTS& timeouts) = 0;
    virtual bool SetCommMask(std::uint32_t mask) = 0;
    // Sleeps until one of the masked events occurs or stop is set.
    virtual TWaitResult WaitCommEvent(std::uint32_t& mask, TStopSignal& stop) = 0;
    // Within the time-outs: read what is queued, write what the line takes.
    virtual bool ReadFile(void* buffer, std::uint32_t count, std::uint32_t& read) = 0;
    virtual bool WriteFile(const void* buffer, std::uint32_t count, std::uint32_t& written) = 0;
    // Line-error flags (CE_...) and queue counts, read and reset in one step.
    virtual bool ClearCommError(std::uint32_t& errors, COMSTAT* stat) = 0;
    virtual bool PurgeComm(std::uint32_t flags) = 0;
    virtual bool EscapeCommFunction(std::uint32_t function) = 0;
    virtual bool GetCommModemStatus(std::uint32_t& status) = 0;
};

// Opens a device exclusively by name: "\\.\COMn" (through the port map,
// PortMap.h), a path such as "/dev/ttyUSB0", or "null-modem:<n>a" /
// "null-modem:<n>b". Returns nullptr and sets the last error on failure
// (ENOENT for a missing device, EBUSY when it is held, ENOTTY for a path that
// is not a terminal, EACCES without permission).
std::unique_ptr<ISerialDevice> CreateFile(const std::string& name);

} // namespace serial
