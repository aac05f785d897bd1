#pragma once
// File services for the vendor's tools, which change a directory that web servers read:
// names in any language (std::filesystem paths: UTF-16 on Windows), durable writes, a lock
// that other processes and machines sharing the directory respect, and renames that never
// let a reader see half a file.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace platform {

// The command line as UTF-8, whatever the system's code page (Windows: from the wide
// command line, not the ANSI argv). Standard output takes UTF-8 from then on.
std::vector<std::string> utf8_arguments(int argc, char** argv);

// An exclusive lock on `path` (created if missing), waited for up to `wait_ms`. It is
// released by release_site_lock or by the end of the process, however it ends.
enum class site_lock_result { locked, busy, failed };
struct site_lock;
site_lock_result lock_site(const std::filesystem::path& path, unsigned wait_ms, site_lock*& lock,
                           std::string& problem);
void release_site_lock(site_lock* lock);

// A file created exclusively at `path` (never an existing file or link), readable by the
// web server (POSIX: mode 0644; Windows: the ACL inherited from its directory).
struct new_file;
new_file* create_new_file(const std::filesystem::path& path, std::string& problem);
bool write_new_file(new_file* file, const char* data, std::size_t size, std::string& problem);
// Flushes the file to the disk and closes it; false, with `problem`, when either fails.
// The file is closed (and `file` freed) in any case.
bool finish_new_file(new_file* file, std::string& problem);

// Renames `from` to `to` only if nothing is at `to`; `exists` when something is, and then
// neither is changed.
enum class move_result { moved, exists, failed };
move_result move_new_file(const std::filesystem::path& from, const std::filesystem::path& to,
                          std::string& problem);

// Renames `from` over `to` in one step: a reader opens either the old file or the new one.
// The new file takes the old one's access rights (Windows: its ACL). Retried for up to
// `wait_ms` while another process (a web server reading it) keeps the rename from
// happening; false, with `problem`, after that.
bool move_over_file(const std::filesystem::path& from, const std::filesystem::path& to, unsigned wait_ms,
                    std::string& problem);

// Makes the renames into `dir` durable (POSIX: fsync of the directory; nothing to do on
// Windows, whose renames are journaled with the file system's metadata).
void flush_directory(const std::filesystem::path& dir);

}  // namespace platform
