// Why a device did not open, who holds it, which setting it refused, and the
// watch that tells when a device path came back.
#include "device/OpenFailure.h"
#include "PickyDevice.h"
#include "TestSupport.h"
#include "device/PathWatch.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path path;
    TempDir() {
        char buf[] = "/tmp/openfailXXXXXX";
        path = ::mkdtemp(buf);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// Opens path with the port and returns the errno of the failure (0 if it opened).
int OpenError(const std::string& path) {
    TComPortN port;
    port.SetPort(path);
    int win = 0;
    CodeOf([&] { port.Open(); }, &win);
    return port.Connected() ? 0 : win;
}

} // namespace

TEST(OpenFailure, EachKindOfPathGetsItsPlainReason) {
    TempDir dir;
    const std::string missing = (dir.path / "ttyUSB9").string();
    const std::string file = (dir.path / "plain").string();
    const std::string fifo = (dir.path / "fifo").string();
    { std::ofstream(file) << "x"; }
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    EXPECT_EQ(serial::OpenFailureReason(missing, OpenError(missing)), "no such device");
    EXPECT_EQ(serial::OpenFailureReason(file, OpenError(file)), "not a serial device");
    EXPECT_EQ(serial::OpenFailureReason(fifo, OpenError(fifo)), "not a serial device");
    EXPECT_EQ(serial::OpenFailureReason(dir.path, OpenError(dir.path)), "not a serial device");
    // An errno without words of our own keeps the system's text, lower case.
    EXPECT_EQ(serial::OpenFailureReason(file, EIO), "input/output error");
}

TEST(OpenFailure, PermissionDeniedNamesTheDevicesGroup) {
    TempDir dir;
    // A file no user may open is no device: joining its group would not help.
    const std::string file = (dir.path / "file").string();
    { std::ofstream(file) << ""; }
    ASSERT_EQ(::chown(file.c_str(), -1, 20), 0); // group 20 is dialout on Debian
    EXPECT_EQ(serial::OpenFailureReason(file, EACCES), "not a serial device");

    const std::string node = (dir.path / "node").string();
    if (::mknod(node.c_str(), S_IFCHR | 0660, ::makedev(1, 3)) != 0)
        GTEST_SKIP() << "no device node can be made here";
    ASSERT_EQ(::chown(node.c_str(), -1, 20), 0);
    const std::string group = serial::DeviceGroup(node);
    ASSERT_FALSE(group.empty());
    EXPECT_EQ(serial::OpenFailureReason(node, EACCES),
              "permission denied; add your user to the group " + group + " and log in again");
    // A root-only device: no group to join.
    ASSERT_EQ(::chown(node.c_str(), -1, 0), 0);
    EXPECT_EQ(serial::OpenFailureReason(node, EACCES), "permission denied");
}

TEST(OpenFailure, BusyNamesTheHoldingProcessFromProc) {
    Pty pty;
    ASSERT_FALSE(pty.name.empty());
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        // The holder: opens the device, locks it, and waits to be killed.
        const int fd = ::open(pty.name.c_str(), O_RDWR | O_NOCTTY);
        ::flock(fd, LOCK_EX);
        char c = 1;
        (void)::write(ready[1], &c, 1);
        ::pause();
        ::_exit(0);
    }
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    pty.CloseSlave();
    const int error = OpenError(pty.name);
    EXPECT_EQ(error, EBUSY);
    const auto holder = serial::FindHolder(pty.name);
    ASSERT_TRUE(holder.has_value());
    EXPECT_EQ(holder->Pid, child);
    EXPECT_EQ(serial::OpenFailureReason(pty.name, error),
              "busy, held by " + holder->Name + " (PID " + std::to_string(child) + ")");
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    // Nobody holds it now (ourselves excepted unless asked).
    EXPECT_FALSE(serial::FindHolder(pty.name).has_value());
    EXPECT_EQ(serial::OpenFailureReason(pty.name, EBUSY), "busy, held by another program");
}

TEST(OpenFailure, ARefusedControlBlockNamesTheSettingTheDeviceWouldNotTake) {
    Pty pty;
    PickyPort port;
    port.SetPort(pty.name);
    port.SetBaudRate(br256000);
    EXPECT_EQ(CodeOf([&] { port.Open(); }), 7);
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.RefusedSettings(), SetOf(lnBaudRate));

    // Opened at a rate it takes; then a refused data size on the open port,
    // and the device keeps what it had.
    port.SetBaudRate(br9600);
    port.Open();
    ASSERT_TRUE(port.Connected());
    EXPECT_EQ(port.RefusedSettings(), 0);
    EXPECT_EQ(CodeOf([&] { port.SetDataBits(dbFive); }), 7);
    EXPECT_EQ(port.RefusedSettings(), SetOf(lnDataBits));
    serial::DCB now;
    ASSERT_TRUE(port.Handle()->GetCommState(now));
    EXPECT_EQ(now.ByteSize, 8);
    EXPECT_EQ(now.BaudRate, 9600u);
    port.SetDataBits(dbSeven);
    EXPECT_EQ(port.RefusedSettings(), 0);
    port.Close();
}

TEST(PathWatch, ReportsALinkRecreatedAndADirectoryThatCameBack) {
    TempDir dir;
    const fs::path sub = dir.path / "by-id";
    const fs::path link = sub / "usb-adapter";
    serial::TPathWatch watch;
    // The directory is missing: the watch sits on its parent meanwhile.
    ASSERT_TRUE(watch.Watch(link.string()));
    const int fd = watch.Fd();
    auto readable = [&](int ms) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, ms) == 1;
    };
    EXPECT_FALSE(readable(50));
    EXPECT_FALSE(watch.Drain());

    fs::create_directory(sub);
    ASSERT_TRUE(readable(2000));
    EXPECT_TRUE(watch.Drain());
    watch.Drain();              // the old watch's removal is news too
    EXPECT_FALSE(readable(50)); // drained
    fs::create_symlink("/dev/null", link);
    ASSERT_TRUE(readable(2000));
    EXPECT_TRUE(watch.Drain());
    for (int round = 0; round < 3; ++round) {
        // Its going is news as well: what was said of it may be out of date.
        fs::remove(link);
        ASSERT_TRUE(readable(2000)) << round;
        EXPECT_TRUE(watch.Drain());
        fs::create_symlink("/dev/null", link);
        ASSERT_TRUE(readable(2000)) << round;
        EXPECT_TRUE(watch.Drain());
    }
    // The directory goes and comes back: still watched, same descriptor.
    fs::remove_all(sub);
    ASSERT_TRUE(readable(2000));
    watch.Drain();
    fs::create_directory(sub);
    ASSERT_TRUE(readable(2000));
    watch.Drain();
    fs::create_symlink("/dev/null", link);
    ASSERT_TRUE(readable(2000));
    EXPECT_TRUE(watch.Drain());
    EXPECT_EQ(watch.Fd(), fd);
    watch.Stop();
    EXPECT_FALSE(watch.Active());
}
