// Asks the Windows build's own checks, and WinVerifyTrust directly, about each file named
// on the command line; one line per file: NAME status=0xXXXXXXXX signature=N publisher=N.
// Run under Wine, it records what Wine's trust provider accepts.
#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <cstdio>
#include <string>

#include "installer/authenticity.h"
#include "platform/text.h"

namespace {

LONG win_verify_trust(const std::u16string& path)
{
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = reinterpret_cast<const wchar_t*>(path.c_str());
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG status = WinVerifyTrust(nullptr, &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(nullptr, &action, &data);
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string path = argv[i];
        const std::u16string wide = platform::narrow_to_utf16(path);
        std::printf("%s status=0x%08lx signature=%d publisher=%d\n",
                    path.substr(path.find_last_of("\\/") + 1).c_str(),
                    static_cast<unsigned long>(win_verify_trust(wide)), verify_signature(wide),
                    verify_publisher(wide));
        std::fflush(stdout);
    }
    return 0;
}
