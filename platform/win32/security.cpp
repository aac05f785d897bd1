#include "platform/win32/security.h"

namespace platform {

bool var_principal(PSID sid, PSID user)
{
    return EqualSid(sid, user) || IsWellKnownSid(sid, WinLocalSystemSid) ||
           IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
}

std::string var_dacl_sddl(const std::string& user_sid)
{
    return "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + user_sid + ")";
}

bool var_dacl_is_tight(PSECURITY_DESCRIPTOR descriptor, PSID user)
{
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorControl(descriptor, &control, &revision) || (control & SE_DACL_PROTECTED) == 0)
        return false;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == nullptr)
        return false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace))
            return false;
        const BYTE type = static_cast<ACE_HEADER*>(ace)->AceType;
        // A denial takes nothing from the three; any other kind of grant is someone else's.
        if (type == ACCESS_DENIED_ACE_TYPE)
            continue;
        if (type != ACCESS_ALLOWED_ACE_TYPE ||
            !var_principal(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, user))
            return false;
    }
    return true;
}

}  // namespace platform
