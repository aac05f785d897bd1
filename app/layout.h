#pragma once
// Where the program finds everything: the directory holding its executable (APP)
// and the fixed paths under it.
#include <string>

std::string get_app_dir();             // no trailing separator
std::string get_config_path();         // APP\etc\config
std::string get_inventory_path();      // APP\etc\inventory.conf
std::string get_version_path();        // APP\VERSION
std::string get_log_path();            // APP\var\agent_recovery.log
std::string get_var_dir();             // APP\var
std::string get_installer_path();      // APP\var\agent_recovery.msi
std::string get_installer_log_path();  // APP\var\update-agent-emergency.log
std::string get_temp_dir();            // always ends with a separator

// Joins path components with the platform's separator.
std::string app_path(std::initializer_list<const char*> parts);
