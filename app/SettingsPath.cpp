#include "SettingsPath.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// Set by the build from the install directories: the bin directory's last
// component and the data directory relative to the bin directory.
#ifndef ZELMAR_BINDIR_NAME
#define ZELMAR_BINDIR_NAME "bin"
#endif
#ifndef ZELMAR_DATA_FROM_BIN
#define ZELMAR_DATA_FROM_BIN "../share/zelmar"
#endif

namespace settingspath {
namespace {

bool Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool IsFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string LastComponent(const std::string& dir) {
    const auto slash = dir.find_last_of('/');
    return slash == std::string::npos ? dir : dir.substr(slash + 1);
}

std::string HomeFromPasswd() {
    std::vector<char> buf(16384);
    struct passwd pw;
    struct passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) != 0 || !found ||
        !found->pw_dir)
        return {};
    return found->pw_dir;
}

std::mutex g_inUseLock;
std::string g_inUse;

} // namespace

std::string ProgramDir() {
    std::vector<char> buf(PATH_MAX + 1);
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return {};
    std::string exe(buf.data(), static_cast<size_t>(n));
    const auto slash = exe.find_last_of('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? "/" : exe.substr(0, slash);
}

bool IsInstalledCopy(const std::string& exeDir) {
    if (exeDir.empty() || LastComponent(exeDir) != ZELMAR_BINDIR_NAME) return false;
    return IsFile(exeDir + "/" ZELMAR_DATA_FROM_BIN "/Info.ans");
}

std::string UserConfigDir(const char* xdgConfigHome, const char* home) {
    // Relative values are invalid by the XDG rules and ignored.
    if (xdgConfigHome && xdgConfigHome[0] == '/') return std::string(xdgConfigHome) + "/varnex";
    std::string h = home && home[0] == '/' ? std::string(home) : HomeFromPasswd();
    if (h.empty()) return {};
    while (h.size() > 1 && h.back() == '/')
        h.pop_back();
    return (h == "/" ? "" : h) + "/.config/varnex";
}

Location Resolve(const std::string& exeDir, const char* xdgConfigHome, const char* home) {
    const std::string beside = (exeDir == "/" ? "" : exeDir) + "/" + FileName;
    if (exeDir.empty()) return {FileName, {}};
    if (!IsInstalledCopy(exeDir) || Exists(beside)) return {beside, {}};
    const std::string dir = UserConfigDir(xdgConfigHome, home);
    if (dir.empty()) return {beside, {}};
    return {dir + "/" + FileName, Exists(dir) ? std::string() : dir};
}

Location ResolveForThisProcess() {
    return Resolve(ProgramDir(), std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
}

bool MakePrivateDir(const std::string& dir, std::string& error) {
    if (dir.empty() || dir[0] != '/') {
        error = "not an absolute path";
        return false;
    }
    // Each missing component, from the top, as the XDG rules ask: mode 0700.
    for (size_t at = dir.find('/', 1);; at = dir.find('/', at + 1)) {
        const std::string part = at == std::string::npos ? dir : dir.substr(0, at);
        if (::mkdir(part.c_str(), 0700) == 0) {
            ::chmod(part.c_str(), 0700); // whatever the umask took away
        } else if (errno != EEXIST) {
            error = std::strerror(errno);
            return false;
        }
        if (at == std::string::npos) break;
    }
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = "not a directory";
        return false;
    }
    return true;
}

std::string InUse() {
    {
        std::lock_guard<std::mutex> lock(g_inUseLock);
        if (!g_inUse.empty()) return g_inUse;
    }
    return ResolveForThisProcess().File;
}

void SetInUse(const std::string& file) {
    std::lock_guard<std::mutex> lock(g_inUseLock);
    g_inUse = file;
}

std::string FindDataFile(const std::string& name) {
    return FindDataFile(name, ProgramDir());
}

std::string FindDataFile(const std::string& name, const std::string& dir) {
    if (IsFile(name)) return name;
    if (dir.empty()) return name;
    for (const std::string& candidate :
         {dir + "/" + name, dir + "/" ZELMAR_DATA_FROM_BIN "/" + name})
        if (IsFile(candidate)) return candidate;
    return name;
}

} // namespace settingspath
