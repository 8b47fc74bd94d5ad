// The screen buffer and its escape interpreter, driven through the byte
// stream as the view drives them (byte strings in; cells, cursor, region,
// attributes, beeps and diagnostic reports out), and rxview's ANSI formats.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "Platform.h"
#include "Screen.h"
#include "ansi.h"

namespace emulvt {
namespace {

using namespace std::string_literals;

// "^[" stands for ESC, so sequences read as they are written on paper.
std::string E(std::string s) {
    for (std::size_t i; (i = s.find("^[")) != std::string::npos;)
        s.replace(i, 2, "\x1b");
    return s;
}

std::vector<std::string> Split(std::string_view s, std::string_view sep) {
    std::vector<std::string> parts;
    for (std::size_t at = 0, end = 0; at <= s.size(); at = end + sep.size()) {
        end = std::min(s.find(sep, at), s.size());
        parts.emplace_back(s.substr(at, end - at));
    }
    return parts;
}

// Collects the debug output while it lives; every second call is a message.
struct TDebugCapture {
    TDebugCapture() {
        platform::SetDebugSink([this](std::string_view t) { Calls.emplace_back(t); });
        platform::TakeBeeps();
    }
    ~TDebugCapture() { platform::SetDebugSink(nullptr); }
    std::vector<std::string> Calls;
};

// Each case is "BYTES -> ITEMS": BYTES ("^[" is ESC) go into a fresh screen,
// then each "|"-separated item must read the same from it: "cur=R,C",
// "reg=T,B", "attr=HH" (CurAttr), "rev=0/1" (ReverseOn), "raw=N" (RawCount),
// "chg=L,T,R,B" (ChangedArea) or "chg=all" (AllChanged),
// "R,C=TEXT" (the cells from row R, column C) or "R,C:HH=TEXT" (each of them
// with attribute HH). "rep=TEXT" is a diagnostic message and "beep=N" a count
// of beeps: there must be no others. "xlat=off" (the view's Xlat off: RecvXlat
// and XlatDefault), "autocr" and "autolf" set those modes beforehand.
std::string ReadItem(const TScreen& s, const std::string& item) {
    const std::string key = item.substr(0, item.find('='));
    char t[32] = "unknown item";
    int r = 0, c = 0;
    if (key == "cur") std::snprintf(t, sizeof t, "cur=%d,%d", s.CurRow(), s.CurCol());
    if (key == "reg") std::snprintf(t, sizeof t, "reg=%d,%d", s.RegionTop(), s.RegionBottom());
    if (key == "attr") std::snprintf(t, sizeof t, "attr=%02X", s.CurAttr());
    if (key == "rev") std::snprintf(t, sizeof t, "rev=%d", s.ReverseOn());
    if (key == "raw") std::snprintf(t, sizeof t, "raw=%d", s.RawCount());
    if (key == "chg" && s.AllChanged()) return "chg=all";
    const TChangedArea& a = s.ChangedArea();
    if (key == "chg")
        std::snprintf(t, sizeof t, "chg=%d,%d,%d,%d", a.Left, a.Top, a.Right, a.Bottom);
    if (key == "xlat" || key == "autocr" || key == "autolf" || key.empty()) return item;
    if (std::sscanf(key.c_str(), "%d,%d", &r, &c) == 2) {
        const TLine& line = s.RowAt(r);
        const int end = c + int(item.size() - key.size()) - 1;
        std::snprintf(t, sizeof t, "%d,%d:%02X", r, c, line.Attrs[c]);
        std::string read = key.find(':') == std::string::npos ? key : t;
        for (int i = c; i < end && read != key; ++i)
            if (line.Attrs[i] != line.Attrs[c]) read += "+"; // mixed attributes
        return read + "=" + std::string(line.Chars.begin() + c, line.Chars.begin() + end);
    }
    return t;
}

void Check(const std::vector<std::string>& cases) {
    for (const std::string& c : cases) {
        SCOPED_TRACE(c);
        const std::vector<std::string> io = Split(c, " -> ");
        ASSERT_EQ(io.size(), 2u);
        const auto has = [&io](const char* item) { return io[1].find(item) != std::string::npos; };
        TDebugCapture debug;
        TScreen s;
        s.SetRecvXlat(has("xlat=off"));
        s.SetXlatDefault(has("xlat=off"));
        s.SetAutoCR(has("autocr"));
        s.SetAutoLF(has("autolf"));
        s.ProcessText(E(io[0]));
        std::string reports, expected;
        std::size_t beeps = 0;
        for (std::size_t i = 1; i < debug.Calls.size(); i += 2)
            reports += debug.Calls[i];
        for (const std::string& item : Split(io[1], "|")) {
            if (item.rfind("rep=", 0) == 0)
                expected += item.substr(4);
            else if (item.rfind("beep=", 0) == 0)
                beeps = std::stoul(item.substr(5));
            else
                EXPECT_EQ(ReadItem(s, item), item);
        }
        EXPECT_EQ(reports, expected);
        EXPECT_EQ(platform::TakeBeeps(), std::vector<std::uint32_t>(beeps, 0x40));
    }
}

std::string Inv(const std::string& seq) {
    return "|rep=Invalid Escape Sequence: " + seq + "\r\n";
}
std::string Unimp(const std::string& seq) {
    return "|rep=Unimplemented Escape Sequence: " + seq + "\r\n";
}

// Row r starts with the letter 'a' + r; 80 digits; AutoWrap on.
const std::string L = "a\r\nb\r\nc\r\nd\r\ne\r\nf\r\ng\r\nh\r\ni\r\nj\r\nk\r\nl\r\nm\r\nn\r\no\r\n"
                      "p\r\nq\r\nr\r\ns\r\nt\r\nu\r\nv\r\nw\r\nx\r\ny";
const std::string T = "0123456789", D = T + T + T + T + T + T + T + T, W = "^[[?7h";
const std::string A80(80, 'A');

TEST(Screen, WrapAndMargins) {
    // Column 80 on is hidden while AutoWrap is off; with it on, the wrap waits
    // for the next character and scrolls (the region only) from the last row.
    Check({A80 + "B -> cur=0,81|0,79:07=AB", std::string(132, 'a') + "XYZ -> cur=0,132|0,131=aZ",
           W + A80 + " -> cur=0,80|1,0= ", W + A80 + "B -> cur=1,1|1,0=B",
           "X^[[25;1H" + W + A80 + "B -> cur=24,1|0,0= |24,0=B |23,0=" + A80,
           "^[[5;1HZ^[[5;10r^[[10;1H" + W + A80 + "B -> cur=10,1|4,0=Z|9,0=AA|10,0=B",
           "^[[5;1HZ^[[6;1HY^[[5;10r^[[25;1H" + W + A80 + "B -> cur=24,1|4,0=Y|9,0= |24,0=BAA",
           W + "^[[?7l" + A80 + "B -> cur=0,81"});
    // CursorRight wraps by one subtraction, clamps at 132 and never scrolls.
    Check({W + "^[[1;75H^[[10C -> cur=1,4", "^[[1;75H^[[10C -> cur=0,79",
           W + "^[[1;75H^[[99999999999C -> cur=1,132",
           "Q^[[25;75H" + W + "^[[10C -> cur=24,4|0,0=Q"});
    // Tabs go to the next multiple of 8 but never past the last shown column.
    Check({"^[[1;8H\tX\tY -> cur=0,17|0,8=X|0,16=Y", "^[[1;77H\t\tX -> cur=0,80|0,79=X",
           A80 + "A\t -> cur=0,81", "\b\bA\b -> cur=0,0|0,0=A"});
}

TEST(Screen, CursorMoves) {
    Check({"A^[[25;1H^[[99999999999999B -> cur=24,0|0,0=A", "AB\nC -> cur=1,3|1,2=C",
           "^[[5;5H^[[0A^[[0DX^[[9A^[[9DY -> cur=0,1|3,3=X|0,0=Y", // 0 counts as 1
           "^[[5H -> cur=4,0", "^[[5 ; 7f -> cur=4,6", "^[[;7H -> cur=0,6",
           "^[[4294967296;4294967296H -> cur=24,79",
           // a restore forgets the saved position
           "^[[5;6H^[7^[[H^[[uX^[[u -> cur=0,0|4,5=X",
           "^[[10;10H^[[s^[[H^[8X^[8 -> cur=0,0|9,9=X"});
}

TEST(Screen, RegionScrolling) {
    // Line feeds and reverse line feeds with the cursor at, below, above and
    // inside the region 5..10; new rows take attribute 7.
    Check({L + "^[[44m^[[5;10r^[[10;1H\n -> cur=9,0|3,0=d|4,0=f|8,0=j|9,0:07= |10,0=k",
           L + "^[[5;10r^[[16;1H\n -> cur=9,0|4,0=f|9,0= |15,0=p|16,0=q",
           L + "^[[5;10r^[[3;1H\n -> cur=3,0|3,0=d|4,0=e|9,0=j",
           L + "^[[44m^[[5;10r^[[5;1H^[M -> cur=4,0|3,0=d|4,0:07= |5,0=e|9,0=i|10,0=k",
           L + "^[[5;10r^[[7;1H^[M -> cur=5,0|4,0=e",
           L + "^[[5;10r^[[20;3H^[[7S -> cur=19,2|4,0=f|9,0= |19,0=t",
           L + "\n -> cur=24,1|0,0=b|24,0= "});
    // Anything but 1 <= top < bottom <= 25 means the whole screen.
    Check({"^[[7;7H^[[5 ; 10r -> cur=6,6|reg=4,9", "^[[2;25r -> reg=1,24",
           "^[[5;10r^[[5r -> reg=0,24", "^[[5;10r^[[10;5r -> reg=0,24",
           "^[[5;10r^[[5;5r -> reg=0,24", "^[[5;10r^[[5;26r -> reg=0,24",
           "^[[5;10r^[[r -> reg=0,24"});
}

TEST(Screen, InsertRemoveLines) {
    // Inside the region 5..10, past its bottom (blanks in CurAttr), above it
    // (takes the rows down to its bottom) and below it (nothing moves).
    Check({L + "^[[41m^[[5;10r^[[6;3H^[[2L -> cur=5,0|4,0=e|5,0:17= |6,0:17= |7,0=f|9,0=h|10,0=k",
           L + "^[[41m^[[5;10r^[[8;1H^[[3L -> cur=7,0|6,0=g|7,0:17= |9,0:17= |10,0=k",
           L + "^[[5;10r^[[2;1H^[[L -> cur=1,0|0,0=a|1,0= |2,0=b|9,0=i|10,0=k",
           L + "^[[5;10r^[[16;5H^[[L -> cur=15,0|15,0=p|16,0=q|9,0=j",
           L + "^[[41m^[[5;10r^[[6;3H^[[2M -> cur=5,0|4,0=e|5,0=h|7,0=j|8,0:07= |9,0:07= |10,0=k",
           L + "^[[41m^[[5;10r^[[8;1H^[[9M -> cur=7,0|6,0=g|7,0:17= |9,0:17= |10,0=k",
           L + "^[[3;1H^[[99999999999M -> cur=2,0|1,0=b|2,0= |24,0= "});
}

TEST(Screen, InsertRemoveCells) {
    // Removed cells leave blanks in attribute 7, inserted ones take CurAttr.
    Check({"ABCDEFGHIJKLMNOP^[[41m^[[1;11H^[[3P -> cur=0,10|0,0:07=ABCDEFGHIJNOP   |0,77:07=   ",
           D + "^[[41m^[[1;71H^[[20P -> cur=0,70|0,60=0123456789|0,70:07=" + "          ",
           D + "^[[1;80H^[[P -> cur=0,79|0,78=8 ",
           D + "^[[41m^[[1;79H^[[5@ -> cur=0,78|0,77:07=7|0,78:17=  ",
           D + "^[[41m^[[1;3H^[[2@ -> cur=0,2|0,0:07=01|0,2:17=  |0,4:07=2345|0,78=67|0,80= ",
           "ABC^[[1;1H^[[0@ -> cur=0,0|0,0= ABC", "ABC^[[1;2H^[[99999999999@ -> cur=0,1|0,0=A  "});
}

TEST(Screen, Erasing) {
    Check({L + "^[[41m^[[2J -> cur=0,0|0,0:17= |24,79:17= ",
           L + "^[[6;1HABCDEFG^[[6;5H^[[41m^[[J -> cur=5,4|attr=07|5,0:07=ABCD|5,4:07=   "
               "|4,0=e|6,0:07= |24,0= ",
           L + "^[[6;1Hffffff^[[6;3H^[[41m^[[1J -> cur=5,2|0,0:17= |5,0:17=      |6,0=g",
           L + "^[[3;1H^[[3J -> cur=2,0|2,0=c|24,0=y|rep=Invalid Escape Sequence: [3J\r\n",
           "ABCDEFGH^[[1;4H^[[44m^[[K -> cur=0,3|0,0:07=ABC|0,3:47=     |0,79:47= ",
           "ABCDEFGH^[[1;4H^[[2K^[[1K -> cur=0,3|0,0=ABC  ", A80 + "B^[[K -> cur=0,81|0,79=AB"});
}

TEST(Interpreter, SgrAttributes) {
    Check({"^[[1;31mX -> 0,0:09=X|rev=0", "^[[44;33;4mX -> 0,0:43=X", "^[[5mX -> 0,0:87=X",
           "^[[1;22mX -> 0,0:07=X", "^[[8mX -> 0,0:00=X",
           "^[[31;44m^[[0mX^[[31;44m^[[mY -> 0,0:07=XY",
           "^[[ 1 ; 34 mX^[[0;31;;44mY -> 0,0:0C=X|0,1:41=Y",
           "^[[?mX^[[31;?;44mY -> 0,0:07=X|0,1:41=Y", // a byte that is no number is skipped
           "^[[31;99;44;100mX -> 0,0:41=X" + Inv("[31;99;44;100m") + Inv("[31;99;44;100m"),
           "^[[99999999999mX -> 0,0:07=X" + Inv("[99999999999m"),
           "A^[[12mB^[[1m\x01^[[10mC -> 0,0=A\xC2\x81"
           "C"});
    // Reverse swaps the colours at the end of this and every later SGR.
    Check({"^[[7mX -> 0,0:70=X|rev=1", "^[[7m^[[1mX -> 0,0:0F=X|rev=1", "^[[1;31;7mX -> 0,0:18=X",
           "^[[5;7mX -> 0,0:F0=X", "^[[7m^[[7mX -> 0,0:07=X|rev=1",
           "^[[7m^[[32mX -> 0,0:27=X|rev=1",
           "^[[7m^[[0mX^[[7m^[[27mY^[[7m^[[mZ -> 0,0:07=XYZ|rev=0"});
}

TEST(Interpreter, RawCountShowsOddAndDropsEven) {
    // Counted bytes bypass translation, controls and sequences.
    Check({"^[[1;2IAB -> 0,0=B |raw=0", "^[[1;3IABC -> 0,0=AC |raw=0",
           "^[[1;4IABCDE -> 0,0=BDE |raw=0", "^[[1I^[X -> 0,0=\x1bX |raw=0", "^[[1 ;2IAB -> 0,0=B ",
           "^[[1;0IAB -> 0,0=AB", "^[[1;2IA^[[31m -> 0,0=\x1b[31m|attr=07",
           "^[[0I\x0e^[[1;6I\nqq\r\x07\x07 -> 0,0=q\r\x07 |cur=0,3",
           "^[[1;99999999999IAB -> 0,0=A |raw=2147483645"});
}

TEST(Interpreter, Translation) {
    // The view's Xlat on leaves bytes alone unless ESC [0I asks; off, they go
    // through the normal or (SO, ESC (0) the graphics table.
    Check({"\xC4\x85\xE9q -> 0,0=\xC4\x85\xE9q", "^[[0I\xE9 -> 0,0=\x82",
           "^[[0I^[[4I\xE9 -> 0,0=\xE9", "\xC4\x85\xE9\xA0\xFFq -> 0,0=\x8E \x82\xB1\x98q|xlat=off",
           "^[(0q -> 0,0=\xC4|xlat=off", "^[(0q -> 0,0=q", "^[[0I^[(0q -> 0,0=q",
           "^[(0^[(Bq -> 0,0=q|xlat=off", "\x0eq\x0fq -> 0,0=\xC4q|xlat=off", "\x0eq -> 0,0=q",
           "^[)0q^[*0q^[+Bq -> 0,0=qqq|xlat=off",
           "\x0ejklmnqtuvwxa -> 0,0=\xD9\xBF\xDA\xC0\xC5\xC4\xC3\xB4\xC1\xC2\xB3|0,11=a|xlat=off",
           "^[[0I\x0e^[[31mq -> attr=07|0,0=\xC4" + Inv("[31\xC0")}); // the final byte too
}

TEST(Interpreter, ControlsAndCollection) {
    Check({"A\x00\x0c\x0b\x7f\x01\x1f"
           "B\x07"s +
               " -> cur=0,7|beep=1|0,0=A\x0c\x0b\x7f\x01\x1f"
               "B",
           "AB\nC -> 1,0=C|autocr", "AB\rC -> 1,0=C|autolf",
           // a control character inside a sequence is its final byte
           "AB^[[5\nC^[\rD^[^[E -> cur=0,7|0,0=ABC\rD\x1b"
           "E" +
               Inv("[5\n") + Inv("\r") + Inv("\x1b"),
           // the 80th collected byte beeps and drops the sequence
           "^[[" + std::string(78, '1') + "23m -> beep=1|0,0=3m |attr=07",
           "^[" + std::string(80, ';') + "X -> beep=1|0,0=X "});
}

TEST(Interpreter, ReportTexts) {
    Check({"^[c -> 0,0=c" + Inv("c"), "^[D^[E -> 0,0= " + Unimp("D") + Unimp("E"),
           "^[<^[=^[>^[H -> 0,0= |cur=0,0", "^[[T^[[6n -> " + Unimp("[T") + Unimp("[6n"),
           "^[[4h^[[ ?7h^[[?5l -> " + Unimp("[4h") + Unimp("[ ?7h") + Unimp("[?5l"),
           "^[[?1h^[[?4l^[[?25l^[[>^[[g -> ", "^[[z^[[5;7Z -> " + Inv("[z") + Inv("[5;7Z"),
           "^[[3;65;66;67;68I -> rep=Special key 4241 4443",
           "^[[3 ; 1 ; 2I -> rep=Special key 0201 0000", "^[[3I^[[2I -> rep=Special key 0000 0000",
           "^[[5I^[[9;1I -> " + Unimp("[5I") + Unimp("[9;1I"),
           "^[(X^[)0^[ F^[ G^[5x -> " + Inv("(X") + Inv(" G") + Inv("5x")});
}

TEST(Screen, ChangedArea) {
    Check({"A -> chg=0,0,0,0", "^[[4;6H^[[K -> chg=5,3,80,3", "^[[4;6H^[[J -> chg=0,3,80,25",
           "^[[1;5H^[[J -> chg=all", "^[[25;1H\n -> chg=all", "^[[L -> chg=all", "^[[M -> chg=all",
           "^[[H^[M -> chg=all", "^[[2J -> chg=all"});
}

TEST(Screen, ScrollingMovesRowObjectsAndResizeKeepsTheTopRowsAddressable) {
    TScreen s;
    const TLine* top = &s.RowAt(0);
    s.ProcessText(E("^[[25;1H\n^[[1;1HT^[[20;24r^[[23;1H"));
    EXPECT_EQ(&s.RowAt(24), top); // the row object moved, nothing was copied
    EXPECT_EQ(&s.RowAt(99), &s.RowAt(24));
    s.ResizeRows(10);
    EXPECT_EQ(std::vector<int>({s.Rows(), s.RowAt(0).Chars[0], s.RegionBottom(), s.CurRow()}),
              std::vector<int>({10, 'T', 9, 9}));
    EXPECT_LE(s.RegionTop(), s.RegionBottom());
    s.ProcessText(E("\n\n^[M^[M^[[L^[[M^[[99BZ"));
    EXPECT_EQ(s.RowAt(9).Chars[0], 'Z');
    s.ResizeRows(0);
    s.ProcessText(E("A\nB^[M^[[5L"));
    EXPECT_EQ(s.Rows(), 1);
    s.ResizeRows(30);
    s.SetCols(500);
    EXPECT_EQ(std::make_pair(s.Rows(), s.Cols()), std::make_pair(30, 133));
    s.SetCols(0);
    s.ProcessText(E("^[[H^[[?7hABC\t^[[5C^[[3P^[[3@"));
    EXPECT_EQ(std::vector<int>({s.Cols(), s.RowAt(2).Chars[0], s.CurRow(), s.CurCol()}),
              std::vector<int>({1, 'C', 3, 5}));
}

// ---- Feeding byte by byte and as text gives the same screen.
std::string RandomStream(std::mt19937& rng, std::size_t n) {
    static const std::vector<std::string> pieces =
        Split(E("^[[|^[|;|1|31|44|m|H|J|K|r|L|M|P|@|?7h|?7l|\r\n|\n|\t|^[M|^[7|^[8|^[(0|^[(B|"
                "\x0e|\x0f|0I|4I|1;3I|5;10r|25;80H|A|B|C|D|S|7m|\x08|12m"),
              "|");
    std::uniform_int_distribution<int> kind(0, 3), piece(0, int(pieces.size()) - 1), byte(0, 255);
    std::string s;
    while (s.size() < n)
        s += kind(rng) == 0 ? std::string(1, char(byte(rng))) : pieces[piece(rng)];
    return s;
}

std::vector<int> State(const TScreen& s) {
    return {s.CurRow(),   s.CurCol(),   s.CurAttr(),   s.RegionTop(), s.RegionBottom(),
            s.RawCount(), s.AutoWrap(), s.ReverseOn(), s.HighBitOn()};
}

void ExpectSameScreen(const TScreen& a, const TScreen& b) {
    for (int r = 0; r < a.Rows(); ++r) {
        ASSERT_EQ(a.RowAt(r).Chars, b.RowAt(r).Chars) << "row " << r;
        ASSERT_EQ(a.RowAt(r).Attrs, b.RowAt(r).Attrs) << "row " << r;
    }
    EXPECT_EQ(State(a), State(b));
    EXPECT_EQ(a.SeqBuf(), b.SeqBuf());
}

TEST(Equivalence, ByteAtATimeProcessTextAndTheGeneralPathGiveTheSameScreen) {
    TDebugCapture debug;
    std::mt19937 rng(7);
    std::uniform_int_distribution<std::size_t> chunk(1, 300);
    for (int round = 0; round < 20; ++round) {
        std::string stream = RandomStream(rng, 20000);
        TScreen one, text;
        for (char c : stream)
            one.ProcessByte(static_cast<std::uint8_t>(c));
        for (std::size_t i = 0, n = 0; i < stream.size(); i += n)
            text.ProcessText(std::string_view(stream).substr(i, n = chunk(rng)));
        ExpectSameScreen(one, text);
        EXPECT_EQ(one.RecvXlat(), text.RecvXlat());

        // The normal table maps 0x00..0x7F to themselves, so on ASCII streams
        // that leave translation alone a translating screen, which never takes
        // ProcessByte's shortcuts, must end like one that does.
        for (char& c : stream) {
            c = static_cast<char>(c & 0x7F);
            if (c == 'I' || c == '(' || c == 0x0E) c = 'x';
        }
        TScreen fast, general;
        general.SetRecvXlat(true);
        general.SetXlatDefault(true);
        debug.Calls.clear();
        fast.ProcessText(stream);
        general.ProcessText(stream);
        ExpectSameScreen(fast, general);
        ASSERT_EQ(debug.Calls.size() % 4, 0u); // each report came once from each screen
        platform::TakeBeeps();
    }
}

// A history replayed after ResetTerminal gives the screen a new buffer gives,
// whatever state the bytes before left behind; the owner's settings stay.
TEST(Equivalence, ReplayAfterResetTerminalIsAFreshStart) {
    TDebugCapture debug;
    std::mt19937 rng(11);
    for (int round = 0; round < 20; ++round) {
        const std::string before = RandomStream(rng, 3000) + E("^[[1;2I^[(0^[[41m^[[");
        const std::string history = RandomStream(rng, 3000);
        TScreen used, fresh;
        for (TScreen* s : {&used, &fresh}) {
            s->SetAutoLF(round % 2);
            s->SetXlatDefault(round % 3 == 0);
            s->SetRecvXlat(round % 3 == 0);
        }
        used.ProcessText(before);
        used.ResetTerminal();
        EXPECT_TRUE(used.AllChanged());
        used.ProcessText(history);
        fresh.ProcessText(history);
        ExpectSameScreen(used, fresh);
        EXPECT_EQ(used.RecvXlat(), fresh.RecvXlat());
        EXPECT_EQ(used.XlatTable(), fresh.XlatTable());
        EXPECT_EQ(used.SavedRow(), fresh.SavedRow());
        EXPECT_EQ(used.AutoLF(), fresh.AutoLF());
        platform::TakeBeeps();
    }
}

// ---- rxview's ANSI output formats, byte for byte: other tools compare
// against them.
struct TRun {
    int Code;
    std::string Out, Err;
    std::vector<std::string> Lines() const { return Split(Out, "\n"); }
};

TRun RunAnsi(std::vector<std::string> args, const std::string& input) {
    std::ostringstream out, err;
    const int code = rxview::RunAnsiView(args, input, out, err);
    return {code, out.str(), err.str()};
}

std::string BlankCells(int n) {
    std::string s = "2007";
    while (--n > 0)
        s += " 2007";
    return s;
}

TEST(AnsiView, CellsAreTwentyFiveRowsOfEightyTokensThenTheCursor) {
    const std::string in = E("^[[1;31mAb^[[0m^[[3;79HXYZ");
    const TRun r = RunAnsi({}, in);
    ASSERT_EQ(r.Code, 0);
    const std::vector<std::string> lines = r.Lines();
    ASSERT_EQ(lines.size(), 27u); // and the output ends with a line feed
    EXPECT_EQ(lines[0], "4109 6209 " + BlankCells(78));
    EXPECT_EQ(lines[1], BlankCells(80));
    // X and Y are shown, Z went to the hidden column 80 and is not printed
    EXPECT_EQ(lines[2], BlankCells(78) + " 5807 5907");
    EXPECT_EQ(lines[25], "cursor 2 81");
    EXPECT_EQ(r.Err, "");
    EXPECT_EQ(RunAnsi({"--format=cells", "--xlat=on"}, in).Out, r.Out);
    EXPECT_EQ(RunAnsi({"--xlat=on"}, E("\xE9^[(0q")).Out.substr(0, 10), "E907 7107 ");
    EXPECT_EQ(RunAnsi({"--xlat=off"}, E("\xE9^[(0q")).Out.substr(0, 10), "8207 C407 ");
}

TEST(AnsiView, TextIsCp437AsUtf8WithTrailingBlanksRemoved) {
    // NUL is ignored by the interpreter and reaches a cell only as a counted
    // raw byte, where it is a blank; a stored 0xFF is a no-break space
    const TRun r = RunAnsi({"--format=text"}, "\xC9\xCD\xBB \x01\x7F\xFF\x00 \x1f\r\n"
                                              "\xB0\xB1\xDB\xE1\xFE   \xFF\r\n\x1b[1;1I\x00"
                                              "A"s);
    ASSERT_EQ(r.Code, 0);
    EXPECT_EQ(r.Out, "╔═╗ ☺⌂\u00A0 ▼\n░▒█ß■   \u00A0\n A\n" + std::string(22, '\n'));
}

TEST(AnsiView, ReportsAreOneLineEachWithTheProcessWideCounterAndRawBytes) {
    const std::uint32_t n = TScreen::ReportCounter();
    const TRun r = RunAnsi({"--format=text"}, E("^[c^[[5\n^[[3;1;2;3;4I"));
    char expect[256];
    std::snprintf(expect, sizeof expect,
                  "%04X Invalid Escape Sequence: c\n%04X Invalid Escape Sequence: [5\n\n"
                  "%04X Special key 0201 0403\n%04X Unimplemented Escape Sequence: [T\n",
                  n + 1, n + 2, n + 3, n + 4);
    EXPECT_EQ(r.Err + RunAnsi({}, E("\x07^[[T")).Err, expect); // beeps print nothing
    EXPECT_EQ(r.Lines()[0], "c");
}

TEST(AnsiView, OutWritesTheFormatToAFileAndBadOptionsAreRefused) {
    const std::string path = ::testing::TempDir() + "rxview_ansi_out.txt";
    const TRun toFile = RunAnsi({"--format=text", "--out=" + path}, "AB\r\nC");
    EXPECT_EQ(toFile.Code, 0);
    EXPECT_EQ(toFile.Out, "");
    std::ifstream f(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(f), {}),
              RunAnsi({"--format=text"}, "AB\r\nC").Out);
    std::remove(path.c_str());
    const TRun bad = RunAnsi({"--out=/nonexistent-dir/x.txt"}, "A");
    EXPECT_EQ(bad.Code, 1);
    EXPECT_EQ(bad.Err, "rxview: cannot write /nonexistent-dir/x.txt\n");
    for (const char* arg :
         {"--format=html", "--xlat=maybe", "--font=10", "--colour", "--format=png"}) {
        const TRun r = RunAnsi({arg}, "A");
        EXPECT_EQ(r.Code, 2) << arg;
        EXPECT_EQ(r.Out, "") << arg;
        EXPECT_EQ(r.Err.rfind("rxview: ", 0), 0u) << arg;
    }
}

TEST(AnsiView, AStreamReadBlockByBlockEndsAsTheWholeInput) {
    // Several 64 KiB blocks, with sequences and counted bytes across their edges.
    std::mt19937 rng(11);
    const std::string input = RandomStream(rng, 300000);
    for (const char* format : {"--format=cells", "--format=text"}) {
        std::istringstream in(input);
        std::ostringstream out, err;
        EXPECT_EQ(rxview::RunAnsiView({format}, in, out, err), 0);
        const TRun whole = RunAnsi({format}, input);
        EXPECT_EQ(out.str(), whole.Out) << format;
        // The reports' counters run on; their number is the same.
        EXPECT_EQ(Split(err.str(), "\n").size(), Split(whole.Err, "\n").size());
    }
    std::istringstream broken("AB");
    broken.setstate(std::ios::badbit);
    std::ostringstream out, err;
    EXPECT_EQ(rxview::RunAnsiView({}, broken, out, err), 1);
    EXPECT_EQ(err.str(), "rxview: read error\n");
}

#ifdef RXVIEW_PATH
// The picture is drawn by rxview-png beside rxview, so rxview starts without Qt.
TEST(AnsiView, RxviewDrawsThePictureThroughItsHelper) {
    const std::string dir = ::testing::TempDir();
    const std::string in = dir + "rxview_png_in.ans", png = dir + "rxview_png_out.png",
                      errFile = dir + "rxview_png_err.txt";
    std::ofstream(in, std::ios::binary) << E("^[[1;31mHello^[c");
    const auto run = [&](const std::string& rxview, const std::string& out) {
        const std::string cmd =
            rxview + " --mode=ansi --format=png --out=" + out + " " + in + " 2>" + errFile;
        const int status = std::system(cmd.c_str());
        std::ifstream e(errFile);
        return std::pair{WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                         std::string(std::istreambuf_iterator<char>(e), {})};
    };
    std::remove(png.c_str());
    const auto [code, err] = run(RXVIEW_PATH, png);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(err.substr(4), " Invalid Escape Sequence: c\n"); // reports as without the helper
    std::ifstream f(png, std::ios::binary);
    const std::string picture(std::istreambuf_iterator<char>(f), {});
    EXPECT_EQ(picture.substr(0, 8), "\x89PNG\r\n\x1a\n");
    EXPECT_EQ(run(RXVIEW_PATH, "/nonexistent-dir/x.png"),
              (std::pair{1, err + "rxview: cannot write /nonexistent-dir/x.png\n"}));
    // A copy without its helper says what is missing.
    const std::string alone = dir + "rxview_alone";
    std::filesystem::copy_file(RXVIEW_PATH, alone,
                               std::filesystem::copy_options::overwrite_existing);
    const auto [aloneCode, aloneErr] = run(alone, png);
    EXPECT_EQ(aloneCode, 1);
    EXPECT_EQ(aloneErr.rfind("rxview: cannot start " + dir + "rxview-png", 0), 0u) << aloneErr;
    std::remove(alone.c_str());
}
#endif

} // namespace
} // namespace emulvt
