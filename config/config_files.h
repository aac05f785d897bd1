#pragma once
// The agent's own files: configuration, inventory and version.
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// Opens and parses the first JSON value of a file. False after logging why.
bool read_json_file(const std::string& path, nlohmann::json& value);
// Parses the first JSON value of `text`. False after logging why.
bool parse_json_text(const std::string& text, nlohmann::json& value);

// The first whitespace-delimited word of the version file (possibly empty).
// False when the file cannot be opened.
bool read_agent_version(const std::string& path, std::string& version);

// The config must be an object whose server_proto, server_url and server_port are
// strings. On failure `problem` names the member and what is wrong with it.
bool check_config(const nlohmann::json& config, std::string& problem);

std::string compose_server_url(const nlohmann::json& config);  // needs check_config
bool server_uses_tls(const nlohmann::json& config);
bool url_uses_tls(const std::string& url);

// The inventory's alternative_urls. False, with `problem` set, when the document
// holds no usable list.
bool read_alternative_urls(const nlohmann::json& inventory, std::vector<std::string>& urls,
                           std::string& problem);

// "a string", "a number", ... for messages about documents of the wrong shape.
std::string json_kind(const nlohmann::json& value);
