// Stands in for msiexec.exe where the point is the command line and the exit code, which
// on Windows is a full 32-bit value. Placed in the program's directory, it is found before
// the system's. Writes its arguments one per line (UTF-8) to msiexec_args.txt next to
// itself and exits with the number in msiexec_exit_code.txt there (0 without one).
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::wstring own_directory()
{
    wchar_t path[32768];
    const DWORD length = GetModuleFileNameW(nullptr, path, 32768);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L"\\/") + 1);
}

std::string utf8(const wchar_t* text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return "";
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
    out.pop_back();
    return out;
}

}  // namespace

int main()
{
    const std::wstring dir = own_directory();
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (FILE* out = _wfopen((dir + L"msiexec_args.txt").c_str(), L"wb")) {
        for (int i = 1; i < argc; ++i)
            std::fprintf(out, "%s\n", utf8(argv[i]).c_str());
        std::fclose(out);
    }
    LocalFree(argv);

    unsigned long code = 0;
    if (FILE* in = _wfopen((dir + L"msiexec_exit_code.txt").c_str(), L"rb")) {
        if (std::fscanf(in, "%lu", &code) != 1)
            code = 0;
        std::fclose(in);
    }
    ExitProcess(static_cast<UINT>(code));
}
