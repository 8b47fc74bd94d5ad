// What a send hands to the queue: the whole file in order, cut for the pauses
// after characters and line ends; pasted text as bytes.
#include "SendPacer.h"
#include "PasteText.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <unistd.h>

namespace {
struct Piece {
    std::string Bytes;
    int Pause;
    bool operator==(const Piece&) const = default;
};
std::vector<Piece> Drain(TSendPacer& p, std::size_t max) {
    std::vector<Piece> out;
    while (!p.AtEnd()) {
        int pause = -1;
        std::string s = p.Next(max, pause);
        EXPECT_FALSE(s.empty());
        if (s.empty()) break;
        out.push_back({s, pause});
    }
    return out;
}
} // namespace

TEST(SendPacer, CutsAtCharactersAndLineEnds) {
    const std::string text = "ab\r\ncd\ne\rf";
    struct Case {
        int CharMs, LineMs;
        std::vector<Piece> Expect;
    } cases[] = {
        {0, 0, {{"ab\r\n", 0}, {"cd\ne", 0}, {"\rf", 0}}}, // max 4 bytes a piece
        {0, 50, {{"ab\r\n", 50}, {"cd\n", 50}, {"e\r", 50}, {"f", 0}}},
        {5,
         20,
         {{"a", 5},
          {"b", 5},
          {"\r", 5}, // CR of a CR LF pair: no line pause yet
          {"\n", 25},
          {"c", 5},
          {"d", 5},
          {"\n", 25},
          {"e", 5},
          {"\r", 25},
          {"f", 5}}},
    };
    for (const Case& c : cases) {
        TSendPacer p;
        p.SetBytes(text);
        p.SetDelays(c.CharMs, c.LineMs);
        EXPECT_EQ(Drain(p, 4), c.Expect) << c.CharMs << "/" << c.LineMs;
        EXPECT_EQ(p.Taken(), text.size());
    }
}

TEST(SendPacer, ReadsALargeFileInOrderAndRefusesMissingOnes) {
    char name[] = "/tmp/pacer-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    std::string data(1 << 20, '\0');
    std::mt19937 rng(3);
    for (char& c : data)
        c = static_cast<char>(rng());
    ASSERT_EQ(write(fd, data.data(), data.size()), ssize_t(data.size()));
    close(fd);

    for (int lineMs : {0, 1}) { // a line pause must not lose the look-ahead across blocks
        TSendPacer p;
        std::string error;
        ASSERT_TRUE(p.OpenFile(name, error)) << error;
        p.SetDelays(0, lineMs);
        EXPECT_EQ(p.Total(), data.size());
        std::string got;
        for (const Piece& piece : Drain(p, 100000))
            got += piece.Bytes;
        EXPECT_TRUE(got == data);
    }
    unlink(name);

    TSendPacer p;
    std::string error;
    EXPECT_FALSE(p.OpenFile(name, error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
    EXPECT_FALSE(p.OpenFile("/tmp", error));
}

TEST(PasteText, LineEndsBecomeCrLfAndCharactersWithoutAByteAreLeftOut) {
    const TPasteBytes p = PasteBytes(U"a\r\nb\nc\rd\u20AC\u00E9\u4E2D\U0001F600\te");
    EXPECT_EQ(p.Bytes, "a\r\nb\r\nc\r\nd\x80\xE9\te");
    EXPECT_EQ(p.Refused, 2u);
    EXPECT_EQ(PasteBytes(U"\r\n\r\n").Bytes, "\r\n\r\n");
}
