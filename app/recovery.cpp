#include "app/recovery.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include "app/layout.h"
#include "config/config_files.h"
#include "installer/authenticity.h"
#include "installer/digest.h"
#include "installer/execution.h"
#include "logging/logging.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "update/download.h"
#include "update/update_check.h"

namespace {

// Deletes a refused installer; whether the deletion worked is not examined.
int refuse_installer(const std::string& installer_path, const char* reason)
{
    spdlog::error(reason);
    std::remove(installer_path.c_str());
    spdlog::debug("File {} removed!", installer_path);
    return -1;
}

}  // namespace

int run_recovery()
{
    uint32_t error = 0;
    if (platform::make_directory(get_var_dir(), error) == platform::mkdir_result::failed) {
        spdlog::error("var directory doesnt exist");
        return -1;
    }
    if (!init_logging(get_log_path()))
        return -1;

    spdlog::info("Starting Recovery agent {}", program_version);

    nlohmann::json config;
    spdlog::info("Getting configuration file from {}", get_config_path());
    if (!read_json_file(get_config_path(), config))
        return -1;

    nlohmann::json inventory;
    std::vector<std::string> alternative_urls;
    spdlog::info("Getting configuration file from {}", get_inventory_path());
    if (!read_json_file(get_inventory_path(), inventory)) {
        spdlog::info("Couldn't find inventory conf. We continue with just the config");
    } else {
        std::string problem;
        if (!read_alternative_urls(inventory, alternative_urls, problem))
            spdlog::info("Unusable inventory conf ({}). We continue with just the config", problem);
    }

    std::string problem;
    if (!check_config(config, problem)) {
        spdlog::error("Invalid configuration: {}", problem);
        return -1;
    }
    std::string base_url = compose_server_url(config);
    spdlog::info("The API server is {}", base_url);

    std::string version;
    if (!read_agent_version(get_version_path(), version)) {
        spdlog::error("Could not open file {}", get_version_path());
        return -1;
    }
    spdlog::info("The version is {}", version);

    bool secure = server_uses_tls(config);
    spdlog::info("Using TLS: {}", secure);

    bool reached = false;
    std::string expected_hash;
    std::string installer_url = find_urgent_update(base_url, version, secure, reached, expected_hash);
    for (std::size_t i = 0; !reached && i < alternative_urls.size(); ++i) {
        base_url = alternative_urls[i];
        secure = url_uses_tls(base_url);
        installer_url = find_urgent_update(base_url, version, secure, reached, expected_hash);
    }
    if (!reached) {
        spdlog::info("We have not reached any url, so we stop here");
        return 0;
    }
    if (installer_url.empty()) {
        spdlog::info("We reached the url and didn't get any updates, so we stop here");
        return 0;
    }
    spdlog::info("Found new urgent update: {}", installer_url);

    const std::string installer_path = get_installer_path();
    if (download_file(installer_url, installer_path, secure) == -1) {
        spdlog::error("Couldn't download installer");
        return -1;
    }
    spdlog::info("Downloaded installer from {} to {}", installer_url, installer_path);

    if (verify_publisher(platform::narrow_to_utf16(installer_path)) == 0)
        return refuse_installer(installer_path, "The signature is wrong");

    // A digest that could not be computed matches nothing, not even an empty "hash".
    const std::string actual_hash = get_file_hash(installer_path);
    if (actual_hash.empty() || actual_hash != expected_hash)
        return refuse_installer(installer_path, "Downloaded hash did not match the one in json");

    const int exit_code = install_agent(installer_path);
    if (exit_code != 0) {
        spdlog::error("There was a problem installing the agent, exit_code {}", exit_code);
        return -1;
    }
    return 0;
}
