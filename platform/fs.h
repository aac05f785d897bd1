#pragma once
// File-system services the program needs from the operating system.
#include <cstdint>
#include <string>

namespace platform {

// Separator used when the program composes paths ('\\' on Windows, '/' elsewhere).
char path_separator();

// Full path of the running executable; empty when the system cannot tell.
std::string executable_path();

// The system's temporary directory, always ending with a separator.
// False when the system reports none (or one that does not fit its own limits).
bool system_temp_dir(std::string& dir);

// Makes `dir` this process's temporary directory: what system_temp_dir returns from now
// on, and what the programs it starts take. False when the environment cannot hold it.
bool use_temp_dir(const std::string& dir);

enum class mkdir_result { created, already_exists, failed };

// Creates exactly one directory level that only this process's user and the system's
// administrators can change. An existing directory is no failure; a file of that name,
// a link or a directory of another user is. On failure, `error` holds the system's error
// number.
// POSIX: created 0755 whatever the umask; an existing one loses any group/other write
// permission.
// Windows: created with a protected DACL (nothing inherited) granting full access to
// SYSTEM, Administrators and the token's user only; an existing one that is a reparse
// point or owned by anyone else is refused, and one whose DACL grants anything to
// anyone else, or is not protected, is given that DACL.
mkdir_result make_directory(const std::string& path, uint32_t& error);

// Files and directories this process creates from now on are not writable by group or
// other (POSIX umask); Windows files take the DACL they inherit from their directory.
void restrict_new_files();

// A lock held by this process until release_lock or its end. `busy`: another process
// holds it.
enum class lock_result { locked, busy, failed };
struct file_lock;
lock_result lock_file(const std::string& path, file_lock*& lock, uint32_t& error);
void release_lock(file_lock* lock);

// Output file for downloads: created if missing, truncated if present, shared with
// other processes. On POSIX a symbolic link at the last component is refused.
struct output_file;
output_file* open_output_file(const std::string& path);
// Writes all `size` bytes; false on any failure (disk full, I/O error).
bool write_output_file(output_file* file, const char* data, uint32_t size);
// Closes and frees; false when the system reports that data could not be written.
bool close_output_file(output_file* file);

// For files in directories other users can write: whatever is at `path` (file, link,
// FIFO) is removed and a new file created exclusively, never following a link or
// opening an existing file, and not writable by others while it is open. Null, with
// `problem`, when the entry cannot be removed (a directory, a read-only file, a file
// another process holds) or someone re-created one first.
output_file* create_new_output_file(const std::string& path, std::string& problem);

// Reads a file back only if it is the one this run made: a regular file owned by this
// process's user (Windows: the token's user or its default owner) with one link, and
// at most `max_size` bytes, all checked on the handle that reads it.
enum class own_file_result { ok, cannot_open, not_ours, too_large };
own_file_result read_own_file(const std::string& path, std::uintmax_t max_size, std::string& content,
                              std::uintmax_t& size, std::string& problem);

// Holds a file open for reading so that its bytes stay as they are until released. It
// must pass the checks of read_own_file on the holding handle: a regular file (not a
// link or reparse point) of this process's user with one link. On Windows others may
// then only read it (writes, deletes and renames fail); on POSIX only this user can
// change it in a directory only it can write. Null, with `problem`, otherwise.
struct file_hold;
file_hold* hold_file(const std::string& path, std::string& problem);
void release_file(file_hold* hold);

}  // namespace platform
