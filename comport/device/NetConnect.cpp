#include "device/NetConnect.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace serial {
namespace {

using Clock = std::chrono::steady_clock;

// Keep-alive: a server that vanished without a word is noticed within about
// 5 + 3 * 2 seconds of silence.
constexpr int kKeepIdleS = 5, kKeepIntervalS = 2, kKeepCount = 3;

bool StartsWithNoCase(const std::string& s, const char* prefix) {
    const std::size_t n = std::strlen(prefix);
    return s.size() >= n && ::strncasecmp(s.c_str(), prefix, n) == 0;
}

std::string Where(const std::string& host, std::uint16_t port) {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// The result of getaddrinfo, shared with the thread that may outlive a
// caller who gave up waiting for it.
struct TResolution {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int status = 0;
    addrinfo* list = nullptr;
    ~TResolution() {
        if (list) ::freeaddrinfo(list);
    }
};

std::shared_ptr<TResolution> Resolve(const std::string& host, std::uint16_t port,
                                     Clock::time_point deadline) {
    auto r = std::make_shared<TResolution>();
    auto resolve = [r, host, port] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_ADDRCONFIG | AI_NUMERICSERV;
        addrinfo* list = nullptr;
        const int status = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
        std::lock_guard lock(r->mutex);
        r->status = status;
        r->list = list;
        r->finished = true;
        r->done.notify_all();
    };
    try {
        std::thread(resolve).detach();
    } catch (const std::system_error&) {
        resolve(); // no thread to spare: resolve here rather than fail
    }
    std::unique_lock lock(r->mutex);
    if (!r->done.wait_until(lock, deadline, [&] { return r->finished; })) return nullptr;
    return r;
}

void SetKeepAlive(int fd) {
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof kKeepIdleS);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof kKeepIntervalS);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
    // Small writes (a typed key) go out at once.
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// One address: 0 and the descriptor, or the errno value.
int ConnectOne(const addrinfo& a, Clock::time_point deadline, int& fd) {
    fd = ::socket(a.ai_family, a.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a.ai_protocol);
    if (fd < 0) return errno;
    int error = 0;
    if (::connect(fd, a.ai_addr, a.ai_addrlen) != 0) {
        error = errno;
        while (error == EINPROGRESS || error == EINTR) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                error = ETIMEDOUT;
                break;
            }
            pollfd p{fd, POLLOUT, 0};
            const int r = ::poll(&p, 1, static_cast<int>(left.count()) + 1);
            if (r < 0) {
                error = errno;
                continue;
            }
            if (r == 0) continue;
            socklen_t len = sizeof error;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
        }
    }
    if (error != 0) {
        ::close(fd);
        fd = -1;
        return error;
    }
    SetKeepAlive(fd);
    return 0;
}

} // namespace

bool IsRemoteName(const std::string& name) {
    return StartsWithNoCase(name, "rfc2217://") || StartsWithNoCase(name, "tcp://");
}

bool ParseRemoteTarget(const std::string& name, TRemoteTarget& target) {
    TRemoteTarget t;
    std::string rest;
    if (StartsWithNoCase(name, "rfc2217://")) {
        t.kind = TRemoteTarget::Kind::Rfc2217;
        rest = name.substr(10);
    } else if (StartsWithNoCase(name, "tcp://")) {
        t.kind = TRemoteTarget::Kind::Tcp;
        rest = name.substr(6);
    } else {
        return false;
    }
    std::size_t colon;
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            return false;
        t.host = rest.substr(1, close - 1);
        if (t.host.find(':') == std::string::npos) return false; // brackets only for IPv6
        colon = close + 1;
    } else {
        colon = rest.rfind(':');
        if (colon == std::string::npos) return false;
        t.host = rest.substr(0, colon);
        if (t.host.find(':') != std::string::npos) return false; // IPv6 needs brackets
    }
    if (t.host.empty()) return false;
    for (unsigned char c : t.host)
        if (c <= ' ' || c == '/' || c == '@' || c == '[' || c == ']' || c >= 0x7F) return false;
    const std::string port = rest.substr(colon + 1);
    if (port.empty() || port.size() > 5) return false;
    unsigned long value = 0;
    for (char c : port) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (value < 1 || value > 65535) return false;
    t.port = static_cast<std::uint16_t>(value);
    target = t;
    return true;
}

TConnection ConnectTcp(const std::string& host, std::uint16_t port,
                       std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    const std::string where = Where(host, port);
    const std::string seconds = std::to_string((timeout.count() + 999) / 1000) + " s";
    TConnection c;
    const auto resolved = Resolve(host, port, deadline);
    if (!resolved) {
        c.error = ETIMEDOUT;
        c.reason = "host name " + host + " not resolved within " + seconds;
        return c;
    }
    if (resolved->status != 0 || !resolved->list) {
        c.error = EHOSTUNREACH;
        c.reason = "host " + host + " not found (" + ::gai_strerror(resolved->status) + ")";
        return c;
    }
    int error = EHOSTUNREACH;
    for (const addrinfo* a = resolved->list; a; a = a->ai_next) {
        error = ConnectOne(*a, deadline, c.fd);
        if (error == 0) return c;
        if (error == ETIMEDOUT) break;
    }
    c.error = error;
    if (error == ETIMEDOUT)
        c.reason = "no answer from " + where + " within " + seconds;
    else if (error == ECONNREFUSED)
        c.reason = "connection refused by " + where + " (no server on that port)";
    else
        c.reason = "cannot connect to " + where + ": " + std::strerror(error);
    return c;
}

} // namespace serial
