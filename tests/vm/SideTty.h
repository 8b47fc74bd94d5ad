// A second descriptor on a tty, for the tests' own view of the driver: the
// line settings it holds (termios2), its modem lines, the UART's loopback and
// OUT1/OUT2, and its reference clock. Apart from the component on purpose (the
// driver, not the component, is the oracle) and in its own file because the
// kernel's termios2 and the C library's termios cannot meet in one file.
#pragma once

#include <cstdint>

namespace vmtest {

// Modem-control bits as the kernel numbers them (TIOCMGET/TIOCMSET).
constexpr int kDtr = 0x002, kRts = 0x004, kCts = 0x020, kCd = 0x040, kRi = 0x080, kDsr = 0x100;
constexpr int kOut1 = 0x2000, kOut2 = 0x4000, kLoop = 0x8000;

struct TtySettings {
    std::uint32_t ispeed = 0, ospeed = 0;
    int dataBits = 0; // 5..8
    int parity = -1;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
    bool twoStop = false;
    bool rtsCts = false; // CRTSCTS: the driver holds output while CTS is low
};

class SideTty {
public:
    explicit SideTty(const char* path); // root passes the port's TIOCEXCL
    ~SideTty();
    SideTty(const SideTty&) = delete;
    SideTty& operator=(const SideTty&) = delete;

    bool IsOpen() const { return FFd >= 0; }
    // A tty's last close is the one that waits for its output: a test that
    // watches that close lets go of the tty first, and takes it again after.
    void Close();
    bool Open(const char* path);
    TtySettings Settings() const;
    int Lines() const; // -1 on failure
    bool Set(int bits);
    bool Clear(int bits);
    bool SetAll(int bits); // one register write
    int OutQueue() const;  // bytes the driver still has to send; -1 on failure
    int CtsDeltas() const; // CTS changes the UART signalled (TIOCGICOUNT); -1 on failure
    int BaudBase() const;  // the UART's clock / 16; -1 on failure
    bool SetBaudBase(int base);

private:
    int FFd = -1;
};

} // namespace vmtest
