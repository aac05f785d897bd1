#include "update/update_check.h"

#include <algorithm>

#include <spdlog/spdlog.h>

#include "app/layout.h"
#include "config/config_files.h"
#include "platform/fs.h"
#include "update/download.h"

bool read_first_release(const nlohmann::json& descriptor, std::string& url, std::string& hash, bool& listed,
                        std::string& problem)
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

descriptor_read read_own_descriptor(const std::string& path, std::string& url, std::string& hash,
                                    bool& listed)
{
    // A descriptor is a few hundred bytes; a huge answer would only cost memory to parse.
    // Its size is measured on the handle that reads it, never by the path again.
    std::string text, problem;
    std::uintmax_t size = 0;
    switch (platform::read_own_file(path, max_descriptor_size, text, size, problem)) {
    case platform::own_file_result::ok:
        break;
    case platform::own_file_result::cannot_open:
        spdlog::error("Could not open {}", path);
        return descriptor_read::unusable;
    case platform::own_file_result::not_ours:
        spdlog::error("Update descriptor {} is not the file this run wrote ({}): answer discarded", path,
                      problem);
        return descriptor_read::not_ours;
    case platform::own_file_result::too_large:
        spdlog::error("Update descriptor too large: more than {} bytes", max_descriptor_size);
        return descriptor_read::unusable;
    }
    nlohmann::json descriptor;
    if (!parse_json_text(text, descriptor))
        return descriptor_read::unusable;
    if (!read_first_release(descriptor, url, hash, listed, problem)) {
        spdlog::error("Unexpected update descriptor: {}", problem);
        return descriptor_read::unusable;
    }
    return descriptor_read::ok;
}

bool read_descriptor(const std::string& path, std::string& url, std::string& hash, bool& listed)
{
    return read_own_descriptor(path, url, hash, listed) == descriptor_read::ok;
}

namespace {

std::string query_into(const std::string& query, bool urgent, bool secure, const std::string& descriptor_path,
                       bool& reached, std::string& hash)
{
    spdlog::info("Getting last {} agent from {} to {}", urgent ? "urgent" : "", query, descriptor_path);

    // The temporary directory is shared: never reuse or follow what another user put there,
    // and never let it decide whether the server answered. What cannot take the answer
    // there hands it to var, which only this user can write.
    const std::string in_var = get_var_dir() + platform::path_separator() + "last_agent.json";
    std::string written;
    if (download_descriptor(query, descriptor_path, in_var, secure, max_descriptor_size, written) == -1) {
        reached = false;
        spdlog::error("Could not download update file");
        return "";
    }
    reached = true;

    std::string url, release_hash;
    bool listed = false;
    switch (read_own_descriptor(written, url, release_hash, listed)) {
    case descriptor_read::ok:
        break;
    case descriptor_read::not_ours:
        // Someone changed the file between its writing and its reading: the answer is
        // asked for again, into var.
        if (written != in_var)
            return query_into(query, urgent, secure, in_var, reached, hash);
        reached = false;
        return "";
    case descriptor_read::unusable:
        return "";
    }
    if (listed)
        hash = release_hash;
    spdlog::info("Extracted \"{}\" from JSON", url);
    return url;
}

}  // namespace

std::string get_last_agent(const std::string& base_url, const std::string& platform,
                           const std::string& version, bool urgent, bool secure, bool& reached,
                           std::string& hash)
{
    const std::string query = base_url + "/api/updates/?platform=" + platform +
                              "&urgent=" + (urgent ? "true" : "false") + "&version=" + version;
    return query_into(query, urgent, secure, get_temp_dir() + "last_agent.json", reached, hash);
}

std::string find_urgent_update(const std::string& base_url, const std::string& version, bool secure,
                               bool& reached, std::string& hash)
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
