// Names and connections of remote serial ports: "rfc2217://HOST:PORT" (a port
// server speaking the telnet com-port control) and "tcp://HOST:PORT" (raw data,
// no line control). HOST is a host name, an IPv4 address or an IPv6 address in
// brackets ("[::1]").
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace serial {

struct TRemoteTarget {
    enum class Kind : std::uint8_t { Rfc2217, Tcp };
    Kind kind = Kind::Rfc2217;
    std::string host; // without brackets
    std::uint16_t port = 0;
    bool operator==(const TRemoteTarget&) const = default;
};

// True for a name with one of the two schemes (any letter case), well-formed or not.
bool IsRemoteName(const std::string& name);
// False when the name is not a remote name or is malformed (no host, no port,
// a port out of 1..65535, a path after the port, an unclosed bracket).
bool ParseRemoteTarget(const std::string& name, TRemoteTarget& target);

constexpr std::chrono::milliseconds kDefaultConnectTimeout{5000};

struct TConnection {
    int fd = -1;        // connected, non-blocking, close-on-exec, keep-alive on; -1 on failure
    int error = 0;      // errno value on failure
    std::string reason; // on failure, for the user: what went wrong with which address
};

// Resolves and connects within the time-out, trying every address of the
// host in turn. Never waits longer than the time-out, also when name
// resolution hangs.
TConnection ConnectTcp(const std::string& host, std::uint16_t port,
                       std::chrono::milliseconds timeout = kDefaultConnectTimeout);

} // namespace serial
