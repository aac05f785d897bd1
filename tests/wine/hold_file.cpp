// Holds a file open without sharing, as another program may hold the agent's log.
// Usage: hold_file PATH READY_FILE SECONDS. READY_FILE is created once the file is held.
#include <cstdio>
#include <cstdlib>
#include <windows.h>

int main(int argc, char** argv)
{
    if (argc != 4)
        return 2;
    HANDLE held = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return 1;
    if (std::FILE* ready = std::fopen(argv[2], "w"))
        std::fclose(ready);
    Sleep(static_cast<DWORD>(std::atoi(argv[3])) * 1000);
    CloseHandle(held);
    return 0;
}
