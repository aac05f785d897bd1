#include "platform/posix/environment.h"

#include <cstdlib>

namespace platform {

namespace {

std::string variable(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace

std::string temp_dir_from_environment()
{
    std::string dir = variable("TMPDIR");
    if (dir.empty())
        dir = "/tmp";
    if (dir.back() != '/')
        dir += '/';
    return dir;
}

std::string ca_bundle_from_environment()
{
    return variable("SSL_CERT_FILE");
}

}  // namespace platform
