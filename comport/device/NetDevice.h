// Remote serial ports (NetDevice.cpp): a port server's line reached over TCP,
// with the line controlled through the telnet com-port control
// ("rfc2217://HOST:PORT") or data only ("tcp://HOST:PORT").
#pragma once

#include "SerialDevice.h"

#include <chrono>
#include <functional>
#include <string>

namespace serial {

// Connects within the time-out. On failure: nullptr, the last error set
// (ENOENT for a malformed name, ECONNREFUSED, ETIMEDOUT, EHOSTUNREACH,
// EPROTONOSUPPORT for a server refusing the com-port control) and the reason
// for the user in LastConnectReason of the calling thread.
std::unique_ptr<ISerialDevice>
OpenNetDevice(const std::string& name,
              std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
std::string LastConnectReason();

// How long a line command's acknowledgement may take. Nobody waits for it:
// the device checks the answers as they arrive, and a server that gives none
// in time is reported once per kind of command and then no longer expected.
constexpr std::chrono::milliseconds kAckTimeout{1000};

// Where a remote port's reports for the user go (a command the server never
// acknowledged), called on whichever thread notices, the device's lock held:
// the handler must only hand the text on; reports from before it was set are
// handed to it at once. False for a device that is not a remote port.
bool SetNetDeviceNotice(ISerialDevice* device, std::function<void(const std::string&)> notice);

// Waits on the calling thread (at most `limit`) until the server has answered
// every line command sent or the wait for it ran out; for the worker that
// connects and applies the first settings, so the open on the window thread
// finds the rate the server made. Nothing for other devices.
void AwaitNetDeviceAnswers(ISerialDevice* device, std::chrono::milliseconds limit);

// A connection made ahead of time (on a worker thread, so connecting never
// holds up the caller): while this object lives, the next OpenNetDevice of the
// same name on this thread returns it instead of connecting. One nobody took
// is closed at the end. Offers on one thread nest.
class TPreparedNetDevice {
public:
    TPreparedNetDevice(std::string name, std::unique_ptr<ISerialDevice> device);
    ~TPreparedNetDevice();
    TPreparedNetDevice(const TPreparedNetDevice&) = delete;
    TPreparedNetDevice& operator=(const TPreparedNetDevice&) = delete;
    bool Taken() const;
    struct TSlot;

private:
    TSlot* FOuter;
    TSlot* FSlot;
};

} // namespace serial
