// Tells when a device path may have come back: an inotify watch on the
// directory that holds the path (or, while that directory is missing, on its
// nearest existing ancestor). The owner waits on Fd() with its own event loop
// and calls Drain() when it is readable; nothing polls.
#pragma once

#include <string>

namespace serial {

class TPathWatch {
public:
    TPathWatch() = default;
    ~TPathWatch();
    TPathWatch(const TPathWatch&) = delete;
    TPathWatch& operator=(const TPathWatch&) = delete;

    // Starts watching for the path (any earlier watch ends). False when no
    // watch could be made; errno tells why.
    bool Watch(const std::string& path);
    void Stop();
    bool Active() const { return FFd >= 0; }
    // The descriptor that becomes readable on a change; -1 when not watching.
    int Fd() const { return FFd; }
    // Reads the pending changes; true when one may concern the path (then it
    // is worth trying to open it). Moves the watch down when a missing
    // directory on the way appeared.
    bool Drain();

private:
    bool Arm();

    std::string FPath;
    std::string FWatched; // the directory under watch
    int FFd = -1;
    int FWd = -1;
};

} // namespace serial
