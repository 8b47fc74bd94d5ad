// Device discovery on a prepared /dev and sysfs tree (the layouts the kernel and
// udev make for a USB adapter and an 8250 UART), and the watcher on real inotify.
#include "device/Discovery.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

namespace fs = std::filesystem;
using serial::DiscoveryRoots;

namespace {

class FakeTree : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/discoveryXXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        Root = tmpl;
        Roots.Dev = Root + "/dev";
        Roots.Sys = Root + "/sys";
        const fs::path sys = Roots.Sys;
        // A USB adapter: the USB device holds the vendor texts, its interface the tty.
        const fs::path usbDev = sys / "devices/pci0/usb1/1-1";
        Write(usbDev / "idVendor", "0403\n");
        Write(usbDev / "idProduct", "6001\n");
        Write(usbDev / "manufacturer", "FTDI\n");
        Write(usbDev / "product", "FT232R USB UART\n");
        Write(usbDev / "serial", "A1B2C3\n");
        fs::create_directories(usbDev / "1-1:1.0/ttyUSB0");
        fs::create_directories(sys / "bus/usb-serial/drivers/ftdi_sio");
        fs::create_directory_symlink(sys / "bus/usb-serial/drivers/ftdi_sio",
                                     usbDev / "1-1:1.0/ttyUSB0/driver");
        TtyClass("ttyUSB0", usbDev / "1-1:1.0/ttyUSB0");
        // A UART behind the serial core's own port device (newer kernels).
        const fs::path pnp = sys / "devices/pnp0/00:00";
        fs::create_directories(pnp / "00:00:0/00:00:0.0");
        fs::create_directories(sys / "bus/serial-base/drivers/port");
        fs::create_directories(sys / "bus/pnp/drivers/serial");
        fs::create_directory_symlink(sys / "bus/serial-base/drivers/port",
                                     pnp / "00:00:0/00:00:0.0/driver");
        fs::create_directory_symlink(sys / "bus/pnp/drivers/serial", pnp / "driver");
        TtyClass("ttyS0", pnp / "00:00:0/00:00:0.0");
        Write(sys / "class/tty/ttyS0/type", "4\n");
        // A serial-core line with nothing behind it, and a virtual console.
        fs::create_directories(sys / "devices/platform/serial8250/ttyS1");
        TtyClass("ttyS1", sys / "devices/platform/serial8250/ttyS1");
        Write(sys / "class/tty/ttyS1/type", "0\n");
        fs::create_directories(sys / "class/tty/tty1");
        for (const char* node : {"ttyUSB0", "ttyS0", "ttyS1", "tty1", "ttyACM0"})
            Write(fs::path(Roots.Dev) / node, "");
        fs::create_directories(ById());
        fs::create_symlink("../../ttyUSB0", ById() / "usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0");
    }
    void TearDown() override { fs::remove_all(Root); }

    static void Write(const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    void TtyClass(const std::string& name, const fs::path& device) {
        const fs::path cls = fs::path(Roots.Sys) / "class/tty" / name;
        fs::create_directories(cls);
        fs::create_directory_symlink(device, cls / "device");
    }
    fs::path ById() const { return fs::path(Roots.Dev) / "serial/by-id"; }

    std::string Root;
    DiscoveryRoots Roots;
};

TEST_F(FakeTree, ListsAdaptersByTheirStableLinkThenUartsThenNullModemEnds) {
    const auto found = serial::ListSerialDevices(Roots);
    ASSERT_EQ(found.size(), 4u);
    EXPECT_EQ(found[0].Path, (ById() / "usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0").string());
    EXPECT_EQ(found[0].Node, Roots.Dev + "/ttyUSB0");
    EXPECT_EQ(found[0].Description, "FTDI FT232R USB UART, serial A1B2C3 (USB 0403:6001)");
    // The serial core's "port" driver is skipped for the hardware's own.
    EXPECT_EQ(found[1].Path, Roots.Dev + "/ttyS0");
    EXPECT_EQ(found[1].Description, "16550A UART (driver serial)");
    EXPECT_EQ(found[2].Path, "null-modem:1a");
    EXPECT_EQ(found[2].Description, "built-in null-modem, end a");
    EXPECT_EQ(found[3].Description, "built-in null-modem, end b");
}

TEST_F(FakeTree, AdapterWithoutLinkOrTextsStillListedByNode) {
    fs::remove_all(ById());
    fs::remove(fs::path(Roots.Sys) / "devices/pci0/usb1/1-1/manufacturer");
    fs::remove(fs::path(Roots.Sys) / "devices/pci0/usb1/1-1/product");
    fs::remove(fs::path(Roots.Sys) / "devices/pci0/usb1/1-1/serial");
    const auto found = serial::ListSerialDevices(Roots);
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(found[0].Path, Roots.Dev + "/ttyUSB0");
    EXPECT_EQ(found[0].Description, "USB device (USB 0403:6001)");
    // Unplugged: its node goes, and so does its entry.
    fs::remove(fs::path(Roots.Dev) / "ttyUSB0");
    EXPECT_EQ(serial::ListSerialDevices(Roots).front().Path, Roots.Dev + "/ttyS0");
}

TEST_F(FakeTree, StablePathPrefersTheByIdLink) {
    const std::string link = (ById() / "usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0").string();
    EXPECT_EQ(serial::StablePath(Roots.Dev + "/ttyUSB0", Roots), link);
    EXPECT_EQ(serial::StablePath(link, Roots), link);
    EXPECT_EQ(serial::StablePath(Roots.Dev + "/ttyS0", Roots), Roots.Dev + "/ttyS0");
    EXPECT_EQ(serial::StablePath(Roots.Dev + "/ttyUSB9", Roots), Roots.Dev + "/ttyUSB9");
    EXPECT_EQ(serial::StablePath("null-modem:1a", Roots), "null-modem:1a");
}

TEST(DescribeTarget, NamesWhatIsThere) {
    EXPECT_EQ(serial::DescribeTarget("null-modem:1a"), "built-in null-modem, end a");
    EXPECT_EQ(serial::DescribeTarget("null-modem:1b"), "built-in null-modem, end b");
    EXPECT_EQ(serial::DescribeTarget("null-modem:12b"), "built-in null-modem 12, end b");
    EXPECT_EQ(serial::DescribeTarget("null-modem:1c"), "not a null-modem end");
    EXPECT_EQ(serial::DescribeTarget("null-modem:"), "not a null-modem end");
    EXPECT_EQ(serial::DescribeTarget("/dev/ttyUSB-none-here"), "absent");
    EXPECT_EQ(serial::DescribeTarget(""), "absent");
    EXPECT_EQ(serial::DescribeTarget("/dev/null"), "character device");
    EXPECT_EQ(serial::DescribeTarget("/proc/self/status"), "not a terminal device");
    EXPECT_EQ(serial::DescribeTarget("/tmp"), "not a terminal device");
    int master = -1, slave = -1;
    char name[128] = {};
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    EXPECT_EQ(serial::DescribeTarget(name), "pseudo-terminal");
    ::close(slave);
    ::close(master);
}

bool Readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}

// The watcher wakes for ttys and the link tree only, follows the link tree
// through its removal and return, and stays silent when nothing happens.
TEST_F(FakeTree, WatcherReportsDeviceChangesOnly) {
    fs::remove_all(fs::path(Roots.Dev) / "serial");
    serial::DeviceWatcher w(Roots);
    ASSERT_GE(w.Fd(), 0);
    EXPECT_FALSE(Readable(w.Fd(), 50));

    Write(fs::path(Roots.Dev) / "loop9", "");
    ASSERT_TRUE(Readable(w.Fd(), 1000));
    EXPECT_FALSE(w.Drain());

    Write(fs::path(Roots.Dev) / "ttyUSB1", "");
    ASSERT_TRUE(Readable(w.Fd(), 1000));
    EXPECT_TRUE(w.Drain());

    // udev makes the link tree with the first adapter.
    fs::create_directories(ById());
    ASSERT_TRUE(Readable(w.Fd(), 1000));
    EXPECT_TRUE(w.Drain());
    EXPECT_TRUE(w.Watched().count(ById().string()));
    fs::create_symlink("../../ttyUSB1", ById() / "usb-x");
    ASSERT_TRUE(Readable(w.Fd(), 1000));
    EXPECT_TRUE(w.Drain());

    // ... and removes it with the last one; a new tree is watched anew.
    fs::remove_all(fs::path(Roots.Dev) / "serial");
    ASSERT_TRUE(Readable(w.Fd(), 1000));
    EXPECT_TRUE(w.Drain());
    EXPECT_FALSE(w.Watched().count(ById().string()));
    fs::create_directories(ById());
    ASSERT_TRUE(Readable(w.Fd(), 1000));
    EXPECT_TRUE(w.Drain());
    fs::create_symlink("../../ttyUSB1", ById() / "usb-y");
    ASSERT_TRUE(Readable(w.Fd(), 1000));
    EXPECT_TRUE(w.Drain());
    EXPECT_FALSE(Readable(w.Fd(), 50));
}

TEST_F(FakeTree, WatcherFollowsExtraDirectoriesAndDropsOldOnes) {
    const fs::path links = fs::path(Root) / "links", old = fs::path(Root) / "old";
    fs::create_directories(old);
    serial::DeviceWatcher w(Roots);
    w.SetExtraDirectories({old.string(), links.string()}); // links does not exist yet
    EXPECT_TRUE(w.Watched().count(old.string()));
    EXPECT_FALSE(w.Watched().count(links.string()));
    w.SetExtraDirectories({links.string()});
    EXPECT_FALSE(w.Watched().count(old.string()));
    EXPECT_FALSE(w.Drain()); // dropping a watch is no news
    Write(old / "ttyX", "");
    EXPECT_FALSE(Readable(w.Fd(), 50));

    fs::create_directories(links);
    Write(fs::path(Roots.Dev) / "ttyUSB3", ""); // any device news re-arms
    ASSERT_TRUE(Readable(w.Fd(), 1000));
    EXPECT_TRUE(w.Drain());
    EXPECT_TRUE(w.Watched().count(links.string()));
    fs::create_symlink("/dev/null", links / "my-adapter"); // any name counts there
    ASSERT_TRUE(Readable(w.Fd(), 1000));
    EXPECT_TRUE(w.Drain());
}

} // namespace
