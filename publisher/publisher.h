#pragma once
// The vendor's side of an urgent release, made of the endpoint's own code: the checks an
// endpoint makes of an installer, a site laid out for nginx, and a probe of a live server.
#include <string>

// Exit statuses, for scripts.
constexpr int exit_ok = 0;
constexpr int exit_no_urgent_release = 1;  // probe
constexpr int exit_not_reached = 2;        // probe
constexpr int exit_refused = 3;            // an endpoint would refuse, or the publisher does
constexpr int exit_usage = 64;             // bad input: nothing was changed
constexpr int exit_io = 74;                // the site could not be written
constexpr int exit_busy = 75;              // another change of the site held its lock too long

// Standard output is for verdicts, warnings and the facts asked for, one line each.
void say(const std::string& line);
// Bad input, said on standard error; returns exit_usage.
int input_error(const std::string& line);
// A file of the site that could not be written, said on standard error; returns exit_io.
int not_written(const std::string& path, const std::string& problem);

// agent_publish check MSI: the endpoint's verdict on the file.
int check_installer(const std::string& msi);

// agent_publish publish MSI --site DIR --base-url URL [--regular] [--untimestamped]
int publish_release(const std::string& msi, const std::string& site, const std::string& base_url, bool regular,
                    bool untimestamped, unsigned wait_seconds);

// agent_publish withdraw --site DIR
int withdraw_release(const std::string& site, unsigned wait_seconds);

// agent_publish probe BASE_URL --version V
int probe_server(const std::string& base_url, const std::string& version);

// Trusts only the roots in `bundle` from now on. False (already said) when it cannot.
bool use_roots(const std::string& bundle);

// Why `url` cannot be a site's base URL (http or https, a host, an optional port and path,
// nothing else), or "" when it can.
std::string base_url_problem(const std::string& url);

// True for an absolute http:// or https:// URL with a host.
bool is_http_url(const std::string& url);
