#pragma once
// The bytes of the update server's generated bodies ("generate_bytes"): a client's copy of
// any length is checked without the server sending what to expect.
#include <cstddef>
#include <cstdint>
#include <string>

inline unsigned char pattern_byte(std::uint64_t i)
{
    return static_cast<unsigned char>((i * 31 + 7) & 0xFF);
}

inline std::string pattern_bytes(std::size_t size)
{
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>(pattern_byte(i));
    return data;
}
