#include "installer/digest.h"

#include <cstdio>
#include <fstream>
#include <istream>
#include <vector>

#include <spdlog/spdlog.h>

#include "platform/sha256.h"

std::string to_hex(const unsigned char* data, std::size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0x0F];
    }
    return text;
}

namespace {

std::string hash_of(std::istream& file, bool marks)
{
    constexpr std::size_t block_size = 1048576;
    std::vector<char> block(block_size);
    platform::sha256_state* state = platform::sha256_begin();
    if (state == nullptr) {
        spdlog::error("Could not start SHA-256");
        return "";
    }
    bool ok = true;
    for (;;) {
        file.read(block.data(), static_cast<std::streamsize>(block_size));
        if (static_cast<std::size_t>(file.gcount()) != block_size || file.fail())
            break;
        if (marks) {
            std::fputs("#", stdout);
            std::fflush(stdout);
        }
        ok = platform::sha256_update(state, block.data(), block_size) && ok;
    }
    // A read error is not the end of the file: its digest would be another file's.
    ok = !file.bad() && platform::sha256_update(state, block.data(), static_cast<std::size_t>(file.gcount())) && ok;
    unsigned char digest[32];
    if (!platform::sha256_finish(state, digest) || !ok) {
        // Never hand back a digest of something other than the file's bytes.
        spdlog::error("Could not compute SHA-256");
        return "";
    }
    return to_hex(digest, sizeof digest);
}

}  // namespace

std::string get_file_hash(std::string path)
{
    std::ifstream file(path, std::ios::in | std::ios::binary);
    if (!file.is_open()) {
        spdlog::error("Could not open file for getting its hash");
        return "";
    }
    return hash_of(file, true);
}

std::string get_stream_hash(std::istream& in)
{
    return hash_of(in, false);
}
