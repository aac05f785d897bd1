#pragma once
// The environment variables the POSIX stand-ins honour, each read only here.
#include <string>

namespace platform {

// TMPDIR, or /tmp when it is unset or empty; always ending with '/'.
std::string temp_dir_from_environment();

// The CA bundle SSL_CERT_FILE names (as OpenSSL's own tools honour it); empty when
// unset or empty, for the system's roots.
std::string ca_bundle_from_environment();

}  // namespace platform
