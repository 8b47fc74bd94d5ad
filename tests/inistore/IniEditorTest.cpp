// TIniEditor on real files: where the file lies, the typed text forms, the list
// operations and the rules for empty arguments.
#include "IniEditor.h"
#include "TempDir.h"

#include <cmath>
#include <gtest/gtest.h>
#include <optional>

namespace {

// Sets an environment variable for the length of a scope.
class EnvVar {
public:
    EnvVar(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~EnvVar() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
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

TEST(IniEditorLocation, ApplicationPathIsTheProgramsDirectory) {
    TIniEditor ini;
    EXPECT_EQ(ini.FileLocation(), ApplicationPath);
    EXPECT_EQ(ini.LocationDir(), ""); // until FileLocation is assigned
    ini.SetFileName("Zelmar.ini");
    EXPECT_EQ(ini.FullFileName(), "Zelmar.ini");
    ini.SetFileLocation(ApplicationPath);
    const std::string& d = ini.LocationDir();
    ASSERT_FALSE(d.empty());
    EXPECT_EQ(d.front(), '/');
    EXPECT_EQ(d.back(), '/');
    EXPECT_EQ(ini.FullFileName(), d + "Zelmar.ini");
    // The directory holds this very program.
    std::string self = std::filesystem::read_symlink("/proc/self/exe").filename();
    EXPECT_TRUE(std::filesystem::exists(d + self));

    // Writes and reads go to the file beside the program.
    std::string name = "inistore-test-" + std::to_string(::getpid()) + ".ini";
    ini.SetFileName(name);
    ini.WriteInt("S", "x", 7);
    EXPECT_EQ(ReadFile(d + name), "[S]\r\nx=7\r\n");
    std::filesystem::remove(d + name);
}

TEST(IniEditorLocation, FullFileNameComposition) {
    TempDir dir;
    std::string conf = dir / "conf", dotted = dir / "conf.d";
    if (conf.find('.') != std::string::npos) GTEST_SKIP() << "temporary directory has a dot";
    struct Case {
        std::string xdg;
        TFileLocation location;
        std::string fileName, expected;
    } cases[] = {
        {conf, WindowsPath, "Zelmar.ini", conf + "/Zelmar.ini"},
        {conf, WindowsPath, "settings", conf + "/settings.INI"},
        {dotted, WindowsPath, "settings", dotted + "/settings"}, // the dot in the directory counts
        {conf, WindowsPath, "\\sub\\x.ini", conf + "/sub/x.ini"},
        {conf, WindowsPath, "sub/x.ini", conf + "/sub/x.ini"},
        {conf, WindowsPath, "C:\\data\\x.ini", "C:/data/x.ini"},
        {conf, WindowsPath, "/etc/x.ini", "/etc/x.ini"},
        {conf + "/", WindowsPath, "x.ini", conf + "/x.ini"},
        {conf, PathInFileName, "settings", "settings.INI"},
        {conf, PathInFileName, "a\\b.ini", "a/b.ini"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fileName);
        EnvVar xdg("XDG_CONFIG_HOME", c.xdg.c_str());
        TIniEditor ini;
        ini.SetFileLocation(c.location);
        ini.SetFileName(c.fileName);
        EXPECT_EQ(ini.FullFileName(), c.expected);
    }
}

TEST(IniEditorLocation, WindowsPathIsTheUsersConfigDirectory) {
    TempDir dir;
    std::string home = dir / "home";
    EnvVar h("HOME", home.c_str());
    {
        EnvVar x("XDG_CONFIG_HOME", nullptr);
        EXPECT_EQ(ConfigDirectory(), home + "/.config/");
    }
    {
        EnvVar x("XDG_CONFIG_HOME", "relative/dir"); // not absolute: ignored
        EXPECT_EQ(ConfigDirectory(), home + "/.config/");
    }
    EnvVar x("XDG_CONFIG_HOME", (dir / "a").c_str());
    TIniEditor ini;
    ini.SetFileLocation(WindowsPath);
    EXPECT_EQ(ini.LocationDir(), dir / "a/");
    // A new FileName keeps the directory; assigning the same location recomputes it.
    ::setenv("XDG_CONFIG_HOME", (dir / "b").c_str(), 1);
    ini.SetFileName("n.ini");
    EXPECT_EQ(ini.FullFileName(), dir / "a/n.ini");
    ini.SetFileLocation(WindowsPath);
    EXPECT_EQ(ini.FullFileName(), dir / "b/n.ini");
    ini.SetFileLocation(PathInFileName);
    EXPECT_EQ(ini.LocationDir(), "");
    EXPECT_EQ(ini.FullFileName(), "n.ini");
}

TEST_F(IniEditorTest, ReadBoolTexts) {
    WriteFile(file, "[B]\r\nyes=yes\r\nYes=Yes\r\nT=TRUE\r\none= 1 \r\nzero=0\r\non=on\r\n"
                    "two=2\r\nempty=\r\nyes2=YES\r\ntrue=true\r\n");
    struct {
        const char* entry;
        bool def, expected;
    } cases[] = {{"missing", true, true}, {"missing", false, false}, {"empty", true, false},
                 {"yes", false, true},    {"t", false, true},        {"one", false, true},
                 {"yes2", false, true},   {"true", false, true},     {"zero", true, false},
                 {"on", true, false},     {"two", true, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entry);
        EXPECT_EQ(ini.ReadBool("B", c.entry, c.def), c.expected);
    }
    ini.WriteBool("B", "w", true);
    ini.WriteBool("B", "v", false);
    EXPECT_EQ(ini.ReadStr("B", "w", ""), "True");
    EXPECT_EQ(ini.ReadStr("B", "v", ""), "False");
}

TEST_F(IniEditorTest, ReadIntTexts) {
    // clang-format off
    struct {
        const char* text;
        std::int32_t expected; // with default 42
    } cases[] = {
        {"12", 12}, {"12abc", 42}, {"$1F", 31}, {"$1f", 31}, {"-5", -5}, {"+7", 7},
        {"-$10", -16}, {"$FFFFFFFF", -1}, {"$100000000", 42}, {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1}, {"2147483648", 42}, {"-2147483649", 42},
        {"99999999999999999999", 42}, {"", 42}, {"-", 42}, {"$", 42}, {"1 2", 42},
        {"0x1F", 42}, {"1.0", 42}, {"\"3\"", 3}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ini.WriteStr("I", "v", c.text);
        EXPECT_EQ(ini.ReadInt("I", "v", 42), c.expected);
    }
    EXPECT_EQ(ini.ReadInt("I", "missing", -3), -3);
    ini.WriteInt("I", "n", -2147483647 - 1);
    EXPECT_EQ(ini.ReadStr("I", "n", ""), "-2147483648");
}

TEST(IniText, RealForms) {
    // clang-format off
    struct {
        long double value;
        char sep;
        const char* text;
    } cases[] = {
        {0, '.', "0"}, {1.5L, '.', "1.5"}, {1.5L, ',', "1,5"}, {-2.25L, '.', "-2.25"},
        {100, '.', "100"}, {0.1L, '.', "0.1"}, {1.0L / 3, '.', "0.333333333333333"},
        {2.0L / 3, '.', "0.666666666666667"}, {123456789012345.0L, '.', "123456789012345"},
        {1234567890123456.0L, '.', "1.23456789012346E15"}, {1e20L, '.', "1E20"},
        {0.00001L, '.', "0.00001"}, {0.000001L, '.', "1E-6"}, {-1.25e-7L, ',', "-1,25E-7"},
        {INFINITY, '.', "INF"}, {-INFINITY, '.', "-INF"}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(initext::FormatReal(c.value, c.sep), c.text);
        long double back = 0;
        ASSERT_TRUE(initext::ParseReal(c.text, c.sep, back));
        EXPECT_EQ(initext::FormatReal(back, c.sep), c.text);
    }
    EXPECT_EQ(initext::FormatReal(NAN, '.'), "NAN");

    long double v = 7;
    for (const char* bad : {"", "1.5x", "1,5", ".", "e5", "1e", "1e+", "--1", "1 5", "1E5000"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(initext::ParseReal(bad, '.', v));
    }
    for (auto [text, expected] : {std::pair{" 2.5 ", 2.5L},
                                  {"+.5", 0.5L},
                                  {"3.", 3.0L},
                                  {"1e3", 1000.0L},
                                  {"-1.5E-2", -0.015L}}) {
        SCOPED_TRACE(text);
        ASSERT_TRUE(initext::ParseReal(text, '.', v));
        EXPECT_EQ(v, expected);
    }
}

TEST_F(IniEditorTest, RealRoundTripAndDefaults) {
    char sep = initext::DecimalSeparator();
    ini.WriteReal("R", "v", 2.5L);
    EXPECT_EQ(ini.ReadStr("R", "v", ""), std::string("2") + sep + "5");
    EXPECT_EQ(ini.ReadReal("R", "v", 0), 2.5L);
    ini.WriteStr("R", "bad", "2,5x");
    EXPECT_EQ(ini.ReadReal("R", "bad", 9.75L), 9.75L);
    EXPECT_EQ(ini.ReadReal("R", "missing", -1.5L), -1.5L);
    EXPECT_TRUE(std::isnan(ini.ReadReal("R", "missing", NAN)));
}

TEST_F(IniEditorTest, CharsStringsAndEmptyValues) {
    ini.WriteChar("C", "c", 'x');
    ini.WriteChar("C", "nul", '\0');
    EXPECT_EQ(ini.ReadStr("C", "c", ""), "x");
    EXPECT_EQ(ini.ReadChar("C", "c", 'd'), 'x');
    EXPECT_EQ(ini.ReadStr("C", "nul", "default"), ""); // present, empty
    EXPECT_EQ(ini.ReadChar("C", "nul", 'd'), 'd');
    EXPECT_EQ(ini.ReadChar("C", "missing", 'd'), 'd');

    ini.WriteStr("C", "s", "");
    EXPECT_EQ(ini.ReadStr("C", "s", "default"), "");
    ini.WriteStr("C", "t", "text");
    ini.InitEntry("C", "t");
    EXPECT_EQ(ini.ReadStr("C", "t", "default"), "");
    ini.EraseEntry("C", "s");
    EXPECT_EQ(ini.ReadStr("C", "s", "default"), "default");
    EXPECT_EQ(ReadFile(file), "[C]\r\nc=x\r\nnul=\r\nt=\r\n");

    // 255 characters at most: longer values come back cut, longer names are cut alike.
    std::string longName(300, 'n');
    ini.WriteStr("C", longName, std::string(300, 'v'));
    EXPECT_EQ(ini.ReadStr("C", longName.substr(0, 255), ""), std::string(255, 'v'));
}

TEST_F(IniEditorTest, ListOperations) {
    WriteFile(file, "[Sessions]\r\nnoname= \r\nlab test= \r\n[Options]\r\nHints=True\r\n"
                    "[V]\r\na=1\r\nb=2\r\nc=\r\n");
    std::vector<std::string> list{"stale"};
    ini.ReadSection("", list);
    EXPECT_EQ(list, (std::vector<std::string>{"Sessions", "Options", "V"}));
    ini.ReadAllSections(list);
    EXPECT_EQ(list, (std::vector<std::string>{"Sessions", "Options", "V"}));
    ini.ReadSection("sessions", list);
    EXPECT_EQ(list, (std::vector<std::string>{"noname", "lab test"}));
    ini.ReadValues("V", list);
    EXPECT_EQ(list, (std::vector<std::string>{"1", "2", ""}));
    ini.ReadSection("missing", list);
    EXPECT_TRUE(list.empty());
    list = {"stale"};
    ini.ReadValues("", list);
    EXPECT_TRUE(list.empty());

    ini.EraseSection("sessions");
    ini.InitSection("OPTIONS");
    ini.ReadAllSections(list);
    EXPECT_EQ(list, (std::vector<std::string>{"V"}));
}

TEST_F(IniEditorTest, EmptyNamesNeitherReadNorWrite) {
    ini.WriteStr("", "x", "1");
    ini.WriteStr("S", "", "1");
    ini.WriteInt("", "x", 1);
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
    std::vector<std::string> list{"stale"};
    unnamed.ReadAllSections(list);
    EXPECT_TRUE(list.empty());
    EXPECT_FALSE(std::filesystem::exists("S.INI"));
    EXPECT_FALSE(std::filesystem::exists(".INI"));
}

} // namespace
