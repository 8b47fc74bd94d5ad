// Settings store against a 10 MB settings file: one ReadStr (entry in the last
// section, so the whole file is scanned), one ReadStr of a missing section, one
// WriteStr into the last section (the whole file is rewritten and synced), and
// one whole session save as the window makes it: a transaction of 24 writes,
// the file locked, read, changed and replaced once.
// Prints the figures; targets: read < 50 ms, write < 200 ms, save < 500 ms.
#include "IniEditor.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

double Millis(const std::function<void()>& f) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

void Report(const char* what, std::vector<double> ms, double target) {
    std::sort(ms.begin(), ms.end());
    std::printf("%-44s min %7.2f ms  median %7.2f ms  max %7.2f ms  (target < %.0f ms)\n", what,
                ms.front(), ms[ms.size() / 2], ms.back(), target);
}

} // namespace

int main(int argc, char** argv) {
    const char* tmp = std::getenv("TMPDIR");
    std::string dirTemplate =
        std::string(argc > 1 ? argv[1] : (tmp && *tmp ? tmp : "/tmp")) + "/inistore-bench-XXXXXX";
    if (!::mkdtemp(dirTemplate.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string file = dirTemplate + "/Zelmar.ini";
    {
        std::ofstream out(file, std::ios::binary);
        out << "[Sessions]\r\n";
        std::size_t size = 0;
        int sessions = 0;
        std::string text;
        while (size < 10'000'000) {
            std::string name = "session" + std::to_string(sessions++);
            text = "[" + name + "]\r\n";
            for (const char* e :
                 {"PosX",    "PosY",    "HalfSize", "Port1", "Port2", "Baud1", "Baud2",
                  "Parity1", "Parity2", "Data1",    "Data2", "Stop1", "Stop2", "HSK1",
                  "HSK2",    "RTS1",    "RTS2",     "DTR1",  "DTR2",  "Mode1", "Mode2"})
                text += std::string(e) + "=" + std::to_string(sessions % 97) + "\r\n";
            out << text;
            size += text.size();
        }
        out << "[Last]\r\nentry=found\r\n";
        std::printf("settings file: %s, %zu bytes, %d sections\n", file.c_str(),
                    static_cast<std::size_t>(std::filesystem::file_size(file)), sessions + 2);
    }

    TIniEditor ini;
    ini.SetFileName(file);
    ini.SetFileLocation(PathInFileName);
    const int runs = 15;
    std::vector<double> read, missing, write, save;
    std::string value;
    for (int i = 0; i < runs; ++i) {
        read.push_back(Millis([&] { value = ini.ReadStr("Last", "entry", "missing"); }));
        if (value != "found") {
            std::fprintf(stderr, "read gave %s\n", value.c_str());
            return 1;
        }
        missing.push_back(Millis([&] { value = ini.ReadStr("NoSection", "entry", "d"); }));
        write.push_back(Millis([&] { ini.WriteStr("Last", "entry2", std::to_string(i)); }));
        if (ini.ReadStr("Last", "entry2", "") != std::to_string(i)) {
            std::fprintf(stderr, "write did not land\n");
            return 1;
        }
    }
    Report("ReadStr, entry in the last section", read, 50);
    Report("ReadStr, missing section (full scan)", missing, 50);
    for (int i = 0; i < runs; ++i) {
        const std::string section = "bench" + std::to_string(i);
        save.push_back(Millis([&] {
            ini.Update([&] {
                std::vector<std::string> names;
                ini.ReadSection("Sessions", names);
                ini.WriteStr("Sessions", section, " ");
                for (int k = 0; k < 3; ++k)
                    ini.WriteInt("Options", "o" + std::to_string(k), i);
                for (int k = 0; k < 21; ++k)
                    ini.WriteInt(section, "e" + std::to_string(k), k);
            });
        }));
        if (ini.ReadInt(section, "e20", -1) != 20) {
            std::fprintf(stderr, "save did not land\n");
            return 1;
        }
    }
    Report("WriteStr into the last section (fsync)", write, 200);
    Report("session save, 24 writes in one transaction", save, 500);
    std::filesystem::remove_all(dirTemplate);
    return 0;
}
