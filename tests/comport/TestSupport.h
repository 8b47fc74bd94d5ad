// Shared helpers of the serial component tests: a window-thread stand-in that
// drains the call queue, an event recorder, pseudo-terminals, descriptor counts.
#pragma once

#include "ComPortsN.h"
#include "SyncQueue.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <pty.h>
#include <unistd.h>

namespace testsupport {

using namespace std::chrono_literals;

// Plays the window thread: runs queued calls until pred() holds or time is up.
inline bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end)
        if (SyncQueue::Instance().WaitDrainingFor(pred, 10ms)) return true;
    return pred();
}

// Runs queued calls for a while (to see that nothing more arrives).
inline void DrainFor(std::chrono::milliseconds d) {
    WaitFor([] { return false; }, d);
}

// A busy window thread: waits without draining until pred() holds (10 s at most).
inline void SpinUntil(const std::function<bool()>& pred) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!pred() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(1ms);
}
inline void WaitPending(const SyncQueue& q = SyncQueue::Instance()) {
    SpinUntil([&] { return q.Pending() > 0; });
}

inline long long MsSince(std::chrono::steady_clock::time_point t0) {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now() - t0).count();
}

// Counts the configuration steps the setters ask for.
class CountingPort : public TComPortN {
public:
    int dcb = 0, timeouts = 0, buffer = 0;

protected:
    void ApplyDCB() override { ++dcb, TComPortN::ApplyDCB(); }
    void ApplyTimeouts() override { ++timeouts, TComPortN::ApplyTimeouts(); }
    void ApplyBuffer() override { ++buffer, TComPortN::ApplyBuffer(); }
};

// Records every event of a port as a line of text, in order.
struct EventLog {
    std::vector<std::string> lines;
    std::function<void(TCustomComPort*, int)> onRxChar; // replaces the recording of OnRxChar

    void Attach(TCustomComPort& p) {
        auto note = [this](const char* s) { return [this, s](TCustomComPort*) { Add(s); }; };
        auto line = [this](const char* s) {
            return [this, s](TCustomComPort*, bool on) { Add(std::string(s) + (on ? "+" : "-")); };
        };
        p.OnBeforeOpen = note("BeforeOpen");
        p.OnAfterOpen = note("AfterOpen");
        p.OnBeforeClose = note("BeforeClose");
        p.OnAfterClose = note("AfterClose");
        p.OnBreak = note("Break");
        p.OnRing = note("Ring");
        p.OnRxFlag = note("RxFlag");
        p.OnRx80Full = note("Rx80Full");
        p.OnDeviceLost = note("DeviceLost");
        p.OnCTSChange = line("CTS");
        p.OnDSRChange = line("DSR");
        p.OnRLSDChange = line("RLSD");
        p.OnError = [this](TCustomComPort*, TComErrors e) { Add("Error" + std::to_string(e)); };
        p.OnRxChar = [this](TCustomComPort* s, int n) {
            onRxChar ? onRxChar(s, n) : Add("RxChar");
        };
    }
    void Add(const std::string& l) { lines.push_back(l); }
    int Count(const std::string& line) const {
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }
    std::string Joined() const {
        std::string s;
        for (const auto& l : lines)
            s += (s.empty() ? "" : " ") + l;
        return s;
    }
};

// Reads every waiting byte one at a time, as the serial module does.
inline void ReadAll(TCustomComPort* p, std::string& into) {
    unsigned char b;
    while (p->Read(&b, 1) == 1)
        into.push_back(static_cast<char>(b));
}

// A kernel pseudo-terminal: the port opens the slave by name, the test plays
// the far end on the master.
struct Pty {
    int master = -1, slave = -1;
    std::string name;
    Pty() {
        char buf[128];
        if (::openpty(&master, &slave, buf, nullptr, nullptr) == 0) name = buf;
    }
    ~Pty() {
        CloseSlave();
        CloseMaster();
    }
    static void Shut(int& fd) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    void CloseSlave() { Shut(slave); }
    void CloseMaster() { Shut(master); }
};

inline int OpenDescriptors() {
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return static_cast<int>(std::distance(begin(fds), end(fds)));
}

// Code of the EComPort that f raises (0 if none).
template <class F> int CodeOf(F&& f, int* winCode = nullptr, std::string* text = nullptr) {
    try {
        f();
    } catch (const EComPort& e) {
        if (winCode) *winCode = e.WinCode();
        if (text) *text = e.what();
        return e.Code();
    }
    return 0;
}

} // namespace testsupport
