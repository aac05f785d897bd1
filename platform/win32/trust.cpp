#include "platform/trust.h"

#include <vector>
#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <msi.h>

namespace platform {

namespace {

// The part of WINTRUST_DATA that is filled in; later members are not supplied.
constexpr DWORD trust_data_size = offsetof(WINTRUST_DATA, dwUIContext) + sizeof(DWORD);

#if !defined(_WIN64)
static_assert(sizeof(WINTRUST_FILE_INFO) == 16, "WINTRUST_FILE_INFO layout");
static_assert(trust_data_size == 48, "WINTRUST_DATA layout up to dwUIContext");
static_assert(sizeof(STARTUPINFOA) == 68, "STARTUPINFOA layout");
#endif

const wchar_t* wide(const std::u16string& path)
{
    return reinterpret_cast<const wchar_t*>(path.c_str());
}

}  // namespace

bool trust_verify_file(const std::u16string& path)
{
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = wide(path);
    file.hFile = nullptr;
    file.pgKnownSubject = nullptr;

    WINTRUST_DATA data = {};
    data.cbStruct = trust_data_size;
    data.pPolicyCallbackData = nullptr;
    data.pSIPClientData = nullptr;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.hWVTStateData = nullptr;
    data.pwszURLReference = nullptr;
    data.dwProvFlags = 0;
    data.dwUIContext = 0;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG status = WinVerifyTrust(nullptr, &action, &data);

    // Releases the verification state whatever the verdict.
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(nullptr, &action, &data);
    return status == 0;
}

bool trust_signer_organisation(const std::u16string& path, char16_t* buffer, std::size_t units)
{
    std::vector<BYTE> hash(8192);
    DWORD hash_size = 8192;
    PCCERT_CONTEXT certificate = nullptr;
    const HRESULT result =
        MsiGetFileSignatureInformationW(wide(path), 0, &certificate, hash.data(), &hash_size);
    hash.clear();
    hash.shrink_to_fit();
    if (result != S_OK || certificate == nullptr) {
        if (certificate != nullptr)
            CertFreeCertificateContext(certificate);
        return false;
    }
    buffer[0] = u'\0';
    const DWORD written =
        CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_ORGANIZATION_NAME),
                           reinterpret_cast<wchar_t*>(buffer), static_cast<DWORD>(units));
    buffer[units - 1] = u'\0';
    CertFreeCertificateContext(certificate);
    // The count includes the terminator. A NUL before it would let "VELQUORA SA\0..."
    // pass for "VELQUORA SA" in a comparison of C strings: no such name is usable.
    const std::size_t length = written > 0 ? (written - 1 < units - 1 ? written - 1 : units - 1) : 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (buffer[i] == u'\0')
            return false;
    }
    return true;
}

// WinVerifyTrust and WinINet take their roots from the machine's store only.
bool trust_only_roots(const std::string&)
{
    return false;
}

}  // namespace platform
