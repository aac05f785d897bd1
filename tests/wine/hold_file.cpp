// Holds a file open without sharing, as another program may hold the agent's log; with
// "delete", it shares everything, deletion included.
// Usage: hold_file PATH READY_FILE SECONDS [delete]. READY_FILE is created once the file
// is held.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <windows.h>

int main(int argc, char** argv)
{
    if (argc != 4 && argc != 5)
        return 2;
    const DWORD share = argc == 5 && std::strcmp(argv[4], "delete") == 0
                            ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                            : 0;
    HANDLE held = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return 1;
    if (std::FILE* ready = std::fopen(argv[2], "w"))
        std::fclose(ready);
    Sleep(static_cast<DWORD>(std::atoi(argv[3])) * 1000);
    CloseHandle(held);
    return 0;
}
