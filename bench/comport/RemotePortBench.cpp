// Receive throughput of a remote port over loopback through OnRxChar and the
// one-byte Read loop, for rfc2217:// (telnet framing, random data with its
// 0xFF bytes doubled) and tcp:// (raw). The server is a thread of this
// program. Prints its figures.
//
//   remoteport_bench [MiB to receive (32)]
#include "PortBench.h"
#include "device/Telnet.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using Clock = std::chrono::steady_clock;
using namespace serial::telnet;
using namespace bench;

namespace {

void SendAll(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
        if (k <= 0) return;
        p += k;
        n -= static_cast<std::size_t>(k);
    }
}

void Throughput(bool telnet, std::size_t bytes) {
    const int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(lfd, 1);
    ::getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
    const std::string url = std::string(telnet ? "rfc2217" : "tcp") +
                            "://127.0.0.1:" + std::to_string(ntohs(a.sin_port));

    const std::string data = RandomBytes(bytes);
    Bytes wire;
    if (telnet) {
        wire = {IAC, DO, OPT_COM_PORT};
        // The line settings acknowledged, as a server does.
        for (std::uint8_t cmd = 1; cmd <= 4; ++cmd) {
            std::uint8_t reply[] = {std::uint8_t(cmd + 100), 0, 0, 0x25, 0x80};
            AppendSubnegotiation(wire, OPT_COM_PORT, reply, cmd == 1 ? 5 : 2);
        }
    }
    const std::size_t head = wire.size();
    if (telnet)
        AppendData(wire, reinterpret_cast<const std::uint8_t*>(data.data()), bytes);
    else
        wire.insert(wire.end(), data.begin(), data.end());

    std::string got;
    got.reserve(bytes);
    TComPortN port;
    port.SetPort(url);
    ReceiveInto(port, got);
    int peer = -1;
    std::thread server([&] {
        peer = ::accept(lfd, nullptr, nullptr);
        SendAll(peer, wire.data(), head);
    });
    port.Open();
    server.join();
    const auto t0 = Clock::now();
    std::thread feeder([&] { SendAll(peer, wire.data() + head, wire.size() - head); });
    AwaitReceived(got, bytes);
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    feeder.join();
    port.Close();
    ::close(peer);
    ::close(lfd);
    std::printf("%-8s receive through OnRxChar + 1-byte Read: %zu bytes in %.3f s = %.2f MB/s "
                "(data %s)\n",
                telnet ? "rfc2217" : "tcp", bytes, secs, bytes / secs / 1e6,
                got == data ? "intact" : "CORRUPT");
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 32;
    Throughput(true, mib << 20);
    Throughput(false, mib << 20);
}
