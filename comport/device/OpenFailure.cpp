#include "OpenFailure.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace serial {

namespace {

bool AllDigits(const char* s) {
    if (!*s) return false;
    for (; *s; ++s)
        if (*s < '0' || *s > '9') return false;
    return true;
}

bool SameFile(const struct stat& a, const struct stat& b) {
    if (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode)) return a.st_rdev == b.st_rdev;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool HoldsFile(int pid, const struct stat& target) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = ::opendir(dir.c_str());
    if (!d) return false;
    bool found = false;
    while (const dirent* e = ::readdir(d)) {
        if (!AllDigits(e->d_name)) continue;
        struct stat st {};
        if (::stat((dir + "/" + e->d_name).c_str(), &st) == 0 && SameFile(st, target)) {
            found = true;
            break;
        }
    }
    ::closedir(d);
    return found;
}

std::string CommandName(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

} // namespace

std::optional<THolder> FindHolder(const std::string& path, bool includeSelf) {
    struct stat target {};
    if (::stat(path.c_str(), &target) != 0) return std::nullopt;
    DIR* proc = ::opendir("/proc");
    if (!proc) return std::nullopt;
    std::optional<THolder> holder;
    const int self = static_cast<int>(::getpid());
    while (const dirent* e = ::readdir(proc)) {
        if (!AllDigits(e->d_name)) continue;
        const int pid = std::atoi(e->d_name);
        if (pid == self && !includeSelf) continue;
        if (HoldsFile(pid, target)) {
            holder = THolder{pid, CommandName(pid)};
            break;
        }
    }
    ::closedir(proc);
    return holder;
}

std::string DeviceGroup(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    std::string name;
    std::string buffer(4096, '\0');
    struct group g {};
    struct group* found = nullptr;
    if (::getgrgid_r(st.st_gid, &g, buffer.data(), buffer.size(), &found) == 0 && found)
        name = found->gr_name;
    return name;
}

std::string OpenFailureReason(const std::string& path, int error) {
    switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOTDIR:
        return "no such device";
    case EACCES:
    case EPERM: {
        // A file that is no device would not open as one with any group.
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && !S_ISCHR(st.st_mode)) return "not a serial device";
        const std::string group = DeviceGroup(path);
        // root owns a device nobody else may open: no group helps then.
        if (group.empty() || group == "root") return "permission denied";
        return "permission denied; add your user to the group " + group + " and log in again";
    }
    case EBUSY: {
        if (const auto holder = FindHolder(path))
            return "busy, held by " + (holder->Name.empty() ? "another program" : holder->Name) +
                   " (PID " + std::to_string(holder->Pid) + ")";
        return "busy, held by another program";
    }
    case ENOTTY:
    case EISDIR:
        return "not a serial device";
    default: {
        std::string text = std::strerror(error);
        if (!text.empty()) text[0] = static_cast<char>(std::tolower(text[0]));
        return text;
    }
    }
}

} // namespace serial
