#pragma once
// Peak resident memory of this process in KiB, or 0 when the system does not tell.
// Linux: VmHWM from /proc/self/status. Windows: PeakWorkingSetSize, which Wine fills
// from the same VmHWM, so both builds report the same quantity.
#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>

inline std::uint64_t peak_resident_kib()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        return 0;
    return counters.PeakWorkingSetSize / 1024;
}
#else
#include <cstdio>
#include <cstring>

inline std::uint64_t peak_resident_kib()
{
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr)
        return 0;
    char line[256];
    unsigned long long kib = 0;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "VmHWM:", 6) == 0) {
            std::sscanf(line + 6, "%llu", &kib);
            break;
        }
    }
    std::fclose(status);
    return kib;
}
#endif
