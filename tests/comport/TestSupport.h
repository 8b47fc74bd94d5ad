// Shared helpers of the serial component tests: a window-thread stand-in that
// drains the call queue, an event recorder, pseudo-terminals, descriptor counts.
#pragma once

#include "ComPortsN.h"
#include "SyncQueue.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
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

// Records every event of a port as a line of text, in order.
struct EventLog {
    std::vector<std::string> lines;
    std::function<void(TCustomComPort*, int)> onRxChar; // replaces the recording of OnRxChar

    void Attach(TCustomComPort& p) {
        p.OnBeforeOpen = [this](TCustomComPort*) { lines.push_back("BeforeOpen"); };
        p.OnAfterOpen = [this](TCustomComPort*) { lines.push_back("AfterOpen"); };
        p.OnBeforeClose = [this](TCustomComPort*) { lines.push_back("BeforeClose"); };
        p.OnAfterClose = [this](TCustomComPort*) { lines.push_back("AfterClose"); };
        p.OnCTSChange = [this](TCustomComPort*, bool on) { lines.push_back(On("CTS", on)); };
        p.OnDSRChange = [this](TCustomComPort*, bool on) { lines.push_back(On("DSR", on)); };
        p.OnRLSDChange = [this](TCustomComPort*, bool on) { lines.push_back(On("RLSD", on)); };
        p.OnBreak = [this](TCustomComPort*) { lines.push_back("Break"); };
        p.OnRing = [this](TCustomComPort*) { lines.push_back("Ring"); };
        p.OnRxFlag = [this](TCustomComPort*) { lines.push_back("RxFlag"); };
        p.OnRx80Full = [this](TCustomComPort*) { lines.push_back("Rx80Full"); };
        p.OnError = [this](TCustomComPort*, TComErrors e) {
            lines.push_back("Error" + std::to_string(e));
        };
        p.OnRxChar = [this](TCustomComPort* s, int n) {
            if (onRxChar)
                onRxChar(s, n);
            else
                lines.push_back("RxChar");
        };
        p.OnDeviceLost = [this](TCustomComPort*) { lines.push_back("DeviceLost"); };
    }
    static std::string On(const char* name, bool on) {
        return std::string(name) + (on ? "+" : "-");
    }
    int Count(const std::string& line) const {
        int n = 0;
        for (const auto& l : lines)
            n += l == line;
        return n;
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
    int master = -1;
    int slave = -1;
    std::string name;
    Pty() {
        char buf[128];
        if (::openpty(&master, &slave, buf, nullptr, nullptr) == 0) name = buf;
    }
    ~Pty() {
        CloseSlave();
        CloseMaster();
    }
    void CloseSlave() {
        if (slave >= 0) ::close(slave);
        slave = -1;
    }
    void CloseMaster() {
        if (master >= 0) ::close(master);
        master = -1;
    }
};

inline int OpenDescriptors() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
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
