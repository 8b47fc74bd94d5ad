// A virtual null-modem cable inside the process. Its two ends,
// "null-modem:<n>a" and "null-modem:<n>b", are wired as a crossed serial
// cable: what one end writes the other receives, RTS drives the other end's
// CTS, DTR its DSR and carrier, a break on one end is a received break on the
// other. Ends that disagree on the line parameters receive framing errors.
// It gives the tests (and a user without hardware) what pseudo-terminals lack.
#include "NullModem.h"

#include "Timeouts.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

namespace serial {
namespace {

constexpr std::uint32_t kMinQueue = 4096;
constexpr std::uint32_t kMaxQueue = 16u << 20;

struct TEnd {
    bool open = false;
    DCB dcb;
    COMMTIMEOUTS timeouts;
    std::uint32_t capacity = kMinQueue;
    std::deque<unsigned char> queue;
    std::uint32_t mask = 0;
    std::uint32_t history = 0; // masked events since the last completed wait
    std::uint32_t errors = 0;  // CE_... until read by ClearCommError
    bool rts = false, dtr = false, brk = false;
    bool xoffHeld = false; // output stopped by a received XOFF (or SETXOFF)
    unsigned rxAbort = 0, txAbort = 0;
};

struct TCable {
    std::mutex m;
    std::condition_variable cv;
    TEnd end[2];
};

std::mutex g_cablesMutex;
std::map<std::string, std::weak_ptr<TCable>> g_cables;

std::uint32_t RtsMode(const DCB& d) {
    return d.Flags & fRtsControlMask;
}
std::uint32_t DtrMode(const DCB& d) {
    return d.Flags & fDtrControlMask;
}

class TNullModemEnd final : public ISerialDevice {
public:
    TNullModemEnd(std::shared_ptr<TCable> cable, int side)
        : FCable(std::move(cable)), FSide(side) {}

    ~TNullModemEnd() override {
        std::lock_guard lock(FCable->m);
        TEnd& e = Me();
        e.open = false;
        e.queue.clear();
        SetLines(false, false); // a closed end holds its outputs low
        e.brk = false;
        e.mask = e.history = e.errors = 0;
        FCable->cv.notify_all();
    }

    bool SetupComm(std::uint32_t inQueue, std::uint32_t) override {
        std::lock_guard lock(FCable->m);
        Me().capacity = std::clamp(inQueue, kMinQueue, kMaxQueue);
        UpdateHandshake();
        return true;
    }

    bool SetCommState(const DCB& dcb) override {
        if (!PlausibleDCB(dcb)) return Fail(EINVAL);
        std::lock_guard lock(FCable->m);
        TEnd& e = Me();
        const DCB old = e.dcb;
        e.dcb = dcb;
        bool rts = e.rts, dtr = e.dtr;
        // An enabled line goes up; a disabled one goes down only when it was
        // enabled before, so SetRTS/SetDTR settings survive reconfiguring and
        // a line leaving a handshake keeps its level for its new owner to set.
        if (RtsMode(dcb) == fRtsControlEnable) rts = true;
        if (RtsMode(dcb) == 0 && RtsMode(old) == fRtsControlEnable) rts = false;
        if (DtrMode(dcb) == fDtrControlEnable) dtr = true;
        if (DtrMode(dcb) == 0 && DtrMode(old) == fDtrControlEnable) dtr = false;
        SetLines(rts, dtr);
        UpdateHandshake();
        FCable->cv.notify_all();
        return true;
    }

    bool GetCommState(DCB& dcb) override {
        std::lock_guard lock(FCable->m);
        dcb = Me().dcb;
        return true;
    }

    bool SetCommTimeouts(const COMMTIMEOUTS& t) override {
        std::lock_guard lock(FCable->m);
        Me().timeouts = t;
        return true;
    }

    bool GetCommTimeouts(COMMTIMEOUTS& t) override {
        std::lock_guard lock(FCable->m);
        t = Me().timeouts;
        return true;
    }

    bool SetCommMask(std::uint32_t mask) override {
        std::lock_guard lock(FCable->m);
        Me().mask = mask;
        Me().history = 0;
        FCable->cv.notify_all();
        return true;
    }

    TWaitResult WaitCommEvent(std::uint32_t& mask, TStopSignal& stop) override {
        std::unique_lock lock(FCable->m);
        TCable* cable = FCable.get();
        stop.SetWaker([cable] {
            std::lock_guard l(cable->m);
            cable->cv.notify_all();
        });
        FCable->cv.wait(lock, [&] { return stop.IsSet() || (Me().history & Me().mask); });
        stop.SetWaker({});
        if (stop.IsSet()) return TWaitResult::Stopped;
        mask = Me().history & Me().mask;
        Me().history = 0;
        return TWaitResult::Event;
    }

    bool ReadFile(void* buffer, std::uint32_t count, std::uint32_t& read) override {
        read = 0;
        auto* out = static_cast<unsigned char*>(buffer);
        std::unique_lock lock(FCable->m);
        TEnd& e = Me();
        const auto timer = TTransferTimer::ForRead(e.timeouts, count);
        const unsigned abort = e.rxAbort;
        TTransferTimer::Clock::time_point last{};
        for (;;) {
            const std::uint32_t n =
                std::min<std::uint32_t>(count - read, static_cast<std::uint32_t>(e.queue.size()));
            if (n) {
                std::copy_n(e.queue.begin(), n, out + read);
                e.queue.erase(e.queue.begin(), e.queue.begin() + n);
                read += n;
                if (timer.UsesInterval()) last = TTransferTimer::Clock::now();
                UpdateHandshake();
            }
            if (read == count || timer.Immediate() || (timer.ReturnOnFirst() && read > 0)) break;
            if (e.rxAbort != abort) return Fail(ECANCELED);
            const auto deadline = timer.Deadline(read > 0, last);
            if (!deadline)
                FCable->cv.wait(lock);
            else if (FCable->cv.wait_until(lock, *deadline) == std::cv_status::timeout &&
                     e.queue.empty())
                break;
        }
        return true;
    }

    bool WriteFile(const void* buffer, std::uint32_t count, std::uint32_t& written) override {
        written = 0;
        const auto* in = static_cast<const unsigned char*>(buffer);
        std::unique_lock lock(FCable->m);
        TEnd& e = Me();
        TEnd& o = Other();
        const auto timer = TTransferTimer::ForWrite(e.timeouts, count);
        const unsigned abort = e.txAbort;
        const bool toggle = RtsMode(e.dcb) == fRtsControlToggle;
        if (toggle) SetLines(true, e.dtr);
        while (written < count) {
            if (e.txAbort != abort) {
                if (toggle) SetLines(false, e.dtr);
                return Fail(ECANCELED);
            }
            std::uint32_t room = count - written;
            if (o.open)
                room = std::min<std::uint32_t>(
                    room, o.capacity > o.queue.size()
                              ? o.capacity - static_cast<std::uint32_t>(o.queue.size())
                              : 0);
            if (!Held() && room > 0) {
                for (std::uint32_t i = 0; i < room && !Held(); ++i)
                    Deliver(in[written++]);
                continue;
            }
            const auto deadline = timer.Deadline(false, {});
            if (!deadline)
                FCable->cv.wait(lock);
            else if (FCable->cv.wait_until(lock, *deadline) == std::cv_status::timeout)
                break;
        }
        if (toggle) SetLines(false, e.dtr);
        if (written == count) AddEvents(e, EV_TXEMPTY);
        FCable->cv.notify_all();
        return true;
    }

    bool ClearCommError(std::uint32_t& errors, COMSTAT* stat) override {
        std::lock_guard lock(FCable->m);
        TEnd& e = Me();
        errors = e.errors;
        e.errors = 0;
        if (stat) {
            *stat = COMSTAT{};
            stat->cbInQue = static_cast<std::uint32_t>(e.queue.size());
        }
        return true;
    }

    bool PurgeComm(std::uint32_t flags) override {
        std::lock_guard lock(FCable->m);
        TEnd& e = Me();
        if (flags & PURGE_RXCLEAR) e.queue.clear();
        if (flags & PURGE_RXABORT) ++e.rxAbort;
        if (flags & PURGE_TXABORT) ++e.txAbort;
        UpdateHandshake();
        FCable->cv.notify_all();
        return true;
    }

    bool EscapeCommFunction(std::uint32_t function) override {
        std::lock_guard lock(FCable->m);
        TEnd& e = Me();
        switch (function) {
        case SETXOFF:
            e.xoffHeld = true;
            break;
        case SETXON:
            e.xoffHeld = false;
            break;
        case SETRTS:
        case CLRRTS:
            SetLines(function == SETRTS, e.dtr);
            break;
        case SETDTR:
        case CLRDTR:
            SetLines(e.rts, function == SETDTR);
            break;
        case SETBREAK:
            if (!e.brk && Other().open) {
                Other().errors |= CE_BREAK;
                AddEvents(Other(), EV_BREAK);
            }
            e.brk = true;
            break;
        case CLRBREAK:
            e.brk = false;
            break;
        default:
            return Fail(EINVAL);
        }
        FCable->cv.notify_all();
        return true;
    }

    bool GetCommModemStatus(std::uint32_t& status) override {
        std::lock_guard lock(FCable->m);
        const TEnd& o = Other();
        status = 0;
        if (o.rts) status |= MS_CTS_ON;
        if (o.dtr) status |= MS_DSR_ON | MS_RLSD_ON;
        return true;
    }

private:
    TEnd& Me() { return FCable->end[FSide]; }
    TEnd& Other() { return FCable->end[1 - FSide]; }

    static bool Fail(int error) {
        SetLastError(error);
        return false;
    }

    void AddEvents(TEnd& end, std::uint32_t events) {
        const std::uint32_t masked = events & end.mask;
        if (masked) {
            end.history |= masked;
            FCable->cv.notify_all();
        }
    }

    // Our outputs changed: the other end sees its CTS, DSR and carrier move.
    void SetLines(bool rts, bool dtr) {
        TEnd& e = Me();
        std::uint32_t events = 0;
        if (rts != e.rts) events |= EV_CTS;
        if (dtr != e.dtr) events |= EV_DSR | EV_RLSD;
        e.rts = rts;
        e.dtr = dtr;
        if (events) {
            AddEvents(Other(), events);
            FCable->cv.notify_all();
        }
    }

    // Handshake lines tell the sender whether our input queue has room.
    void UpdateHandshake() {
        TEnd& e = Me();
        const bool room = e.queue.size() < e.capacity / 4 * 3;
        bool rts = e.rts, dtr = e.dtr;
        if (RtsMode(e.dcb) == fRtsControlHandshake) rts = room;
        if (DtrMode(e.dcb) == fDtrControlHandshake) dtr = room;
        SetLines(rts, dtr);
    }

    // Whether our output is stopped by flow control or a break.
    bool Held() {
        const TEnd& e = Me();
        const TEnd& o = Other();
        if (e.brk) return true;
        if ((e.dcb.Flags & fOutxCtsFlow) && !o.rts) return true;
        if ((e.dcb.Flags & fOutxDsrFlow) && !o.dtr) return true;
        if ((e.dcb.Flags & fOutX) && e.xoffHeld) return true;
        return false;
    }

    // One byte travels to the other end.
    void Deliver(unsigned char c) {
        TEnd& e = Me();
        TEnd& o = Other();
        if (!o.open) return; // nobody listens: the byte is lost on the wire
        if ((o.dcb.Flags & fDsrSensitivity) && !e.dtr) return;
        std::uint32_t events = 0;
        if (o.dcb.BaudRate != e.dcb.BaudRate || o.dcb.ByteSize != e.dcb.ByteSize ||
            o.dcb.Parity != e.dcb.Parity || o.dcb.StopBits != e.dcb.StopBits) {
            o.errors |= CE_FRAME;
            events |= EV_ERR;
        }
        if (o.dcb.ByteSize < 8) c &= static_cast<unsigned char>((1u << o.dcb.ByteSize) - 1);
        if ((o.dcb.Flags & fOutX) && (c == static_cast<unsigned char>(o.dcb.XoffChar) ||
                                      c == static_cast<unsigned char>(o.dcb.XonChar))) {
            o.xoffHeld = c == static_cast<unsigned char>(o.dcb.XoffChar);
            AddEvents(o, events);
            return;
        }
        if ((o.dcb.Flags & fNull) && c == 0) {
            AddEvents(o, events);
            return;
        }
        o.queue.push_back(c);
        events |= EV_RXCHAR;
        if (c == static_cast<unsigned char>(o.dcb.EvtChar)) events |= EV_RXFLAG;
        if (o.queue.size() == std::size_t(o.capacity) * 8 / 10) events |= EV_RX80FULL;
        AddEvents(o, events);
        if (RtsMode(o.dcb) == fRtsControlHandshake || DtrMode(o.dcb) == fDtrControlHandshake) {
            // the receiver's handshake lines are driven from its own side
            const bool room = o.queue.size() < o.capacity / 4 * 3;
            std::uint32_t ev = 0;
            if (RtsMode(o.dcb) == fRtsControlHandshake && o.rts != room) {
                o.rts = room;
                ev |= EV_CTS;
            }
            if (DtrMode(o.dcb) == fDtrControlHandshake && o.dtr != room) {
                o.dtr = room;
                ev |= EV_DSR | EV_RLSD;
            }
            AddEvents(e, ev);
        }
    }

    std::shared_ptr<TCable> FCable;
    int FSide;
};

} // namespace

bool IsNullModemName(const std::string& name) {
    return name.rfind("null-modem:", 0) == 0;
}

std::unique_ptr<ISerialDevice> OpenNullModem(const std::string& name) {
    // "null-modem:" digits, then the end: a or b
    const std::string rest = IsNullModemName(name) ? name.substr(11) : std::string();
    const bool ok =
        rest.size() >= 2 && rest.size() <= 10 &&
        std::all_of(rest.begin(), rest.end() - 1,
                    [](unsigned char c) { return std::isdigit(c); }) &&
        (rest.back() == 'a' || rest.back() == 'b' || rest.back() == 'A' || rest.back() == 'B');
    if (!ok) {
        SetLastError(ENOENT);
        return nullptr;
    }
    const std::string id = std::to_string(std::stoul(rest.substr(0, rest.size() - 1)));
    const int side = (rest.back() == 'a' || rest.back() == 'A') ? 0 : 1;

    std::shared_ptr<TCable> cable;
    {
        std::lock_guard lock(g_cablesMutex);
        for (auto it = g_cables.begin(); it != g_cables.end();)
            it = it->second.expired() ? g_cables.erase(it) : std::next(it);
        cable = g_cables[id].lock();
        if (!cable) {
            cable = std::make_shared<TCable>();
            g_cables[id] = cable;
        }
    }
    std::lock_guard lock(cable->m);
    TEnd& e = cable->end[side];
    if (e.open) {
        SetLastError(EBUSY);
        return nullptr;
    }
    e = TEnd{};
    e.open = true;
    e.dcb.BaudRate = 9600;
    return std::make_unique<TNullModemEnd>(cable, side);
}

} // namespace serial
