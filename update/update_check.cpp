#include "update/update_check.h"

#include <algorithm>
#include <filesystem>

#include <spdlog/spdlog.h>

#include "app/layout.h"
#include "config/config_files.h"
#include "update/download.h"

bool read_first_release(const nlohmann::json& descriptor, std::string& url, std::string& hash,
                        bool& listed, std::string& problem)
{
    listed = false;
    url.clear();
    if (descriptor.is_null())
        return true;
    if (!descriptor.is_object()) {
        problem = "the document is " + json_kind(descriptor) + ", not an object";
        return false;
    }
    const auto results = descriptor.find("results");
    if (results == descriptor.end() || results->is_null() || results->empty())
        return true;
    if (!results->is_array()) {
        problem = "results is " + json_kind(*results) + ", not an array";
        return false;
    }
    const nlohmann::json& release = results->front();
    if (!release.is_object()) {
        problem = "results[0] is " + json_kind(release) + ", not an object";
        return false;
    }
    for (const char* member : {"url", "hash"}) {
        const auto it = release.find(member);
        if (it == release.end()) {
            problem = std::string("results[0].") + member + " is missing";
            return false;
        }
        if (!it->is_string()) {
            problem = std::string("results[0].") + member + " is " + json_kind(*it) + ", not a string";
            return false;
        }
    }
    const std::string& announced = release["url"].get_ref<const std::string&>();
    // The URL is logged and fetched: a line break in it would forge log records.
    if (std::any_of(announced.begin(), announced.end(),
                    [](unsigned char c) { return c < 0x20 || c == 0x7F; })) {
        problem = "results[0].url holds a control character";
        return false;
    }
    url = announced;
    hash = release["hash"].get<std::string>();
    listed = true;
    return true;
}

bool read_descriptor(const std::string& path, std::string& url, std::string& hash, bool& listed)
{
    // A descriptor is a few hundred bytes; a huge answer would only cost memory to parse.
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (!error && size > max_descriptor_size) {
        spdlog::error("Update descriptor too large: {} bytes", size);
        return false;
    }
    nlohmann::json descriptor;
    if (!read_json_file(path, descriptor))
        return false;
    std::string problem;
    if (!read_first_release(descriptor, url, hash, listed, problem)) {
        spdlog::error("Unexpected update descriptor: {}", problem);
        return false;
    }
    return true;
}

std::string get_last_agent(const std::string& base_url, const std::string& platform,
                           const std::string& version, bool urgent, bool secure, bool& reached,
                           std::string& hash)
{
    const std::string query = base_url + "/api/updates/?platform=" + platform +
                              "&urgent=" + (urgent ? "true" : "false") + "&version=" + version;
    const std::string descriptor_path = get_temp_dir() + "last_agent.json";
    spdlog::info("Getting last {} agent from {} to {}", urgent ? "urgent" : "", query,
                 descriptor_path);

    if (download_file(query, descriptor_path, secure) == -1) {
        reached = false;
        spdlog::error("Could not download update file");
        return "";
    }
    reached = true;

    std::string url, release_hash;
    bool listed = false;
    if (!read_descriptor(descriptor_path, url, release_hash, listed))
        return "";
    if (listed)
        hash = release_hash;
    spdlog::info("Extracted \"{}\" from JSON", url);
    return url;
}

std::string find_urgent_update(const std::string& base_url, const std::string& version,
                               bool secure, bool& reached, std::string& hash)
{
    reached = false;
    std::string working_hash;
    bool working_reached = false;

    const std::string regular =
        get_last_agent(base_url, "windows", version, false, secure, working_reached, working_hash);
    if (!working_reached) {
        spdlog::info("Couldn't reach {}", base_url);
        return "";
    }

    working_reached = false;
    const std::string urgent =
        get_last_agent(base_url, "windows", version, true, secure, working_reached, working_hash);
    if (!working_reached) {
        spdlog::info("Couldn't reach {}", base_url);
        return "";
    }
    reached = true;

    if (urgent.empty() || urgent == regular) {
        spdlog::info("Couldn't detect an urgent update, stopping.");
        spdlog::info("Urgent: {}\nNon Urgent: {}", urgent, regular);
        return "";
    }
    hash = working_hash;
    return urgent;
}
