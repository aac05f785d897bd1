#include "build_paths.h"
#include "fixtures.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "server_process.h"

namespace fs = std::filesystem;

namespace {

// Made here only when CTest did not fill the build's directory; removed at exit.
struct own_fixtures {
    std::string root;
    ~own_fixtures()
    {
        std::error_code ignored;
        if (!root.empty())
            fs::remove_all(root, ignored);
    }
};

}  // namespace

const std::string& fixtures_dir()
{
    static own_fixtures made;
    static const std::string dir = [] {
        if (fs::exists(std::string(build_paths::fixtures_dir) + "/signed_ok.msi"))
            return std::string(build_paths::fixtures_dir);
        made.root = make_temp_dir("recovery-fixtures");
        const std::string out = made.root + "/fixtures";
        const int status = run_process({"bash", build_paths::fixtures_script, out}, {},
                                       made.root + "/make.log", made.root + "/make.log", 120);
        if (status != 0)
            throw std::runtime_error("make_fixtures.sh failed (" + std::to_string(status) +
                                     "): " + read_file(made.root + "/make.log"));
        return out;
    }();
    return dir;
}

std::string fixture(const std::string& name)
{
    return fixtures_dir() + "/" + name;
}

std::string sha256_of(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    const std::string data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 0x0F];
    }
    return text;
}

bool sign_with_organisation(const std::string& work, const std::string& organisation,
                            const std::string& out_msi)
{
    bool ok = false;
    X509* ca = nullptr;
    EVP_PKEY* ca_key = nullptr;
    if (FILE* f = std::fopen((fixture("ca.pem")).c_str(), "r")) {
        ca = PEM_read_X509(f, nullptr, nullptr, nullptr);
        std::fclose(f);
    }
    if (FILE* f = std::fopen((fixture("ca.key")).c_str(), "r")) {
        ca_key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
        std::fclose(f);
    }
    EVP_PKEY* key = EVP_RSA_gen(2048);
    X509* cert = X509_new();
    X509_NAME* name = X509_NAME_new();
    const std::string cert_file = work + "/org_signer.pem";
    const std::string key_file = work + "/org_signer.key";
    if (ca != nullptr && ca_key != nullptr && key != nullptr && cert != nullptr && name != nullptr) {
        X509V3_CTX ctx;
        X509V3_set_ctx(&ctx, ca, cert, nullptr, nullptr, 0);
        const auto add_ext = [&](int nid, const char* value) {
            X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
            const bool added = ext != nullptr && X509_add_ext(cert, ext, -1) == 1;
            X509_EXTENSION_free(ext);
            return added;
        };
        ok = X509_set_version(cert, 2) == 1 && ASN1_INTEGER_set(X509_get_serialNumber(cert), 0x6B6B) == 1 &&
             X509_gmtime_adj(X509_getm_notBefore(cert), -86400) != nullptr &&
             X509_gmtime_adj(X509_getm_notAfter(cert), 86400L * 365) != nullptr &&
             X509_NAME_add_entry_by_NID(name, NID_organizationName, V_ASN1_UTF8STRING,
                                        reinterpret_cast<const unsigned char*>(organisation.data()),
                                        static_cast<int>(organisation.size()), -1, 0) == 1 &&
             X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                        reinterpret_cast<const unsigned char*>("Organisation Signing"), -1,
                                        -1, 0) == 1 &&
             X509_set_subject_name(cert, name) == 1 &&
             X509_set_issuer_name(cert, X509_get_subject_name(ca)) == 1 && X509_set_pubkey(cert, key) == 1 &&
             add_ext(NID_basic_constraints, "critical,CA:FALSE") &&
             add_ext(NID_key_usage, "critical,digitalSignature") &&
             add_ext(NID_ext_key_usage, "codeSigning") && add_ext(NID_authority_key_identifier, "keyid") &&
             X509_sign(cert, ca_key, EVP_sha256()) > 0;
    }
    if (ok) {
        FILE* c = std::fopen(cert_file.c_str(), "w");
        FILE* k = std::fopen(key_file.c_str(), "w");
        ok = c != nullptr && k != nullptr && PEM_write_X509(c, cert) == 1 &&
             PEM_write_PrivateKey(k, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
        if (c != nullptr)
            std::fclose(c);
        if (k != nullptr)
            std::fclose(k);
    }
    X509_NAME_free(name);
    X509_free(cert);
    EVP_PKEY_free(key);
    EVP_PKEY_free(ca_key);
    X509_free(ca);
    ERR_clear_error();
    if (!ok)
        return false;
    fs::remove(out_msi);
    return run_process({"osslsigncode", "sign", "-h", "sha256", "-certs", cert_file, "-key", key_file, "-in",
                        fixture("unsigned.msi"), "-out", out_msi},
                       {}, "", "", 60) == 0;
}
