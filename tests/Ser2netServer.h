// A real ser2net serving a kernel pseudo-terminal on a loopback address, for
// the remote-port tests of the port object and of the window. The test holds
// the pseudo-terminal's master end; ser2net opens the slave by its path.
// Header only, standard library and POSIX, so both test folders share it.
#pragma once

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <random>
#include <string>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace ser2nettest {

// Random bytes (every value, 0xFF included) from a fixed seed.
inline std::string RandomBytes(std::size_t n, unsigned seed) {
    std::string s(n, '\0');
    std::mt19937 rng(seed);
    for (auto& c : s)
        c = static_cast<char>(rng());
    return s;
}

// What a descriptor gives until `want` bytes came or it stayed quiet for waitMs.
inline std::string ReadFor(int fd, std::size_t want, int waitMs) {
    std::string out;
    pollfd p{fd, POLLIN, 0};
    while (out.size() < want && ::poll(&p, 1, waitMs) > 0) {
        char buf[65536];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

inline bool Installed() {
    return ::access("/usr/sbin/ser2net", X_OK) == 0;
}

// The kernel's termios2 (its header clashes with <termios.h>): the line's
// rate as set, custom rates included.
struct KernelTermios {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};

// A socket address on the loopback of the family; port in host order.
inline bool LoopbackAddress(bool v6, std::uint16_t port, sockaddr_storage& out, socklen_t& len) {
    out = {};
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&out);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        a->sin6_port = htons(port);
        len = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&out);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a->sin_port = htons(port);
        len = sizeof *a;
    }
    return true;
}

// A free port on the loopback of the family (0 when none can be had).
inline std::uint16_t FreePort(bool v6) {
    const int s = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return 0;
    sockaddr_storage a;
    socklen_t len;
    LoopbackAddress(v6, 0, a, len);
    std::uint16_t port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&a)->sin6_port
                        : reinterpret_cast<sockaddr_in*>(&a)->sin_port);
    ::close(s);
    return port;
}

// True when something accepts connections on the loopback port.
inline bool Accepting(bool v6, std::uint16_t port) {
    const int s = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    sockaddr_storage a;
    socklen_t len;
    LoopbackAddress(v6, port, a, len);
    const bool up = ::connect(s, reinterpret_cast<sockaddr*>(&a), len) == 0;
    ::close(s);
    return up;
}

class Server {
public:
    // ipv6: listen on ::1 instead of 127.0.0.1.
    explicit Server(bool ipv6 = false) : FV6(ipv6) {
        char name[128] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
        ptyName = name;
        ::fcntl(master, F_SETFD, FD_CLOEXEC);
        ::fcntl(slave, F_SETFD, FD_CLOEXEC);
        termios t{};
        ::tcgetattr(master, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(master, TCSANOW, &t);
        char tmpl[] = "/tmp/ser2net-test-XXXXXX";
        if (const char* d = ::mkdtemp(tmpl)) dir = d;
        port = FreePort(ipv6);
        Start();
    }
    ~Server() {
        Stop();
        CloseSlave();
        CloseMaster();
        if (!dir.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        }
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Starts (again, on the same port); true once it accepts connections.
    bool Start() {
        using namespace std::chrono_literals;
        if (pid > 0 || dir.empty() || port == 0 || ptyName.empty()) return pid > 0;
        const std::string cfg = dir + "/ser2net.yaml";
        std::ofstream(cfg) << "%YAML 1.1\n---\nconnection: &c1\n"
                           << "  accepter: telnet(rfc2217),tcp," << (FV6 ? "::1" : "127.0.0.1")
                           << "," << port << "\n"
                           << "  connector: serialdev," << ptyName << ",9600n81,local\n";
        pid = ::fork();
        if (pid == 0) {
            // Goes with the test, also when a sanitizer ends it early.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            ::execl("/usr/sbin/ser2net", "ser2net", "-n", "-c", cfg.c_str(), "-P",
                    (dir + "/pid").c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 100; ++i) {
            if (Accepting(FV6, port)) {
                std::this_thread::sleep_for(100ms); // the probe is gone before the test connects
                return true;
            }
            int status;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return false;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }
    void Stop() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
    bool Running() const { return pid > 0; }
    void CloseSlave() { Shut(slave); }
    void CloseMaster() { Shut(master); }

    std::string Host() const { return FV6 ? "[::1]" : "127.0.0.1"; }
    std::string Url() const { return "rfc2217://" + Host() + ":" + std::to_string(port); }
    // The pseudo-terminal's line as ser2net set it.
    KernelTermios Line() const {
        KernelTermios t{};
        ::ioctl(slave, _IOR('T', 0x2A, KernelTermios), &t);
        return t;
    }

    int master = -1, slave = -1;
    std::string ptyName;
    std::uint16_t port = 0;
    pid_t pid = -1;
    std::string dir;

private:
    static void Shut(int& fd) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    bool FV6;
};

} // namespace ser2nettest
