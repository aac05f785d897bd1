#pragma once
#include <cstdint>
#include <string>

// Installs the rotating file logger as the default logger. False (after saying so on
// the console) when the log file cannot be opened.
bool init_logging(const std::string& log_path);

constexpr std::size_t log_max_size = 0x500000;  // 5 MiB
constexpr std::size_t log_max_files = 2;
