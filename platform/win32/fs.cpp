#include "platform/fs.h"

#include "platform/common/native_file.h"

#include <vector>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "platform/text.h"
#include "platform/win32/security.h"

namespace platform {

char path_separator()
{
    return '\\';
}

std::string executable_path()
{
    // Grow rather than cut: a truncated path would name the wrong APP directory.
    for (DWORD size = MAX_PATH; size <= 65536; size *= 2) {
        std::vector<char> buffer(size);
        const DWORD length = GetModuleFileNameA(nullptr, buffer.data(), size);
        if (length == 0)
            return "";
        if (length < size)
            return std::string(buffer.data(), length);
    }
    return "";
}

bool system_temp_dir(std::string& dir)
{
    std::vector<char> buffer(MAX_PATH);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const DWORD length = GetTempPathA(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length == 0)
            return false;
        if (length < buffer.size()) {
            dir.assign(buffer.data(), length);
            if (dir.back() != '\\' && dir.back() != '/')
                dir += '\\';
            return true;
        }
        // Too small: the result is the size needed, and the buffer holds no path.
        buffer.resize(length + 1);
    }
    return false;
}

namespace {

// The token's user (TokenUser) or default owner of new objects (TokenOwner), copied into
// `buffer`; null when the token cannot tell.
PSID token_sid(TOKEN_INFORMATION_CLASS kind, std::vector<BYTE>& buffer)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return nullptr;
    DWORD needed = 0;
    GetTokenInformation(token, kind, nullptr, 0, &needed);
    buffer.assign(needed > 0 ? needed : 1, 0);
    const bool ok = needed > 0 && GetTokenInformation(token, kind, buffer.data(), needed, &needed);
    CloseHandle(token);
    if (!ok)
        return nullptr;
    return kind == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                             : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
}

// var's DACL as a descriptor to apply (LocalFree it), for the token's user.
PSECURITY_DESCRIPTOR var_descriptor(PSID user)
{
    char* text = nullptr;
    if (user == nullptr || !ConvertSidToStringSidA(user, &text))
        return nullptr;
    const std::string sddl = var_dacl_sddl(text);
    LocalFree(text);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return nullptr;
    return descriptor;
}

// An existing var: a real directory (junctions and links are reparse points), owned by one
// of var's principals or the token's default owner, and given var's DACL where its own
// lets anyone else in.
DWORD secure_existing_var(const std::string& path, PSID user, PSECURITY_DESCRIPTOR wanted)
{
    // The path's attributes show a link that the handle below would follow.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError();
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return ERROR_DIRECTORY;
    const HANDLE handle = CreateFileA(
        path.c_str(), READ_CONTROL | WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError();
    DWORD status = ERROR_SUCCESS;
    BY_HANDLE_FILE_INFORMATION info;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR current = nullptr;
    std::vector<BYTE> owner_buffer;
    const PSID default_owner = token_sid(TokenOwner, owner_buffer);
    if (!GetFileInformationByHandle(handle, &info))
        status = GetLastError();
    else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
             (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        status = ERROR_DIRECTORY;
    else if ((status = GetSecurityInfo(handle, SE_FILE_OBJECT,
                                       OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                       nullptr, &dacl, nullptr, &current)) != ERROR_SUCCESS)
        ;
    else if (owner == nullptr ||
             !(var_principal(owner, user) || (default_owner != nullptr && EqualSid(owner, default_owner))))
        status = ERROR_ACCESS_DENIED;
    else if (!var_dacl_is_tight(current, user)) {
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL tight = nullptr;
        // A null DACL would let everyone in: never applied.
        if (!GetSecurityDescriptorDacl(wanted, &present, &tight, &defaulted) || !present || tight == nullptr)
            status = ERROR_INVALID_SECURITY_DESCR;
        else
            status = SetSecurityInfo(handle, SE_FILE_OBJECT,
                                     DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                     nullptr, tight, nullptr);
    }
    if (current != nullptr)
        LocalFree(current);
    CloseHandle(handle);
    return status;
}

}  // namespace

bool use_temp_dir(const std::string& dir)
{
    // GetTempPathA looks at TMP first.
    return !dir.empty() && SetEnvironmentVariableA("TMP", dir.c_str()) != 0;
}

mkdir_result make_directory(const std::string& path, uint32_t& error)
{
    std::vector<BYTE> user_buffer;
    const PSID user = token_sid(TokenUser, user_buffer);
    const PSECURITY_DESCRIPTOR wanted = var_descriptor(user);
    if (wanted == nullptr) {
        error = GetLastError();
        return mkdir_result::failed;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, wanted, FALSE};
    mkdir_result result = mkdir_result::created;
    if (!CreateDirectoryA(path.c_str(), &attributes)) {
        error = GetLastError();
        result = mkdir_result::failed;
        if (error == ERROR_ALREADY_EXISTS) {
            error = secure_existing_var(path, user, wanted);
            result = error == ERROR_SUCCESS ? mkdir_result::already_exists : mkdir_result::failed;
        }
    }
    LocalFree(wanted);
    return result;
}

void restrict_new_files() {}

struct file_lock {
    HANDLE handle;
};

lock_result lock_file(const std::string& path, file_lock*& lock, uint32_t& error)
{
    lock = nullptr;
    // No sharing at all: a second opener gets a sharing violation until this handle closes.
    // Opened by its wide name, as the C runtime opens the log beside it: the "A" call
    // stops at MAX_PATH where the log's path still works.
    const std::u16string wide = narrow_to_utf16(path);
    const HANDLE handle =
        CreateFileW(reinterpret_cast<const wchar_t*>(wide.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ? lock_result::busy
                                                                                 : lock_result::failed;
    }
    lock = new file_lock{handle};
    return lock_result::locked;
}

void release_lock(file_lock* lock)
{
    if (lock == nullptr)
        return;
    CloseHandle(lock->handle);
    delete lock;
}

struct native_file {
    HANDLE handle;
};

native_file* native_open_output(const std::string& path)
{
    // Others may read while it is written, not write, delete or rename it.
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    return new native_file{handle};
}

native_file* native_create_output(const std::string& path, std::string& problem)
{
    // DeleteFileA removes a link itself, never its target.
    if (!DeleteFileA(path.c_str())) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            problem = "error " + std::to_string(error);
            return nullptr;
        }
    }
    // A file deleted while another process holds it open stays until that handle closes:
    // CREATE_NEW then fails too.
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        problem = "error " + std::to_string(GetLastError());
        return nullptr;
    }
    return new native_file{handle};
}

bool native_write(native_file* file, const char* data, std::size_t size)
{
    while (size > 0) {
        const DWORD piece = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(file->handle, data, piece, &written, nullptr) || written == 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

bool native_close(native_file* file)
{
    const bool closed = CloseHandle(file->handle) != 0;
    delete file;
    return closed;
}

namespace {

// The token's user and its default owner (Administrators for an elevated administrator):
// either may own what this process creates.
bool owned_by_this_process(HANDLE file, std::string& problem)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD status = GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                         nullptr, nullptr, &descriptor);
    if (status != ERROR_SUCCESS || owner == nullptr) {
        problem = "owner unknown (error " + std::to_string(status) + ")";
        if (descriptor != nullptr)
            LocalFree(descriptor);
        return false;
    }
    bool ours = false;
    for (const TOKEN_INFORMATION_CLASS kind : {TokenUser, TokenOwner}) {
        std::vector<BYTE> buffer;
        const PSID sid = token_sid(kind, buffer);
        if (sid != nullptr && EqualSid(owner, sid))
            ours = true;
    }
    LocalFree(descriptor);
    if (!ours)
        problem = "owned by another user";
    return ours;
}

HANDLE open_own_file(const std::string& path, std::string& problem, own_file_result& result,
                     ULARGE_INTEGER& size)
{
    // Read sharing only: nobody writes, deletes or renames it while the handle is open.
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        result = own_file_result::cannot_open;
        problem = "error " + std::to_string(error);
        return INVALID_HANDLE_VALUE;
    }
    result = own_file_result::not_ours;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
        problem = "not a regular file";
    else if (info.nNumberOfLinks != 1)
        problem = std::to_string(info.nNumberOfLinks) + " links";
    else if (owned_by_this_process(handle, problem)) {
        size.LowPart = info.nFileSizeLow;
        size.HighPart = info.nFileSizeHigh;
        result = own_file_result::ok;
        return handle;
    }
    CloseHandle(handle);
    return INVALID_HANDLE_VALUE;
}

}  // namespace

own_file_result read_own_file(const std::string& path, std::uintmax_t max_size, std::string& content,
                              std::uintmax_t& size, std::string& problem)
{
    content.clear();
    ULARGE_INTEGER measured = {};
    own_file_result result = own_file_result::ok;
    const HANDLE handle = open_own_file(path, problem, result, measured);
    if (handle == INVALID_HANDLE_VALUE)
        return result;
    size = measured.QuadPart;
    if (size > max_size) {
        CloseHandle(handle);
        return own_file_result::too_large;
    }
    // Stops at the first piece that takes it past the bound, whatever the size said.
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(handle, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            problem = "error " + std::to_string(GetLastError());
            CloseHandle(handle);
            return own_file_result::cannot_open;
        }
        if (got == 0)
            break;
        content.append(buffer.data(), got);
        if (content.size() > max_size) {
            size = content.size();
            CloseHandle(handle);
            return own_file_result::too_large;
        }
    }
    CloseHandle(handle);
    return own_file_result::ok;
}

struct file_hold {
    HANDLE handle;
};

file_hold* hold_file(const std::string& path, std::string& problem)
{
    // Opened with read sharing only: the checks and msiexec only read it; writes, deletes
    // and renames by anyone fail until release_file.
    own_file_result result = own_file_result::ok;
    ULARGE_INTEGER size = {};
    const HANDLE handle = open_own_file(path, problem, result, size);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    return new file_hold{handle};
}

void release_file(file_hold* hold)
{
    if (hold == nullptr)
        return;
    CloseHandle(hold->handle);
    delete hold;
}

}  // namespace platform
