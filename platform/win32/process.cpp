#include "platform/process.h"

#include <windows.h>

namespace platform {

struct process {
    PROCESS_INFORMATION info;
};

process* process_start(char* command_line, uint32_t& error)
{
    // The search for the program's bare name must not include the current directory:
    // an operator's working directory may hold a msiexec.exe of anyone's. The child
    // inherits the variable too, which does no harm.
    SetEnvironmentVariableA("NoDefaultCurrentDirectoryInExePath", "1");
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(nullptr, command_line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        error = GetLastError();
        return nullptr;
    }
    return new process{info};
}

bool process_wait(process* child, uint32_t& error)
{
    if (WaitForSingleObject(child->info.hProcess, INFINITE) == WAIT_FAILED) {
        error = GetLastError();
        return false;
    }
    return true;
}

bool process_exit_code(process* child, uint32_t& code, uint32_t& error)
{
    DWORD exit_code = 0;
    if (!GetExitCodeProcess(child->info.hProcess, &exit_code)) {
        error = GetLastError();
        return false;
    }
    code = exit_code;
    return true;
}

void process_close(process* child)
{
    CloseHandle(child->info.hProcess);
    CloseHandle(child->info.hThread);
    delete child;
}

}  // namespace platform
