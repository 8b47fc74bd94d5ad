#include "PathWatch.h"

#include <cerrno>
#include <cstdint>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace serial {

namespace {

std::string Parent(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Going again counts too: what the owner said about the path that came back
// (busy, not a serial device) may be out of date.
constexpr std::uint32_t kMask = IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE | IN_MOVED_FROM |
                                IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

} // namespace

TPathWatch::~TPathWatch() {
    Stop();
}

void TPathWatch::Stop() {
    if (FFd >= 0) ::close(FFd);
    FFd = FWd = -1;
    FWatched.clear();
}

bool TPathWatch::Watch(const std::string& path) {
    Stop();
    FPath = path;
    FFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (FFd < 0) return false;
    if (!Arm()) {
        const int error = errno;
        Stop();
        errno = error;
        return false;
    }
    return true;
}

// The watch goes on the deepest directory on the way to the path that exists.
bool TPathWatch::Arm() {
    std::string dir = Parent(FPath);
    while (!IsDirectory(dir) && dir != "/" && dir != ".")
        dir = Parent(dir);
    if (dir == FWatched) return true;
    if (FWd >= 0) ::inotify_rm_watch(FFd, FWd);
    FWd = ::inotify_add_watch(FFd, dir.c_str(), kMask);
    if (FWd < 0) {
        FWatched.clear();
        return false;
    }
    FWatched = dir;
    return true;
}

bool TPathWatch::Drain() {
    if (FFd < 0) return false;
    alignas(inotify_event) char buffer[4096];
    bool any = false;
    for (;;) {
        const ssize_t n = ::read(FFd, buffer, sizeof buffer);
        if (n <= 0) break;
        any = true;
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
            // The watched directory went: its watch is void, a new one is needed.
            if (e->wd == FWd && (e->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF))) {
                if (!(e->mask & IN_IGNORED)) ::inotify_rm_watch(FFd, FWd);
                FWd = -1;
                FWatched.clear();
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
    if (!any) return false;
    // A directory on the way may have appeared: the watch moves down to it.
    Arm();
    return true;
}

} // namespace serial
