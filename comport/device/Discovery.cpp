#include "Discovery.h"

#include "NetConnect.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace serial {
namespace {

std::string RealPath(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

std::string BaseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Parent(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return path.substr(0, slash);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// The first line of a sysfs attribute, blanks at its end removed.
std::string Attribute(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return {};
    while (!line.empty() && (line.back() == ' ' || line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return names;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// The by-id links, by the real path of the node each leads to.
std::map<std::string, std::string> ByIdLinks(const DiscoveryRoots& roots) {
    std::map<std::string, std::string> links;
    const std::string dir = roots.Dev + "/serial/by-id";
    for (const std::string& name : Entries(dir)) {
        const std::string node = RealPath(dir + "/" + name);
        if (!node.empty()) links.emplace(node, dir + "/" + name); // first in name order
    }
    return links;
}

// serial_core's port types the kernel reports most often.
std::string UartTypeName(const std::string& type) {
    static const std::map<std::string, std::string> names = {
        {"1", "8250"},   {"2", "16450"},   {"3", "16550"}, {"4", "16550A"},   {"5", "Cirrus"},
        {"6", "16650"},  {"7", "16650V2"}, {"8", "16750"}, {"9", "Startech"}, {"10", "16C950"},
        {"11", "16654"}, {"12", "16850"},  {"13", "RSA"}};
    const auto found = names.find(type);
    return found == names.end() ? std::string() : found->second;
}

struct NodeFacts {
    bool Known = false;  // sysfs knows the tty
    bool NoPort = false; // a serial_core line with no UART behind it
    bool Usb = false;
    std::string Text;
};

NodeFacts Facts(const std::string& node, const DiscoveryRoots& roots) {
    NodeFacts f;
    const std::string cls = roots.Sys + "/class/tty/" + BaseName(node);
    const std::string dev = RealPath(cls + "/device");
    if (dev.empty()) return f;
    f.Known = true;
    const std::string type = Attribute(cls + "/type");
    if (type == "0") {
        f.NoPort = true;
        f.Text = "no UART present";
        return f;
    }
    const std::string sysRoot = RealPath(roots.Sys);
    std::string driver;
    for (std::string dir = dev; StartsWith(dir, sysRoot) && dir.size() > sysRoot.size();
         dir = Parent(dir)) {
        if (driver.empty()) {
            const std::string link = RealPath(dir + "/driver");
            // The serial core's own port devices say nothing about the hardware.
            if (!link.empty() && link.find("/serial-base/") == std::string::npos)
                driver = BaseName(link);
        }
        if (Exists(dir + "/idVendor")) {
            f.Usb = true;
            std::string text = Attribute(dir + "/manufacturer");
            const std::string product = Attribute(dir + "/product");
            if (!product.empty()) text += (text.empty() ? "" : " ") + product;
            if (text.empty()) text = "USB device";
            const std::string serialNo = Attribute(dir + "/serial");
            if (!serialNo.empty()) text += ", serial " + serialNo;
            text +=
                " (USB " + Attribute(dir + "/idVendor") + ":" + Attribute(dir + "/idProduct") + ")";
            f.Text = text;
            return f;
        }
    }
    const std::string kind = UartTypeName(type);
    f.Text = kind.empty() ? std::string(type.empty() ? "serial device" : "UART") : kind + " UART";
    if (!driver.empty()) f.Text += " (driver " + driver + ")";
    return f;
}

} // namespace

std::vector<FoundDevice> ListSerialDevices(const DiscoveryRoots& roots) {
    const auto links = ByIdLinks(roots);
    std::vector<FoundDevice> usb, other;
    for (const std::string& name : Entries(roots.Sys + "/class/tty")) {
        const std::string node = roots.Dev + "/" + name;
        if (!Exists(node)) continue;
        const NodeFacts f = Facts(node, roots);
        if (!f.Known || f.NoPort) continue;
        FoundDevice d;
        d.Node = node;
        const auto link = links.find(RealPath(node));
        d.Path = link != links.end() ? link->second : node;
        d.Description = f.Text;
        (f.Usb ? usb : other).push_back(d);
    }
    auto byPath = [](const FoundDevice& a, const FoundDevice& b) { return a.Path < b.Path; };
    std::sort(usb.begin(), usb.end(), byPath);
    std::sort(other.begin(), other.end(), byPath);
    usb.insert(usb.end(), other.begin(), other.end());
    for (const char* end : {"null-modem:1a", "null-modem:1b"})
        usb.push_back({end, end, DescribeTarget(end, roots)});
    return usb;
}

std::string DescribeTarget(const std::string& target, const DiscoveryRoots& roots) {
    // Told by the name alone: describing never touches the network.
    if (IsRemoteName(target)) {
        TRemoteTarget remote;
        if (!ParseRemoteTarget(target, remote))
            return "not a remote port (rfc2217://HOST:PORT or tcp://HOST:PORT)";
        return remote.kind == TRemoteTarget::Kind::Rfc2217 ? "remote (RFC 2217)"
                                                           : "remote (raw TCP)";
    }
    static const std::string nullModem = "null-modem:";
    if (StartsWith(target, nullModem)) {
        const std::string rest = target.substr(nullModem.size());
        const bool digits =
            rest.size() >= 2 && std::all_of(rest.begin(), rest.end() - 1, ::isdigit);
        if (!digits || (rest.back() != 'a' && rest.back() != 'b')) return "not a null-modem end";
        const std::string pair = rest.substr(0, rest.size() - 1);
        return std::string("built-in null-modem") + (pair == "1" ? "" : " " + pair) + ", end " +
               rest.back();
    }
    struct stat st {};
    if (::stat(target.c_str(), &st) != 0) return "absent";
    const std::string node = RealPath(target);
    if (!S_ISCHR(st.st_mode)) return "not a terminal device";
    if (StartsWith(node, RealPath(roots.Dev) + "/pts/")) return "pseudo-terminal";
    const NodeFacts f = Facts(node, roots);
    return f.Known ? f.Text : "character device";
}

std::string StablePath(const std::string& path, const DiscoveryRoots& roots) {
    if (StartsWith(path, roots.Dev + "/serial/")) return path;
    const std::string node = RealPath(path);
    if (node.empty()) return path;
    const auto links = ByIdLinks(roots);
    const auto found = links.find(node);
    return found != links.end() ? found->second : path;
}

DeviceWatcher::DeviceWatcher(const DiscoveryRoots& roots) : FRoots(roots) {
    FFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    Arm();
}

DeviceWatcher::~DeviceWatcher() {
    if (FFd >= 0) ::close(FFd);
}

void DeviceWatcher::SetExtraDirectories(const std::set<std::string>& dirs) {
    const std::set<std::string> fixed = {FRoots.Dev, FRoots.Dev + "/serial",
                                         FRoots.Dev + "/serial/by-id"};
    FExtra.clear();
    for (const std::string& dir : dirs)
        if (!fixed.count(dir)) FExtra.insert(dir);
    for (auto it = FWatches.begin(); it != FWatches.end();) {
        if (!fixed.count(it->second) && !FExtra.count(it->second)) {
            ::inotify_rm_watch(FFd, it->first);
            it = FWatches.erase(it);
        } else {
            ++it;
        }
    }
    Arm();
}

void DeviceWatcher::Arm() {
    if (FFd < 0) return;
    std::set<std::string> wanted = FExtra;
    wanted.insert({FRoots.Dev, FRoots.Dev + "/serial", FRoots.Dev + "/serial/by-id"});
    for (const auto& [wd, dir] : FWatches)
        wanted.erase(dir);
    constexpr uint32_t mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                              IN_MOVE_SELF | IN_ONLYDIR;
    for (const std::string& dir : wanted) {
        const int wd = ::inotify_add_watch(FFd, dir.c_str(), mask);
        if (wd >= 0) FWatches.emplace(wd, dir); // a directory watched twice keeps its first name
    }
}

bool DeviceWatcher::Drain() {
    if (FFd < 0) return false;
    bool news = false, rearm = false;
    alignas(inotify_event) char buf[16 * 1024];
    for (;;) {
        const ssize_t n = ::read(FFd, buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            break; // EAGAIN: all read
        }
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            if (e->mask & IN_Q_OVERFLOW) {
                news = rearm = true;
                continue;
            }
            const auto watch = FWatches.find(e->wd);
            if (e->mask & IN_IGNORED) {
                // A watch this object dropped itself is no news.
                if (watch == FWatches.end()) continue;
                FWatches.erase(watch);
                news = rearm = true;
                continue;
            }
            if (e->mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
                news = rearm = true;
                continue;
            }
            const std::string name = e->len ? std::string(e->name) : std::string();
            // The device directory changes for many reasons; only ttys and the
            // link tree matter.
            if (watch != FWatches.end() && watch->second == FRoots.Dev &&
                !StartsWith(name, "tty") && name != "serial" && !StartsWith(name, "rfcomm"))
                continue;
            news = rearm = true;
        }
    }
    if (rearm) Arm();
    return news;
}

std::set<std::string> DeviceWatcher::Watched() const {
    std::set<std::string> dirs;
    for (const auto& [wd, dir] : FWatches)
        dirs.insert(dir);
    return dirs;
}

} // namespace serial
