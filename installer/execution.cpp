#include "installer/execution.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include <spdlog/spdlog.h>

#include "app/layout.h"
#include "platform/process.h"

std::string installer_command_line(const std::string& installer_path)
{
    return "msiexec /i \"" + installer_path + "\" /qn /L*v \"" + get_installer_log_path() + "\"";
}

int install_agent(const std::string& installer_path)
{
    const std::string command = installer_command_line(installer_path);

    // The process-creation call may write into its command line.
    std::unique_ptr<char[]> writable(new (std::nothrow) char[command.size() + 1]);
    if (!writable) {
        spdlog::error("Error copying command");
        return -1;
    }
    std::memcpy(writable.get(), command.c_str(), command.size() + 1);

    spdlog::info("Executing command \"{}\"", command);
    // Everything up to here must be on disk even if the installer never returns.
    spdlog::default_logger()->flush();

    uint32_t error = 0;
    platform::process* child = platform::process_start(writable.get(), error);
    if (child == nullptr) {
        spdlog::error("CreateProcess failed: {}", error);
        return -1;
    }
    if (!platform::process_wait(child, error)) {
        spdlog::error("Wait for install process failed with: {}", error);
        platform::process_close(child);
        return -1;
    }
    uint32_t code = 0;
    if (!platform::process_exit_code(child, code, error)) {
        spdlog::error("Could not get exit code: {}", error);
        platform::process_close(child);
        return -1;
    }
    spdlog::info("Installer returned with code {}", code);
    platform::process_close(child);
    return static_cast<int>(code);
}
