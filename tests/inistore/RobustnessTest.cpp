// Randomized robustness: thousands of generated settings files, then the same
// files mutated into garbage (flipped bytes, NULs, cut-off ends, binary noise,
// 100 000-character lines). Generated files are checked against the model they
// were generated from; mutated ones for sane behaviour: no crash, defaults for
// what is not there, a write that reads back and leaves every other entry as
// it was.
#include "IniEditor.h"
#include "ProfileFile.h"
#include "TempDir.h"

#include <gtest/gtest.h>
#include <map>
#include <random>

using namespace profile;

namespace {

const std::string Def = "\x01<default>";

std::string ShmOrTmp() {
    return ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "";
}

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

    // Names from a small pool so sections and entries repeat (in other letter cases).
    std::string Name() {
        static const char* pool[] = {"Options", "Sessions", "noname", "lab test", "Port1", "x",
                                     "Hints",   "Mode1",    "a b",    "Ports",    "COM1",  "k"};
        std::string n = pool[Int(0, 11)];
        if (Chance(30))
            for (char& c : n)
                if (Chance(50)) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return n;
    }
    std::string Value() {
        static const char* pool[] = {"1", "True", "-5", "$1F", "", "a b", "12abc", "x=y", "[z]"};
        return pool[Int(0, 8)];
    }
    std::string Blanks() {
        return std::string(static_cast<std::size_t>(Int(0, 2)), Chance(50) ? ' ' : '\t');
    }
    std::string Eol() { return Chance(70) ? "\r\n" : "\n"; }

    // A well-formed file plus lines that are no settings lines, and the values a
    // reader must see: first section occurrence, first entry occurrence.
    std::string File(std::map<std::string, std::map<std::string, std::string>>& model) {
        std::string s;
        std::map<std::string, bool> seenSection;
        std::string current;
        bool counting = false;
        int lines = Int(0, 40);
        for (int i = 0; i < lines; ++i) {
            int kind = Int(0, 9);
            if (kind <= 1) {
                current = Name();
                std::string key = Lower(current);
                counting = !seenSection[key];
                seenSection[key] = true;
                if (counting) model[key];
                s += Blanks() + "[" + Blanks() + current + Blanks() + "]" + Eol();
            } else if (kind <= 6) {
                std::string n = Name(), v = Value();
                s += Blanks() + n + Blanks() + "=" + Blanks() + v + Blanks() + Eol();
                if (counting && !model[Lower(current)].count(Lower(n)))
                    model[Lower(current)][Lower(n)] = v;
            } else {
                static const char* junk[] = {"; comment", "",   "=no name", "[no close",
                                             "plain",     "  ", "#x"};
                s += junk[Int(0, 6)] + Eol();
            }
        }
        if (!s.empty() && Chance(20)) s.erase(s.size() - (s.back() == '\n' ? 1 : 0));
        return s;
    }

    std::string Mutate(std::string s) {
        int n = Int(1, 4);
        for (int i = 0; i < n; ++i) {
            std::size_t at = s.empty() ? 0 : static_cast<std::size_t>(Int(0, int(s.size())));
            switch (Int(0, 6)) {
            case 0: // flip bytes
                for (int k = 0; k < 8 && !s.empty(); ++k)
                    s[static_cast<std::size_t>(Int(0, int(s.size()) - 1))] =
                        static_cast<char>(Int(0, 255));
                break;
            case 1:
                s.insert(at, static_cast<std::size_t>(Int(1, 4)), '\0');
                break;
            case 2:
                s.resize(at);
                break; // cut off
            case 3: {  // binary noise
                std::string noise(static_cast<std::size_t>(Int(1, 300)), '\0');
                for (char& c : noise)
                    c = static_cast<char>(Int(0, 255));
                s.insert(at, noise);
                break;
            }
            case 4: // a huge line, sometimes an entry (rarely: they are slow to churn)
                if (!Chance(20)) break;
                s.insert(at, (Chance(50) ? "\nhuge=" : "\n") +
                                 std::string(100000, Chance(50) ? 'v' : ' ') + "\n");
                break;
            case 5:
                s.insert(at, "\n[" + Name() + "\n=" + Value() + "\n");
                break;
            default:
                s.insert(at, std::string(1, "[]=\r\n\"'"[Int(0, 6)]));
                break;
            }
        }
        return s;
    }

private:
    std::mt19937 rng_;
};

TEST(Robustness, GeneratedFilesReadAsTheirModel) {
    TempDir dir(ShmOrTmp());
    std::string file = dir / "g.ini";
    Generator g(12345);
    for (int round = 0; round < 1500; ++round) {
        std::map<std::string, std::map<std::string, std::string>> model;
        std::string content = g.File(model);
        WriteFile(file, content);
        SCOPED_TRACE("round " + std::to_string(round) + ":\n" + content);
        for (int q = 0; q < 6; ++q) {
            std::string sec = g.Name(), ent = g.Name();
            auto s = model.find(Lower(sec));
            std::string expected = Def;
            if (s != model.end() && s->second.count(Lower(ent))) expected = s->second[Lower(ent)];
            ASSERT_EQ(GetString(file, sec, ent, Def), expected) << sec << "/" << ent;
        }
        ASSERT_EQ(GetSectionNames(file).size(), model.size());
        if (round % 3 == 0) {
            // A write changes exactly its entry.
            std::string sec = g.Name(), ent = g.Name();
            ASSERT_TRUE(WriteString(file, sec, ent, "written"));
            model[Lower(sec)][Lower(ent)] = "written";
            for (const auto& [sk, entries] : model)
                for (const auto& [ek, v] : entries)
                    ASSERT_EQ(GetString(file, sk, ek, Def), v);
        }
    }
}

TEST(Robustness, MutatedFilesNeverBreakReadsOrWrites) {
    TempDir dir(ShmOrTmp());
    std::string file = dir / "m.ini";
    Generator g(777);
    TIniEditor ini;
    ini.SetFileName(file);
    ini.SetFileLocation(PathInFileName);
    for (int round = 0; round < 2500; ++round) {
        std::map<std::string, std::map<std::string, std::string>> unused;
        std::string content = g.Mutate(g.File(unused));
        WriteFile(file, content);
        SCOPED_TRACE("round " + std::to_string(round));

        // Names that no file holds give the defaults.
        ASSERT_EQ(ini.ReadStr("Options", "NotThere", "d"), "d");
        ASSERT_EQ(ini.ReadInt("NoSuchSection", "x", -7), -7);
        ASSERT_EQ(ini.ReadBool("NoSuchSection", "x", true), true);

        // Everything listed can be read back; values keep the limits.
        std::vector<std::string> sections, entries, values;
        ini.ReadAllSections(sections);
        std::map<std::pair<std::string, std::string>, std::string> before;
        for (const auto& s : sections) {
            ASSERT_FALSE(s.empty());
            ini.ReadSection(s, entries);
            ini.ReadValues(s, values);
            ASSERT_EQ(values.size(), entries.size());
            for (std::size_t i = 0; i < entries.size(); ++i) {
                ASSERT_LE(values[i].size(), ValueLimit);
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
        for (const auto& [key, v] : before) {
            if (key == std::pair{Lower(sec), Lower(ent)}) continue;
            // Def, not "": every listed name must be found again.
            ASSERT_EQ(ini.ReadStr(key.first, key.second, Def), v) << key.first << "/" << key.second;
        }
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
