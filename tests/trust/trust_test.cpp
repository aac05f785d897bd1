// The Authenticode stand-in against real packages: built by wixl and signed by
// osslsigncode under a throw-away PKI (tests/fixtures/make_fixtures.sh).
#include "platform/trust.h"

#include <gtest/gtest.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "build_paths.h"
#include "fixtures.h"
#include "server_process.h"

namespace fs = std::filesystem;

namespace {

const char16_t kExpected[] = u"VELQUORA SA";

std::u16string widen_ascii(const std::string& text)
{
    std::u16string wide;
    for (const char c : text) {
        EXPECT_GE(static_cast<signed char>(c), 0) << "test paths must be ASCII: " << text;
        wide += static_cast<char16_t>(c);
    }
    return wide;
}

std::string shell_quoted(const std::string& text)
{
    std::string out = "'";
    for (const char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Sets (or with nullptr removes) an environment variable for one scope.
class scoped_env {
public:
    scoped_env(const char* name, const char* value) : name_(name)
    {
        const char* old = std::getenv(name);
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~scoped_env()
    {
        if (had_) {
            setenv(name_.c_str(), old_.c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }
    scoped_env(const scoped_env&) = delete;
    scoped_env& operator=(const scoped_env&) = delete;

private:
    std::string name_;
    std::string old_;
    bool had_ = false;
};

struct organisation_result {
    bool ok;
    std::u16string text;
};

// Calls trust_signer_organisation on a buffer pre-filled with junk, so a missing
// terminator shows up.
organisation_result read_organisation(const std::u16string& path, std::size_t units = 64)
{
    std::vector<char16_t> buffer(units + 8, u'#');
    organisation_result result;
    result.ok = platform::trust_signer_organisation(path, buffer.data(), units);
    std::size_t length = 0;
    while (length < units && buffer[length] != u'\0')
        ++length;
    EXPECT_LT(length, units) << "no NUL within the buffer";
    result.text.assign(buffer.data(), length);
    for (std::size_t i = units; i < buffer.size(); ++i) {
        EXPECT_EQ(buffer[i], u'#') << "written past the buffer at " << i;
    }
    return result;
}

// gtest prints std::u16string as code units; keep messages readable.
std::string printable(const std::u16string& text)
{
    std::string out;
    for (const char16_t c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char escape[16];
            std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
            out += escape;
        }
    }
    return out;
}

class Trust : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        try {
            dir_ = fixtures_dir();
        } catch (const std::exception& e) {
            setup_error_ = e.what();
        }
        bundle_ = dir_ + "/trusted_bundle.pem";
        setenv("SSL_CERT_FILE", bundle_.c_str(), 1);
    }

    static void TearDownTestSuite() { unsetenv("SSL_CERT_FILE"); }

    void SetUp() override
    {
        ASSERT_TRUE(setup_error_.empty()) << setup_error_;
        ASSERT_TRUE(fs::is_regular_file(dir_ + "/signed_ok.msi")) << "no fixtures in " << dir_;
        // Each case starts from the trusted bundle, whatever an earlier one did.
        setenv("SSL_CERT_FILE", bundle_.c_str(), 1);
        scratch_ = make_temp_dir("trust_case");
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(scratch_, ignored);
    }

    static std::string file(const char* name) { return dir_ + "/" + name; }
    static std::u16string path(const char* name) { return widen_ascii(file(name)); }

    // A bundle in this case's scratch directory made of the named fixture certificates.
    std::string bundle_of(const std::vector<const char*>& certificates) const
    {
        const std::string bundle = scratch_ + "/bundle.pem";
        std::string command = "cat";
        for (const char* name : certificates)
            command += " " + shell_quoted(file(name));
        command += " > " + shell_quoted(bundle);
        EXPECT_EQ(std::system(command.c_str()), 0);
        return bundle;
    }

    static std::string dir_;
    static std::string bundle_;
    static std::string setup_error_;
    std::string scratch_;
};

std::string Trust::dir_;
std::string Trust::bundle_;
std::string Trust::setup_error_;

// --- trust_verify_file -------------------------------------------------------------

TEST_F(Trust, AcceptsPackagesSignedUnderTheTrustedRoot)
{
    // Whatever the organisation: judging it is not the verifier's job.
    for (const char* name : {"signed_ok.msi", "signed_lower.msi", "signed_dot.msi", "signed_space.msi",
                             "signed_long.msi", "signed_noorg.msi", "signed_unicode.msi"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(platform::trust_verify_file(path(name)));
    }
}

TEST_F(Trust, RefusesPackagesWithoutSignature)
{
    EXPECT_FALSE(platform::trust_verify_file(path("unsigned.msi")));
    EXPECT_FALSE(platform::trust_verify_file(path("other.msi")));
}

TEST_F(Trust, RefusesContentThatDoesNotMatchItsSignature)
{
    // A genuine trusted signature moved onto another package.
    EXPECT_FALSE(platform::trust_verify_file(path("tampered.msi")));
    // One byte of a signed package changed afterwards.
    EXPECT_FALSE(platform::trust_verify_file(path("tampered_bytes.msi")));
}

TEST_F(Trust, RefusesSignersOutsideTheTrustStore)
{
    EXPECT_FALSE(platform::trust_verify_file(path("signed_untrusted_ca.msi")));
    EXPECT_FALSE(platform::trust_verify_file(path("signed_selfsigned.msi")));
}

TEST_F(Trust, TrustStoreIsTheFileNamedBySslCertFile)
{
    {
        scoped_env store("SSL_CERT_FILE", bundle_of({"other_ca.pem"}).c_str());
        EXPECT_TRUE(platform::trust_verify_file(path("signed_untrusted_ca.msi")));
        EXPECT_FALSE(platform::trust_verify_file(path("signed_ok.msi")));
    }
    {
        scoped_env store("SSL_CERT_FILE", bundle_of({"ca.pem", "other_ca.pem"}).c_str());
        EXPECT_TRUE(platform::trust_verify_file(path("signed_untrusted_ca.msi")));
        EXPECT_TRUE(platform::trust_verify_file(path("signed_ok.msi")));
    }
    {
        scoped_env store("SSL_CERT_FILE", (scratch_ + "/no_such_bundle.pem").c_str());
        EXPECT_FALSE(platform::trust_verify_file(path("signed_ok.msi")));
    }
}

TEST_F(Trust, WithoutSslCertFileTheTestRootIsNotTrusted)
{
    // Unset and empty both mean the system bundle, which lacks the throw-away root.
    {
        scoped_env store("SSL_CERT_FILE", nullptr);
        EXPECT_FALSE(platform::trust_verify_file(path("signed_ok.msi")));
    }
    {
        scoped_env store("SSL_CERT_FILE", "");
        EXPECT_FALSE(platform::trust_verify_file(path("signed_ok.msi")));
    }
}

TEST_F(Trust, RefusesSignerWithoutCodeSigningUsage)
{
    // Chains to the trusted root, but the certificate is for TLS servers only.
    EXPECT_FALSE(platform::trust_verify_file(path("signed_server_eku.msi")));
}

TEST_F(Trust, ExpiredSignerNeedsATrustedTimeStamp)
{
    EXPECT_FALSE(platform::trust_verify_file(path("signed_expired.msi")));
    // Stamped while the certificate was valid, by an authority the store trusts.
    EXPECT_TRUE(platform::trust_verify_file(path("signed_expired_timestamped.msi")));
    EXPECT_FALSE(platform::trust_verify_file(path("signed_expired_untrusted_tsa.msi")));
}

// --- trust_signer_organisation ------------------------------------------------------

TEST_F(Trust, ReadsTheSignerOrganisation)
{
    const organisation_result got = read_organisation(path("signed_ok.msi"));
    EXPECT_TRUE(got.ok);
    EXPECT_EQ(got.text, kExpected) << printable(got.text);
}

TEST_F(Trust, ReadsNearMissOrganisationsExactly)
{
    // Read back byte for byte, so the caller's exact comparison refuses them.
    const struct {
        const char* file;
        const char16_t* organisation;
    } cases[] = {
        {"signed_lower.msi", u"velquora sa"},
        {"signed_dot.msi", u"VELQUORA SA."},
        {"signed_space.msi", u"VELQUORA SA "},
        {"signed_unicode.msi", u"V\u00E9lquora \u00DCn\u00EFcode \U0001F512 SA"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const organisation_result got = read_organisation(path(c.file));
        EXPECT_TRUE(got.ok);
        EXPECT_EQ(got.text, c.organisation) << printable(got.text);
        EXPECT_NE(got.text, kExpected);
    }
}

TEST_F(Trust, CutsTheOrganisationToTheBuffer)
{
    const std::u16string full = u"VELQUORA SA Long Organisation Name 12345";
    ASSERT_EQ(full.size(), 40u);
    const struct {
        std::size_t units;
        std::u16string expected;
    } cases[] = {
        {32, full.substr(0, 31)},  // as a 32-unit Windows buffer holds it
        {40, full.substr(0, 39)}, {41, full}, {256, full}, {1, u""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.units);
        const organisation_result got = read_organisation(path("signed_long.msi"), c.units);
        EXPECT_TRUE(got.ok);
        EXPECT_EQ(got.text, c.expected) << printable(got.text);
    }
}

TEST_F(Trust, OrganisationIsEmptyWhenTheSubjectHasNone)
{
    const organisation_result got = read_organisation(path("signed_noorg.msi"));
    EXPECT_TRUE(got.ok);
    EXPECT_EQ(got.text, u"") << printable(got.text);
}

TEST_F(Trust, OrganisationNeedsASignature)
{
    EXPECT_FALSE(read_organisation(path("unsigned.msi")).ok);
    EXPECT_FALSE(read_organisation(path("other.msi")).ok);
}

TEST_F(Trust, NoBufferNoOrganisation)
{
    char16_t buffer[4] = {u'#', u'#', u'#', u'#'};
    EXPECT_FALSE(platform::trust_signer_organisation(path("signed_ok.msi"), nullptr, 32));
    EXPECT_FALSE(platform::trust_signer_organisation(path("signed_ok.msi"), buffer, 0));
    EXPECT_EQ(buffer[0], u'#');
}

// --- paths -------------------------------------------------------------------------

TEST_F(Trust, PathsThatNameNoPackageFailBothChecks)
{
    const std::u16string scratch = widen_ascii(scratch_);
    const std::u16string lone_high = path("signed_ok.msi") + u'\xD800';
    const std::u16string lone_low = scratch + u"/\xDC00.msi";
    const std::u16string inner_nul = path("signed_ok.msi") + u'\0' + u".txt";
    for (const std::u16string& bad :
         {scratch + u"/missing.msi", scratch, std::u16string(), lone_high, lone_low, inner_nul}) {
        SCOPED_TRACE(printable(bad));
        EXPECT_FALSE(platform::trust_verify_file(bad));
        EXPECT_FALSE(read_organisation(bad).ok);
    }
}

TEST_F(Trust, NonAsciiPathsReachTheFile)
{
    // A two-byte UTF-8 directory and a file name outside the BMP (a surrogate pair).
    const std::string dir = scratch_ + u8"/Ag\u00E9nt \u00FCn\u00EFcode";
    const std::string copy = dir + u8"/paquet \U0001F512.msi";
    ASSERT_TRUE(fs::create_directory(dir));
    ASSERT_TRUE(fs::copy_file(file("signed_ok.msi"), copy));
    const std::u16string wide =
        widen_ascii(scratch_) + u"/Ag\u00E9nt \u00FCn\u00EFcode/paquet \U0001F512.msi";

    EXPECT_TRUE(platform::trust_verify_file(wide));
    const organisation_result got = read_organisation(wide);
    EXPECT_TRUE(got.ok);
    EXPECT_EQ(got.text, kExpected) << printable(got.text);
}

// --- hygiene -----------------------------------------------------------------------

TEST_F(Trust, LeavesNoTemporaryFilesNorOpenSslErrors)
{
    const std::string tmp = scratch_ + "/tmp";
    ASSERT_TRUE(fs::create_directory(tmp));
    scoped_env redirect("TMPDIR", tmp.c_str());
    ERR_clear_error();

    EXPECT_TRUE(read_organisation(path("signed_ok.msi")).ok);
    EXPECT_FALSE(read_organisation(path("unsigned.msi")).ok);
    EXPECT_FALSE(read_organisation(path("missing.msi")).ok);
    EXPECT_TRUE(platform::trust_verify_file(path("signed_ok.msi")));
    bool stamped = false;
    std::string expiry;
    EXPECT_TRUE(platform::trust_signature_timing(path("signed_token.msi"), stamped, expiry));
    EXPECT_FALSE(platform::trust_signature_timing(path("unsigned.msi"), stamped, expiry));

    EXPECT_TRUE(fs::is_empty(tmp)) << "left behind in " << tmp;
    // A stale error would mislead the next OpenSSL user in this thread (TLS).
    EXPECT_EQ(ERR_peek_error(), 0ul);
}

TEST_F(Trust, OneCheckTakesMilliseconds)
{
    const auto start = std::chrono::steady_clock::now();
    const bool verified = platform::trust_verify_file(path("signed_ok.msi"));
    const auto middle = std::chrono::steady_clock::now();
    const organisation_result got = read_organisation(path("signed_ok.msi"));
    const auto end = std::chrono::steady_clock::now();
    EXPECT_TRUE(verified);
    EXPECT_TRUE(got.ok);

    using ms = std::chrono::duration<double, std::milli>;
    std::cout << "[  timing  ] verify " << ms(middle - start).count() << " ms, organisation "
              << ms(end - middle).count() << " ms\n";
    // Generous: catches a child that is waited for with coarse sleeps, not a slow host.
    EXPECT_LT(ms(end - start).count(), 2000.0);
}

// --- an organisation with an embedded NUL --------------------------------------------

TEST_F(Trust, OrganisationWithEmbeddedNulIsRefused)
{
    const std::string msi = scratch_ + "/nul.msi";
    // The same route with a plain name first, so a refusal below is about the NUL.
    ASSERT_TRUE(sign_with_organisation(scratch_, "VELQUORA SA", msi));
    EXPECT_TRUE(platform::trust_verify_file(widen_ascii(msi)));
    const organisation_result plain = read_organisation(widen_ascii(msi));
    EXPECT_TRUE(plain.ok);
    EXPECT_EQ(plain.text, kExpected) << printable(plain.text);

    // Read as a C string this would be exactly "VELQUORA SA".
    const std::string impostor("VELQUORA SA\0 Impostor Ltd", 25);
    ASSERT_TRUE(sign_with_organisation(scratch_, impostor, msi));
    EXPECT_TRUE(platform::trust_verify_file(widen_ascii(msi)));
    EXPECT_FALSE(read_organisation(widen_ascii(msi)).ok);
}

// --- a signature that lacks its signer's certificate ---------------------------------

// signed_ok.msi's signature as osslsigncode extracts it into `work`, or nullptr.
PKCS7* signed_ok_signature(const std::string& fixtures, const std::string& work)
{
    const std::string original = work + "/original.p7";
    const std::string extract = "osslsigncode extract-signature -in " +
                                shell_quoted(fixtures + "/signed_ok.msi") + " -out " +
                                shell_quoted(original) + " >/dev/null 2>&1";
    if (std::system(extract.c_str()) != 0)
        return nullptr;
    BIO* in = BIO_new_file(original.c_str(), "rb");
    PKCS7* p7 = in != nullptr ? d2i_PKCS7_bio(in, nullptr) : nullptr;
    BIO_free(in);
    if (p7 != nullptr && PKCS7_type_is_signed(p7))
        return p7;
    PKCS7_free(p7);
    return nullptr;
}

// Puts `p7` (a changed signed_ok.msi signature) onto unsigned.msi, the package it was made for.
bool attach_to_unsigned(PKCS7* p7, const std::string& fixtures, const std::string& work,
                        const std::string& out_msi)
{
    const std::string changed = work + "/changed.p7";
    BIO* out = BIO_new_file(changed.c_str(), "wb");
    const bool written = out != nullptr && i2d_PKCS7_bio(out, p7) == 1;
    BIO_free(out);
    ERR_clear_error();
    if (!written)
        return false;
    // attach-signature checks what it attaches and reports failure, yet writes the file.
    const std::string attach = "osslsigncode attach-signature -sigin " + shell_quoted(changed) + " -in " +
                               shell_quoted(fixtures + "/unsigned.msi") + " -out " + shell_quoted(out_msi) +
                               " >/dev/null 2>&1";
    (void)std::system(attach.c_str());
    return fs::is_regular_file(out_msi) && fs::file_size(out_msi) > 0;
}

// Moves signed_ok.msi's signature, stripped of every certificate, onto unsigned.msi.
bool attach_signature_without_certificates(const std::string& fixtures, const std::string& work,
                                           const std::string& out_msi)
{
    PKCS7* p7 = signed_ok_signature(fixtures, work);
    if (p7 != nullptr) {
        sk_X509_pop_free(p7->d.sign->cert, X509_free);
        p7->d.sign->cert = nullptr;
    }
    const bool ok = p7 != nullptr && attach_to_unsigned(p7, fixtures, work, out_msi);
    PKCS7_free(p7);
    ERR_clear_error();
    return ok;
}

TEST_F(Trust, SignatureWithoutSignerCertificateFailsBothChecks)
{
    const std::string msi = scratch_ + "/no_certificate.msi";
    ASSERT_TRUE(attach_signature_without_certificates(dir_, scratch_, msi));
    ERR_clear_error();
    EXPECT_FALSE(platform::trust_verify_file(widen_ascii(msi)));
    EXPECT_FALSE(read_organisation(widen_ascii(msi)).ok);
    // The failure stays inside: nothing for the next OpenSSL user in this thread.
    EXPECT_EQ(ERR_peek_error(), 0ul);
}

// --- trust_signature_timing ----------------------------------------------------------

// signed_ok.msi's signature with an Authenticode counter-signature, as `osslsigncode -t`
// adds one: the fixtures' time-stamping authority signs the signer's signature value, and
// its signer info goes into the signer's unsigned attributes.
bool attach_countersigned_signature(const std::string& fixtures, const std::string& work,
                                    const std::string& out_msi)
{
    PKCS7* p7 = signed_ok_signature(fixtures, work);
    BIO* in = BIO_new_file((fixtures + "/tsa.pem").c_str(), "r");
    X509* tsa = in != nullptr ? PEM_read_bio_X509(in, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(in);
    in = BIO_new_file((fixtures + "/tsa.key").c_str(), "r");
    EVP_PKEY* key = in != nullptr ? PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(in);
    PKCS7_SIGNER_INFO* signer =
        p7 != nullptr ? sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0) : nullptr;
    BIO* value =
        signer != nullptr ? BIO_new_mem_buf(signer->enc_digest->data, signer->enc_digest->length) : nullptr;
    PKCS7* stamp = value != nullptr && tsa != nullptr && key != nullptr
                       ? PKCS7_sign(tsa, key, nullptr, value, PKCS7_BINARY | PKCS7_NOSMIMECAP)
                       : nullptr;
    unsigned char* der = nullptr;
    const int der_size =
        stamp != nullptr
            ? i2d_PKCS7_SIGNER_INFO(sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(stamp), 0), &der)
            : -1;
    ASN1_STRING* attribute = der_size > 0 ? ASN1_STRING_type_new(V_ASN1_SEQUENCE) : nullptr;
    bool ok = attribute != nullptr && ASN1_STRING_set(attribute, der, der_size) == 1 &&
              PKCS7_add_attribute(signer, NID_pkcs9_countersignature, V_ASN1_SEQUENCE, attribute) == 1;
    if (ok)
        attribute = nullptr;  // owned by the signer info now
    ok = ok && PKCS7_add_certificate(p7, tsa) == 1 && attach_to_unsigned(p7, fixtures, work, out_msi);
    ASN1_STRING_free(attribute);
    OPENSSL_free(der);
    PKCS7_free(stamp);
    BIO_free(value);
    EVP_PKEY_free(key);
    X509_free(tsa);
    PKCS7_free(p7);
    ERR_clear_error();
    return ok;
}

struct timing_row {
    std::string package;  // full path
    bool readable;
    bool stamped;
    std::string expiry;  // the signer certificate's notAfter day, empty when unreadable
};

class SignatureTiming : public Trust {
protected:
    // Every package the timing is asked of, with what it must say: one table for the
    // Linux build and for the Windows build under Wine.
    std::vector<timing_row> rows()
    {
        const std::string countersigned = scratch_ + "/countersigned.msi";
        const std::string no_certificate = scratch_ + "/no_certificate.msi";
        // Each in a directory of its own: osslsigncode overwrites no file.
        for (const char* work : {"/countersign", "/strip"})
            fs::create_directories(scratch_ + work);
        EXPECT_TRUE(attach_countersigned_signature(dir_, scratch_ + "/countersign", countersigned));
        EXPECT_TRUE(attach_signature_without_certificates(dir_, scratch_ + "/strip", no_certificate));
        // The certificate's last day as `openssl x509 -enddate` reads it: notAfter=2036-12-08 01:11:28Z
        const auto day = [this](const char* certificate) {
            const std::string out = scratch_ + "/enddate";
            EXPECT_EQ(run_process({"openssl", "x509", "-noout", "-enddate", "-dateopt", "iso_8601", "-in",
                                   file(certificate)},
                                  {}, out, "", 30),
                      0);
            return read_file(out).substr(std::string("notAfter=").size(), 10);
        };
        return {
            // RFC 3161, as scripts/sign.sh stamps a release.
            {file("signed_token.msi"), true, true, day("signer_ok.pem")},
            // RFC 3161 from two hours ago, the signer expired since: the day is still read.
            {file("signed_expired_timestamped.msi"), true, true, day("signer_expired.pem")},
            // Authenticode counter-signature.
            {countersigned, true, true, day("signer_ok.pem")},
            {file("signed_ok.msi"), true, false, day("signer_ok.pem")},
            {file("signed_expired.msi"), true, false, day("signer_expired.pem")},
            // Reading is not verifying: an untrusted chain has its dates too.
            {file("signed_untrusted_ca.msi"), true, false, day("signer_untrusted.pem")},
            {file("unsigned.msi"), false, false, ""},
            {no_certificate, false, false, ""},
            {scratch_ + "/missing.msi", false, false, ""},
        };
    }
};

TEST_F(SignatureTiming, TimeStampAndSignerExpiryOfEachPackage)
{
    for (const timing_row& row : rows()) {
        SCOPED_TRACE(row.package);
        bool stamped = !row.stamped;  // junk the function must overwrite
        std::string expiry = "junk";
        EXPECT_EQ(platform::trust_signature_timing(widen_ascii(row.package), stamped, expiry), row.readable);
        EXPECT_EQ(stamped, row.stamped);
        EXPECT_EQ(expiry, row.expiry);
    }
}

TEST_F(SignatureTiming, TimeStampAndSignerExpiryOfEachPackageUnderWine)
{
    ASSERT_TRUE(fs::is_regular_file(build_paths::windows_timing_probe))
        << build_paths::windows_timing_probe << " is missing: cmake --build "
        << build_paths::windows_build_dir << " --target timing_probe";
    const std::vector<timing_row> expected = rows();
    std::vector<std::string> argv = {build_paths::wine_runner, build_paths::windows_timing_probe};
    for (const timing_row& row : expected) {
        std::string windows = "Z:" + row.package;
        for (char& c : windows)
            c = c == '/' ? '\\' : c;
        argv.push_back(windows);
    }
    const std::string out_file = scratch_ + "/probe.out";
    const std::string err_file = scratch_ + "/probe.err";
    const int status =
        run_process(argv, {std::string("WINEPREFIX=") + build_paths::wine_prefix_dir, "WINEDEBUG=-all"},
                    out_file, err_file, 120);
    std::string out = read_file(out_file);
    ASSERT_EQ(status, 0) << out << read_file(err_file);
    out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
    std::string wanted;
    for (const timing_row& row : expected) {
        wanted += fs::path(row.package).filename().string() + " ok=" + (row.readable ? "1" : "0") +
                  " stamped=" + (row.stamped ? "1" : "0") +
                  " expiry=" + (row.expiry.empty() ? "-" : row.expiry) + "\n";
    }
    EXPECT_EQ(out, wanted);
}

}  // namespace
