#pragma once
// Child processes started from a Windows-style command line.
#include <cstdint>

namespace platform {

struct process;

// Starts the program named by the first word of `command_line` (searched as the
// platform searches: program directory and PATH on Windows, PATH on POSIX).
// `command_line` may be modified by the system. Null on failure, with `error` set.
process* process_start(char* command_line, uint32_t& error);

// Waits without a time limit. False on failure, with `error` set.
bool process_wait(process* child, uint32_t& error);

// The exit code as a 32-bit unsigned value. False on failure, with `error` set.
bool process_exit_code(process* child, uint32_t& code, uint32_t& error);

// Releases the process and thread handles.
void process_close(process* child);

}  // namespace platform
