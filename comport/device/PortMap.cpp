#include "PortMap.h"

#include <cctype>
#include <map>
#include <mutex>

namespace serial {
namespace {

std::mutex g_mutex;
std::map<int, std::string> g_overrides;

const char* const kDefaults[] = {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyACM0",  "/dev/ttyACM1",
                                 "/dev/ttyS0",   "/dev/ttyS1",   "null-modem:1a", "null-modem:1b"};

// The number n of "COMn" (letter case ignored), or 0 for any other name.
int ComNumber(const std::string& name) {
    if (name.size() < 4 || name.size() > 12) return 0;
    for (int i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return 0;
    long n = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
        n = n * 10 + (name[i] - '0');
        if (n > 1000000) return 0;
    }
    return static_cast<int>(n);
}

std::string DefaultFor(int n) {
    if (n <= static_cast<int>(std::size(kDefaults))) return kDefaults[n - 1];
    return "/dev/ttyS" + std::to_string(n - 1);
}

std::string Lookup(int n) {
    std::lock_guard lock(g_mutex);
    auto it = g_overrides.find(n);
    return it != g_overrides.end() ? it->second : DefaultFor(n);
}

} // namespace

bool SetPortMapEntry(const std::string& portName, const std::string& target) {
    const int n = ComNumber(portName);
    if (n < 1) return false;
    std::lock_guard lock(g_mutex);
    if (target.empty())
        g_overrides.erase(n);
    else
        g_overrides[n] = target;
    return true;
}

std::string PortMapEntry(const std::string& portName) {
    const int n = ComNumber(portName);
    return n < 1 ? std::string() : Lookup(n);
}

void ResetPortMap() {
    std::lock_guard lock(g_mutex);
    g_overrides.clear();
}

std::string ResolveDeviceName(const std::string& deviceName) {
    std::string name = deviceName;
    if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
    const int n = ComNumber(name);
    return n >= 1 ? Lookup(n) : name;
}

} // namespace serial
