// trust_signature_timing of the Windows build for each file named on the command line,
// for runs under Wine; one line per file: NAME ok=N stamped=N expiry=YYYY-MM-DD (or -).
#include <cstdio>
#include <string>

#include "platform/text.h"
#include "platform/trust.h"

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string path = argv[i];
        bool stamped = false;
        std::string expiry;
        const bool ok = platform::trust_signature_timing(platform::narrow_to_utf16(path), stamped, expiry);
        std::printf("%s ok=%d stamped=%d expiry=%s\n", path.substr(path.find_last_of("\\/") + 1).c_str(), ok,
                    stamped, expiry.empty() ? "-" : expiry.c_str());
        std::fflush(stdout);
    }
    return 0;
}
