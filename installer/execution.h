#pragma once
#include <string>

// The msiexec command line that installs `installer_path` silently with a verbose log.
std::string installer_command_line(const std::string& installer_path);

// Runs the installer and waits for it. Its exit code (as signed), or -1 on failure.
int install_agent(const std::string& installer_path);
