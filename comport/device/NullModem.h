// The in-process virtual null-modem cable (NullModem.cpp).
#pragma once

#include "SerialDevice.h"

namespace serial {

bool IsNullModemName(const std::string& name); // begins with "null-modem:"
// Opens one end ("null-modem:<n>a" or "null-modem:<n>b"); ENOENT for a
// malformed name, EBUSY when that end is already open.
std::unique_ptr<ISerialDevice> OpenNullModem(const std::string& name);

} // namespace serial
