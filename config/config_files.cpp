#include "config/config_files.h"

#include <fstream>
#include <sstream>

#include <spdlog/spdlog.h>

namespace {

// The program's one catch-all: whatever the parser throws, the text is no JSON for us.
bool parse_json(std::istream& in, nlohmann::json& value)
{
    try {
        in >> value;
    } catch (...) {
        spdlog::error("Caught exception when parsing JSON");
        return false;
    }
    return true;
}

}  // namespace

bool read_json_file(const std::string& path, nlohmann::json& value)
{
    std::ifstream file(path, std::ios::in | std::ios::binary);
    if (!file.is_open()) {
        spdlog::error("Could not open {}", path);
        return false;
    }
    return parse_json(file, value);
}

bool parse_json_text(const std::string& text, nlohmann::json& value)
{
    std::istringstream in(text);
    return parse_json(in, value);
}

bool read_agent_version(const std::string& path, std::string& version)
{
    std::ifstream file(path);
    if (!file.is_open())
        return false;
    file >> version;
    // A directory opens on POSIX but cannot be read; Windows refuses to open it.
    return !file.bad();
}

std::string json_kind(const nlohmann::json& value)
{
    switch (value.type()) {
    case nlohmann::json::value_t::null:
        return "null";
    case nlohmann::json::value_t::object:
        return "an object";
    case nlohmann::json::value_t::array:
        return "an array";
    case nlohmann::json::value_t::string:
        return "a string";
    case nlohmann::json::value_t::boolean:
        return "a boolean";
    case nlohmann::json::value_t::binary:
        return "binary data";
    case nlohmann::json::value_t::discarded:
        return "discarded";
    default:
        return "a number";
    }
}

bool check_config(const nlohmann::json& config, std::string& problem)
{
    if (!config.is_object()) {
        problem = "the document is " + json_kind(config) + ", not an object";
        return false;
    }
    for (const char* member : {"server_proto", "server_url", "server_port"}) {
        const auto it = config.find(member);
        if (it == config.end()) {
            problem = std::string(member) + " is missing";
            return false;
        }
        if (!it->is_string()) {
            problem = std::string(member) + " is " + json_kind(*it) + ", not a string";
            return false;
        }
    }
    return true;
}

std::string compose_server_url(const nlohmann::json& config)
{
    return config["server_proto"].get<std::string>() + "://" + config["server_url"].get<std::string>() + ":" +
           config["server_port"].get<std::string>();
}

bool server_uses_tls(const nlohmann::json& config)
{
    return config["server_proto"] == "https";
}

bool url_uses_tls(const std::string& url)
{
    return url.size() > 5 && url[4] == 's';
}

bool read_alternative_urls(const nlohmann::json& inventory, std::vector<std::string>& urls,
                           std::string& problem)
{
    if (!inventory.is_object()) {
        problem = "the document is " + json_kind(inventory) + ", not an object";
        return false;
    }
    const auto it = inventory.find("alternative_urls");
    if (it == inventory.end()) {
        problem = "alternative_urls is missing";
        return false;
    }
    if (!it->is_array()) {
        problem = "alternative_urls is " + json_kind(*it) + ", not an array";
        return false;
    }
    std::vector<std::string> found;
    for (std::size_t i = 0; i < it->size(); ++i) {
        const nlohmann::json& entry = (*it)[i];
        if (!entry.is_string()) {
            problem = "alternative_urls[" + std::to_string(i) + "] is " + json_kind(entry) + ", not a string";
            return false;
        }
        found.push_back(entry.get<std::string>());
    }
    urls = std::move(found);
    return true;
}
