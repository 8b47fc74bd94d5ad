#include "SideTty.h"

#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <fcntl.h>
#include <unistd.h>

namespace vmtest {

SideTty::SideTty(const char* path)
    : FFd(::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}

SideTty::~SideTty() {
    Close();
}

void SideTty::Close() {
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
}

bool SideTty::Open(const char* path) {
    Close();
    FFd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    return FFd >= 0;
}

TtySettings SideTty::Settings() const {
    TtySettings s;
    termios2 t{};
    if (::ioctl(FFd, TCGETS2, &t) != 0) return s;
    s.ispeed = t.c_ispeed;
    s.ospeed = t.c_ospeed;
    switch (t.c_cflag & CSIZE) {
    case CS5:
        s.dataBits = 5;
        break;
    case CS6:
        s.dataBits = 6;
        break;
    case CS7:
        s.dataBits = 7;
        break;
    default:
        s.dataBits = 8;
        break;
    }
    const bool odd = t.c_cflag & PARODD, stick = t.c_cflag & CMSPAR;
    if (!(t.c_cflag & PARENB))
        s.parity = 0;
    else if (stick)
        s.parity = odd ? 3 : 4; // stick parity: PARODD sends a mark
    else
        s.parity = odd ? 1 : 2;
    s.twoStop = t.c_cflag & CSTOPB;
    s.rtsCts = t.c_cflag & CRTSCTS;
    return s;
}

int SideTty::Lines() const {
    int bits = 0;
    return ::ioctl(FFd, TIOCMGET, &bits) == 0 ? bits : -1;
}

bool SideTty::Set(int bits) {
    return ::ioctl(FFd, TIOCMBIS, &bits) == 0;
}

bool SideTty::Clear(int bits) {
    return ::ioctl(FFd, TIOCMBIC, &bits) == 0;
}

bool SideTty::SetAll(int bits) {
    return ::ioctl(FFd, TIOCMSET, &bits) == 0;
}

int SideTty::OutQueue() const {
    int n = 0;
    return ::ioctl(FFd, TIOCOUTQ, &n) == 0 ? n : -1;
}

int SideTty::CtsDeltas() const {
    serial_icounter_struct c{};
    return ::ioctl(FFd, TIOCGICOUNT, &c) == 0 ? c.cts : -1;
}

int SideTty::BaudBase() const {
    serial_struct ss{};
    return ::ioctl(FFd, TIOCGSERIAL, &ss) == 0 ? ss.baud_base : -1;
}

bool SideTty::SetBaudBase(int base) {
    serial_struct ss{};
    if (::ioctl(FFd, TIOCGSERIAL, &ss) != 0) return false;
    ss.baud_base = base;
    return ::ioctl(FFd, TIOCSSERIAL, &ss) == 0;
}

} // namespace vmtest
