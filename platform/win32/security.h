#pragma once
// Who may reach the var directory, for the Windows backend.
#include <string>
#include <windows.h>

namespace platform {

// SYSTEM, Administrators and `user`: the only ones var's DACL may grant anything to, and
// the owners it may have besides the token's default owner.
bool var_principal(PSID sid, PSID user);

// The DACL var is given, in SDDL: protected, full access inherited by everything created
// in it, for SYSTEM, Administrators and `user_sid` only.
std::string var_dacl_sddl(const std::string& user_sid);

// Whether the descriptor's DACL is protected and allows nothing to anyone but
// var_principal. A null DACL allows everything to everyone.
bool var_dacl_is_tight(PSECURITY_DESCRIPTOR descriptor, PSID user);

}  // namespace platform
