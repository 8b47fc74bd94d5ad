// POSIX serial devices. The line is configured through termios2 (so any bit
// rate can be set, with BOTHER where no B constant exists); this file must
// therefore not see <termios.h>.
//
// The device keeps its own input queue, as a driver would: bytes are taken
// from the kernel in chunks, cleaned of the parity/framing/break marks
// (PARMRK) and served from the queue, so a one-byte read costs no system call.
#include "TtyDevice.h"

#include "FdDevice.h"

#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <thread>
#include <vector>

namespace serial {
namespace {

constexpr std::size_t kChunk = 65536;
// Lines of a device with modem lines are looked at this often while someone waits for them.
constexpr int kModemPollMs = 20;
// Blocked transfers look for an abort this often.
constexpr int kAbortSliceMs = 100;
// How long a close lets the driver go on sending what it holds.
constexpr long kCloseDrainMs = 500;
constexpr std::uint32_t kLineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;

speed_t SpeedCode(std::uint32_t rate) {
    switch (rate) {
    case 50:
        return B50;
    case 75:
        return B75;
    case 110:
        return B110;
    case 134:
        return B134;
    case 150:
        return B150;
    case 200:
        return B200;
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 1800:
        return B1800;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 500000:
        return B500000;
    case 576000:
        return B576000;
    case 921600:
        return B921600;
    case 1000000:
        return B1000000;
    default:
        return BOTHER;
    }
}

int Millis(std::optional<TTransferTimer::Clock::time_point> deadline) {
    if (!deadline) return kAbortSliceMs;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          *deadline - TTransferTimer::Clock::now())
                          .count();
    return static_cast<int>(std::clamp<long long>(left, 0, kAbortSliceMs));
}

bool GoneError(int e) {
    return e == EIO || e == ENXIO || e == ENODEV || e == EBADF;
}

class TTtyDevice final : public TFdDevice {
public:
    TTtyDevice(int fd, int wakeFd) : TFdDevice(fd, wakeFd) {
        int status = 0;
        FModemLines = ::ioctl(FFd, TIOCMGET, &status) == 0;
        FLastModem = FModemLines ? status : 0;
        FHasICount = ::ioctl(FFd, TIOCGICOUNT, &FICount) == 0;
    }

    // HUPCL is off: closing leaves DTR and RTS as they are.
    ~TTtyDevice() override {
        if (!FGone) DrainBeforeClose();
        ::ioctl(FFd, TIOCNXCL);
    }

    bool SetCommState(const DCB& d) override {
        if (!PlausibleDCB(d)) return Fail(EINVAL);
        // Linux has no DSR-based flow control, no DSR sensitivity and no RTS
        // toggling: refuse them rather than pretend they work.
        if ((d.Flags & (fOutxDsrFlow | fDsrSensitivity)) ||
            (d.Flags & fDtrControlMask) == fDtrControlHandshake ||
            (d.Flags & fRtsControlMask) == fRtsControlToggle)
            return Fail(EINVAL);
        std::lock_guard lock(FMutex);
        if (FGone) return Fail(EIO);
        struct termios2 t {};
        if (::ioctl(FFd, TCGETS2, &t) != 0) return Fail(errno);
        t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CBAUD |
                       (CBAUD << IBSHIFT) | HUPCL);
        t.c_cflag |= CREAD | CLOCAL;
        static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
        t.c_cflag |= kSizes[d.ByteSize - 5];
        switch (d.Parity) {
        case 1:
            t.c_cflag |= PARENB | PARODD;
            break;
        case 2:
            t.c_cflag |= PARENB;
            break;
        case 3:
            t.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case 4:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
        }
        // One and a half stop bits do not exist here: two are used.
        if (d.StopBits != 0) t.c_cflag |= CSTOPB;
        const bool rtsHandshake = (d.Flags & fRtsControlMask) == fRtsControlHandshake;
        if ((d.Flags & fOutxCtsFlow) || rtsHandshake) t.c_cflag |= CRTSCTS;
        const speed_t code = SpeedCode(d.BaudRate);
        t.c_cflag |= code;
        t.c_ispeed = t.c_ospeed = d.BaudRate;

        t.c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                       IXANY | IMAXBEL | IUCLC);
        // Errors and breaks are marked in the data and taken out again when read.
        t.c_iflag |= INPCK | PARMRK;
        if (d.Flags & fOutX) t.c_iflag |= IXON;
        if (d.Flags & fInX) t.c_iflag |= IXOFF;
        t.c_oflag &= ~OPOST;
        t.c_lflag &= ~(ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | IEXTEN | NOFLSH | TOSTOP);
        t.c_cc[VMIN] = 1; // with O_NONBLOCK: no data gives EAGAIN, and 0 means hang-up
        t.c_cc[VTIME] = 0;
        t.c_cc[VSTART] = static_cast<cc_t>(d.XonChar);
        t.c_cc[VSTOP] = static_cast<cc_t>(d.XoffChar);

        const std::uint32_t rts = d.Flags & fRtsControlMask, oldRts = FDcb.Flags & fRtsControlMask;
        // Entering the RTS handshake, RTS goes up before the driver starts
        // watching CTS: the driver decides whether output is held from CTS as
        // it is when the setting is made, so a far end answering RTS with CTS
        // (or a loopback) must see RTS first. Later on the driver owns RTS
        // (it drops it while its input is full); other changes leave it be.
        const bool enterHandshake =
            FModemLines && rts == fRtsControlHandshake && oldRts != fRtsControlHandshake;
        int rtsBit = TIOCM_RTS, lines = 0;
        const bool raiseFirst =
            enterHandshake && ::ioctl(FFd, TIOCMGET, &lines) == 0 && !(lines & TIOCM_RTS);
        if (raiseFirst && ::ioctl(FFd, TIOCMBIS, &rtsBit) != 0) return Fail(errno);
        // A refused setting leaves RTS as it was.
        auto refuse = [&](int error) {
            if (raiseFirst) ::ioctl(FFd, TIOCMBIC, &rtsBit);
            return Fail(error);
        };
        if (::ioctl(FFd, TCSETS2, &t) != 0) return refuse(errno);
        {
            // A driver that cannot make the rate says so only on reading back,
            // for the standard rates too: a UART whose clock tops out at
            // 115200 quietly keeps its old rate when asked for B230400.
            struct termios2 back {};
            if (::ioctl(FFd, TCGETS2, &back) == 0 && back.c_ospeed != 0 &&
                std::abs(back.c_ospeed / double(d.BaudRate) - 1.0) > 0.03)
                return refuse(EINVAL);
        }

        // Enabled lines go up; an enabled line goes down when disabled; a line
        // that was already disabled keeps what SetRTS/SetDTR made it, and one
        // leaving a handshake keeps its level for its new owner to set, so
        // the board on the line sees no needless pulse.
        int up = 0, down = 0;
        const std::uint32_t dtr = d.Flags & fDtrControlMask, oldDtr = FDcb.Flags & fDtrControlMask;
        if (rts == fRtsControlEnable || enterHandshake) up |= TIOCM_RTS;
        if (rts == 0 && oldRts == fRtsControlEnable) down |= TIOCM_RTS;
        if (dtr == fDtrControlEnable) up |= TIOCM_DTR;
        if (dtr == 0 && oldDtr == fDtrControlEnable) down |= TIOCM_DTR;
        if (FModemLines) {
            if (up && ::ioctl(FFd, TIOCMBIS, &up) != 0) return Fail(errno);
            if (down && ::ioctl(FFd, TIOCMBIC, &down) != 0) return Fail(errno);
        }
        FDcb = d;
        return true;
    }

    // The line settings as the driver holds them: tcsetattr succeeds although
    // a driver may keep other values (a pseudo-terminal keeps 8 bits and no
    // parity). The rest of the block is what was last set.
    bool GetCommState(DCB& dcb) override {
        std::lock_guard lock(FMutex);
        dcb = FDcb;
        if (FGone) return Fail(FGoneError);
        struct termios2 t {};
        if (::ioctl(FFd, TCGETS2, &t) != 0) return Fail(errno);
        dcb.BaudRate = t.c_ospeed;
        switch (t.c_cflag & CSIZE) {
        case CS5:
            dcb.ByteSize = 5;
            break;
        case CS6:
            dcb.ByteSize = 6;
            break;
        case CS7:
            dcb.ByteSize = 7;
            break;
        default:
            dcb.ByteSize = 8;
            break;
        }
        if (!(t.c_cflag & PARENB))
            dcb.Parity = 0;
        else if (t.c_cflag & CMSPAR)
            dcb.Parity = (t.c_cflag & PARODD) ? 3 : 4;
        else
            dcb.Parity = (t.c_cflag & PARODD) ? 1 : 2;
        dcb.StopBits = (t.c_cflag & CSTOPB) ? 2 : 0; // termios knows no 1.5
        return true;
    }

    bool WriteFile(const void* buffer, std::uint32_t count, std::uint32_t& written) override {
        written = 0;
        std::lock_guard writeLock(FWriteMutex);
        COMMTIMEOUTS to;
        unsigned abort;
        std::uint32_t baud;
        {
            std::lock_guard lock(FMutex);
            if (FGone) return Fail(FGoneError);
            to = FTimeouts;
            abort = FTxAbort;
            baud = FDcb.BaudRate ? FDcb.BaudRate : 9600;
        }
        const auto timer = TTransferTimer::ForWrite(to, count);
        const auto* in = static_cast<const unsigned char*>(buffer);
        bool timedOut = false;
        while (written < count) {
            if (Aborted(FTxAbort, abort)) return Fail(ECANCELED);
            const ssize_t n = ::write(FFd, in + written, count - written);
            if (n > 0) {
                written += static_cast<std::uint32_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) {
                const int e = errno;
                if (GoneError(e)) {
                    std::lock_guard lock(FMutex);
                    MarkGone(e);
                }
                return Fail(e);
            }
            const auto deadline = timer.Deadline(false, {});
            if (deadline && TTransferTimer::Clock::now() >= *deadline) {
                timedOut = true;
                break;
            }
            pollfd fd{FFd, POLLOUT, 0};
            ::poll(&fd, 1, Millis(deadline));
        }
        // The write is complete when the line has sent it; what is still
        // queued when the time is up is withdrawn, so a retry cannot send it twice.
        for (;;) {
            int queued = 0;
            if (::ioctl(FFd, TIOCOUTQ, &queued) != 0 || queued <= 0) break;
            const auto deadline = timer.Deadline(false, {});
            if (timedOut || (deadline && TTransferTimer::Clock::now() >= *deadline)) {
                ::ioctl(FFd, TCFLSH, TCOFLUSH);
                written -= std::min<std::uint32_t>(written, static_cast<std::uint32_t>(queued));
                break;
            }
            if (Aborted(FTxAbort, abort)) return Fail(ECANCELED);
            // about the time the line needs for what is queued, in small steps
            const long us = std::clamp<long>(queued * 10'000'000L / baud, 500, 20'000);
            std::this_thread::sleep_for(std::chrono::microseconds(us));
        }
        if (written == count) {
            std::lock_guard lock(FMutex);
            AddEvents(EV_TXEMPTY);
        }
        return true;
    }

    bool EscapeCommFunction(std::uint32_t function) override {
        int bits = 0;
        int r;
        switch (function) {
        case SETRTS:
            bits = TIOCM_RTS;
            r = ::ioctl(FFd, TIOCMBIS, &bits);
            break;
        case CLRRTS:
            bits = TIOCM_RTS;
            r = ::ioctl(FFd, TIOCMBIC, &bits);
            break;
        case SETDTR:
            bits = TIOCM_DTR;
            r = ::ioctl(FFd, TIOCMBIS, &bits);
            break;
        case CLRDTR:
            bits = TIOCM_DTR;
            r = ::ioctl(FFd, TIOCMBIC, &bits);
            break;
        case SETBREAK:
            r = ::ioctl(FFd, TIOCSBRK);
            break;
        case CLRBREAK:
            r = ::ioctl(FFd, TIOCCBRK);
            break;
        case SETXOFF:
            r = ::ioctl(FFd, TCXONC, TCOOFF);
            break;
        case SETXON:
            r = ::ioctl(FFd, TCXONC, TCOON);
            break;
        default:
            return Fail(EINVAL);
        }
        return r == 0 || Fail(errno);
    }

    bool GetCommModemStatus(std::uint32_t& status) override {
        status = 0;
        int bits = 0;
        if (::ioctl(FFd, TIOCMGET, &bits) != 0) {
            // No modem lines (a pseudo-terminal): all of them read as off.
            if (errno == ENOTTY || errno == EINVAL) return true;
            return Fail(errno);
        }
        if (bits & TIOCM_CTS) status |= MS_CTS_ON;
        if (bits & TIOCM_DSR) status |= MS_DSR_ON;
        if (bits & TIOCM_RI) status |= MS_RING_ON;
        if (bits & TIOCM_CD) status |= MS_RLSD_ON;
        return true;
    }

private:
    // A limited wait is the turn of the line watch.
    TPollPlan PlanPoll() override {
        const bool watchLines = FModemLines && (FMask & kLineEvents);
        return {static_cast<short>(QueueFull() ? 0 : POLLIN), watchLines ? kModemPollMs : -1};
    }

    void Polled(short revents, const TPollPlan& plan) override {
        if (revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) Pull();
        // A hung-up device keeps reporting so: it will not come back on this descriptor.
        if (revents & (POLLHUP | POLLERR | POLLNVAL)) MarkGone(EIO);
        if (plan.timeoutMs >= 0) CheckLines();
    }

    void WaitForInput(std::unique_lock<std::mutex>& lock,
                      std::optional<Clock::time_point> deadline) override {
        pollfd fd{FFd, POLLIN, 0};
        lock.unlock();
        ::poll(&fd, 1, Millis(deadline));
        lock.lock();
    }

    bool PurgeDevice(std::uint32_t flags) override {
        if (flags & PURGE_RXCLEAR) {
            FMark = 0;
            if (::ioctl(FFd, TCFLSH, TCIFLUSH) != 0) return Fail(errno);
        }
        if ((flags & PURGE_TXCLEAR) && ::ioctl(FFd, TCFLSH, TCOFLUSH) != 0) return Fail(errno);
        return true;
    }

    // The last close of a tty waits until the driver has sent what it holds,
    // for up to the port's closing wait (30 s on serial drivers): with the line
    // held by CTS or XOFF the disconnect would hang that long. Output that is
    // still moving gets a moment to go; what is left is discarded, so the close
    // returns at once.
    void DrainBeforeClose() {
        using std::chrono::milliseconds;
        const auto start = Clock::now();
        // a stall of about twenty characters' time means the line is held
        const std::uint32_t baud = FDcb.BaudRate ? FDcb.BaudRate : 9600;
        const milliseconds stall(std::clamp<long>(200'000L / baud, 100, kCloseDrainMs));
        int last = -1;
        auto moved = start;
        for (;;) {
            int queued = 0;
            if (::ioctl(FFd, TIOCOUTQ, &queued) != 0 || queued <= 0) return;
            const auto now = Clock::now();
            if (last < 0 || queued < last) {
                last = queued;
                moved = now;
            }
            if (now - start >= milliseconds(kCloseDrainMs) || now - moved >= stall) break;
            std::this_thread::sleep_for(milliseconds(5));
        }
        ::ioctl(FFd, TCFLSH, TCOFLUSH);
    }

    bool Aborted(const unsigned& counter, unsigned seen) {
        std::lock_guard lock(FMutex);
        return counter != seen;
    }

    // Takes what the kernel holds into the queue, with the errors the marks and counters tell.
    void Take(std::uint32_t& events) override {
        std::uint32_t errors = 0;
        while (!QueueFull()) {
            const std::size_t want = std::min<std::size_t>(kChunk, FCapacity - Queued());
            FChunk.resize(want);
            const ssize_t n = ::read(FFd, FChunk.data(), want);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno != EAGAIN) MarkGone(errno);
                break;
            }
            if (n == 0) { // end of file: the device has hung up
                MarkGone(EIO);
                break;
            }
            Decode(FChunk.data(), static_cast<std::size_t>(n), events, errors);
            if (static_cast<std::size_t>(n) < want) break;
        }
        if (FHasICount && !FGone) {
            serial_icounter_struct now{};
            if (::ioctl(FFd, TIOCGICOUNT, &now) == 0) {
                if (errors & CE_FRAME) { // a marked byte: which error was it?
                    const bool frame = now.frame != FICount.frame;
                    const bool parity = now.parity != FICount.parity;
                    if (parity && !frame) errors &= ~CE_FRAME;
                    if (parity) errors |= CE_RXPARITY;
                }
                if (now.overrun != FICount.overrun || now.buf_overrun != FICount.buf_overrun) {
                    errors |= CE_OVERRUN;
                    events |= EV_ERR;
                }
                FICount = now;
            }
        }
        FErrors |= errors;
    }

    // Removes the PARMRK marks: 377 377 is a 377 byte, 377 0 0 a break,
    // 377 0 c a byte received with a framing or parity error.
    void Decode(const unsigned char* p, std::size_t n, std::uint32_t& events,
                std::uint32_t& errors) {
        for (std::size_t i = 0; i < n; ++i) {
            const unsigned char c = p[i];
            switch (FMark) {
            case 0:
                if (c == 0xFF)
                    FMark = 1;
                else
                    Emit(c, events);
                break;
            case 1:
                if (c == 0x00) {
                    FMark = 2;
                } else {
                    FMark = 0;
                    Emit(0xFF, events);
                    if (c != 0xFF) Emit(c, events);
                }
                break;
            default:
                FMark = 0;
                if (c == 0x00) {
                    errors |= CE_BREAK;
                    events |= EV_BREAK;
                } else {
                    errors |= CE_FRAME;
                    events |= EV_ERR;
                    const bool replace =
                        (FDcb.Flags & (fParity | fErrorChar)) == (fParity | fErrorChar);
                    Emit(replace ? static_cast<unsigned char>(FDcb.ErrorChar) : c, events);
                }
                break;
            }
        }
    }

    // Devices with modem lines: compare the lines (and the kernel's change
    // counters, so that a short pulse is not missed) with what was seen last.
    void CheckLines() {
        int bits = 0;
        if (::ioctl(FFd, TIOCMGET, &bits) != 0) {
            if (GoneError(errno)) MarkGone(errno);
            return;
        }
        std::uint32_t events = 0;
        const int changed = bits ^ FLastModem;
        if (changed & TIOCM_CTS) events |= EV_CTS;
        if (changed & TIOCM_DSR) events |= EV_DSR;
        if (changed & TIOCM_CD) events |= EV_RLSD;
        if ((changed & TIOCM_RI) && (bits & TIOCM_RI)) events |= EV_RING;
        FLastModem = bits;
        if (FHasICount) {
            serial_icounter_struct now{};
            if (::ioctl(FFd, TIOCGICOUNT, &now) == 0) {
                if (now.cts != FICount.cts) events |= EV_CTS;
                if (now.dsr != FICount.dsr) events |= EV_DSR;
                if (now.dcd != FICount.dcd) events |= EV_RLSD;
                if (now.rng != FICount.rng) events |= EV_RING;
                FICount.cts = now.cts;
                FICount.dsr = now.dsr;
                FICount.dcd = now.dcd;
                FICount.rng = now.rng;
            }
        }
        AddEvents(events);
    }

    int FMark = 0; // how far into a PARMRK mark the input is
    bool FModemLines = false;
    int FLastModem = 0;
    bool FHasICount = false;
    serial_icounter_struct FICount{};
};

} // namespace

std::unique_ptr<ISerialDevice> OpenTty(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Fail(errno);
        return nullptr;
    }
    auto fail = [fd](int error) -> std::unique_ptr<ISerialDevice> {
        ::close(fd);
        Fail(error);
        return nullptr;
    };
    if (!::isatty(fd)) return fail(ENOTTY);
    // Exclusive: the lock keeps out every other opener, root included; TIOCEXCL
    // also keeps out programs that do not lock.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno == EWOULDBLOCK ? EBUSY : errno);
    ::ioctl(fd, TIOCEXCL);
    // Opening raised DTR and RTS; with their control disabled they stay low.
    const int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, TIOCMBIC, &lines);

    struct termios2 t {};
    if (::ioctl(fd, TCGETS2, &t) != 0) return fail(errno);
    t.c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                   IXANY | IMAXBEL | IUCLC);
    t.c_iflag |= INPCK | PARMRK;
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | IEXTEN | NOFLSH | TOSTOP);
    t.c_cflag &= ~(HUPCL | CSIZE | PARENB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 1; // with O_NONBLOCK: no data gives EAGAIN, and 0 means hang-up
    t.c_cc[VTIME] = 0;
    if (::ioctl(fd, TCSETS2, &t) != 0) return fail(errno);

    const int wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) return fail(errno);
    return std::make_unique<TTtyDevice>(fd, wakeFd);
}

} // namespace serial
