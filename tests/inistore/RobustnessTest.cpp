// Randomized robustness: thousands of generated settings files, each read
// against the model it was generated from, then mutated into garbage (flipped
// bytes, NULs, cut-off ends, binary noise, 100 000-character lines) and checked
// for sane behaviour: no crash, defaults for what is not there, a write that
// reads back and leaves every other entry as it was.
#include "IniEditor.h"
#include "ProfileFile.h"
#include "TempDir.h"

#include <gtest/gtest.h>
#include <map>
#include <random>

namespace {

using Model = std::map<std::string, std::map<std::string, std::string>>; // lower-case names
const std::string Def = "\x01<default>";

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

class Generator {
public:
    explicit Generator(unsigned seed) : rng_(seed) {}
    int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool Chance(int percent) { return Int(1, 100) <= percent; }

    // Names from a small pool so sections and entries repeat, in other letter cases.
    std::string Name() {
        static const char* pool[] = {"Options", "Sessions", "noname", "lab test",
                                     "Port1",   "x",        "Ports",  "k"};
        std::string n = pool[Int(0, 7)];
        for (char& c : n)
            if (c >= 'a' && c <= 'z' && Chance(15)) c = static_cast<char>(c - 'a' + 'A');
        return n;
    }
    std::string Value() {
        static const char* pool[] = {"1", "True", "-5", "$1F", "", "a b", "12abc", "x=y", "[z]"};
        return pool[Int(0, 8)];
    }
    std::string Blanks() { return std::string(std::size_t(Int(0, 2)), Chance(50) ? ' ' : '\t'); }

    // Settings lines mixed with lines that are none; the model holds what a reader
    // must see: the first occurrence of each section and of each entry in it.
    std::string File(Model& model) {
        std::string s, current;
        bool counting = false;
        for (int i = Int(0, 40); i > 0; --i) {
            int kind = Int(0, 9);
            std::string n = Name(), v = Value(), eol = Chance(70) ? "\r\n" : "\n";
            if (kind <= 1) {
                current = Lower(n);
                counting = model.try_emplace(current).second;
                s += Blanks() + "[" + Blanks() + n + Blanks() + "]" + eol;
            } else if (kind <= 6) {
                s += Blanks() + n + Blanks() + "=" + Blanks() + v + Blanks() + eol;
                if (counting) model[current].try_emplace(Lower(n), v);
            } else {
                static const char* junk[] = {"; comment", "", "=no name", "[no close", "plain"};
                s += junk[Int(0, 4)] + eol;
            }
        }
        if (!s.empty() && Chance(20)) s.pop_back(); // no final line end
        return s;
    }

    // Garbage: flipped bytes, NULs, a cut-off end, binary noise, lines of 100 000
    // characters (sometimes an entry), "[" without "]", "=" without a name.
    std::string Mutate(std::string s) {
        for (int i = Int(1, 4); i > 0; --i) {
            int kind = Int(0, 6);
            std::size_t at = std::size_t(Int(0, int(s.size())));
            std::string add;
            for (int k = 0; kind == 0 && k < 8 && !s.empty(); ++k) // flipped bytes
                s[std::size_t(Int(0, int(s.size()) - 1))] = char(Int(0, 255));
            for (int k = kind == 1 ? Int(1, 300) : 0; k > 0; --k) // binary noise
                add += char(Int(0, 255));
            if (kind == 2) add.assign(std::size_t(Int(1, 4)), '\0');
            if (kind == 3) s.resize(at);
            if (kind == 4 && Chance(20)) // rarely: they are slow to churn
                add = (Chance(50) ? "\nhuge=" : "\n") +
                      std::string(100000, Chance(50) ? 'v' : ' ') + "\n";
            if (kind == 5) add = "\n[" + Name() + "\n=" + Value() + "\n";
            if (kind == 6) add = "[]=\r\n\"'"[Int(0, 6)];
            s.insert(at, add);
        }
        return s;
    }

private:
    std::mt19937 rng_;
};

TEST(Robustness, GeneratedFilesReadAsTheirModelAndMutatedOnesNeverBreak) {
    TempDir dir(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "");
    std::string file = dir / "r.ini";
    TIniEditor ini;
    ini.SetFileName(file);
    ini.SetFileLocation(PathInFileName);
    Generator g(12345);
    for (int round = 0; round < 2500; ++round) {
        Model model;
        std::string content = g.File(model);
        WriteFile(file, content);
        SCOPED_TRACE("round " + std::to_string(round) + ":\n" + content);
        for (int q = 0; q < 6; ++q) {
            std::string sec = g.Name(), ent = g.Name();
            auto s = model.find(Lower(sec));
            std::string expected = Def;
            if (s != model.end() && s->second.count(Lower(ent))) expected = s->second[Lower(ent)];
            ASSERT_EQ(profile::GetString(file, sec, ent, Def), expected) << sec << "/" << ent;
        }
        ASSERT_EQ(profile::GetSectionNames(file).size(), model.size());

        WriteFile(file, g.Mutate(content));
        // Names that no file holds give the defaults.
        ASSERT_EQ(ini.ReadStr("Options", "NotThere", "d"), "d");
        ASSERT_EQ(ini.ReadInt("NoSuchSection", "x", -7), -7);
        ASSERT_EQ(ini.ReadBool("NoSuchSection", "x", true), true);
        // Everything listed can be read back; values keep the limits.
        std::vector<std::string> sections, entries, values;
        std::map<std::pair<std::string, std::string>, std::string> before;
        ini.ReadAllSections(sections);
        for (const auto& s : sections) {
            ASSERT_FALSE(s.empty());
            ini.ReadSection(s, entries);
            ini.ReadValues(s, values);
            ASSERT_EQ(values.size(), entries.size());
            for (std::size_t i = 0; i < entries.size(); ++i) {
                ASSERT_LE(values[i].size(), profile::ValueLimit);
                ASSERT_EQ(values[i].find('\0'), std::string::npos);
                before[{Lower(s), Lower(entries[i])}] = values[i];
            }
        }
        (void)ini.ReadInt("Options", "Hints", 0);
        (void)ini.ReadReal("Options", "Hints", 0);

        // A write reads back and leaves every other entry as it was.
        std::string sec = g.Name(), ent = g.Name(), val = "v" + std::to_string(round);
        ini.WriteStr(sec, ent, val);
        ASSERT_EQ(ini.ReadStr(sec, ent, "d"), val);
        before.erase({Lower(sec), Lower(ent)});
        for (const auto& [key, v] : before) // Def: every listed name is found again
            ASSERT_EQ(ini.ReadStr(key.first, key.second, Def), v) << key.first << "/" << key.second;
        if (round % 4 == 0) {
            ini.EraseEntry(sec, ent);
            ASSERT_EQ(ini.ReadStr(sec, ent, "d"), "d");
        } else if (round % 4 == 1) {
            ini.EraseSection(sec);
            ini.ReadAllSections(sections);
            for (const auto& s : sections)
                ASSERT_NE(Lower(s), Lower(sec));
        }
    }
}

} // namespace
