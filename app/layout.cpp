#include "app/layout.h"

#include <spdlog/spdlog.h>

#include "platform/fs.h"

std::string get_app_dir()
{
    const std::string exe = platform::executable_path();
    const std::string::size_type cut = exe.find_last_of("\\/");
    if (cut == std::string::npos)
        return exe;
    return exe.substr(0, cut);
}

std::string app_path(std::initializer_list<const char*> parts)
{
    std::string path = get_app_dir();
    for (const char* part : parts) {
        path += platform::path_separator();
        path += part;
    }
    return path;
}

std::string get_config_path()
{
    return app_path({"etc", "config"});
}
std::string get_inventory_path()
{
    return app_path({"etc", "inventory.conf"});
}
std::string get_version_path()
{
    return app_path({"VERSION"});
}
std::string get_log_path()
{
    return app_path({"var", "agent_recovery.log"});
}
std::string get_var_dir()
{
    return app_path({"var"});
}
std::string get_installer_path()
{
    return app_path({"var", "agent_recovery.msi"});
}
std::string get_installer_log_path()
{
    return app_path({"var", "update-agent-emergency.log"});
}

std::string get_temp_dir()
{
    std::string dir;
    if (platform::system_temp_dir(dir))
        return dir;
    spdlog::error("Could not get temp dir, using APP\\var\\");
    return get_var_dir() + platform::path_separator();
}
