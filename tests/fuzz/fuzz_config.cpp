// The agent's configuration and inventory, read as a run reads them.
#include "config/config_files.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& path = write_fuzz_input(data, size);
    nlohmann::json document;
    if (!read_json_file(path, document))
        return 0;
    std::string problem;
    if (check_config(document, problem)) {
        const std::string url = compose_server_url(document);
        if (url.size() < 5)
            __builtin_trap();  // at least "://" and ":" around the members
        (void)server_uses_tls(document);
    }
    std::vector<std::string> urls;
    if (read_alternative_urls(document, urls, problem))
        for (const std::string& url : urls)
            (void)url_uses_tls(url);
    return 0;
}
