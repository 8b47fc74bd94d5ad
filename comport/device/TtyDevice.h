// Serial devices of the operating system: POSIX ttys (TtyDevice.cpp).
#pragma once

#include "SerialDevice.h"

namespace serial {

// Opens a tty exclusively, in raw mode, with DTR and RTS dropped at once.
std::unique_ptr<ISerialDevice> OpenTty(const std::string& path);

} // namespace serial
