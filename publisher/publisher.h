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

// agent_publish check MSI: the endpoint's verdict on the file.
int check_installer(const std::string& msi);

// agent_publish publish MSI --site DIR --base-url URL [--regular]
int publish_release(const std::string& msi, const std::string& site, const std::string& base_url, bool regular);

// agent_publish withdraw --site DIR
int withdraw_release(const std::string& site);

// agent_publish probe BASE_URL --version V
int probe_server(const std::string& base_url, const std::string& version);

// Trusts only the roots in `bundle` from now on. False (already said) when it cannot.
bool use_roots(const std::string& bundle);

// True for an absolute http:// or https:// URL with a host.
bool is_http_url(const std::string& url);
