// Times one get_file_hash call on FILE and prints, on standard error:
//   seconds <wall> bytes <size> digest <hex> peak_kib <VmHWM>
// The call's progress marks go to standard output, to be discarded or counted apart.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "bench/peak_memory.h"
#include "installer/digest.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_hash FILE\n");
        return 2;
    }
    const std::string path = argv[1];

    const auto start = std::chrono::steady_clock::now();
    const std::string digest = get_file_hash(path);
    const auto stop = std::chrono::steady_clock::now();
    std::fflush(stdout);

    if (digest.empty()) {
        std::fprintf(stderr, "bench_hash: no digest for %s\n", path.c_str());
        return 1;
    }
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    const long long size = static_cast<long long>(file.tellg());
    const double seconds = std::chrono::duration<double>(stop - start).count();
    std::fprintf(stderr, "seconds %.6f bytes %lld digest %s peak_kib %llu\n", seconds, size, digest.c_str(),
                 static_cast<unsigned long long>(peak_resident_kib()));
    return 0;
}
