// What the system's serial devices are: a list of them with a short text for
// each, and a watcher that wakes the window thread when one appears or goes.
// Reads only the file system (/dev and sysfs); the roots are replaceable so a
// prepared tree can stand in for the machine's own.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace serial {

struct DiscoveryRoots {
    std::string Dev = "/dev";
    std::string Sys = "/sys";
};

struct FoundDevice {
    std::string Path; // what a [Ports] entry should hold (a by-id link when there is one)
    std::string Node; // the device node it leads to ("/dev/ttyUSB0"); the end for null-modems
    std::string Description; // "FTDI FT232R USB UART, serial A1B2C3", "16550A UART (driver serial)"
};

// Every serial device present: USB adapters and modems, UARTs whose driver
// reports a port, then the two built-in null-modem ends. Sorted by path within
// each group.
std::vector<FoundDevice> ListSerialDevices(const DiscoveryRoots& roots = {});

// What a port-map target is right now: "built-in null-modem, end a", "absent",
// "pseudo-terminal", the USB or UART text, "not a terminal device", "remote
// (RFC 2217)", "remote (raw TCP)" (by the name alone, with no connection made).
std::string DescribeTarget(const std::string& target, const DiscoveryRoots& roots = {});

// The path to store for a device: its /dev/serial/by-id link when one leads to
// the same node, else the path unchanged.
std::string StablePath(const std::string& path, const DiscoveryRoots& roots = {});

// Wakes its owner when serial devices come or go: inotify on the device
// directory, /dev/serial/by-id (watched again whenever it is recreated) and any
// extra directories (those of mapped paths). Costs nothing while nothing
// changes: the owner waits on Fd() (readable when there is news).
class DeviceWatcher {
public:
    explicit DeviceWatcher(const DiscoveryRoots& roots = {});
    ~DeviceWatcher();
    DeviceWatcher(const DeviceWatcher&) = delete;
    DeviceWatcher& operator=(const DeviceWatcher&) = delete;

    // -1 when inotify is not available (then nothing is reported).
    int Fd() const { return FFd; }
    // Directories watched besides the fixed ones; missing ones are retried
    // whenever something changes.
    void SetExtraDirectories(const std::set<std::string>& dirs);
    // Reads every pending event; true when one of them concerns a device.
    bool Drain();
    // Directories being watched now (for tests).
    std::set<std::string> Watched() const;

private:
    void Arm();
    DiscoveryRoots FRoots;
    int FFd = -1;
    std::set<std::string> FExtra;
    std::map<int, std::string> FWatches; // watch descriptor to directory
};

} // namespace serial
