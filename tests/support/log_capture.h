#pragma once
// The default logger routed into a string for the lifetime of the object, one
// "level message" line per record.
#include <memory>
#include <sstream>
#include <string>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

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
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;
    // Records end as log files' do (CRLF on Windows); compared here as plain lines.
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
