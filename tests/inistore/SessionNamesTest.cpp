// Session names from the command line, the names the settings file cannot
// hold, and the port map read from [Ports].
#include "SessionNames.h"
#include "TempDir.h"

#include <gtest/gtest.h>

using namespace session;

namespace {

TEST(SessionNames, FromCommandLine) {
    struct {
        std::vector<std::string> args;
        const char* start; // the session the program starts with
    } cases[] = {{{}, "noname"},
                 {{"C:\\data\\lab test.cfg"}, "lab test"},
                 {{"C:\\data\\lab", "test.cfg"}, "lab test"},
                 {{"/home/u/lab.d/bench.session.cfg"}, "bench.session"},
                 {{"C:bench.cfg"}, "bench"},
                 {{"  \t", " \x01"}, "noname"},
                 {{"\x02 plain "}, "plain"},
                 {{"name."}, "name"},
                 {{"ab"}, "ab"}, // short names are the dialog's concern only
                 {{"C:\\data\\"}, "noname"},
                 {{".cfg"}, "noname"},
                 {{"options.cfg"}, "noname"},
                 {{"/x/PORTS"}, "noname"},
                 {{"a]b"}, "noname"},
                 {{"a=b.ini"}, "noname"},
                 {{std::string(256, 'n')}, "noname"},
                 {{std::string(255, 'n')}, nullptr}};
    for (const auto& c : cases) {
        std::string joined;
        for (const auto& a : c.args)
            joined += "|" + a;
        SCOPED_TRACE(joined);
        EXPECT_EQ(StartSessionName(c.args), c.start ? c.start : std::string(255, 'n'));
    }
    EXPECT_EQ(NameFromArguments({}), std::nullopt);
    EXPECT_EQ(NameFromArguments({"C:\\data\\"}), std::optional<std::string>(""));
    const char* argv[] = {"/opt/zelmar/zelmar", "C:\\data\\lab", "test.cfg"};
    EXPECT_EQ(StartSessionName(3, argv), "lab test");
    EXPECT_EQ(StartSessionName(1, argv), "noname");
}

TEST(SessionNames, NamesTheFileCannotHold) {
    for (const char* ok : {"noname", "lab test", "a", "Option", "Sessions2", "x[y", "é ü", "a;b"})
        EXPECT_EQ(NameProblem(ok), "") << ok;
    for (const std::string& bad :
         std::vector<std::string>{"", " lead", "trail ", "a]b", "a=b", "[ab", "tab\tname",
                                  "line\nbreak", std::string("nul\0x", 5), "del\x7f", "OPTIONS",
                                  "sessions", "Ports", std::string(256, 'x')}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(IsValidName(bad));
        EXPECT_NE(NameProblem(bad), "");
    }
}

TEST(SessionNames, PortMapFromTheSettingsFile) {
    TempDir dir;
    TIniEditor ini;
    ini.SetFileName(dir / "Zelmar.ini");
    ini.SetFileLocation(PathInFileName);
    EXPECT_TRUE(ReadPortMap(ini).empty()); // no file
    WriteFile(dir / "Zelmar.ini", "[Sessions]\r\nCOM5=/dev/wrong\r\n"
                                  "[ports]\r\n"
                                  "COM1 = /dev/ttyUSB3 \r\n"
                                  "com2=null-modem:2a\r\n"
                                  "COM3=ttyS0\r\n"
                                  "COM4=\r\n"
                                  "COM5=null-modem:x\r\n"
                                  "COM6=/dev/\r\n"
                                  "COM7=\"/dev/serial/by-id/usb adapter\"\r\n"
                                  "COM8=null-modem:12B\r\n"
                                  "COM9=/dev/ttyS8\r\n"
                                  "COM1=/dev/second\r\n"
                                  "[Ports]\r\nCOM3=/dev/ttyS2\r\n");
    EXPECT_EQ(ReadPortMap(ini), (std::map<int, std::string>{{1, "/dev/ttyUSB3"},
                                                            {2, "null-modem:2a"},
                                                            {7, "/dev/serial/by-id/usb adapter"},
                                                            {8, "null-modem:12B"}}));
    for (const char* bad : {"null-modem:1", "null-modem:a", "null-modem:1c", "NULL-MODEM:1a",
                            "/dev/tty\x01", "/", "relative/path"})
        EXPECT_FALSE(IsUsablePortTarget(bad)) << bad;
}

} // namespace
