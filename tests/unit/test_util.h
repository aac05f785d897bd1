#pragma once
// Helpers shared by the unit tests: scratch directories, files and captured log records.
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

namespace test {

inline std::filesystem::path make_scratch_dir(const std::string& name)
{
    static int counter = 0;
    auto dir = std::filesystem::temp_directory_path() /
               ("recovery-test-" + name + "-" + std::to_string(++counter) + "-" +
                std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

inline void write_file(const std::filesystem::path& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

inline std::string read_file(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Byte i of the test pattern; shared with the update server's generated bodies.
inline std::string pattern_bytes(std::size_t size)
{
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 31 + 7) & 0xFF);
    return data;
}

// Routes the default logger into a string for the lifetime of the object.
class log_capture {
public:
    log_capture()
    {
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(stream_);
        sink->set_pattern("%l %v");
        previous_ = spdlog::default_logger();
        spdlog::set_default_logger(std::make_shared<spdlog::logger>("capture", sink));
    }
    ~log_capture() { spdlog::set_default_logger(previous_); }
    // Records end as log files' do; compared here as plain lines.
    std::string text() const
    {
        std::string text = stream_.str();
        for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;)
            text.erase(at, 1);
        return text;
    }

private:
    std::ostringstream stream_;
    std::shared_ptr<spdlog::logger> previous_;
};

}  // namespace test
