#pragma once
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

// One query of one server. Returns the first release's installer URL or "" and sets
// `reached` when the answer arrived; `hash` receives the release's digest.
std::string get_last_agent(const std::string& base_url, const std::string& platform,
                           const std::string& version, bool urgent, bool secure, bool& reached,
                           std::string& hash);

// Asks one server without and then with the urgency flag. Returns the urgent
// release's installer URL, or "" when the server offers none or was not reached.
std::string find_urgent_update(const std::string& base_url, const std::string& version, bool secure,
                               bool& reached, std::string& hash);

constexpr std::uintmax_t max_descriptor_size = 1024 * 1024;

// Reads a downloaded descriptor file: the first release's url and hash, `listed` false
// when none is listed. False (already logged) when the file is unreadable, too large,
// not JSON or of another shape, or not the file this run wrote.
bool read_descriptor(const std::string& path, std::string& url, std::string& hash, bool& listed);

// The same, telling apart a file that is not the one this run wrote (`not_ours`: a lost
// race with another user, the answer counts as not received) from an answer that
// cannot be used (`unusable`).
enum class descriptor_read { ok, unusable, not_ours };
descriptor_read read_own_descriptor(const std::string& path, std::string& url, std::string& hash,
                                    bool& listed);

// Reads the first release of an update descriptor. False, with `problem` set, when
// the document has another shape; otherwise `url` is "" when no release is listed.
bool read_first_release(const nlohmann::json& descriptor, std::string& url, std::string& hash, bool& listed,
                        std::string& problem);
