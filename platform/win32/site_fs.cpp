#include "platform/site_fs.h"

#include <windows.h>
#include <shellapi.h>

// Wide names only: the ANSI calls would turn whatever the code page lacks into '?'.
namespace platform {

namespace {

std::string to_utf8(const wchar_t* text, int length)
{
    if (length == 0)
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string narrow(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, &narrow[0], size, nullptr, nullptr);
    // A length of -1 counts the terminating null too.
    if (length < 0 && !narrow.empty() && narrow.back() == '\0')
        narrow.pop_back();
    return narrow;
}

// "error N (the system's message)", the message in UTF-8 whatever the code page.
std::string error_text(DWORD error)
{
    std::string text = "error " + std::to_string(error);
    wchar_t* message = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        error, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    if (length > 0 && message != nullptr) {
        std::string meaning = to_utf8(message, static_cast<int>(length));
        while (!meaning.empty() && (meaning.back() == '\n' || meaning.back() == '\r' ||
                                    meaning.back() == ' ' || meaning.back() == '.'))
            meaning.pop_back();
        if (!meaning.empty())
            text += " (" + meaning + ")";
    }
    if (message != nullptr)
        LocalFree(message);
    return text;
}

bool name_taken(const std::filesystem::path& path)
{
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        return true;
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

void pause_until(ULONGLONG deadline)
{
    const ULONGLONG now = GetTickCount64();
    if (now < deadline)
        Sleep(static_cast<DWORD>(deadline - now < 50 ? deadline - now : 50));
}

// What a reader holding the file open (a web server, an antivirus scan) makes the rename
// or replacement fail with, for as long as it holds it.
bool held_by_another(DWORD error)
{
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
           error == ERROR_LOCK_VIOLATION || error == ERROR_UNABLE_TO_REMOVE_REPLACED ||
           error == ERROR_UNABLE_TO_MOVE_REPLACEMENT;
}

// Renames `from` to the free name `to`, retried while held, up to `deadline`.
DWORD move_retried(const std::filesystem::path& from, const std::filesystem::path& to, ULONGLONG deadline)
{
    for (;;) {
        if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH))
            return ERROR_SUCCESS;
        const DWORD error = GetLastError();
        if (!held_by_another(error) || GetTickCount64() >= deadline)
            return error;
        pause_until(deadline);
    }
}

}  // namespace

std::vector<std::string> utf8_arguments(int, char**)
{
    SetConsoleOutputCP(CP_UTF8);
    std::vector<std::string> arguments;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr)
        return arguments;
    for (int i = 0; i < count; ++i)
        arguments.push_back(to_utf8(wide[i], -1));
    LocalFree(wide);
    return arguments;
}

struct site_lock {
    HANDLE handle;
};

site_lock_result lock_site(const std::filesystem::path& path, unsigned wait_ms, site_lock*& lock,
                           std::string& problem)
{
    lock = nullptr;
    const ULONGLONG deadline = GetTickCount64() + wait_ms;
    // Shared opening, exclusive byte-range lock: SMB carries byte-range locks to the other
    // machines, and the system drops them when the holder dies.
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        problem = error_text(GetLastError());
        return site_lock_result::failed;
    }
    for (;;) {
        OVERLAPPED at = {};
        if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
            lock = new site_lock{handle};
            return site_lock_result::locked;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_LOCK_VIOLATION) {
            problem = error_text(error);
            CloseHandle(handle);
            return site_lock_result::failed;
        }
        if (GetTickCount64() >= deadline) {
            problem = "another process holds the lock (waited " + std::to_string(wait_ms) + " ms)";
            CloseHandle(handle);
            return site_lock_result::busy;
        }
        pause_until(deadline);
    }
}

void release_site_lock(site_lock* lock)
{
    if (lock == nullptr)
        return;
    // Unlocked now rather than whenever the system gets to the closed handle's locks.
    OVERLAPPED at = {};
    UnlockFileEx(lock->handle, 0, 1, 0, &at);
    CloseHandle(lock->handle);
    delete lock;
}

struct new_file {
    HANDLE handle;
};

new_file* create_new_file(const std::filesystem::path& path, std::string& problem)
{
    // No security attributes: the file inherits its directory's ACL, which the web server
    // reads through. A link at `path` is an existing name, never followed.
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        problem = error_text(GetLastError());
        return nullptr;
    }
    return new new_file{handle};
}

bool write_new_file(new_file* file, const char* data, std::size_t size, std::string& problem)
{
    while (size > 0) {
        const DWORD piece = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(file->handle, data, piece, &written, nullptr)) {
            problem = error_text(GetLastError());
            return false;
        }
        if (written == 0) {
            problem = "nothing written";
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

bool finish_new_file(new_file* file, std::string& problem)
{
    bool ok = true;
    if (!FlushFileBuffers(file->handle)) {
        problem = error_text(GetLastError());
        ok = false;
    }
    if (!CloseHandle(file->handle) && ok) {
        problem = error_text(GetLastError());
        ok = false;
    }
    delete file;
    return ok;
}

move_result move_new_file(const std::filesystem::path& from, const std::filesystem::path& to,
                          std::string& problem)
{
    // Without MOVEFILE_REPLACE_EXISTING the rename itself refuses a taken name: no window
    // between a check and the move.
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH))
        return move_result::moved;
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
        return move_result::exists;
    problem = error_text(error);
    return move_result::failed;
}

bool move_over_file(const std::filesystem::path& from, const std::filesystem::path& to, unsigned wait_ms,
                    std::string& problem)
{
    const ULONGLONG deadline = GetTickCount64() + wait_ms;
    // ReplaceFileW moves the old file aside before it moves the new one in. Named, the
    // old file can be found again if the second step fails; unnamed, it would be lost under
    // a name of the system's choosing (ERROR_UNABLE_TO_MOVE_REPLACEMENT_2).
    std::filesystem::path aside = to;
    aside += L".old-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64());
    DWORD error = ERROR_SUCCESS;
    for (;;) {
        bool again = false;
        if (!name_taken(to)) {
            // Nothing to keep the rights of. Never MOVEFILE_REPLACE_EXISTING: a file that
            // appears meanwhile is replaced on the next turn, keeping its ACL.
            if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH))
                return true;
            error = GetLastError();
            again = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
        } else if (ReplaceFileW(to.c_str(), from.c_str(), aside.c_str(), 0, nullptr, nullptr)) {
            // Delete-pending while a reader still has it open; gone when the last one closes.
            DeleteFileW(aside.c_str());
            return true;
        } else {
            error = GetLastError();
            if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
                // `to` is free and the old file is aside: the new one goes in, or the old
                // one back, so that `to` is never left missing.
                const DWORD moved = move_retried(from, to, deadline);
                if (moved == ERROR_SUCCESS) {
                    DeleteFileW(aside.c_str());
                    return true;
                }
                problem = "the new file could not take the name: " + error_text(moved);
                const DWORD restored = move_retried(aside, to, GetTickCount64() + 5000);
                if (restored != ERROR_SUCCESS)
                    problem += "; the old file is left at " + aside.u8string() + ": " + error_text(restored);
                return false;
            }
            // ERROR_FILE_NOT_FOUND names either file: `to` may have gone meanwhile.
            again = error == ERROR_FILE_NOT_FOUND && name_taken(from);
        }
        if (!(again || held_by_another(error)) || GetTickCount64() >= deadline)
            break;
        pause_until(deadline);
    }
    problem = error_text(error);
    if (held_by_another(error))
        problem += ", still after " + std::to_string(wait_ms) + " ms";
    return false;
}

void flush_directory(const std::filesystem::path&) {}

}  // namespace platform
