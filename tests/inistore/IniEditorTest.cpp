// TIniEditor on real files: where the file lies, the typed text forms, the list
// operations, empty arguments; then session names and the [Ports] map.
#include "IniEditor.h"
#include "SessionNames.h"
#include "TempDir.h"

#include <cmath>
#include <gtest/gtest.h>
#include <optional>

using namespace session;
using Strings = std::vector<std::string>;

namespace {

// Sets (nullptr: unsets) an environment variable for the length of a scope.
struct EnvVar {
    EnvVar(const char* n, const char* v) : name(n) {
        if (const char* o = std::getenv(n)) old = o;
        v ? ::setenv(n, v, 1) : ::unsetenv(n);
    }
    ~EnvVar() { old ? ::setenv(name, old->c_str(), 1) : ::unsetenv(name); }
    const char* name;
    std::optional<std::string> old;
};

class IniEditorTest : public ::testing::Test {
protected:
    IniEditorTest() {
        ini.SetFileName(file);
        ini.SetFileLocation(PathInFileName);
    }
    TempDir dir;
    std::string file = dir / "t.ini";
    TIniEditor ini;
};

TEST(IniEditorLocation, FullFileNameComposition) {
    // Composing names never touches the file system: these directories need not exist.
    std::string conf = "/x/conf", dotted = "/x/conf.d", home = "/x/home";
    EnvVar h("HOME", home.c_str());
    const struct {
        std::optional<std::string> xdg;
        std::string fileName, expected;
    } cases[] = {{conf, "Zelmar.ini", conf + "/Zelmar.ini"},
                 {conf, "settings", conf + "/settings.INI"},
                 {dotted, "settings", dotted + "/settings"}, // the directory's dot counts
                 {conf, "\\sub\\x.ini", conf + "/sub/x.ini"},
                 {conf, "C:\\data\\x.ini", "C:/data/x.ini"},
                 {conf, "/etc/x.ini", "/etc/x.ini"},
                 {conf + "/", "x.ini", conf + "/x.ini"},
                 {std::nullopt, "x.ini", home + "/.config/x.ini"},
                 {"relative/dir", "x.ini", home + "/.config/x.ini"}};
    for (const auto& c : cases) {
        EnvVar xdg("XDG_CONFIG_HOME", c.xdg ? c.xdg->c_str() : nullptr);
        TIniEditor ini;
        ini.SetFileLocation(WindowsPath);
        ini.SetFileName(c.fileName);
        EXPECT_EQ(ini.FullFileName(), c.expected) << c.xdg.value_or("(unset)");
    }
    // A new FileName keeps the directory; assigning the same location recomputes it.
    EnvVar xdg("XDG_CONFIG_HOME", conf.c_str());
    TIniEditor ini;
    ini.SetFileLocation(WindowsPath);
    ::setenv("XDG_CONFIG_HOME", dotted.c_str(), 1);
    ini.SetFileName("m.ini");
    EXPECT_EQ(ini.FullFileName(), conf + "/m.ini");
    ini.SetFileLocation(WindowsPath);
    EXPECT_EQ(ini.FullFileName(), dotted + "/m.ini");
    ini.SetFileLocation(ApplicationPath);
    auto self = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_EQ(ini.FullFileName(), self.parent_path().string() + "/m.ini");
    ini.SetFileLocation(PathInFileName);
    ini.SetFileName("a\\settings");
    EXPECT_EQ(ini.FullFileName(), "a/settings.INI");
}

TEST_F(IniEditorTest, TypedReadsOfStoredTexts) {
    // clang-format off
    const struct { const char* text; bool asBool; std::int32_t asInt; } cases[] = { // default 42
        {"yes", true, 42}, {"Yes", true, 42}, {"TRUE", true, 42}, {" 1 ", true, 1}, {"0", false, 0},
        {"on", false, 42}, {"2", false, 2}, {"", false, 42}, {"12abc", false, 42},
        {"$1F", false, 31}, {"$1f", false, 31}, {"-5", false, -5}, {"+7", false, 7},
        {"-$10", false, -16}, {"$FFFFFFFF", false, -1}, {"$100000000", false, 42},
        {"2147483647", false, INT32_MAX}, {"-2147483648", false, INT32_MIN},
        {"2147483648", false, 42}, {"-2147483649", false, 42}, {"99999999999999999999", false, 42},
        {"-", false, 42}, {"$", false, 42}, {"1 2", false, 42}, {"0x1F", false, 42},
        {"1.0", false, 42}, {"\"3\"", false, 3}};
    // clang-format on
    std::string content = "[T]\r\n";
    for (std::size_t i = 0; i < std::size(cases); ++i)
        content += "v" + std::to_string(i) + "=" + cases[i].text + "\r\n";
    WriteFile(file, content);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        std::string e = "v" + std::to_string(i);
        EXPECT_EQ(ini.ReadBool("T", e, false), cases[i].asBool) << cases[i].text;
        EXPECT_EQ(ini.ReadBool("T", e, true), cases[i].asBool) << cases[i].text;
        EXPECT_EQ(ini.ReadInt("T", e, 42), cases[i].asInt) << cases[i].text;
    }
    EXPECT_TRUE(ini.ReadBool("T", "missing", true));
    EXPECT_FALSE(ini.ReadBool("T", "missing", false));
    EXPECT_EQ(ini.ReadInt("T", "missing", -3), -3);
}

TEST_F(IniEditorTest, TypedWritesCharsAndEmptyValues) {
    ini.WriteBool("C", "t", true);
    ini.WriteBool("C", "f", false);
    ini.WriteInt("C", "n", INT32_MIN);
    ini.WriteReal("C", "r", 2.5L);
    ini.WriteChar("C", "c", 'x');
    ini.WriteChar("C", "nul", '\0');
    ini.WriteStr("C", "s", "");
    ini.WriteStr("C", "e", "text");
    ini.InitEntry("C", "e");
    ini.EraseEntry("C", "s");
    std::string sep(1, initext::DecimalSeparator());
    EXPECT_EQ(ReadFile(file), "[C]\r\nt=True\r\nf=False\r\nn=-2147483648\r\nr=2" + sep +
                                  "5\r\nc=x\r\nnul=\r\ne=\r\n");
    EXPECT_EQ(ini.ReadReal("C", "r", 0), 2.5L);
    EXPECT_EQ(ini.ReadChar("C", "c", 'd'), 'x');
    EXPECT_EQ(ini.ReadStr("C", "nul", "d"), ""); // present, empty
    EXPECT_EQ(ini.ReadChar("C", "nul", 'd'), 'd');
    EXPECT_EQ(ini.ReadReal("C", "c", 9.75L), 9.75L);
    EXPECT_TRUE(std::isnan(ini.ReadReal("C", "missing", NAN)));
    // 255 characters at most: longer values come back cut, longer names are cut alike.
    std::string longName(300, 'n');
    ini.WriteStr("C", longName, std::string(300, 'v'));
    EXPECT_EQ(ini.ReadStr("C", longName.substr(0, 255), ""), std::string(255, 'v'));
}

TEST(IniText, RealFormsHave15SignificantDigitsAndTheSeparator) {
    // clang-format off
    const struct { long double value; char sep; const char* text; } cases[] = {
        {0, '.', "0"}, {1.5L, ',', "1,5"}, {100, '.', "100"}, {0.1L, '.', "0.1"},
        {1.0L / 3, '.', "0.333333333333333"}, {2.0L / 3, '.', "0.666666666666667"},
        {123456789012345.0L, '.', "123456789012345"},
        {1234567890123456.0L, '.', "1.23456789012346E15"}, {1e20L, '.', "1E20"},
        {0.00001L, '.', "0.00001"}, {0.000001L, '.', "1E-6"}, {-1.25e-7L, ',', "-1,25E-7"},
        {INFINITY, '.', "INF"}, {-INFINITY, '.', "-INF"}, {NAN, '.', "NAN"}};
    // clang-format on
    long double v = 7;
    for (const auto& c : cases) {
        EXPECT_EQ(initext::FormatReal(c.value, c.sep), c.text);
        EXPECT_TRUE(initext::ParseReal(c.text, c.sep, v) && initext::FormatReal(v, c.sep) == c.text)
            << c.text; // reads back as written
    }
    for (const char* bad : {"", "1.5x", "1,5", ".", "e5", "1e", "1e+", "--1", "1 5", "1E5000"})
        EXPECT_FALSE(initext::ParseReal(bad, '.', v)) << bad;
    for (auto [text, expected] : {std::pair{" 2.5 ", 2.5L}, {"+.5", 0.5L}, {"-1.5E-2", -0.015L}})
        EXPECT_TRUE(initext::ParseReal(text, '.', v) && v == expected) << text;
}

TEST_F(IniEditorTest, ListOperations) {
    // Each name once (the first occurrence counts); lines that are no entries are skipped.
    WriteFile(file,
              "[Sessions]\r\nnoname= \r\nlab test= \r\nNONAME=x\r\n[Options]\r\nHints=True\r\n"
              "[]\r\n[V]\r\na=1\r\n; c\r\n=4\r\nb=2\r\nc=\r\n[sessions]\r\nz=1\r\n");
    Strings list{"stale"};
    ini.ReadSection("", list);
    EXPECT_EQ(list, (Strings{"Sessions", "Options", "V"}));
    ini.ReadAllSections(list);
    EXPECT_EQ(list, (Strings{"Sessions", "Options", "V"}));
    ini.ReadSection("sessions", list);
    EXPECT_EQ(list, (Strings{"noname", "lab test"}));
    ini.ReadValues("V", list);
    EXPECT_EQ(list, (Strings{"1", "2", ""}));
    ini.ReadSection("missing", list);
    EXPECT_TRUE(list.empty());
    list = {"stale"};
    ini.ReadValues("", list);
    EXPECT_TRUE(list.empty());
    ini.EraseSection("sessions");
    ini.InitSection("OPTIONS");
    ini.ReadAllSections(list);
    EXPECT_EQ(list, (Strings{"V"}));
}

TEST_F(IniEditorTest, EmptyNamesNeitherReadNorWrite) {
    ini.WriteStr("", "x", "1");
    ini.WriteInt("S", "", 1);
    ini.InitEntry("S", "");
    EXPECT_FALSE(std::filesystem::exists(file));
    WriteFile(file, "[S]\r\nx=1\r\n");
    ini.EraseEntry("S", ""); // must not take the whole section
    ini.EraseSection("");
    EXPECT_EQ(ReadFile(file), "[S]\r\nx=1\r\n");
    EXPECT_EQ(ini.ReadStr("", "x", "d"), "d");
    EXPECT_EQ(ini.ReadInt("S", "", 5), 5);
    TIniEditor unnamed; // no FileName: never touches any file
    unnamed.SetFileLocation(PathInFileName);
    unnamed.WriteStr("S", "x", "1");
    EXPECT_EQ(unnamed.ReadStr("S", "x", "d"), "d");
    Strings list{"stale"};
    unnamed.ReadAllSections(list);
    EXPECT_TRUE(list.empty());
    EXPECT_FALSE(std::filesystem::exists("S.INI") || std::filesystem::exists(".INI"));
}

// ---- session names and the port map ------------------------------------------

TEST(SessionNames, FromCommandLineAndRefusedNames) {
    const std::string n255(255, 'n'), n256(256, 'n');
    // clang-format off
    const std::pair<Strings, std::string> cases[] = { // arguments, the session started
        {{}, "noname"}, {{"C:\\data\\lab test.cfg"}, "lab test"},
        {{"C:\\data\\lab", "test.cfg"}, "lab test"}, {{"/u/lab.d/b.session.cfg"}, "b.session"},
        {{"C:bench.cfg"}, "bench"}, {{"  \t", " \x01"}, "noname"}, {{"\x02 plain "}, "plain"},
        {{"ab"}, "ab"}, {{"x[y"}, "x[y"}, {{"Option"}, "Option"}, {{"é ü;"}, "é ü;"},
        {{"C:\\data\\"}, "noname"}, {{"options.cfg"}, "noname"}, {{"/x/PORTS"}, "noname"},
        {{"/home/me/Sessions.ini"}, "noname"}, {{"a]b"}, "noname"}, {{"a=b.ini"}, "noname"},
        {{"[ab"}, "noname"}, {{"tab\tname"}, "noname"}, {{"del\x7f"}, "noname"},
        {{n256}, "noname"}, {{n255}, n255}};
    // clang-format on
    for (const auto& [args, start] : cases)
        EXPECT_EQ(StartSessionName(args), start) << testing::PrintToString(args);
    EXPECT_EQ(NameFromArguments({}), std::nullopt);
    EXPECT_EQ(NameFromArguments({"C:\\data\\"}), std::optional<std::string>(""));
    const char* argv[] = {"/opt/zelmar/zelmar", "C:\\data\\lab", "test.cfg"};
    EXPECT_EQ(StartSessionName(3, argv), "lab test");
    // The new-session dialog also sees names the command line trims.
    for (const std::string& bad :
         Strings{"", " lead", "trail ", "line\nbreak", {"nul\0x", 5}, "; note", "#1"})
        EXPECT_FALSE(IsValidName(bad) || NameProblem(bad).empty()) << bad;
    EXPECT_TRUE(IsValidName("a;b#") && IsValidName("M\xFCller"));
}

// Names are shown as UTF-8 where they are, as Windows-1252 otherwise, and
// written back with the bytes the file holds.
TEST_F(IniEditorTest, StoredNamesShownDecodedAndWrittenBackAsRead) {
    const std::pair<std::string, std::string> shown[] = {
        {"M\xFCller", "M\xC3\xBCller"},
        {"M\xC3\xBCller", "M\xC3\xBCller"},
        {"\x80\x81\x9F", "\xE2\x82\xAC\xC2\x81\xC5\xB8"},
        {"\xC0\xAF", "\xC3\x80\xC2\xAF"},                 // overlong
        {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xE2\x82\xAC"}, // a surrogate
        {"ab\xE2\x82", "ab\xC3\xA2\xE2\x80\x9A"},         // cut short
        {"plain", "plain"}};
    for (const auto& [stored, utf8] : shown)
        EXPECT_EQ(DisplayName(stored), utf8) << stored;
    WriteFile(file, "[Sessions]\r\nM\xFCller= \r\n[Z\xE9ro]\r\n");
    EXPECT_EQ(StoredName(ini, "M\xC3\xBCller"), "M\xFCller");
    EXPECT_EQ(StoredName(ini, "Z\xC3\xA9ro"), "Z\xE9ro"); // a section not in the list
    EXPECT_EQ(StoredName(ini, "new \xC3\xA9"), "new \xC3\xA9");
}

using SessionPorts = IniEditorTest;
TEST_F(SessionPorts, PortMapFromTheSettingsFile) {
    EXPECT_TRUE(ReadPortMap(ini).empty()); // no file
    WriteFile(file, "[Sessions]\r\nCOM5=/dev/wrong\r\n[ports]\r\n"
                    "COM1 = /dev/ttyUSB3 \r\ncom2=null-modem:2a\r\nCOM3=ttyS0\r\n"
                    "COM4=\r\nCOM5=null-modem:x\r\nCOM6=/dev/\r\n"
                    "COM7=\"/dev/serial/by-id/usb adapter\"\r\n"
                    "COM8=null-modem:12B\r\nCOM9=/dev/ttyS8\r\nCOM1=/dev/second\r\n"
                    "[Ports]\r\nCOM3=/dev/ttyS2\r\n");
    std::map<int, std::string> problems;
    // A relative path counts from the settings file's directory.
    EXPECT_EQ(ReadPortMap(ini, &problems),
              (std::map<int, std::string>{{1, "/dev/ttyUSB3"},
                                          {2, "null-modem:2a"},
                                          {3, dir / "ttyS0"},
                                          {7, "/dev/serial/by-id/usb adapter"},
                                          {8, "null-modem:12B"}}));
    EXPECT_EQ(problems,
              (std::map<int, std::string>{{5, "COM5: [Ports] entry \"null-modem:x\" not usable"},
                                          {6, "COM6: [Ports] entry \"/dev/\" not usable"}}));
    for (const char* bad : {"null-modem:1", "null-modem:a", "null-modem:1c", "NULL-MODEM:1a",
                            "/dev/tty\x01", "/", "relative/path"})
        EXPECT_FALSE(IsUsablePortTarget(bad)) << bad;

    // Remote ports are taken as they are, never as paths beside the file.
    WriteFile(file, "[Ports]\r\nCOM1=rfc2217://rack3.lab:2001\r\nCOM2=TCP://[::1]:4000\r\n"
                    "COM3=rfc2217://10.0.0.9:0\r\nCOM4=tcp://host\r\n");
    problems.clear();
    EXPECT_EQ(
        ReadPortMap(ini, &problems),
        (std::map<int, std::string>{{1, "rfc2217://rack3.lab:2001"}, {2, "TCP://[::1]:4000"}}));
    EXPECT_EQ(problems.size(), 2u);
    for (const char* bad : {"rfc2217://:1", "rfc2217://h:65536", "rfc2217://::1:5", "tcp://[::1]5",
                            "tcp://h:1/x", "tcp://a b:1", "tcp://h:1\x01"})
        EXPECT_FALSE(IsUsablePortTarget(bad)) << bad;

    // A settings file named relative to the working directory.
    WriteFile(file, "[Ports]\r\nCOM1=sub/tty\r\nCOM2=bad\x01tty\r\n");
    TIniEditor rel;
    rel.SetFileLocation(PathInFileName);
    rel.SetFileName(std::filesystem::relative(file).string());
    problems.clear();
    EXPECT_EQ(ReadPortMap(rel, &problems),
              (std::map<int, std::string>{{1, std::filesystem::current_path().string() + "/" +
                                                  std::filesystem::relative(dir.Path()).string() +
                                                  "/sub/tty"}}));
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[2].find("bad?tty\" not usable"), std::string::npos) << problems[2];
}

} // namespace
