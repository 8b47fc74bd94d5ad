#include "SerialDevice.h"

#include "NetConnect.h"
#include "NetDevice.h"
#include "NullModem.h"
#include "PortMap.h"
#include "TtyDevice.h"

#include <cerrno>
#include <utility>

namespace serial {

namespace {
thread_local int tlsLastError = 0;
} // namespace

int GetLastError() {
    return tlsLastError;
}
void SetLastError(int error) {
    tlsLastError = error;
}

void TStopSignal::Set() {
    std::function<void()> waker;
    {
        std::lock_guard lock(FMutex);
        FSet.store(true, std::memory_order_release);
        waker = FWaker;
    }
    if (waker) waker();
}

void TStopSignal::SetWaker(std::function<void()> waker) {
    std::lock_guard lock(FMutex);
    FWaker = std::move(waker);
}

std::unique_ptr<ISerialDevice> CreateFile(const std::string& name) {
    const std::string target = ResolveDeviceName(name);
    if (target.empty()) {
        SetLastError(ENOENT);
        return nullptr;
    }
    if (IsNullModemName(target)) return OpenNullModem(target);
    if (IsRemoteName(target)) return OpenNetDevice(target);
    return OpenTty(target);
}

} // namespace serial
