#pragma once
// Fuzz inputs reach the code as files, as the agent's files and the server's answers do.
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

inline const std::string& fuzz_input_path()
{
    static const std::string path = [] {
        const char* dir = std::getenv("TMPDIR");
        std::string p =
            std::string(dir && *dir ? dir : "/tmp") + "/recovery-fuzz-" + std::to_string(::getpid());
        // Messages are part of the code under test but not worth the console's time.
        spdlog::set_default_logger(
            std::make_shared<spdlog::logger>("fuzz", std::make_shared<spdlog::sinks::null_sink_mt>()));
        return p;
    }();
    return path;
}

inline const std::string& write_fuzz_input(const uint8_t* data, size_t size)
{
    const std::string& path = fuzz_input_path();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file != nullptr) {
        if (size > 0)
            std::fwrite(data, 1, size, file);
        std::fclose(file);
    }
    return path;
}
