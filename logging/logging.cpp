#include "logging/logging.h"

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

bool init_logging(const std::string& log_path)
{
    spdlog::info("Creating logger at {}", log_path);
    std::shared_ptr<spdlog::logger> logger;
    try {
        logger = spdlog::rotating_logger_mt("recovery_logger", log_path, log_max_size, log_max_files,
                                            false);
    } catch (const spdlog::spdlog_ex&) {
        spdlog::info("Could not get logger, returning");
        return false;
    }
    spdlog::set_default_logger(logger);
    return true;
}
