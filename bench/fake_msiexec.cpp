// Stands in for msiexec in whole runs under Wine: CreateProcess looks in the program's
// own directory first, so this copy, placed there, answers at once with success and the
// measured figures stay the program's own rather than an installer's. It names itself on
// standard error, so a run shows which msiexec answered.
#include <windows.h>

#include <cstdio>

int main()
{
    std::fprintf(stderr, "bench msiexec: %s\n", GetCommandLineA());
    return 0;
}
