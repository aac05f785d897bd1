// Update descriptors as a server may send them, read as the update check reads them.
#include "fuzz_input.h"
#include "update/update_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& path = write_fuzz_input(data, size);
    std::string url, hash = "untouched";
    bool listed = false;
    if (read_descriptor(path, url, hash, listed) && !listed && (!url.empty() || hash != "untouched"))
        __builtin_trap();  // nothing listed must leave both alone
    return 0;
}
