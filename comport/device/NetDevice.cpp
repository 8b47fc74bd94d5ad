// A serial line behind a port server. Everything sent goes
// through one output buffer, in whole telnet units, so a negotiation answer
// can never land between the two bytes of a doubled IAC; the buffer is drained
// without blocking by whoever holds the socket next, and by the event wait.
#include "NetDevice.h"

#include "FdDevice.h"
#include "NetConnect.h"
#include "Platform.h"
#include "Telnet.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace serial {
namespace {

using namespace rfc2217;
using Clock = TFdDevice::Clock;

constexpr std::size_t kChunk = 65536;
constexpr std::uint32_t kWriteChunk = 16384;
constexpr int kSliceMs = 20;
// A server that answers nothing for this long while our bytes wait for its
// answer is gone. The socket's keep-alive covers a quiet connection only.
constexpr std::uint32_t kSilenceMs = 11000;
constexpr int kSilenceCheckMs = 1000;
constexpr std::uint8_t kLineMask = LINE_BREAK | LINE_FRAMING | LINE_PARITY | LINE_OVERRUN;

thread_local std::string tlsReason;

// The connection made ahead for this thread's next open of the same name.
thread_local TPreparedNetDevice::TSlot* tlsOffer = nullptr;

const char* CommandName(std::uint8_t cmd) {
    switch (cmd) {
    case SET_BAUDRATE:
        return "\"set baud rate\"";
    case SET_DATASIZE:
        return "\"set data size\"";
    case SET_PARITY:
        return "\"set parity\"";
    case SET_STOPSIZE:
        return "\"set stop size\"";
    case SET_CONTROL:
        return "\"set control\" (DTR, RTS, break, flow control)";
    default:
        return "?";
    }
}

int MillisUntil(Clock::time_point t) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, kSliceMs));
}

class TNetDevice final : public TFdDevice {
public:
    TNetDevice(int fd, int wakeFd, TRemoteTarget target)
        : TFdDevice(fd, wakeFd), FTarget(std::move(target)),
          FTelnet(FTarget.kind == TRemoteTarget::Kind::Rfc2217), FSession(true) {}

    // The opening negotiation; false (last error set) when the server refuses
    // the com-port control or the connection ends meanwhile.
    bool Negotiate() {
        if (!FTelnet) return true;
        std::unique_lock lock(FMutex);
        Send(FSession.Start());
        Bytes masks;
        AppendCommand(masks, SET_LINESTATE_MASK, kLineMask);
        AppendCommand(masks, SET_MODEMSTATE_MASK, 0xFF);
        Send(masks);
        const auto deadline = Clock::now() + kAckTimeout;
        while (!FSession.ComPortAccepted() && !FSession.ComPortRefused() && !FGone &&
               Clock::now() < deadline)
            WaitInput(lock, deadline);
        if (FSession.ComPortRefused()) {
            tlsReason = "the server at " + Where() + " does not offer line control (RFC 2217)";
            return Fail(EPROTONOSUPPORT);
        }
        if (FGone) {
            tlsReason = "the server at " + Where() + " closed the connection";
            return Fail(FGoneError);
        }
        return true;
    }

    bool SetCommState(const DCB& d) override {
        if (!PlausibleDCB(d)) return Fail(EINVAL);
        std::unique_lock lock(FMutex);
        if (FGone) return Fail(FGoneError);
        // The rate the server answered stays what the device reports while
        // the same rate is asked again (as at the open after the worker's).
        const bool sameRate = FTelnet && FAnsweredRate != 0 && d.BaudRate == FAskedRate &&
                              FAcks[SET_BAUDRATE] >= FRatesAsked;
        if (FTelnet) {
            static constexpr std::uint8_t kParity[] = {PARITY_NONE, PARITY_ODD, PARITY_EVEN,
                                                       PARITY_MARK, PARITY_SPACE};
            static constexpr std::uint8_t kStop[] = {STOP_1, STOP_1_5, STOP_2};
            const bool rtsHandshake = (d.Flags & fRtsControlMask) == fRtsControlHandshake;
            const std::uint8_t outFlow = (d.Flags & fOutxCtsFlow) ? CONTROL_FLOW_HARDWARE
                                         : (d.Flags & fOutX)      ? CONTROL_FLOW_XONXOFF
                                                                  : CONTROL_FLOW_NONE;
            const std::uint8_t inFlow = rtsHandshake       ? CONTROL_INFLOW_HARDWARE
                                        : (d.Flags & fInX) ? CONTROL_INFLOW_XONXOFF
                                                           : CONTROL_INFLOW_NONE;
            Bytes b;
            int controls = 0;
            auto control = [&](std::uint8_t value) {
                AppendCommand(b, SET_CONTROL, value);
                ++controls;
            };
            AppendSetBaudrate(b, d.BaudRate);
            AppendCommand(b, SET_DATASIZE, d.ByteSize);
            AppendCommand(b, SET_PARITY, kParity[d.Parity]);
            AppendCommand(b, SET_STOPSIZE, kStop[d.StopBits]);
            control(outFlow);
            control(inFlow);
            // Enabled lines go up; an enabled line goes down when disabled (one
            // leaving a handshake keeps its level for its new owner to set).
            const std::uint32_t rts = d.Flags & fRtsControlMask,
                                oldRts = FDcb.Flags & fRtsControlMask;
            const std::uint32_t dtr = d.Flags & fDtrControlMask,
                                oldDtr = FDcb.Flags & fDtrControlMask;
            if (dtr == fDtrControlEnable) control(CONTROL_DTR_ON);
            if (dtr == 0 && oldDtr == fDtrControlEnable) control(CONTROL_DTR_OFF);
            if (rts == fRtsControlEnable || rtsHandshake) control(CONTROL_RTS_ON);
            if (rts == 0 && oldRts == fRtsControlEnable) control(CONTROL_RTS_OFF);
            Send(b);
            ++FRatesAsked;
            FAskedRate = d.BaudRate;
            // Every server acknowledges the line settings, the rate as it
            // could make it; the answers are checked as they come, so the
            // caller (the window) never waits for the network.
            for (std::uint8_t cmd : {SET_BAUDRATE, SET_DATASIZE, SET_PARITY, SET_STOPSIZE})
                ExpectAck(cmd);
            for (int i = 0; i < controls; ++i)
                ExpectAck(SET_CONTROL);
        }
        FDcb = d;
        if (sameRate) FDcb.BaudRate = FAnsweredRate;
        return FGone ? Fail(FGoneError) : true;
    }

    bool GetCommState(DCB& dcb) override {
        std::lock_guard lock(FMutex);
        dcb = FDcb;
        return FGone ? Fail(FGoneError) : true;
    }

    // In pieces: each piece is encoded into the output buffer and drained
    // before the next, so a time-out withdraws only what the network has not
    // taken, and a retry cannot send anything twice.
    bool WriteFile(const void* buffer, std::uint32_t count, std::uint32_t& written) override {
        written = 0;
        std::lock_guard writeLock(FWriteMutex);
        std::unique_lock lock(FMutex);
        if (FGone) return Fail(FGoneError);
        const auto timer = TTransferTimer::ForWrite(FTimeouts, count);
        const unsigned abort = FTxAbort;
        const auto* in = static_cast<const std::uint8_t*>(buffer);
        while (written < count) {
            const std::uint32_t n = std::min(kWriteChunk, count - written);
            const std::uint64_t start = FOutTotal;
            Bytes piece;
            if (FTelnet)
                telnet::AppendData(piece, in + written, n);
            else
                piece.assign(in + written, in + written + n);
            Send(piece);
            const std::uint64_t end = FOutTotal;
            for (;;) {
                if (FSentTotal >= end) break;
                if (FGone) return Fail(FGoneError);
                if (FTxAbort != abort) {
                    written += Withdraw(in + written, start, end);
                    return Fail(ECANCELED);
                }
                const auto deadline = timer.Deadline(false, {});
                if (deadline && Clock::now() >= *deadline) {
                    written += Withdraw(in + written, start, end);
                    return true;
                }
                if (ServerSilent()) MarkGone(ETIMEDOUT);
                if (FGone) return Fail(FGoneError);
                pollfd p{FFd, POLLOUT, 0};
                lock.unlock();
                ::poll(&p, 1, deadline ? MillisUntil(*deadline) : kSliceMs);
                lock.lock();
                Flush();
            }
            written += n;
        }
        AddEvents(EV_TXEMPTY);
        return true;
    }

    bool EscapeCommFunction(std::uint32_t function) override {
        std::uint8_t value;
        switch (function) {
        case SETRTS:
            value = CONTROL_RTS_ON;
            break;
        case CLRRTS:
            value = CONTROL_RTS_OFF;
            break;
        case SETDTR:
            value = CONTROL_DTR_ON;
            break;
        case CLRDTR:
            value = CONTROL_DTR_OFF;
            break;
        case SETBREAK:
            value = CONTROL_BREAK_ON;
            break;
        case CLRBREAK:
            value = CONTROL_BREAK_OFF;
            break;
        case SETXOFF:
        case SETXON: {
            // Ask the server to hold or resume what it sends us.
            std::unique_lock lock(FMutex);
            if (FGone) return Fail(FGoneError);
            if (FTelnet) {
                Bytes b;
                const std::uint8_t cmd =
                    function == SETXOFF ? FLOWCONTROL_SUSPEND : FLOWCONTROL_RESUME;
                const std::uint8_t payload[] = {cmd};
                telnet::AppendSubnegotiation(b, telnet::OPT_COM_PORT, payload, 1);
                Send(b);
            }
            return true;
        }
        default:
            return Fail(EINVAL);
        }
        std::unique_lock lock(FMutex);
        if (FGone) return Fail(FGoneError);
        // A data-only connection has no lines to switch.
        if (!FTelnet) return true;
        Bytes b;
        AppendCommand(b, SET_CONTROL, value);
        Send(b);
        ExpectAck(SET_CONTROL);
        return FGone ? Fail(FGoneError) : true;
    }

    bool GetCommModemStatus(std::uint32_t& status) override {
        std::lock_guard lock(FMutex);
        status = 0;
        if (FModem & MODEM_CTS) status |= MS_CTS_ON;
        if (FModem & MODEM_DSR) status |= MS_DSR_ON;
        if (FModem & MODEM_RI) status |= MS_RING_ON;
        if (FModem & MODEM_CD) status |= MS_RLSD_ON;
        return FGone ? Fail(FGoneError) : true;
    }

    void SetNotice(std::function<void(const std::string&)> notice) {
        std::lock_guard lock(FMutex);
        FNotice = std::move(notice);
        if (FNotice)
            for (const std::string& what : FUntold)
                FNotice(what);
        FUntold.clear();
    }

    // Waits until every line command sent has its answer or is given up.
    void AwaitAnswers(std::chrono::milliseconds limit) {
        std::unique_lock lock(FMutex);
        const auto deadline = Clock::now() + limit;
        auto pending = [this] {
            return std::any_of(FPending.begin(), FPending.end(), [](unsigned n) { return n > 0; });
        };
        while (pending() && !FGone && Clock::now() < deadline)
            WaitInput(lock, deadline);
    }

private:
    std::string Where() const {
        const bool v6 = FTarget.host.find(':') != std::string::npos;
        return (v6 ? "[" + FTarget.host + "]" : FTarget.host) + ":" + std::to_string(FTarget.port);
    }

    bool OutPending() const { return FSentTotal < FOutTotal; }

    TPollPlan PlanPoll() override {
        CheckAcks();
        // Bytes queued while connecting, before anyone listened, are told
        // now: no later byte may come to announce them.
        if (FUnannounced && (FMask & EV_RXCHAR)) {
            FUnannounced = false;
            if (Queued() > 0) AddEvents(EV_RXCHAR);
        }
        TPollPlan plan = TFdDevice::PlanPoll();
        if (FHistory & FMask) plan.timeoutMs = 0;
        if (OutPending()) plan.events |= POLLOUT;
        plan.timeoutMs = AckWaitMs();
        // Bytes in the socket that the server has yet to answer: look again
        // soon whether it still answers at all.
        int unanswered = 0;
        if (::ioctl(FFd, SIOCOUTQ, &unanswered) == 0 && unanswered > 0) {
            if (ServerSilent()) MarkGone(ETIMEDOUT);
            plan.timeoutMs = FGone                ? 0
                             : plan.timeoutMs < 0 ? kSilenceCheckMs
                                                  : std::min(plan.timeoutMs, kSilenceCheckMs);
        }
        return plan;
    }

    // The server has sent no acknowledgement for kSilenceMs while the
    // connection resends data or probes a closed window in vain. A server that
    // merely stops reading still answers the probes, and is not gone.
    bool ServerSilent() const {
        tcp_info info{};
        socklen_t len = sizeof info;
        if (::getsockopt(FFd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return false;
        return (info.tcpi_retransmits > 0 || info.tcpi_probes > 1) &&
               info.tcpi_last_ack_recv >= kSilenceMs;
    }

    void Polled(short revents, const TPollPlan&) override {
        if (revents & POLLOUT) Flush();
        if (revents & (POLLIN | POLLHUP | POLLERR)) Pull();
        if (revents & (POLLHUP | POLLERR | POLLNVAL)) MarkGone(ECONNRESET);
    }

    void WaitForInput(std::unique_lock<std::mutex>& lock,
                      std::optional<Clock::time_point> deadline) override {
        WaitInput(lock, deadline ? *deadline : Clock::now() + std::chrono::milliseconds(100));
    }

    bool PurgeDevice(std::uint32_t flags) override {
        const bool rx = flags & PURGE_RXCLEAR, tx = flags & PURGE_TXCLEAR;
        if (FTelnet && (rx || tx)) {
            Bytes b;
            AppendCommand(b, PURGE_DATA, rx && tx ? PURGE_BOTH : rx ? PURGE_RX : PURGE_TX);
            Send(b);
        }
        return true;
    }

    std::uint32_t OutQueued() const override {
        return static_cast<std::uint32_t>(FOutTotal - FSentTotal);
    }

    // The loss is told by the event wait, once.
    bool ImmediateReadTellsLoss() const override { return false; }

    // Waits (FMutex released) until input may be there or the deadline, at
    // most one slice, then takes it.
    void WaitInput(std::unique_lock<std::mutex>& lock, Clock::time_point deadline) {
        // A full queue takes nothing more: polling for input then would spin.
        const short in = QueueFull() ? 0 : POLLIN;
        pollfd p{FFd, static_cast<short>(in | (OutPending() ? POLLOUT : 0)), 0};
        lock.unlock();
        ::poll(&p, 1, MillisUntil(deadline));
        lock.lock();
        Flush();
        Pull();
    }

    // A line command of this kind went out: an answer is due within
    // kAckTimeout of it or of the last answer of its kind (answers come in
    // order). A kind the server leaves unanswered is reported once and then
    // no longer expected.
    void ExpectAck(std::uint8_t cmd) {
        if (FSilent[cmd]) return;
        if (FPending[cmd]++ == 0) {
            FDue[cmd] = Clock::now() + kAckTimeout;
            Wake(); // the event wait learns of the new time
        }
    }

    // An answer of the kind came (an unasked one counts for nothing).
    void Acknowledged(std::uint8_t cmd) {
        if (FPending[cmd] == 0) return;
        FDue[cmd] = --FPending[cmd] ? Clock::now() + kAckTimeout : Clock::time_point{};
    }

    // Reports the answers now overdue (FMutex held).
    void CheckAcks() {
        const auto now = Clock::now();
        for (std::uint8_t cmd = 0; cmd < FDue.size(); ++cmd) {
            if (FPending[cmd] == 0 || now < FDue[cmd] || FGone) continue;
            FPending[cmd] = 0;
            FDue[cmd] = {};
            FSilent[cmd] = true;
            const std::string what = std::string("line command ") + CommandName(cmd) +
                                     " not acknowledged within 1 s; carrying on";
            platform::OutputDebugString("remote port " + Where() + ": " + what + "\n");
            if (FNotice)
                FNotice(what);
            else
                FUntold.push_back(what); // told once someone listens
        }
    }

    // How long the event wait may sleep before an acknowledgement falls due.
    int AckWaitMs() const {
        Clock::time_point first{};
        for (std::size_t cmd = 0; cmd < FDue.size(); ++cmd)
            if (FPending[cmd] && !FGone && (first == Clock::time_point{} || FDue[cmd] < first))
                first = FDue[cmd];
        if (first == Clock::time_point{}) return -1;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(first - Clock::now()).count();
        return static_cast<int>(std::clamp<long long>(left + 1, 0, kAckTimeout.count()));
    }

    // Appends whole units to the output buffer and sends what the socket takes.
    void Send(const Bytes& bytes) {
        FOut.insert(FOut.end(), bytes.begin(), bytes.end());
        FOutTotal += bytes.size();
        Flush();
    }

    void Flush() {
        while (!FGone && FOutHead < FOut.size()) {
            const ssize_t n = ::send(FFd, FOut.data() + FOutHead, FOut.size() - FOutHead,
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                FOutHead += static_cast<std::size_t>(n);
                FSentTotal += static_cast<std::uint64_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) MarkGone(errno);
            break;
        }
        if (FOutHead == FOut.size()) {
            FOut.clear();
            FOutHead = 0;
        }
    }

    // Takes back the unsent part of the piece [start, end) of the output
    // stream, of which the socket has taken less than all; returns how many
    // of its data bytes went out. A doubled IAC whose first half went stays
    // whole, so the stream stays well-formed.
    std::uint32_t Withdraw(const std::uint8_t* data, std::uint64_t start, std::uint64_t end) {
        std::uint64_t sent = FSentTotal > start ? FSentTotal - start : 0;
        // Walk the piece's data to find how many bytes the sent part covers.
        std::uint32_t bytes = 0;
        std::uint64_t pos = 0;
        while (pos < sent) {
            pos += (FTelnet && data[bytes] == telnet::IAC) ? 2 : 1;
            ++bytes;
        }
        const std::uint64_t keepUntil = start + pos; // a half-sent pair is completed
        const std::size_t from = FOutHead + static_cast<std::size_t>(keepUntil - FSentTotal);
        const std::size_t to = FOutHead + static_cast<std::size_t>(end - FSentTotal);
        FOut.erase(FOut.begin() + static_cast<long>(from), FOut.begin() + static_cast<long>(to));
        FOutTotal -= end - keepUntil;
        return bytes;
    }

    // Takes what the socket holds into the queue, answering negotiations and taking notices.
    void Take(std::uint32_t& events) override {
        const std::uint32_t before = Queued();
        while (!QueueFull()) {
            FChunk.resize(kChunk);
            const ssize_t n = ::recv(FFd, FChunk.data(), kChunk, MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK) MarkGone(errno);
                break;
            }
            if (n == 0) { // the server closed the connection
                MarkGone(ECONNRESET);
                break;
            }
            if (FTelnet) {
                FInput.data.clear();
                FInput.answer.clear();
                FInput.replies.clear();
                FSession.Receive(FChunk.data(), static_cast<std::size_t>(n), FInput);
                for (std::uint8_t c : FInput.data)
                    Emit(c, events);
                if (!FInput.answer.empty()) Send(FInput.answer);
                for (const TReply& r : FInput.replies)
                    Reply(r, events);
            } else {
                for (ssize_t i = 0; i < n; ++i)
                    Emit(FChunk[static_cast<std::size_t>(i)], events);
            }
            if (static_cast<std::size_t>(n) < kChunk) break;
        }
        if (Queued() > before && !(FMask & EV_RXCHAR)) FUnannounced = true;
        CheckAcks();
    }

    void Reply(const TReply& r, std::uint32_t& events) {
        ++FAcks[r.command];
        Acknowledged(r.command);
        // The rate the server made of the last one asked (an answer to an
        // earlier request says nothing about the current rate).
        if (r.command == SET_BAUDRATE && FAcks[SET_BAUDRATE] >= FRatesAsked && r.value != 0) {
            FAnsweredRate = r.value;
            FDcb.BaudRate = r.value;
        }
        if (r.command == NOTIFY_LINESTATE) {
            const auto v = static_cast<std::uint8_t>(r.value);
            if (v & LINE_BREAK) {
                FErrors |= CE_BREAK;
                events |= EV_BREAK;
            }
            if (v & (LINE_FRAMING | LINE_PARITY | LINE_OVERRUN)) events |= EV_ERR;
            if (v & LINE_FRAMING) FErrors |= CE_FRAME;
            if (v & LINE_PARITY) FErrors |= CE_RXPARITY;
            if (v & LINE_OVERRUN) FErrors |= CE_OVERRUN;
        } else if (r.command == NOTIFY_MODEMSTATE) {
            const auto v = static_cast<std::uint8_t>(r.value);
            const std::uint8_t changed = v ^ FModem;
            if ((changed & MODEM_CTS) || (v & 0x01)) events |= EV_CTS;
            if ((changed & MODEM_DSR) || (v & 0x02)) events |= EV_DSR;
            if ((changed & MODEM_CD) || (v & 0x08)) events |= EV_RLSD;
            if (((changed & MODEM_RI) && (v & MODEM_RI)) || (v & 0x04)) events |= EV_RING;
            FModem = v & 0xF0;
        }
    }

    const TRemoteTarget FTarget;
    const bool FTelnet;
    // All below under FMutex.
    TClientSession FSession;
    TClientSession::TInput FInput;
    Bytes FOut;
    std::size_t FOutHead = 0;
    std::uint64_t FOutTotal = 0;  // bytes ever put into FOut
    std::uint64_t FSentTotal = 0; // bytes ever taken by the socket
    std::uint8_t FModem = 0;
    unsigned FRatesAsked = 0;
    std::uint32_t FAskedRate = 0;    // the rate last asked
    std::uint32_t FAnsweredRate = 0; // the server's answer to it, 0 before one
    std::array<unsigned, 13> FAcks{};
    std::array<unsigned, 13> FPending{};      // commands sent and not yet answered
    std::array<Clock::time_point, 13> FDue{}; // its answer's deadline; zero when none is due
    std::array<bool, 13> FSilent{};
    std::function<void(const std::string&)> FNotice;
    std::vector<std::string> FUntold; // notices from before FNotice was set
    bool FUnannounced = false;        // bytes queued while no one listened for them
};

} // namespace

std::string LastConnectReason() {
    return tlsReason;
}

struct TPreparedNetDevice::TSlot {
    std::string name;
    std::unique_ptr<ISerialDevice> device;
};

TPreparedNetDevice::TPreparedNetDevice(std::string name, std::unique_ptr<ISerialDevice> device)
    : FOuter(tlsOffer), FSlot(new TSlot{std::move(name), std::move(device)}) {
    tlsOffer = FSlot;
}

TPreparedNetDevice::~TPreparedNetDevice() {
    tlsOffer = FOuter;
    delete FSlot; // closes a connection nobody took
}

bool TPreparedNetDevice::Taken() const {
    return !FSlot->device;
}

void AwaitNetDeviceAnswers(ISerialDevice* device, std::chrono::milliseconds limit) {
    if (auto* net = dynamic_cast<TNetDevice*>(device)) net->AwaitAnswers(limit);
}

bool SetNetDeviceNotice(ISerialDevice* device, std::function<void(const std::string&)> notice) {
    auto* net = dynamic_cast<TNetDevice*>(device);
    if (!net) return false;
    net->SetNotice(std::move(notice));
    return true;
}

std::unique_ptr<ISerialDevice> OpenNetDevice(const std::string& name,
                                             std::chrono::milliseconds timeout) {
    tlsReason.clear();
    if (tlsOffer && tlsOffer->device && tlsOffer->name == name) return std::move(tlsOffer->device);
    TRemoteTarget target;
    if (!ParseRemoteTarget(name, target)) {
        tlsReason =
            "\"" + name + "\" is not a remote port (rfc2217://HOST:PORT or tcp://HOST:PORT)";
        Fail(ENOENT);
        return nullptr;
    }
    TConnection c = ConnectTcp(target.host, target.port, timeout);
    if (c.fd < 0) {
        tlsReason = c.reason;
        Fail(c.error);
        return nullptr;
    }
    const int wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
        const int e = errno;
        ::close(c.fd);
        Fail(e);
        return nullptr;
    }
    auto device = std::make_unique<TNetDevice>(c.fd, wakeFd, target);
    if (!device->Negotiate()) return nullptr;
    return device;
}

} // namespace serial
