#pragma once
#include <istream>
#include <string>

// SHA-256 of the file's content as 64 lower-case hex digits, or "" when the file cannot
// be opened. Prints one "#" on standard output per full MiB read.
std::string get_file_hash(std::string path);

// The same digest of what `in` holds from its position to its end, without progress marks:
// for tools whose standard output is for a person. "" when it cannot be read whole.
std::string get_stream_hash(std::istream& in);

// Renders bytes as lower-case hexadecimal.
std::string to_hex(const unsigned char* data, std::size_t size);
