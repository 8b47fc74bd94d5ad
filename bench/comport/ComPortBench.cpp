// Receive throughput of a port on a pseudo-terminal through OnRxChar and the
// one-byte Read loop (as the serial module reads), send throughput of bytes
// given one at a time to the send queue (as typed or pasted), and the CPU an
// idle program spends with both channels open. Prints its figures.
//
//   comport_bench [MiB to receive (16)] [idle seconds (10)] [KiB to send (1024)]
#include "PortBench.h"
#include "SendQueue.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

using Clock = std::chrono::steady_clock;
using namespace bench;

namespace {

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct Pty {
    int master = -1, slave = -1;
    std::string name;
    Pty() {
        char buf[128];
        if (openpty(&master, &slave, buf, nullptr, nullptr) == 0) name = buf;
    }
    ~Pty() {
        if (slave >= 0) close(slave);
        if (master >= 0) close(master);
    }
};

void Feed(int fd, const std::string& data) {
    std::size_t off = 0;
    while (off < data.size()) {
        const ssize_t n =
            write(fd, data.data() + off, std::min<std::size_t>(65536, data.size() - off));
        if (n > 0) off += static_cast<std::size_t>(n);
    }
}

void Throughput(std::size_t bytes) {
    Pty pty;
    std::string RxData1;
    RxData1.reserve(bytes);
    TComPortN port;
    port.SetPort(pty.name);
    ReceiveInto(port, RxData1);
    port.Open();
    close(pty.slave);
    pty.slave = -1;
    const std::string data = RandomBytes(bytes);
    const auto t0 = Clock::now();
    const double c0 = CpuSeconds();
    std::thread writer([&] { Feed(pty.master, data); });
    AwaitReceived(RxData1, bytes);
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = CpuSeconds() - c0;
    writer.join();
    port.Close();
    std::printf("receive through OnRxChar + 1-byte Read: %zu bytes in %.3f s = %.2f MB/s "
                "(CPU %.2f s, data %s)\n",
                bytes, secs, bytes / secs / 1e6, cpu, RxData1 == data ? "intact" : "CORRUPT");
}

// For comparison: what one read plus one FIONREAD per byte gives on the same kind of device.
void NaiveThroughput(std::size_t bytes) {
    Pty pty;
    termios t{};
    tcgetattr(pty.slave, &t);
    cfmakeraw(&t);
    tcsetattr(pty.slave, TCSANOW, &t);
    const std::string data = RandomBytes(bytes);
    std::string got;
    got.reserve(bytes);
    const auto t0 = Clock::now();
    std::thread writer([&] { Feed(pty.master, data); });
    while (got.size() < bytes) {
        unsigned char b;
        if (read(pty.slave, &b, 1) == 1) got.push_back(static_cast<char>(b));
        int n = 0;
        ioctl(pty.slave, FIONREAD, &n);
    }
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    writer.join();
    std::printf("peer figure, read + FIONREAD per byte:  %zu bytes in %.3f s = %.2f MB/s\n", bytes,
                secs, bytes / secs / 1e6);
}

// Bytes given one at a time, as keys arrive; the far end reads on a thread.
// Peer figure: one port Write per byte on the giving thread.
void SendThroughput(std::size_t bytes) {
    const std::string data = RandomBytes(bytes);
    for (bool queued : {true, false}) {
        Pty pty;
        TComPortN port;
        port.SetEvents(0); // nobody drains events here
        port.SetPort(pty.name);
        port.Open();
        close(pty.slave);
        pty.slave = -1;
        std::string got;
        got.reserve(bytes);
        std::thread reader([&] {
            char buf[65536];
            while (got.size() < bytes) {
                const ssize_t n = read(pty.master, buf, sizeof buf);
                if (n <= 0) break;
                got.append(buf, static_cast<std::size_t>(n));
            }
        });
        TSendQueue q;
        q.Start([&](const void* b, std::int32_t n) { return port.Write(b, n); },
                [&] { port.Handle()->PurgeComm(serial::PURGE_TXABORT); });
        const auto t0 = Clock::now();
        double longest = 0;
        for (char c : data) {
            const auto e0 = Clock::now();
            if (queued)
                q.Enqueue(std::string_view(&c, 1));
            else
                while (port.Write(&c, 1) != 1) {
                }
            longest = std::max(longest, std::chrono::duration<double>(Clock::now() - e0).count());
        }
        reader.join();
        const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
        q.Stop();
        port.Close();
        std::printf(
            "%s: %zu bytes in %.3f s = %.2f MB/s, longest call %.0f us (data %s)\n",
            queued ? "send, 1 byte a call into the send queue" : "peer figure, 1-byte Write", bytes,
            secs, bytes / secs / 1e6, longest * 1e6, got == data ? "intact" : "CORRUPT");
    }
}

void Idle(const char* what, const std::string& a, const std::string& b, int seconds) {
    TComPortN port1, port2;
    int events = 0;
    port1.OnRxChar = port2.OnRxChar = [&](TCustomComPort*, int) { ++events; };
    port1.SetPort(a);
    port2.SetPort(b);
    port1.Open();
    port2.Open();
    const double c0 = CpuSeconds();
    const auto t0 = Clock::now();
    SyncQueue::Instance().WaitDrainingFor([] { return false; }, std::chrono::seconds(seconds));
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = CpuSeconds() - c0;
    port1.Close();
    port2.Close();
    std::printf("idle, both channels open on %s: CPU %.4f s over %.1f s = %.3f %%\n", what, cpu,
                wall, 100.0 * cpu / wall);
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 16;
    const int idle = argc > 2 ? std::atoi(argv[2]) : 10;
    const std::size_t sendKib = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 1024;
    Throughput(mib << 20);
    NaiveThroughput(1 << 20);
    SendThroughput(sendKib << 10);
    Pty p1, p2;
    Idle("two pseudo-terminals", p1.name, p2.name, idle);
    Idle("the virtual null-modem (COM7, COM8)", "COM7", "COM8", idle);
    return 0;
}
