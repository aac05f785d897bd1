// agent_check.exe LAB_URL: runs agent_recovery.exe through every scenario the lab serves, on
// the Windows machine it runs on, and sends each outcome back to the lab, which judges it.
// Run by an administrator: it adds the lab's CA to LocalMachine\Root for the duration, sets
// the account's WinINet proxy per scenario, and installs and removes the lab's test product.
// For the rows Wine cannot show it also runs the program as SYSTEM through the Task Scheduler,
// and tries var and the descriptor as a standard account (a temporary local one unless
// --account NAME names one, its password in AGENT_CHECK_PASSWORD).
// Everything it adds or changes is undone at its end, on Ctrl+C, and after a run that hangs.
#include <windows.h>
#include <aclapi.h>
#include <lm.h>
#include <msi.h>
#include <sddl.h>
#include <shellapi.h>
#include <userenv.h>
#include <wincrypt.h>
#include <wininet.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/sha256.h"
#include "platform/win32/security.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr DWORD run_limit_ms = 120 * 1000;
const wchar_t* const internet_settings = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// What was added or changed, for the restore at the end or on Ctrl+C.
struct state {
    std::wstring lab_host;
    INTERNET_PORT lab_port = 0;
    std::vector<BYTE> ca;  // DER of the lab's CA
    bool root_added = false;
    struct saved_value {
        std::wstring name;
        bool present = false;
        DWORD type = 0;
        std::vector<BYTE> data;
    };
    std::vector<saved_value> proxy;  // the account's values before the first change
    bool proxy_changed = false;
    std::wstring work;        // %TEMP%\agent_check: every APP directory
    std::wstring descriptor;  // last_agent.json in the temporary directory
    bool descriptor_was_there = false;
    std::wstring upgrade_code;
    std::wstring shared;  // %ProgramData%\agent_check: reachable by SYSTEM and standard users
    bool task_created = false;
    std::wstring account, password;  // the standard account the attempts run as
    bool account_created = false;
    std::string wine;          // Wine's version, empty on Windows
    HANDLE child = nullptr;    // the run in progress
    bool finished = false;     // the restore has begun
    bool interrupted = false;  // by Ctrl+C: the handler restores and ends the process
};

state g;
// Held by the main thread but while it waits for a child, so that Ctrl+C restores the machine
// between two steps and never while one is half done.
CRITICAL_SECTION g_lock;
DWORD g_main_thread = 0;

void hold()
{
    EnterCriticalSection(&g_lock);
    if (g.interrupted && GetCurrentThreadId() == g_main_thread) {
        // The Ctrl+C handler is restoring the machine and ends the process.
        LeaveCriticalSection(&g_lock);
        Sleep(INFINITE);
    }
}

void release()
{
    LeaveCriticalSection(&g_lock);
}

std::wstring wide(const std::string& text)
{
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring result(size > 0 ? size - 1 : 0, L'\0');
    if (size > 1)
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &result[0], size);
    return result;
}

std::string narrow(const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string result(size > 0 ? size - 1 : 0, '\0');
    if (size > 1)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &result[0], size, nullptr, nullptr);
    return result;
}

// One request to the lab, never through a proxy: the scenarios change the account's.
bool lab_request(const wchar_t* verb, const std::string& target, const std::string& body, std::string& answer)
{
    HINTERNET session = InternetOpenW(L"agent_check", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    HINTERNET connection = session ? InternetConnectW(session, g.lab_host.c_str(), g.lab_port, nullptr,
                                                      nullptr, INTERNET_SERVICE_HTTP, 0, 0)
                                   : nullptr;
    HINTERNET request =
        connection ? HttpOpenRequestW(connection, verb, wide(target).c_str(), nullptr, nullptr, nullptr,
                                      INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0)
                   : nullptr;
    bool ok = request && HttpSendRequestW(request, nullptr, 0, const_cast<char*>(body.data()),
                                          static_cast<DWORD>(body.size()));
    DWORD status = 0;
    DWORD size = sizeof status;
    if (ok &&
        (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr) ||
         status >= 300))
        ok = false;
    answer.clear();
    char buffer[16384];
    DWORD read = 0;
    while (ok && InternetReadFile(request, buffer, sizeof buffer, &read) && read > 0)
        answer.append(buffer, read);
    if (!ok)
        std::fprintf(stderr, "agent_check: %ls %s failed: status %lu, error %lu\n", verb, target.c_str(),
                     status, GetLastError());
    for (HINTERNET h : {request, connection, session})
        if (h)
            InternetCloseHandle(h);
    return ok;
}

bool send_report(const std::string& name, const json& report)
{
    std::string ignored;
    return lab_request(L"PUT", "/report/" + name + ".json",
                       report.dump(-1, ' ', false, json::error_handler_t::replace), ignored);
}

bool write_whole(const fs::path& path, const std::string& data)
{
    FILE* file = _wfopen(path.wstring().c_str(), L"wb");
    const bool ok = file && std::fwrite(data.data(), 1, data.size(), file) == data.size();
    if (file && std::fclose(file) != 0)
        return false;
    if (!ok)
        std::fprintf(stderr, "agent_check: cannot write %ls\n", path.wstring().c_str());
    return ok;
}

std::string read_whole(const fs::path& path)
{
    std::string data;
    FILE* file = _wfopen(path.wstring().c_str(), L"rb");
    if (!file)
        return data;
    char buffer[16384];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        data.append(buffer, n);
    std::fclose(file);
    return data;
}

std::string sha256_hex(const std::string& data)
{
    unsigned char digest[32];
    platform::sha256_state* s = platform::sha256_begin();
    if (!s || !platform::sha256_update(s, data.data(), data.size()) || !platform::sha256_finish(s, digest))
        return "";
    std::string hex;
    char two[3];
    for (unsigned char byte : digest) {
        std::snprintf(two, sizeof two, "%02x", byte);
        hex += two;
    }
    return hex;
}

HCERTSTORE open_root()
{
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (!store)
        std::fprintf(stderr, "agent_check: cannot open LocalMachine\\Root: %lu\n", GetLastError());
    return store;
}

// The lab CA's SHA-1 thumbprint, as the store and the registry name it; empty when the
// certificate cannot be read.
std::vector<BYTE> ca_thumbprint()
{
    std::vector<BYTE> hash(20);
    DWORD size = static_cast<DWORD>(hash.size());
    PCCERT_CONTEXT ca =
        CertCreateCertificateContext(X509_ASN_ENCODING, g.ca.data(), static_cast<DWORD>(g.ca.size()));
    if (!ca || !CertGetCertificateContextProperty(ca, CERT_SHA1_HASH_PROP_ID, hash.data(), &size))
        size = 0;
    if (ca)
        CertFreeCertificateContext(ca);
    hash.resize(size);
    return hash;
}

PCCERT_CONTEXT find_ca(HCERTSTORE store)
{
    std::vector<BYTE> hash = ca_thumbprint();
    if (hash.empty())
        return nullptr;
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(hash.size()), hash.data()};
    return CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob, nullptr);
}

// Adds the CA where it is missing; Wine may drop it from the store shortly after a boot, so
// this runs before every scenario.
bool ensure_root()
{
    HCERTSTORE store = open_root();
    if (!store)
        return false;
    PCCERT_CONTEXT there = find_ca(store);
    bool ok = there != nullptr;
    if (there) {
        CertFreeCertificateContext(there);
    } else {
        ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, g.ca.data(),
                                              static_cast<DWORD>(g.ca.size()), CERT_STORE_ADD_NEW, nullptr);
        if (ok)
            g.root_added = true;
        else
            std::fprintf(stderr, "agent_check: cannot add the lab's CA to LocalMachine\\Root: %lu\n",
                         GetLastError());
    }
    CertCloseStore(store, 0);
    return ok;
}

// The CA's key in the registry, where Windows keeps LocalMachine\Root (one view for 32-bit
// and 64-bit programs).
std::wstring root_key()
{
    const std::vector<BYTE> thumbprint = ca_thumbprint();
    if (thumbprint.empty())
        return L"";  // never the store's own key
    std::wstring key = L"Software\\Microsoft\\SystemCertificates\\ROOT\\Certificates\\";
    for (BYTE byte : thumbprint) {
        wchar_t two[3];
        swprintf(two, 3, L"%02X", byte);
        key += two;
    }
    return key;
}

bool remove_root()
{
    HCERTSTORE store = open_root();
    if (!store)
        return false;
    PCCERT_CONTEXT there = find_ca(store);
    if (there && !CertDeleteCertificateFromStore(there))
        std::fprintf(stderr, "agent_check: cannot remove the lab's CA: %lu\n", GetLastError());
    CertCloseStore(store, 0);
    // Wine's Root store drops the certificate from memory only: its registry key is left.
    const std::wstring key = root_key();
    if (key.empty())
        return false;
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), KEY_WOW64_64KEY, 0);
    HKEY left = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &left) ==
        ERROR_SUCCESS) {
        RegCloseKey(left);
        std::fprintf(stderr, "agent_check: HKLM\\%ls is left\n", key.c_str());
        return false;
    }
    return true;
}

void save_proxy()
{
    HKEY key = nullptr;
    RegOpenKeyExW(HKEY_CURRENT_USER, internet_settings, 0, KEY_QUERY_VALUE, &key);
    for (const wchar_t* name : {L"ProxyEnable", L"ProxyServer"}) {
        state::saved_value v;
        v.name = name;
        DWORD size = 0;
        if (key && RegQueryValueExW(key, name, nullptr, &v.type, nullptr, &size) == ERROR_SUCCESS) {
            v.data.resize(size);
            v.present = RegQueryValueExW(key, name, nullptr, &v.type, v.data.data(), &size) == ERROR_SUCCESS;
        }
        g.proxy.push_back(v);
    }
    if (key)
        RegCloseKey(key);
}

// WinINet of processes started from now on reads the new settings.
void settings_changed()
{
    InternetSetOptionW(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0);
    InternetSetOptionW(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0);
}

// The account's proxy for the next run: `server` (host:port), or none.
bool set_proxy(const std::string& server)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, internet_settings, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        std::fprintf(stderr, "agent_check: cannot open HKCU\\%ls\n", internet_settings);
        return false;
    }
    g.proxy_changed = true;
    const DWORD enable = server.empty() ? 0 : 1;
    bool ok = RegSetValueExW(key, L"ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enable),
                             sizeof enable) == ERROR_SUCCESS;
    if (!server.empty()) {
        const std::wstring value = wide(server);
        ok =
            ok && RegSetValueExW(key, L"ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    settings_changed();
    if (!ok)
        std::fprintf(stderr, "agent_check: cannot set the proxy %s\n", server.c_str());
    return ok;
}

bool restore_proxy()
{
    if (!g.proxy_changed)
        return true;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, internet_settings, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return false;
    bool ok = true;
    for (const state::saved_value& v : g.proxy) {
        const LSTATUS done = v.present ? RegSetValueExW(key, v.name.c_str(), 0, v.type, v.data.data(),
                                                        static_cast<DWORD>(v.data.size()))
                                       : RegDeleteValueW(key, v.name.c_str());
        ok = ok && (done == ERROR_SUCCESS || (!v.present && done == ERROR_FILE_NOT_FOUND));
    }
    RegCloseKey(key);
    settings_changed();
    if (!ok)
        std::fprintf(stderr, "agent_check: cannot restore the proxy settings\n");
    return ok;
}

// The test product's codes, installed or advertised, found by its upgrade code.
std::vector<std::wstring> installed_products()
{
    using enumerate_fn = UINT(WINAPI*)(LPCWSTR, DWORD, DWORD, LPWSTR);
    using state_fn = INSTALLSTATE(WINAPI*)(LPCWSTR);
    static HMODULE msi = LoadLibraryW(L"msi.dll");
    const auto enumerate = msi ? reinterpret_cast<enumerate_fn>(
                                     reinterpret_cast<void*>(GetProcAddress(msi, "MsiEnumRelatedProductsW")))
                               : nullptr;
    const auto query = msi ? reinterpret_cast<state_fn>(
                                 reinterpret_cast<void*>(GetProcAddress(msi, "MsiQueryProductStateW")))
                           : nullptr;
    std::vector<std::wstring> products;
    if (!enumerate || !query) {
        std::fprintf(stderr, "agent_check: msi.dll lacks MsiEnumRelatedProductsW or MsiQueryProductStateW\n");
        return products;
    }
    wchar_t code[39];
    for (DWORD i = 0; enumerate(g.upgrade_code.c_str(), 0, i, code) == ERROR_SUCCESS; ++i)
        if (query(code) == INSTALLSTATE_DEFAULT)
            products.push_back(code);
    return products;
}

// Starts `command` and waits at most `limit`; a run still going then is ended. -1 when it
// could not start.
long run(const std::wstring& command, const std::wstring& directory, DWORD limit, bool& timed_out)
{
    std::wstring line = command;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    timed_out = false;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &info)) {
        std::fprintf(stderr, "agent_check: cannot start %ls: %lu\n", command.c_str(), GetLastError());
        return -1;
    }
    CloseHandle(info.hThread);
    g.child = info.hProcess;
    release();
    if (WaitForSingleObject(info.hProcess, limit) == WAIT_TIMEOUT) {
        timed_out = true;
        TerminateProcess(info.hProcess, 1);
        WaitForSingleObject(info.hProcess, 10000);
    }
    hold();
    g.child = nullptr;
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hProcess);
    return static_cast<LONG>(code);
}

bool uninstall_products(json& uninstalled)
{
    bool ok = true;
    for (const std::wstring& code : installed_products()) {
        bool timed_out = false;
        const long exit = run(L"msiexec /x " + code + L" /qn", L"", run_limit_ms, timed_out);
        uninstalled.push_back({{"product", narrow(code)}, {"msiexec_exit", exit}});
        ok = ok && exit == 0;
    }
    return ok && installed_products().empty();
}

// Through \\?\ names: an APP near MAX_PATH holds files beyond it, which plain names cannot
// reach on Windows.
bool remove_below(const std::wstring& path)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    bool ok = true;
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring child = path + L"\\" + name;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                ok = remove_below(child) && ok;
                ok = RemoveDirectoryW(child.c_str()) && ok;
            } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                ok = RemoveDirectoryW(child.c_str()) && ok;
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                ok = DeleteFileW(child.c_str()) && ok;
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return ok;
}

bool remove_tree(const std::wstring& path)
{
    if (path.empty() || GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        return true;
    const std::wstring whole = L"\\\\?\\" + path;
    if (!remove_below(whole) || !RemoveDirectoryW(whole.c_str())) {
        std::fprintf(stderr, "agent_check: cannot remove %ls: %lu\n", path.c_str(), GetLastError());
        return false;
    }
    return true;
}

const wchar_t* const task_name = L"agent_check_as_system";

std::wstring system_program(const wchar_t* name)
{
    wchar_t dir[MAX_PATH];
    const UINT length = GetSystemDirectoryW(dir, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(dir) + L"\\" + name : name;
}

bool schtasks(const std::wstring& arguments)
{
    bool timed_out = false;
    const long exit =
        run(L"\"" + system_program(L"schtasks.exe") + L"\" " + arguments, L"", 60 * 1000, timed_out);
    if (exit != 0)
        std::fprintf(stderr, "agent_check: schtasks %ls: exit %ld\n", arguments.c_str(), exit);
    return exit == 0;
}

bool remove_task()
{
    if (!g.task_created)
        return true;
    schtasks(std::wstring(L"/end /tn ") + task_name);
    g.task_created = !schtasks(std::wstring(L"/delete /tn ") + task_name + L" /f");
    return !g.task_created;
}

std::string sid_text(PSID sid)
{
    LPWSTR text = nullptr;
    if (!sid || !ConvertSidToStringSidW(sid, &text))
        return "";
    const std::string result = narrow(text);
    LocalFree(text);
    return result;
}

// The account's SID, for its profile.
std::wstring account_sid(const std::wstring& name)
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    wchar_t domain[256];
    DWORD domain_size = 256;
    SID_NAME_USE use;
    if (!LookupAccountNameW(nullptr, name.c_str(), sid, &size, domain, &domain_size, &use))
        return L"";
    return wide(sid_text(sid));
}

bool remove_account()
{
    if (!g.account_created)
        return true;
    const std::wstring sid = account_sid(g.account);
    const NET_API_STATUS status = NetUserDel(nullptr, g.account.c_str());
    if (status != NERR_Success) {
        std::fprintf(stderr, "agent_check: cannot remove the account %ls: %lu\n", g.account.c_str(), status);
        return false;
    }
    g.account_created = false;
    // A profile exists only if something loaded one; none is the usual case.
    if (!sid.empty() && !DeleteProfileW(sid.c_str(), nullptr, nullptr) &&
        GetLastError() != ERROR_FILE_NOT_FOUND)
        std::fprintf(stderr, "agent_check: the profile of %ls is left: %lu\n", g.account.c_str(),
                     GetLastError());
    return true;
}

// A local standard account with a random password, in the Users group (named by its SID:
// the name differs by language).
bool create_account(std::string& why)
{
    HCRYPTPROV provider = 0;
    BYTE random[32];
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) ||
        !CryptGenRandom(provider, sizeof random, random)) {
        why = "no random bytes: " + std::to_string(GetLastError());
        if (provider)
            CryptReleaseContext(provider, 0);
        return false;
    }
    CryptReleaseContext(provider, 0);
    const wchar_t* const letters = L"abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    std::wstring name = L"agchk", password = L"Aa1!";
    for (int i = 0; i < 6; ++i)
        name += letters[random[i] % 57];
    for (int i = 6; i < 26; ++i)
        password += letters[random[i] % 57];
    USER_INFO_1 user = {};
    user.usri1_name = &name[0];
    user.usri1_password = &password[0];
    user.usri1_priv = USER_PRIV_USER;
    wchar_t comment[] = L"agent_check: removed at its end";
    user.usri1_comment = comment;
    user.usri1_flags = UF_SCRIPT | UF_DONT_EXPIRE_PASSWD;
    DWORD wrong_field = 0;
    const NET_API_STATUS added = NetUserAdd(nullptr, 1, reinterpret_cast<BYTE*>(&user), &wrong_field);
    if (added != NERR_Success) {
        why = "NetUserAdd: " + std::to_string(added) + " (field " + std::to_string(wrong_field) + ")";
        return false;
    }
    g.account = name;
    g.password = password;
    g.account_created = true;
    PSID users = nullptr;
    wchar_t group[256], group_domain[256], domain[256];
    DWORD group_size = 256, group_domain_size = 256, domain_size = 256;
    SID_NAME_USE use;
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sid_size = sizeof sid;
    if (!ConvertStringSidToSidW(L"S-1-5-32-545", &users) ||
        !LookupAccountSidW(nullptr, users, group, &group_size, group_domain, &group_domain_size, &use) ||
        !LookupAccountNameW(nullptr, name.c_str(), sid, &sid_size, domain, &domain_size, &use)) {
        why = "cannot name the Users group or the account: " + std::to_string(GetLastError());
        LocalFree(users);
        return false;
    }
    LocalFree(users);
    LOCALGROUP_MEMBERS_INFO_0 member{sid};
    const NET_API_STATUS joined =
        NetLocalGroupAddMembers(nullptr, group, 0, reinterpret_cast<BYTE*>(&member), 1);
    if (joined != NERR_Success && joined != ERROR_MEMBER_IN_ALIAS) {
        why = "NetLocalGroupAddMembers: " + std::to_string(joined);
        return false;
    }
    return true;
}

// Everything back as it was. Called once, from the end of main or from the Ctrl+C handler.
json restore(bool interrupted)
{
    json uninstalled = json::array();
    json restored{{"interrupted", interrupted}};
    restored["product_removed"] = uninstall_products(uninstalled);
    restored["uninstalled"] = uninstalled;
    restored["proxy_restored"] = restore_proxy();
    restored["root_removed"] = remove_root();
    restored["root_was_added"] = g.root_added;
    restored["app_removed"] = remove_tree(g.work);
    if (!g.descriptor_was_there)
        DeleteFileW(g.descriptor.c_str());
    restored["task_removed"] = remove_task();
    restored["account_removed"] = remove_account();
    restored["shared_removed"] = remove_tree(g.shared);
    restored["descriptor_removed"] =
        g.descriptor_was_there || GetFileAttributesW(g.descriptor.c_str()) == INVALID_FILE_ATTRIBUTES;
    return restored;
}

BOOL WINAPI on_control(DWORD)
{
    EnterCriticalSection(&g_lock);
    if (g.finished) {
        LeaveCriticalSection(&g_lock);
        return TRUE;
    }
    g.finished = true;
    g.interrupted = true;
    if (g.child)
        TerminateProcess(g.child, 1);
    std::fprintf(stderr, "agent_check: interrupted: restoring the machine\n");
    const json restored = restore(true);
    send_report("done", {{"restored", restored}});
    std::fprintf(stderr, "agent_check: restored: %s\n", restored.dump().c_str());
    ExitProcess(130);
}

// Windows' own version (not the one the manifest lets a program see), and Wine's if it is Wine.
json windows_info()
{
    json info;
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    using version_fn = LONG(WINAPI*)(OSVERSIONINFOW*);
    using wine_fn = const char*(CDECL*)();
    const auto get_version =
        reinterpret_cast<version_fn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    const auto wine_version =
        reinterpret_cast<wine_fn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (get_version && get_version(&version) == 0) {
        info["version"] =
            std::to_string(version.dwMajorVersion) + "." + std::to_string(version.dwMinorVersion);
        info["build"] = version.dwBuildNumber;
        info["service_pack"] = narrow(version.szCSDVersion);
    }
    SYSTEM_INFO system = {};
    GetNativeSystemInfo(&system);
    info["architecture"] = system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64   ? "x64"
                           : system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL ? "x86"
                                                                                           : "other";
    info["check_bits"] = sizeof(void*) * 8;
    info["wine"] = wine_version ? wine_version() : "";
    return info;
}

// var's DACL as the file system holds it, and whether only SYSTEM, Administrators and the
// running user may reach it.
void read_var_dacl(const std::wstring& var, json& report)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = GetNamedSecurityInfoW(var.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                              nullptr, nullptr, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) {
        report["var_dacl"] = "unreadable (" + std::to_string(error) + ")";
        return;
    }
    LPWSTR sddl = nullptr;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                             DACL_SECURITY_INFORMATION, &sddl, nullptr)) {
        report["var_dacl"] = narrow(sddl);
        LocalFree(sddl);
    }
    HANDLE token = nullptr;
    std::vector<BYTE> user(256);
    DWORD size = static_cast<DWORD>(user.size());
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
        GetTokenInformation(token, TokenUser, user.data(), size, &size))
        report["var_dacl_tight"] =
            platform::var_dacl_is_tight(descriptor, reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
    if (token)
        CloseHandle(token);
    LocalFree(descriptor);
}

// The log is in the ANSI code page, as the program writes it; the lab reads UTF-8.
std::string ansi_to_utf8(const std::string& text)
{
    const int size = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0)
        return text;
    std::wstring converted(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &converted[0], size);
    return narrow(converted);
}

// A name in letters beyond ASCII that this machine's ANSI code page holds, as an APP path
// the program reads through its "A" functions must.
std::wstring ansi_letters()
{
    const wchar_t* const names[] = {
        L"Agent R\u00e9cup\u00e9ration",                                   // Western European
        L"\u0410\u0433\u0435\u043d\u0442 \u0432\u043e\u0441\u0441\u0442",  // Cyrillic
        L"\u0391\u03bd\u03ac\u03ba\u03c4\u03b7\u03c3\u03b7",               // Greek
        L"Agent Napraw\u0105",                                             // Central European
        L"\u30a8\u30fc\u30b8\u30a7\u30f3\u30c8",                           // Japanese
        L"\u4ee3\u7406\u6062\u590d",                                       // Chinese
    };
    const bool utf8 = GetACP() == CP_UTF8;
    for (const wchar_t* name : names) {
        BOOL defaulted = FALSE;
        char bytes[128];
        const int size = WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, name, -1, bytes,
                                             sizeof bytes, nullptr, utf8 ? nullptr : &defaulted);
        if (size > 0 && !defaulted)
            return name;
    }
    return L"";
}

// The scenario's APP directory: its own name, or one in letters of the ANSI code page
// beyond ASCII, or one whose exe path is 250 characters long (var's longest files then
// pass 260).
fs::path app_of(const json& scenario)
{
    const fs::path own = fs::path(g.work) / wide(scenario.at("name").get<std::string>());
    const std::string kind = scenario.value("app", "");
    if (kind == "ansi") {
        const std::wstring letters = ansi_letters();
        return letters.empty() ? fs::path() : own / letters;
    }
    if (kind == "long") {
        const std::size_t exe_length = 250, taken = own.wstring().size() + 1 + 19;  // \agent_recovery.exe
        return taken < exe_length ? own / std::wstring(exe_length - taken, L'L') : fs::path();
    }
    return own;
}

bool make_app(const fs::path& app, const json& scenario, const std::string& exe, json& report)
{
    std::error_code failed;
    fs::create_directories(app / L"etc", failed);
    if (failed || !write_whole(app / L"agent_recovery.exe", exe) ||
        !write_whole(app / L"etc" / L"config", scenario.at("config").dump()) ||
        !write_whole(app / L"etc" / L"inventory.conf", scenario.at("inventory").dump()) ||
        !write_whole(app / L"VERSION", scenario.at("version").get<std::string>() + "\n")) {
        report["error"] = "cannot make the APP directory " + narrow(app.wstring());
        return false;
    }
    if (!ensure_root() || !set_proxy(scenario.value("proxy", ""))) {
        report["error"] = "cannot set the machine up (Root store or proxy)";
        return false;
    }
    report["app"] = narrow(app.wstring());
    return true;
}

// What a run left: its log, var, var's DACL, the test product (then removed).
void read_outcome(const fs::path& app, json& report)
{
    const fs::path var = app / L"var";
    report["log"] = ansi_to_utf8(read_whole(var / L"agent_recovery.log"));
    json listing = json::array();
    std::error_code failed;
    for (const auto& entry : fs::directory_iterator(var, failed))
        listing.push_back(narrow(entry.path().filename().wstring()));
    report["var"] = listing;
    read_var_dacl(var.wstring(), report);
    json products = json::array();
    for (const std::wstring& code : installed_products())
        products.push_back(narrow(code));
    report["installed"] = !products.empty();
    report["products"] = products;
    json uninstalled = json::array();
    report["removed"] = uninstall_products(uninstalled);
    report["uninstalled"] = uninstalled;
}

json run_scenario(const json& scenario, const std::string& exe)
{
    const std::string name = scenario.at("name");
    const fs::path app = app_of(scenario);
    json report{{"scenario", name}};
    if (app.empty()) {
        report["error"] = "no APP path of this kind on this machine";
        return report;
    }
    if (!make_app(app, scenario, exe, report))
        return report;
    bool timed_out = false;
    const std::wstring program = (app / L"agent_recovery.exe").wstring();
    report["exit"] = run(L"\"" + program + L"\"", app.wstring(), run_limit_ms, timed_out);
    report["timed_out"] = timed_out;
    read_outcome(app, report);
    remove_tree((fs::path(g.work) / wide(name)).wstring());
    return report;
}

// %ProgramData%\agent_check, holding a copy of this program: SYSTEM's task and the standard
// account start it from there, and standard users may traverse it and create files in it,
// as an APP directory whose parent is not locked down would let them.
bool make_shared(std::string& why)
{
    if (!g.shared.empty() && GetFileAttributesW(g.shared.c_str()) != INVALID_FILE_ATTRIBUTES)
        return true;
    wchar_t data[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"ProgramData", data, MAX_PATH);
    wchar_t self[MAX_PATH];
    const DWORD self_length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || self_length == 0 || self_length >= MAX_PATH) {
        why = "no %ProgramData% or no path of this program";
        return false;
    }
    g.shared = std::wstring(data) + L"\\agent_check";
    if (!CreateDirectoryW(g.shared.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        why = "cannot make " + narrow(g.shared) + ": " + std::to_string(GetLastError());
        return false;
    }
    if (!CopyFileW(self, (g.shared + L"\\agent_check.exe").c_str(), FALSE)) {
        why = "cannot copy agent_check.exe into " + narrow(g.shared) + ": " + std::to_string(GetLastError());
        return false;
    }
    return true;
}

bool exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// One whole run as SYSTEM: a task runs this program, which runs the exe and leaves its exit
// status in APP\task_result.json.
json run_as_system(const json& scenario, const std::string& exe)
{
    const std::string name = scenario.at("name");
    json report{{"scenario", name}};
    std::string why;
    if (!make_shared(why)) {
        report["error"] = why;
        return report;
    }
    const fs::path app = fs::path(g.shared) / wide(name);
    if (!make_app(app, scenario, exe, report))
        return report;
    const std::wstring result = (app / L"task_result.json").wstring();
    // A start time already past: the task runs only when asked to (/run).
    const std::wstring program =
        L"\\\"" + g.shared + L"\\agent_check.exe\\\" --as-task \\\"" + app.wstring() + L"\\\"";
    g.task_created = schtasks(std::wstring(L"/create /tn ") + task_name +
                              L" /ru SYSTEM /sc once /st 00:00 /f /tr \"" + program + L"\"");
    if (!g.task_created || !schtasks(std::wstring(L"/run /tn ") + task_name)) {
        report["error"] = "schtasks could not create or run the task as SYSTEM";
        remove_task();
        return report;
    }
    const ULONGLONG deadline = GetTickCount64() + run_limit_ms + 30 * 1000;
    while (!exists(result) && GetTickCount64() < deadline) {
        release();
        Sleep(500);
        hold();
    }
    report["timed_out"] = !exists(result);
    report["task_removed"] = remove_task();
    try {
        const json task = json::parse(read_whole(result));
        for (const char* key : {"exit", "ran_as", "temp"})
            report[key] = task.value(key, json());
        report["timed_out"] = task.value("timed_out", false);
    } catch (const json::exception&) {
        report["error"] = "the task left no result in time";
    }
    read_outcome(app, report);
    remove_tree(app.wstring());
    return report;
}

// The task's side, as SYSTEM: runs APP\agent_recovery.exe and records how it ended. The
// descriptor it leaves in SYSTEM's temporary directory goes, unless one was there before.
int as_task(const std::wstring& app)
{
    wchar_t temp[MAX_PATH + 1] = L"";
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring descriptor =
        std::wstring(length > 0 && length <= MAX_PATH ? temp : L"") + L"last_agent.json";
    const bool was_there = exists(descriptor);
    bool timed_out = false;
    json result;
    result["exit"] = run(L"\"" + app + L"\\agent_recovery.exe\"", app, run_limit_ms, timed_out);
    result["timed_out"] = timed_out;
    result["temp"] = narrow(temp);
    HANDLE token = nullptr;
    std::vector<BYTE> user(256);
    DWORD size = static_cast<DWORD>(user.size());
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
        GetTokenInformation(token, TokenUser, user.data(), size, &size))
        result["ran_as"] = sid_text(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
    if (token)
        CloseHandle(token);
    if (!was_there)
        DeleteFileW(descriptor.c_str());
    const std::wstring path = app + L"\\task_result.json";
    return write_whole(path + L".partial", result.dump()) &&
                   MoveFileExW((path + L".partial").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)
               ? 0
               : 1;
}

// The standard account's side: tries to create a file in var and to replace the descriptor
// (writing it, deleting it, renaming a file over it). Exits 16, plus 1 when var took a file,
// 2 when the descriptor could be replaced, 4 when there was no descriptor to try.
int try_write(const std::wstring& var, const std::wstring& descriptor)
{
    const std::wstring probe = var + L"\\written_by_another_user";
    HANDLE file =
        CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool var_written = file != INVALID_HANDLE_VALUE;
    std::printf("var: %s (%lu)\n", var_written ? "written" : "refused", var_written ? 0 : GetLastError());
    if (var_written) {
        CloseHandle(file);
        DeleteFileW(probe.c_str());
    }
    const bool there = exists(descriptor);
    file = CreateFileW(descriptor.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    bool replaced = file != INVALID_HANDLE_VALUE;
    std::printf("descriptor opened for writing: %s (%lu)\n", replaced ? "yes" : "refused",
                replaced ? 0 : GetLastError());
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    const std::wstring mine = descriptor + L".another_user";
    file =
        CreateFileW(mine.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        const bool moved = MoveFileExW(mine.c_str(), descriptor.c_str(), MOVEFILE_REPLACE_EXISTING);
        std::printf("descriptor renamed over: %s (%lu)\n", moved ? "yes" : "refused",
                    moved ? 0 : GetLastError());
        replaced = replaced || moved;
        DeleteFileW(mine.c_str());
    }
    const bool deleted = DeleteFileW(descriptor.c_str());
    std::printf("descriptor deleted: %s (%lu)\n", deleted ? "yes" : "refused", deleted ? 0 : GetLastError());
    replaced = replaced || deleted;
    return 16 | (var_written ? 1 : 0) | (replaced ? 2 : 0) | (there ? 0 : 4);
}

// A run as the administrator whose temporary directory every user may create files in, as
// SYSTEM's is; then a standard account tries var and the descriptor there.
json run_standard_account(const json& scenario, const std::string& exe)
{
    const std::string name = scenario.at("name");
    json report{{"scenario", name}};
    std::string why;
    if (!make_shared(why)) {
        report["error"] = why;
        return report;
    }
    const fs::path app = fs::path(g.shared) / wide(name);
    const std::wstring temp = g.shared + L"\\temp";
    if (!make_app(app, scenario, exe, report) ||
        (!CreateDirectoryW(temp.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS))
        return report;
    bool timed_out = false;
    // The run inherits them; this process's own are put back at once.
    std::vector<std::pair<const wchar_t*, std::wstring>> saved;
    for (const wchar_t* variable : {L"TMP", L"TEMP"}) {
        wchar_t value[32768];
        const DWORD length = GetEnvironmentVariableW(variable, value, 32768);
        saved.emplace_back(variable, length > 0 && length < 32768 ? value : L"");
        SetEnvironmentVariableW(variable, temp.c_str());
    }
    report["exit"] =
        run(L"\"" + (app / L"agent_recovery.exe").wstring() + L"\"", app.wstring(), run_limit_ms, timed_out);
    for (const auto& variable : saved)
        SetEnvironmentVariableW(variable.first, variable.second.empty() ? nullptr : variable.second.c_str());
    report["timed_out"] = timed_out;
    if (g.account.empty() && !create_account(why)) {
        report["error"] = "no standard account: " + why;
        remove_account();
        read_outcome(app, report);
        return report;
    }
    report["account"] = narrow(g.account);
    const std::wstring descriptor = temp + L"\\last_agent.json";
    std::wstring line = L"\"" + g.shared + L"\\agent_check.exe\" --try-write \"" + (app / L"var").wstring() +
                        L"\" \"" + descriptor + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    // No profile loaded: nothing of the account is left on disk but what NetUserDel removes.
    if (!CreateProcessWithLogonW(g.account.c_str(), L".", g.password.c_str(), 0, nullptr, &line[0],
                                 CREATE_NO_WINDOW, nullptr, g.shared.c_str(), &startup, &info)) {
        report["error"] =
            "cannot start a process as " + narrow(g.account) + ": " + std::to_string(GetLastError());
    } else {
        CloseHandle(info.hThread);
        g.child = info.hProcess;
        release();
        if (WaitForSingleObject(info.hProcess, 60 * 1000) == WAIT_TIMEOUT)
            TerminateProcess(info.hProcess, 1);
        hold();
        g.child = nullptr;
        DWORD code = 0;
        GetExitCodeProcess(info.hProcess, &code);
        CloseHandle(info.hProcess);
        report["attempt_exit"] = code;
        const bool ran = (code & ~7u) == 16 && !(code & 4);
        report["var_write_refused"] = ran && !(code & 1);
        report["descriptor_replace_refused"] = ran && !(code & 2);
    }
    report["account_removed"] = remove_account();
    read_outcome(app, report);
    remove_tree(app.wstring());
    return report;
}

// An explicit ACE of LOCAL SERVICE's on the served descriptor, read back after
// agent_publish replaced the file.
bool has_local_service_ace(const std::wstring& path, std::string& sddl)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    PSID service = nullptr;
    ConvertStringSidToSidW(L"S-1-5-19", &service);
    bool found = false;
    for (DWORD i = 0; dacl && service && i < dacl->AceCount && !found; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace))
            continue;
        const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        found = allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
                !(allowed->Header.AceFlags & INHERITED_ACE) &&
                (allowed->Mask & FILE_GENERIC_READ) == FILE_GENERIC_READ &&
                EqualSid(const_cast<DWORD*>(&allowed->SidStart), service);
    }
    LPWSTR text = nullptr;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                             DACL_SECURITY_INFORMATION, &text, nullptr)) {
        sddl = narrow(text);
        LocalFree(text);
    }
    LocalFree(service);
    LocalFree(descriptor);
    return found;
}

bool add_local_service_ace(const std::wstring& path)
{
    PACL dacl = nullptr, merged = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PSID service = nullptr;
    if (!ConvertStringSidToSidW(L"S-1-5-19", &service) ||
        GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        LocalFree(service);
        return false;
    }
    EXPLICIT_ACCESS_W entry = {};
    entry.grfAccessPermissions = FILE_GENERIC_READ;
    entry.grfAccessMode = GRANT_ACCESS;
    entry.grfInheritance = NO_INHERITANCE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entry.Trustee.ptstrName = static_cast<LPWSTR>(service);
    const bool ok =
        SetEntriesInAclW(1, &entry, dacl, &merged) == ERROR_SUCCESS &&
        SetNamedSecurityInfoW(const_cast<LPWSTR>(path.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, merged, nullptr) == ERROR_SUCCESS;
    LocalFree(merged);
    LocalFree(descriptor);
    LocalFree(service);
    return ok;
}

// agent_publish.exe publishes into a site of its own, the served descriptor gets an ACE of
// the operator's, and a withdrawal replaces the descriptor: the ACE must still be there.
json run_publish(const json& scenario, const std::string& publish, const std::string& msi)
{
    const std::string name = scenario.at("name");
    json report{{"scenario", name}};
    const fs::path dir = fs::path(g.work) / wide(name);
    std::error_code failed;
    fs::create_directories(dir, failed);
    if (failed || publish.empty() || msi.empty() || !write_whole(dir / L"agent_publish.exe", publish) ||
        !write_whole(dir / L"agent.msi", msi)) {
        report["error"] = "cannot make " + narrow(dir.wstring()) + " (did the lab serve agent_publish.exe?)";
        return report;
    }
    const std::wstring program = L"\"" + (dir / L"agent_publish.exe").wstring() + L"\" ";
    const std::wstring site = L" --site \"" + (dir / L"site").wstring() + L"\"";
    const std::wstring descriptor = (dir / L"site" / L"descriptors" / L"urgent.json").wstring();
    bool timed_out = false;
    json exits = json::array();
    exits.push_back(run(program + L"init" + site, dir.wstring(), run_limit_ms, timed_out));
    // The package's signer chains to the lab's CA, which the Windows build trusts through Root.
    ensure_root();
    exits.push_back(
        run(program + L"publish agent.msi --base-url https://updates.example.com/ --untimestamped" + site,
            dir.wstring(), run_limit_ms, timed_out));
    const bool ace_set = add_local_service_ace(descriptor);
    std::string before, after;
    has_local_service_ace(descriptor, before);
    exits.push_back(run(program + L"withdraw" + site, dir.wstring(), run_limit_ms, timed_out));
    report["publish_exits"] = exits;
    report["publish_exit"] = exits[0] != 0 ? exits[0] : exits[1] != 0 ? exits[1] : exits[2];
    report["ace_set"] = ace_set;
    report["dacl_set"] = before;
    report["descriptor_ace_kept"] = ace_set && has_local_service_ace(descriptor, after);
    report["dacl_after"] = after;
    remove_tree(dir.wstring());
    return report;
}

bool parse_lab_url(const std::string& url)
{
    const std::string scheme = "http://";
    if (url.compare(0, scheme.size(), scheme) != 0)
        return false;
    const std::string rest = url.substr(scheme.size());
    const std::size_t colon = rest.find(':');
    if (colon == std::string::npos)
        return false;
    g.lab_host = wide(rest.substr(0, colon));
    g.lab_port = static_cast<INTERNET_PORT>(std::atoi(rest.c_str() + colon + 1));
    return g.lab_port != 0;
}

}  // namespace

int main()
{
    InitializeCriticalSection(&g_lock);
    g_main_thread = GetCurrentThreadId();
    hold();
    // Wide arguments: an account's name may be in any language.
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::wstring> args(argv ? argv : nullptr, argv ? argv + argc : nullptr);
    LocalFree(argv);
    if (args.size() == 3 && args[1] == L"--as-task")
        return as_task(args[2]);
    if (args.size() == 4 && args[1] == L"--try-write")
        return try_write(args[2], args[3]);
    if (args.size() == 4 && args[2] == L"--account") {
        g.account = args[3];
        wchar_t password[256];
        const DWORD length = GetEnvironmentVariableW(L"AGENT_CHECK_PASSWORD", password, 256);
        g.password = length > 0 && length < 256 ? password : L"";
        SetEnvironmentVariableW(L"AGENT_CHECK_PASSWORD", nullptr);
    }
    if ((args.size() != 2 && args.size() != 4) || (args.size() == 4 && args[2] != L"--account") ||
        !parse_lab_url(narrow(args[1]))) {
        std::fprintf(stderr,
                     "usage: agent_check http://LAB-ADDRESS:PORT/ [--account STANDARD-USER]\n"
                     "       (with --account, the account's password in AGENT_CHECK_PASSWORD; without it a\n"
                     "       temporary local account is made and removed)\n");
        return 2;
    }
    std::string plan_text, exe, ca_pem, publish, msi;
    if (!lab_request(L"GET", "/check/plan.json", "", plan_text) ||
        !lab_request(L"GET", "/check/agent_recovery.exe", "", exe) ||
        !lab_request(L"GET", "/check/ca.pem", "", ca_pem))
        return 1;
    json plan;
    try {
        plan = json::parse(plan_text);
    } catch (const json::exception& e) {
        std::fprintf(stderr, "agent_check: the lab's plan is no JSON: %s\n", e.what());
        return 1;
    }
    DWORD size = 0;
    if (!CryptStringToBinaryA(ca_pem.c_str(), static_cast<DWORD>(ca_pem.size()), CRYPT_STRING_BASE64HEADER,
                              nullptr, &size, nullptr, nullptr)) {
        std::fprintf(stderr, "agent_check: the lab's CA is no PEM certificate\n");
        return 1;
    }
    g.ca.resize(size);
    CryptStringToBinaryA(ca_pem.c_str(), static_cast<DWORD>(ca_pem.size()), CRYPT_STRING_BASE64HEADER,
                         g.ca.data(), &size, nullptr, nullptr);
    g.upgrade_code = wide(plan.at("upgrade_code"));
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH) {
        std::fprintf(stderr, "agent_check: no temporary directory: %lu\n", GetLastError());
        return 1;
    }
    g.work = std::wstring(temp) + L"agent_check";
    g.descriptor = std::wstring(temp) + L"last_agent.json";
    g.descriptor_was_there = GetFileAttributesW(g.descriptor.c_str()) != INVALID_FILE_ATTRIBUTES;
    save_proxy();

    json hello = windows_info();
    g.wine = hello.value("wine", "");
    // What only the rows Wine cannot show need.
    if (g.wine.empty() && (!lab_request(L"GET", "/check/agent_publish.exe", "", publish) ||
                           !lab_request(L"GET", "/check/agent.msi", "", msi)))
        std::fprintf(stderr, "agent_check: the lab serves no agent_publish.exe or agent.msi\n");
    hello["exe_sha256"] = sha256_hex(exe);
    // A test product left by an earlier check would make every row read "installed".
    json uninstalled = json::array();
    hello["product_removed_first"] = uninstall_products(uninstalled);
    hello["uninstalled_first"] = uninstalled;
    SetConsoleCtrlHandler(on_control, TRUE);
    release();
    send_report("hello", hello);
    std::printf("agent_check: %s\n", hello.dump().c_str());

    for (const json& scenario : plan.at("scenarios")) {
        hold();
        const std::string runs = scenario.value("runs", "");
        json report;
        if (!runs.empty() && !g.wine.empty())
            report = {{"scenario", scenario.at("name")},
                      {"not_run",
                       "under Wine, which has no SYSTEM account, no second account's tokens and "
                       "keeps no ACLs"}};
        else if (runs == "system")
            report = run_as_system(scenario, exe);
        else if (runs == "standard_account")
            report = run_standard_account(scenario, exe);
        else if (runs == "publish")
            report = run_publish(scenario, publish, msi);
        else
            report = run_scenario(scenario, exe);
        release();
        std::printf("agent_check: %s: exit %s, installed %s\n", report["scenario"].get<std::string>().c_str(),
                    report.value("exit", json()).dump().c_str(),
                    report.value("installed", json()).dump().c_str());
        std::fflush(stdout);
        send_report(scenario.at("name"), report);
    }
    hold();
    g.finished = true;
    const json restored = restore(false);
    release();
    send_report("done", {{"restored", restored}});
    std::printf("agent_check: restored: %s\n", restored.dump().c_str());
    return 0;
}
