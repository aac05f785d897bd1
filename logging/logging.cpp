#include "logging/logging.h"

#include <ctime>

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

// Records are stamped through time_t: a 32-bit one wraps in January 2038.
static_assert(sizeof(std::time_t) == 8, "time_t must be 64 bits wide, in the 32-bit Windows build too");

bool init_logging(const std::string& log_path)
{
    spdlog::info("Creating logger at {}", log_path);
    std::shared_ptr<spdlog::logger> logger;
    try {
        logger = spdlog::rotating_logger_mt("recovery_logger", log_path, log_max_size, log_max_files, false);
    } catch (const spdlog::spdlog_ex&) {
        spdlog::info("Could not get logger, returning");
        return false;
    }
    // Each record reaches the file as it is made: a full disk is reported on standard
    // error while the run goes on, and a run that dies keeps its records.
    logger->flush_on(spdlog::level::trace);
    spdlog::set_default_logger(logger);
    return true;
}
