// Why a device did not open, in words a user can act on, and who holds a
// device that is busy.
#pragma once

#include <optional>
#include <string>

namespace serial {

struct THolder {
    int Pid = 0;
    std::string Name; // the program's command name
};

// A process that has the device open, found through /proc/*/fd (which shows
// the processes of our own user, and all of them to root). Our own process
// counts only when includeSelf is set.
std::optional<THolder> FindHolder(const std::string& path, bool includeSelf = false);

// The group owning the device file ("" when it cannot be told).
std::string DeviceGroup(const std::string& path);

// The reason, after "path: ", for a failed open with the given errno value:
// no such device; permission denied with the group to join; busy with the
// holder; not a serial device; otherwise the system's own text.
std::string OpenFailureReason(const std::string& path, int error);

} // namespace serial
