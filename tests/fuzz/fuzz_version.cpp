// The agent's VERSION file.
#include <cctype>

#include "config/config_files.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& path = write_fuzz_input(data, size);
    std::string version;
    if (!read_agent_version(path, version))
        __builtin_trap();
    for (const char c : version)
        if (std::isspace(static_cast<unsigned char>(c)))
            __builtin_trap();  // one word, never any white space
    return 0;
}
