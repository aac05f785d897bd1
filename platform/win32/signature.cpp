// The time stamp and signer expiry of a package's signature. An object of its own (no
// unity build): agent_recovery.exe never asks, so it must not import what this uses.
#include "platform/trust.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include <windows.h>
#include <wincrypt.h>

namespace platform {

namespace {

// One parameter of the first signer (Authenticode has exactly one; a nested signature
// lives in its unsigned attributes and is not this one).
bool signer_param(HCRYPTMSG message, DWORD type, std::vector<BYTE>& value)
{
    DWORD size = 0;
    if (!CryptMsgGetParam(message, type, 0, nullptr, &size))
        return false;
    value.resize(size);
    return CryptMsgGetParam(message, type, 0, value.data(), &size) != FALSE;
}

bool first_signer_time_stamped(HCRYPTMSG message, bool& time_stamped)
{
    time_stamped = false;
    std::vector<BYTE> buffer;
    if (!signer_param(message, CMSG_SIGNER_UNAUTH_ATTR_PARAM, buffer))
        return GetLastError() == static_cast<DWORD>(CRYPT_E_ATTRIBUTES_MISSING);
    // Windows says "missing" when there are none; Wine succeeds with no bytes at all.
    if (buffer.size() < sizeof(CRYPT_ATTRIBUTES))
        return true;
    const auto* attributes = reinterpret_cast<const CRYPT_ATTRIBUTES*>(buffer.data());
    for (DWORD i = 0; i < attributes->cAttr; ++i) {
        const char* type = attributes->rgAttr[i].pszObjId;
        if (type != nullptr && (std::strcmp(type, szOID_RFC3161_counterSign) == 0 ||
                                std::strcmp(type, szOID_RSA_counterSign) == 0)) {
            time_stamped = true;
        }
    }
    return true;
}

// The certificate the signer info names, from the signature's own certificates: no
// trust verdict stands between an expired signer and its expiry.
bool signer_not_after(HCRYPTMSG message, HCERTSTORE certificates, std::string& day)
{
    std::vector<BYTE> id;
    if (!signer_param(message, CMSG_SIGNER_CERT_INFO_PARAM, id))
        return false;
    PCCERT_CONTEXT signer = CertGetSubjectCertificateFromStore(
        certificates, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, reinterpret_cast<PCERT_INFO>(id.data()));
    if (signer == nullptr)
        return false;
    SYSTEMTIME until = {};
    const bool ok = FileTimeToSystemTime(&signer->pCertInfo->NotAfter, &until) != FALSE;
    CertFreeCertificateContext(signer);
    if (!ok)
        return false;
    char text[16];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", static_cast<unsigned>(until.wYear),
                  static_cast<unsigned>(until.wMonth), static_cast<unsigned>(until.wDay));
    day = text;
    return true;
}

}  // namespace

bool trust_signature_timing(const std::u16string& path, bool& time_stamped, std::string& signer_expiry)
{
    time_stamped = false;
    signer_expiry.clear();
    if (path.empty() || path.find(u'\0') != std::u16string::npos)
        return false;
    DWORD encoding = 0;
    DWORD content = 0;
    DWORD format = 0;
    HCERTSTORE certificates = nullptr;
    HCRYPTMSG message = nullptr;
    // The signature embedded in the package, found by the system's subject interface
    // package for its type (msisip.dll for MSI files).
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, reinterpret_cast<const wchar_t*>(path.c_str()),
                          CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY, 0,
                          &encoding, &content, &format, &certificates, &message, nullptr)) {
        return false;
    }
    bool stamped = false;
    std::string day;
    const bool ok =
        first_signer_time_stamped(message, stamped) && signer_not_after(message, certificates, day);
    CryptMsgClose(message);
    CertCloseStore(certificates, 0);
    if (!ok)
        return false;
    time_stamped = stamped;
    signer_expiry = day;
    return true;
}

}  // namespace platform
