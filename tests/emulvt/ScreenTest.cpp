// Screen buffer operations, driven through the byte stream as the view would
// drive them: each case is a byte string in and the cells, cursor or region out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestUtil.h"

namespace emulvt::test {
namespace {

struct TCell {
    int Row, Col;
    std::string Text; // characters from Col on
    int Attr = -1;    // every cell of Text has this attribute, unless -1
};

struct TCase {
    const char* Name;
    std::string Input;
    int CurRow, CurCol;
    std::vector<TCell> Cells;
    int RegionTop = -1, RegionBottom = -1;
};

void PrintTo(const TCase& c, std::ostream* os) {
    *os << c.Name;
}

// Every row r starts with the letter 'a' + r.
std::string LabelledRows() {
    std::string s;
    for (int r = 0; r < 25; ++r)
        s += E("^[[") + std::to_string(r + 1) + ";1H" + char('a' + r);
    return s;
}

std::string Repeat(char c, int n) {
    return std::string(std::size_t(n), c);
}

class ScreenCase : public ::testing::TestWithParam<TCase> {};

TEST_P(ScreenCase, GivesCellsCursorAndRegion) {
    const TCase& c = GetParam();
    TDebugCapture debug;
    TScreen s;
    s.ProcessText(c.Input);
    EXPECT_EQ(s.CurRow(), c.CurRow);
    EXPECT_EQ(s.CurCol(), c.CurCol);
    for (const TCell& cell : c.Cells) {
        EXPECT_EQ(RowText(s, cell.Row, cell.Col, int(cell.Text.size())), cell.Text)
            << "row " << cell.Row << " col " << cell.Col;
        if (cell.Attr < 0) continue;
        for (std::size_t i = 0; i < cell.Text.size(); ++i) {
            EXPECT_EQ(s.RowAt(cell.Row).Attrs[cell.Col + i], cell.Attr)
                << "attr of row " << cell.Row << " col " << cell.Col + i;
        }
    }
    if (c.RegionTop >= 0) {
        EXPECT_EQ(s.RegionTop(), c.RegionTop);
        EXPECT_EQ(s.RegionBottom(), c.RegionBottom);
    }
}

const std::string kWrapOn = E("^[[?7h");
const std::string kDigits80 = [] {
    std::string s;
    for (int i = 0; i < 80; ++i)
        s += char('0' + i % 10);
    return s;
}();

INSTANTIATE_TEST_SUITE_P(
    WrapAndMargins, ScreenCase,
    ::testing::Values(
        TCase{"Col81WrapOffGoesHidden", Repeat('A', 80) + "B", 0, 81, {{0, 79, "AB", 7}}},
        TCase{"Col81WrapOffThenCrLf", Repeat('A', 80) + "B\r\nC", 1, 1, {{1, 0, "C"}}},
        TCase{"WrapIsDeferred", kWrapOn + Repeat('A', 80), 0, 80, {{1, 0, " "}}},
        TCase{"Col81WrapOnNextRow", kWrapOn + Repeat('A', 80) + "B", 1, 1, {{1, 0, "B"}}},
        TCase{"WrapOnLastRowScrolls",
              E("X^[[25;1H") + kWrapOn + Repeat('A', 80) + "B",
              24,
              1,
              {{0, 0, " "}, {23, 0, Repeat('A', 80)}, {24, 0, "B "}}},
        TCase{"WrapInsideRegionDoesNotScroll",
              E("^[[5;1HZ^[[5;10r^[[10;1H") + kWrapOn + Repeat('A', 80) + "B",
              10,
              1,
              {{4, 0, "Z"}, {9, 0, "AA"}, {10, 0, "B"}}},
        TCase{"WrapOnLastRowScrollsRegionOnly",
              E("^[[5;1HZ^[[6;1HY^[[5;10r^[[25;1H") + kWrapOn + Repeat('A', 80) + "B",
              24,
              1,
              {{4, 0, "Y"}, {9, 0, " "}, {24, 0, "BAA"}}},
        TCase{"HiddenCol132TakesTheRest", Repeat('a', 132) + "XYZ", 0, 132, {{0, 131, "aZ"}}},
        TCase{"CursorRightWrapOnSubtractsOnce", kWrapOn + E("^[[1;75H^[[10C"), 1, 4, {}},
        TCase{"CursorRightWrapOffClamps", E("^[[1;75H^[[10C"), 0, 79, {}},
        TCase{"CursorRightHugeWrapOn", kWrapOn + E("^[[1;75H^[[99999999999C"), 1, 132, {}},
        TCase{"CursorRightLastRowNoScroll",
              E("^[[1;1HQ^[[25;75H") + kWrapOn + E("^[[10C"),
              24,
              4,
              {{0, 0, "Q"}}},
        TCase{"TabFrom0", "\t", 0, 8, {}}, TCase{"TabFrom7", E("^[[1;8H\t"), 0, 8, {}},
        TCase{"TabStopsAtLastColumn", E("^[[1;77H\tX"), 0, 80, {{0, 79, "X"}}},
        TCase{"TabAtLastColumnStays", E("^[[1;80H\t"), 0, 79, {}},
        TCase{"TabInHiddenColumnStays", Repeat('A', 81) + "\t", 0, 81, {}},
        TCase{"BackSpaceStopsAtZero", "\b\bA\b", 0, 0, {{0, 0, "A"}}}));

INSTANTIATE_TEST_SUITE_P(
    CursorMoves, ScreenCase,
    ::testing::Values(TCase{"DownStopsAtLastRow", E("^[[24;1H^[[5B"), 24, 0, {}},
                      TCase{"DownHugeNoOverflow", E("^[[99999999999999B"), 24, 0, {}},
                      TCase{"DownNeverScrolls", E("A^[[25;1H^[[9B"), 24, 0, {{0, 0, "A"}}},
                      TCase{"UpClamps", E("^[[5;5H^[[9A"), 0, 4, {}},
                      TCase{"LeftClamps", E("^[[5;5H^[[9D"), 4, 0, {}},
                      TCase{"ZeroCountsAsOne", E("^[[5;5H^[[0A^[[0D"), 3, 3, {}},
                      TCase{"GotoRowCol", E("^[[12;40H"), 11, 39, {}},
                      TCase{"GotoClampsToLastCell", E("^[[99;999H"), 24, 79, {}},
                      TCase{"GotoRowOnly", E("^[[5H"), 4, 0, {}},
                      TCase{"GotoBlanksBeforeSemicolon", E("^[[5 ; 7f"), 4, 6, {}},
                      TCase{"GotoMissingRow", E("^[[;7H"), 0, 6, {}},
                      TCase{"GotoHugeNumbers", E("^[[4294967296;4294967296H"), 24, 79, {}},
                      TCase{"SaveRestore", E("^[[5;6H^[7^[[H^[8"), 4, 5, {}},
                      TCase{"RestoreTwiceGoesHome", E("^[[5;6H^[7^[[H^[8^[8"), 0, 0, {}},
                      TCase{"RestoreUnsavedGoesHome", E("^[[5;6H^[[u"), 0, 0, {}},
                      TCase{"SaveRestoreCsi", E("^[[10;10H^[[s^[[1;1H^[[u"), 9, 9, {}},
                      TCase{"LfKeepsColumn", "AB\nC", 1, 3, {{1, 2, "C"}}},
                      TCase{"CrLfGoesToColumn0", "AB\r\nC", 1, 1, {{1, 0, "C"}}}));

INSTANTIATE_TEST_SUITE_P(
    RegionScrolling, ScreenCase,
    ::testing::Values(
        TCase{"LfAtRegionBottomScrollsRegion",
              LabelledRows() + E("^[[44m^[[5;10r^[[10;1H\n"),
              9,
              0,
              {{3, 0, "d"}, {4, 0, "f"}, {8, 0, "j"}, {9, 0, " ", 7}, {10, 0, "k"}}},
        TCase{"LfBelowRegionJumpsToRegionBottom",
              LabelledRows() + E("^[[5;10r^[[16;1H\n"),
              9,
              0,
              {{4, 0, "f"}, {9, 0, " "}, {15, 0, "p"}, {16, 0, "q"}}},
        TCase{"LfAboveRegionJustMoves",
              LabelledRows() + E("^[[5;10r^[[3;1H\n"),
              3,
              0,
              {{3, 0, "d"}, {4, 0, "e"}, {9, 0, "j"}}},
        TCase{"ReverseLfAtRegionTop",
              LabelledRows() + E("^[[5;10r^[[5;1H^[M"),
              4,
              0,
              {{3, 0, "d"}, {4, 0, " ", 7}, {5, 0, "e"}, {9, 0, "i"}, {10, 0, "k"}}},
        TCase{
            "ReverseLfInsideMoves", LabelledRows() + E("^[[5;10r^[[7;1H^[M"), 5, 0, {{4, 0, "e"}}},
        TCase{"CsiSScrollsRegionWhereverCursorIs",
              LabelledRows() + E("^[[5;10r^[[20;3H^[[7S"),
              19,
              2,
              {{4, 0, "f"}, {9, 0, " "}, {19, 0, "t"}}},
        TCase{
            "LfOnLastRowScrollsScreen", LabelledRows() + "\n", 24, 1, {{0, 0, "b"}, {24, 0, " "}}},
        TCase{"RegionSet", E("^[[7;7H^[[5;10r"), 6, 6, {}, 4, 9},
        TCase{"RegionWithBlanks", E("^[[5 ; 10r"), 0, 0, {}, 4, 9},
        TCase{"RegionWholeScreen", E("^[[5;10r^[[1;25r"), 0, 0, {}, 0, 24},
        TCase{"RegionTopOnlyResets", E("^[[5;10r^[[5r"), 0, 0, {}, 0, 24},
        TCase{"RegionReversedResets", E("^[[5;10r^[[10;5r"), 0, 0, {}, 0, 24},
        TCase{"RegionOneRowRefused", E("^[[5;10r^[[5;5r"), 0, 0, {}, 0, 24},
        TCase{"RegionPastBottomResets", E("^[[5;10r^[[5;26r"), 0, 0, {}, 0, 24},
        TCase{"RegionNoParamsResets", E("^[[5;10r^[[r"), 0, 0, {}, 0, 24}));

INSTANTIATE_TEST_SUITE_P(
    InsertRemoveLines, ScreenCase,
    ::testing::Values(
        TCase{"InsertInsideRegion",
              LabelledRows() + E("^[[41m^[[5;10r^[[6;3H^[[2L"),
              5,
              0,
              {{4, 0, "e"},
               {5, 0, " ", 0x17},
               {6, 0, " ", 0x17},
               {7, 0, "f"},
               {9, 0, "h"},
               {10, 0, "k"}}},
        TCase{"InsertPastRegionBottomBlanksToBottom",
              LabelledRows() + E("^[[41m^[[5;10r^[[8;1H^[[3L"),
              7,
              0,
              {{6, 0, "g"}, {7, 0, " ", 0x17}, {9, 0, " ", 0x17}, {10, 0, "k"}}},
        TCase{"InsertAboveRegionTakesRowsBetween",
              LabelledRows() + E("^[[5;10r^[[2;1H^[[L"),
              1,
              0,
              {{0, 0, "a"}, {1, 0, " "}, {2, 0, "b"}, {9, 0, "i"}, {10, 0, "k"}}},
        TCase{"InsertBelowRegionChangesNothing",
              LabelledRows() + E("^[[5;10r^[[16;5H^[[L"),
              15,
              0,
              {{15, 0, "p"}, {16, 0, "q"}, {9, 0, "j"}}},
        TCase{"InsertZeroCountsAsOne",
              LabelledRows() + E("^[[1;1H^[[0L"),
              0,
              0,
              {{0, 0, " "}, {1, 0, "a"}, {24, 0, "x"}}},
        TCase{
            "RemoveInsideRegionBlanksWithNormal",
            LabelledRows() + E("^[[41m^[[5;10r^[[6;3H^[[2M"),
            5,
            0,
            {{4, 0, "e"}, {5, 0, "h"}, {7, 0, "j"}, {8, 0, " ", 7}, {9, 0, " ", 7}, {10, 0, "k"}}},
        TCase{"RemovePastRegionBottomUsesCurAttr",
              LabelledRows() + E("^[[41m^[[5;10r^[[8;1H^[[9M"),
              7,
              0,
              {{6, 0, "g"}, {7, 0, " ", 0x17}, {9, 0, " ", 0x17}, {10, 0, "k"}}},
        TCase{"RemoveHugeCount",
              LabelledRows() + E("^[[3;1H^[[99999999999M"),
              2,
              0,
              {{1, 0, "b"}, {2, 0, " "}, {24, 0, " "}}}));

INSTANTIATE_TEST_SUITE_P(
    InsertRemoveCells, ScreenCase,
    ::testing::Values(
        TCase{"RemoveThreeInTheMiddle",
              E("ABCDEFGHIJKLMNOP^[[41m^[[1;11H^[[3P"),
              0,
              10,
              {{0, 0, "ABCDEFGHIJNOP   ", 7}, {0, 77, "   ", 7}}},
        TCase{"RemoveMoreThanRestBlanksToEnd",
              kDigits80 + E("^[[41m^[[1;71H^[[20P"),
              0,
              70,
              {{0, 60, "0123456789"}, {0, 70, Repeat(' ', 10), 7}}},
        TCase{"RemoveAtLastColumn", kDigits80 + E("^[[1;80H^[[P"), 0, 79, {{0, 78, "8 "}}},
        TCase{"InsertNearEndErasesWithCurAttr",
              kDigits80 + E("^[[41m^[[1;79H^[[5@"),
              0,
              78,
              {{0, 77, "7", 7}, {0, 78, "  ", 0x17}}},
        TCase{
            "InsertShiftsAndDropsPastLastColumn",
            kDigits80 + E("^[[41m^[[1;3H^[[2@"),
            0,
            2,
            {{0, 0, "01", 7}, {0, 2, "  ", 0x17}, {0, 4, "2345", 7}, {0, 78, "67"}, {0, 80, " "}}},
        TCase{"InsertZeroCountsAsOne", E("ABC^[[1;1H^[[0@"), 0, 0, {{0, 0, " ABC"}}},
        TCase{"InsertHugeCount", E("ABC^[[1;2H^[[99999999999@"), 0, 1, {{0, 0, "A  "}}}));

INSTANTIATE_TEST_SUITE_P(
    Erasing, ScreenCase,
    ::testing::Values(
        TCase{"ClearScreenHomesWithCurAttr",
              LabelledRows() + E("^[[41m^[[2J"),
              0,
              0,
              {{0, 0, " ", 0x17}, {24, 79, " ", 0x17}}},
        TCase{"EraseToEndResetsCurAttr",
              LabelledRows() + E("^[[6;1HABCDEFG^[[6;5H^[[41m^[[J"),
              5,
              4,
              {{5, 0, "ABCD", 7}, {5, 4, "   ", 7}, {4, 0, "e"}, {6, 0, " ", 7}, {24, 0, " "}}},
        TCase{"EraseToCursorRowTakesWholeRows",
              LabelledRows() + E("^[[6;1Hffffff^[[6;3H^[[41m^[[1J"),
              5,
              2,
              {{0, 0, " ", 0x17}, {5, 0, "      ", 0x17}, {6, 0, "g"}}},
        TCase{"EraseBadParamChangesNothing",
              LabelledRows() + E("^[[3;1H^[[3J"),
              2,
              0,
              {{2, 0, "c"}, {24, 0, "y"}}},
        TCase{"EraseLineEnd",
              E("ABCDEFGH^[[1;4H^[[44m^[[K"),
              0,
              3,
              {{0, 0, "ABC", 7}, {0, 3, "     ", 0x47}, {0, 79, " ", 0x47}}},
        TCase{"EraseLineParamsActLike0", E("ABCDEFGH^[[1;4H^[[2K^[[1K"), 0, 3, {{0, 0, "ABC  "}}},
        TCase{"EraseLineInHiddenColumnKeepsIt",
              Repeat('A', 80) + E("B^[[K"),
              0,
              81,
              {{0, 79, "AB"}}}));

TEST(ScreenChanges, ChangedAreaFollowsTheEditingOperations) {
    TScreen s;
    s.ResetChanges();
    s.ProcessText("A");
    EXPECT_EQ(s.ChangedArea().Left, 0);
    EXPECT_EQ(s.ChangedArea().Right, 0);
    EXPECT_EQ(s.ChangedArea().Top, 0);
    EXPECT_EQ(s.ChangedArea().Bottom, 0);
    EXPECT_FALSE(s.AllChanged());

    s.ResetChanges();
    EXPECT_TRUE(s.ChangedArea().Empty());
    s.ProcessText(E("^[[4;6H^[[K"));
    EXPECT_EQ(s.ChangedArea().Left, 5);
    EXPECT_EQ(s.ChangedArea().Right, 80);
    EXPECT_EQ(s.ChangedArea().Top, 3);
    EXPECT_EQ(s.ChangedArea().Bottom, 3);

    s.ResetChanges();
    s.ProcessText(E("^[[4;6H^[[J"));
    EXPECT_FALSE(s.AllChanged());
    EXPECT_EQ(s.ChangedArea().Top, 3);
    EXPECT_EQ(s.ChangedArea().Bottom, 25);
    EXPECT_EQ(s.ChangedArea().Left, 0);
    EXPECT_EQ(s.ChangedArea().Right, 80);

    for (const char* seq : {"^[[1;5H^[[J", "^[[25;1H\n", "^[[L", "^[[M", "^[[H^[M", "^[[2J"}) {
        s.ResetChanges();
        s.ProcessText(E(seq));
        EXPECT_TRUE(s.AllChanged()) << seq;
        const TChangedArea before = s.ChangedArea();
        s.ProcessText(E("^[[25;80Hx")); // not extended while everything is changed
        EXPECT_EQ(s.ChangedArea().Bottom, before.Bottom) << seq;
        EXPECT_EQ(s.ChangedArea().Right, before.Right) << seq;
    }
}

TEST(ScreenRows, ScrollingMovesRowObjectsAndResizeKeepsEveryRowAddressable) {
    TScreen s;
    const TLine* top = &s.RowAt(0);
    s.ProcessText(E("^[[25;1H\n"));
    EXPECT_EQ(&s.RowAt(24), top); // the row object moved, nothing was copied
    EXPECT_EQ(&s.RowAt(99), &s.RowAt(24));

    s.ProcessText(E("^[[20;24r^[[23;1H"));
    s.ResizeRows(10);
    EXPECT_EQ(s.Rows(), 10);
    EXPECT_EQ(s.RegionBottom(), 9);
    EXPECT_LE(s.RegionTop(), s.RegionBottom());
    EXPECT_EQ(s.CurRow(), 9);
    s.ProcessText(E("\n\n^[M^[M^[[L^[[M^[[99BZ"));
    EXPECT_EQ(s.RowAt(9).Chars[0], 'Z');
    s.ResizeRows(0);
    EXPECT_EQ(s.Rows(), 1);
    s.ProcessText(E("A\nB^[M^[[5L"));
    s.ResizeRows(30);
    EXPECT_EQ(s.Rows(), 30);
    s.SetCols(500);
    EXPECT_EQ(s.Cols(), 133);
    s.SetCols(0);
    EXPECT_EQ(s.Cols(), 1);
    s.ProcessText(E("^[[H^[[?7hABC\t^[[5C^[[3P^[[3@"));
    EXPECT_EQ(s.RowAt(2).Chars[0], 'C');
    EXPECT_EQ(s.CurRow(), 3);
    EXPECT_EQ(s.CurCol(), 5);
}

} // namespace
} // namespace emulvt::test
