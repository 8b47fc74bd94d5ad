// Remote serial ports (NetDevice.cpp): a port server's line reached over TCP,
// with the line controlled through the telnet com-port control
// ("rfc2217://HOST:PORT") or data only ("tcp://HOST:PORT").
#pragma once

#include "SerialDevice.h"

#include <chrono>
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

// How long a line command waits for the server's acknowledgement.
constexpr std::chrono::milliseconds kAckTimeout{1000};

} // namespace serial
