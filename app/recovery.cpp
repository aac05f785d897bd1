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

// Deletes a refused installer; whether the deletion worked is not examined. The hold
// (null when none could be taken) is released first: it keeps everyone, this process
// included, from deleting it.
int refuse_installer(const std::string& installer_path, platform::file_hold* hold, const std::string& reason)
{
    spdlog::error(reason);
    platform::release_file(hold);
    std::remove(installer_path.c_str());
    spdlog::debug("File {} removed!", installer_path);
    return -1;
}

int locked_run();

}  // namespace

int run_recovery()
{
    // The log, the installer and msiexec's log must not be writable by other users.
    platform::restrict_new_files();
    uint32_t error = 0;
    if (platform::make_directory(get_var_dir(), error) == platform::mkdir_result::failed) {
        spdlog::error("var directory doesnt exist");
        return -1;
    }
    // One run at a time: a second one would overwrite or delete the installer the first
    // is checking or installing, and interleave its records with the first's. Taken
    // before the logger so that a second run writes nothing into the first one's log.
    // It stops at once rather than waiting: the first run waits for msiexec without a
    // time limit, and it installs what the second one would. Named no longer than the log,
    // so an APP path that leaves room for the log leaves room for the lock.
    const std::string lock_path = app_path({"var", "agent_recovery.lck"});
    platform::file_lock* lock = nullptr;
    switch (platform::lock_file(lock_path, lock, error)) {
    case platform::lock_result::locked:
        break;
    case platform::lock_result::busy:
        spdlog::error("Another recovery run holds {}, stopping", lock_path);
        return -1;
    case platform::lock_result::failed:
        spdlog::error("Could not lock {}: {}", lock_path, error);
        return -1;
    }
    const int status = locked_run();
    platform::release_lock(lock);
    return status;
}

namespace {

int locked_run()
{
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
    // Whatever is left at the installer's path (from a run of an older version, when var
    // may have been writable by others) is replaced, never reused.
    if (download_new_file(installer_url, installer_path, secure, no_size_limit) == -1) {
        spdlog::error("Couldn't download installer");
        return -1;
    }
    spdlog::info("Downloaded installer from {} to {}", installer_url, installer_path);

    // From here until msiexec returns, the bytes checked are the bytes installed. What
    // cannot be held so (a link or another user's file put there after the download) is
    // refused like a package with a wrong signature.
    std::string why;
    platform::file_hold* hold = platform::hold_file(installer_path, why);
    if (hold == nullptr)
        return refuse_installer(installer_path, nullptr,
                                fmt::format("The installer {} cannot be held for its checks ({}): refused",
                                            installer_path, why));

    if (verify_publisher(platform::narrow_to_utf16(installer_path)) == 0)
        return refuse_installer(installer_path, hold, "The signature is wrong");

    // A digest that could not be computed matches nothing, not even an empty "hash".
    const std::string actual_hash = get_file_hash(installer_path);
    if (actual_hash.empty() || actual_hash != expected_hash)
        return refuse_installer(installer_path, hold, "Downloaded hash did not match the one in json");

    const int exit_code = install_agent(installer_path);
    platform::release_file(hold);
    if (exit_code != 0) {
        spdlog::error("There was a problem installing the agent, exit_code {}", exit_code);
        return -1;
    }
    return 0;
}

}  // namespace
