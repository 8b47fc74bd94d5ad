// A fresh directory per test, removed with everything in it afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <unistd.h>

class TempDir {
public:
    // Created in `base`; empty means $TMPDIR or /tmp.
    explicit TempDir(std::string base = {}) {
        const char* t = std::getenv("TMPDIR");
        if (base.empty()) base = (t && *t) ? t : "/tmp";
        path_ = base + "/inistore-XXXXXX";
        if (!::mkdtemp(path_.data())) throw std::runtime_error("mkdtemp failed in " + base);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    // Entries in the directory: temporary files left behind show here.
    long Count() const { return std::distance(std::filesystem::directory_iterator(path_), {}); }

private:
    std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}
