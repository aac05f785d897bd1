// Times one download_file call of URL into OUTFILE and prints, on standard error:
//   seconds <wall> bytes <size> peak_kib_before <VmHWM> peak_kib <VmHWM>
// The peak before the call is the process's baseline; the difference is what the
// download itself held. The product's log lines go to standard output.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "bench/peak_memory.h"
#include "update/download.h"

int main(int argc, char** argv)
{
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: bench_download URL OUTFILE [secure: 0|1]\n");
        return 2;
    }
    const std::string url = argv[1];
    const std::string path = argv[2];
    const bool secure = argc == 4 && std::strcmp(argv[3], "1") == 0;

    const unsigned long long before = peak_resident_kib();
    const auto start = std::chrono::steady_clock::now();
    const int result = download_file(url, path, secure);
    const auto stop = std::chrono::steady_clock::now();
    std::fflush(stdout);

    if (result != 0) {
        std::fprintf(stderr, "bench_download: download_file failed for %s\n", url.c_str());
        return 1;
    }
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    const long long size = static_cast<long long>(file.tellg());
    const double seconds = std::chrono::duration<double>(stop - start).count();
    std::fprintf(stderr, "seconds %.6f bytes %lld peak_kib_before %llu peak_kib %llu\n", seconds, size,
                 before, static_cast<unsigned long long>(peak_resident_kib()));
    return 0;
}
