#pragma once
// Scratch directories and whole files for tests, on Linux and under Wine alike.
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

// A fresh directory of the caller's alone (mode 0700) under `under`, by default TMPDIR (or
// the system's temporary directory), named after `tag`. The caller removes it.
inline std::string make_temp_dir(const std::string& tag = "recovery-test", const std::string& under = "")
{
    namespace fs = std::filesystem;
    static std::mt19937_64 random{std::random_device{}()};
    const fs::path base = under.empty() ? fs::temp_directory_path() : fs::path(under);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path dir = base / (tag + "-" + std::to_string(random() % 1000000000));
        std::error_code error;
        // Fails for a name that exists: a directory planted there is never taken over.
        if (fs::create_directory(dir, error)) {
            fs::permissions(dir, fs::perms::owner_all, error);
            return dir.string();
        }
    }
    throw std::runtime_error("cannot make a temporary directory under " + base.string());
}

// Whole-file helpers; read_* return empty results for a missing file, write_file throws
// std::runtime_error if it cannot write.
inline std::string read_file(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::vector<std::string> read_lines(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

inline void write_file(const std::filesystem::path& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}
