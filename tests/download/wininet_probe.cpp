// One download_file call through the real WinINet, for runs under Wine:
//   wininet_probe URL DEST SECURE(0|1) [TIMEOUT_SECONDS]
// The log records go to stdout; the exit code is 0 when download_file returned 0.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/http.h"
#include "update/download.h"

int main(int argc, char** argv)
{
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: wininet_probe URL DEST SECURE(0|1) [TIMEOUT_SECONDS]\n");
        return 2;
    }
    if (argc == 5)
        platform::http_set_timeout_seconds(std::atol(argv[4]));
    const std::string secure = argv[3];
    return download_file(argv[1], argv[2], secure == "1") == 0 ? 0 : 1;
}
