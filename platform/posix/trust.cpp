// POSIX stand-in for the Windows Authenticode checks: `osslsigncode verify` plays
// the trust provider, OpenSSL reads the signer certificate.
#include "platform/trust.h"

#include "platform/posix/environment.h"
#include "platform/posix/utf8.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

extern char** environ;

namespace platform {
namespace {

constexpr const char* kSystemBundle = "/etc/ssl/certs/ca-certificates.crt";
constexpr int kChildTimeoutSeconds = 120;

// Lone or misordered surrogates and NUL fail: neither can name a file.
bool utf16_to_utf8(const std::u16string& in, std::string& out)
{
    out.clear();
    out.reserve(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        char32_t c = in[i];
        if (c == 0)
            return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= in.size())
                return false;
            const char32_t low = in[i + 1];
            if (low < 0xDC00 || low > 0xDFFF)
                return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        append_utf8(out, c);
    }
    return true;
}

// Strict: OpenSSL should only hand over valid UTF-8, but a certificate is
// attacker-supplied data.
bool utf8_to_utf16(const unsigned char* in, std::size_t size, std::u16string& out)
{
    out.clear();
    std::size_t i = 0;
    while (i < size) {
        char32_t c = 0;
        std::size_t length = 0;
        if (decode_utf8(in + i, size - i, c, length) != utf8_sequence::valid)
            return false;
        append_utf16(out, c);
        i += length;
    }
    return true;
}

// The file as the file system sees it; only regular files can be packages (this
// also keeps a FIFO or device from stalling the child).
bool regular_file_path(const std::u16string& path, std::string& utf8)
{
    if (path.empty() || !utf16_to_utf8(path, utf8))
        return false;
    struct stat info;
    return ::stat(utf8.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string trust_store()
{
    const std::string named = ca_bundle_from_environment();
    return !named.empty() ? named : std::string(kSystemBundle);
}

void sleep_ms(long ms)
{
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

long elapsed_ms(const struct timespec& since)
{
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 1000L + (now.tv_nsec - since.tv_nsec) / 1000000L;
}

// Runs `args` (PATH search, no shell; standard output to `output`, standard error
// discarded) and reports whether it exited with status 0 within the time limit; a child
// past the limit is killed.
bool run_quietly(const std::vector<std::string>& args, const char* output = "/dev/null")
{
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    if (::posix_spawn_file_actions_init(&actions) != 0)
        return false;
    bool ready =
        ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
        ::posix_spawn_file_actions_addopen(&actions, 1, output, O_WRONLY | O_CREAT | O_TRUNC, 0600) == 0 &&
        ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0) == 0;
    pid_t pid = -1;
    if (ready) {
        ready = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    }
    ::posix_spawn_file_actions_destroy(&actions);
    if (!ready)
        return false;

    struct timespec start;
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    long pause_ms = 1;  // verification usually takes milliseconds: poll fast, then back off
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (done == -1 && errno != EINTR)
            return false;  // e.g. SIGCHLD ignored: already reaped
        if (elapsed_ms(start) >= kChildTimeoutSeconds * 1000L) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) == -1 && errno == EINTR) {
            }
            return false;
        }
        sleep_ms(pause_ms);
        if (pause_ms < 50)
            pause_ms *= 2;
    }
}

// A private directory removed with its content on every path out.
struct scratch_dir {
    std::string path;
    ~scratch_dir()
    {
        if (path.empty())
            return;
        if (DIR* dir = ::opendir(path.c_str())) {
            // unlinkat relative to the directory: no string building, nothing to throw.
            const int fd = ::dirfd(dir);
            while (const struct dirent* entry = ::readdir(dir)) {
                if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
                    continue;
                }
                ::unlinkat(fd, entry->d_name, 0);
            }
            ::closedir(dir);
        }
        ::rmdir(path.c_str());
    }
};

bool make_scratch_dir(scratch_dir& scratch)
{
    std::string pattern = temp_dir_from_environment() + "trust.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr)
        return false;
    scratch.path = buffer.data();
    return true;
}

PKCS7* read_pkcs7_der(const std::string& file)
{
    BIO* in = BIO_new_file(file.c_str(), "rb");
    if (in == nullptr)
        return nullptr;
    PKCS7* p7 = d2i_PKCS7_bio(in, nullptr);
    BIO_free(in);
    return p7;
}

// The subject organisation of the first signer (Authenticode has exactly one; a
// nested signature lives in its unsigned attributes and is not this one).
// A subject without organisation gives an empty string.
bool signer_organisation_utf16(PKCS7* p7, std::u16string& organisation)
{
    organisation.clear();
    STACK_OF(X509)* signers = PKCS7_get0_signers(p7, nullptr, 0);
    if (signers == nullptr)
        return false;
    bool ok = false;
    if (sk_X509_num(signers) > 0) {
        const X509_NAME* subject = X509_get_subject_name(sk_X509_value(signers, 0));
        // The first O attribute, in the order the name is encoded.
        const int index = X509_NAME_get_index_by_NID(subject, NID_organizationName, -1);
        if (index < 0) {
            ok = true;
        } else {
            ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
            unsigned char* utf8 = nullptr;
            const int length = value != nullptr ? ASN1_STRING_to_UTF8(&utf8, value) : -1;
            ok = length >= 0 && utf8_to_utf16(utf8, static_cast<std::size_t>(length), organisation) &&
                 // An embedded NUL would let "VELQUORA SA\0..." pass a C-string comparison.
                 organisation.find(u'\0') == std::u16string::npos;
            OPENSSL_free(utf8);
        }
    }
    sk_X509_free(signers);  // the certificates themselves belong to p7
    return ok;
}

// The package's signature as osslsigncode extracts it; nullptr when it has none.
PKCS7* package_signature(const std::u16string& path)
{
    std::string file;
    if (!regular_file_path(path, file))
        return nullptr;
    scratch_dir scratch;
    if (!make_scratch_dir(scratch))
        return nullptr;
    const std::string signature = scratch.path + "/signature.p7";
    if (!run_quietly({"osslsigncode", "extract-signature", "-in", file, "-out", signature})) {
        return nullptr;
    }
    return read_pkcs7_der(signature);
}

bool organisation_of(const std::u16string& path, std::u16string& organisation)
{
    PKCS7* p7 = package_signature(path);
    const bool ok = p7 != nullptr && signer_organisation_utf16(p7, organisation);
    PKCS7_free(p7);
    // Leave no stale errors in this thread's queue: they would mislead the next
    // OpenSSL user here (SSL_get_error reads that queue).
    ERR_clear_error();
    return ok;
}

// RFC 3161 stamps (what `osslsigncode -ts` adds) and Authenticode counter-signatures
// (`-t`) both sit in the signer's unsigned attributes.
bool first_signer_time_stamped(PKCS7* p7, bool& time_stamped)
{
    STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7);
    if (infos == nullptr || sk_PKCS7_SIGNER_INFO_num(infos) < 1)
        return false;
    const PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(infos, 0);
    time_stamped = false;
    for (const char* oid : {"1.3.6.1.4.1.311.3.3.1", "1.2.840.113549.1.9.6"}) {
        ASN1_OBJECT* type = OBJ_txt2obj(oid, 1);
        if (type == nullptr)
            return false;
        if (X509at_get_attr_by_OBJ(signer->unauth_attr, type, -1) >= 0)
            time_stamped = true;
        ASN1_OBJECT_free(type);
    }
    return true;
}

bool signer_not_after(PKCS7* p7, std::string& day)
{
    STACK_OF(X509)* signers = PKCS7_get0_signers(p7, nullptr, 0);
    if (signers == nullptr)
        return false;
    bool ok = false;
    struct tm when = {};
    if (sk_X509_num(signers) > 0 &&
        ASN1_TIME_to_tm(X509_get0_notAfter(sk_X509_value(signers, 0)), &when) == 1) {
        char text[16];
        ok = std::strftime(text, sizeof text, "%Y-%m-%d", &when) == 10;
        if (ok)
            day = text;
    }
    sk_X509_free(signers);
    return ok;
}

// The options that keep `osslsigncode verify` off the network, where the installed
// version has them: later versions fetch the CRLs a certificate points to unless told
// not to, and refuse the options they do not know. Debian 12's own 2.5 knows neither
// and fetches nothing.
std::vector<std::string> offline_options()
{
    std::vector<std::string> options;
    scratch_dir scratch;
    if (!make_scratch_dir(scratch))
        return options;
    const std::string help_file = scratch.path + "/help";
    run_quietly({"osslsigncode", "--help"}, help_file.c_str());
    std::ifstream in(help_file);
    const std::string help((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const std::string option : {"-ignore-cdp", "-ignore-crl"}) {
        for (std::size_t at = help.find(option); at != std::string::npos; at = help.find(option, at + 1)) {
            const std::size_t end = at + option.size();
            if (end == help.size() || help[end] == ' ' || help[end] == ']' || help[end] == '\n') {
                options.push_back(option);
                break;
            }
        }
    }
    return options;
}

}  // namespace

bool trust_verify_file(const std::u16string& path)
{
    try {
        std::string file;
        if (!regular_file_path(path, file))
            return false;
        const std::string store = trust_store();
        // Time stamps are checked against the same store, so a signature made
        // while its certificate was valid still verifies after expiry, as on
        // Windows. No revocation checks, no network.
        std::vector<std::string> args = {"osslsigncode", "verify", "-in",         file,
                                         "-CAfile",      store,    "-TSA-CAfile", store};
        for (std::string& option : offline_options())
            args.push_back(std::move(option));
        return run_quietly(args);
    } catch (...) {  // allocation failure
        return false;
    }
}

bool trust_signer_organisation(const std::u16string& path, char16_t* buffer, std::size_t units)
{
    if (buffer == nullptr || units == 0)
        return false;
    buffer[0] = u'\0';
    try {
        std::u16string organisation;
        if (!organisation_of(path, organisation))
            return false;
        // Cut like a fixed Windows buffer: at most units - 1 code units, then NUL.
        const std::size_t count = organisation.size() < units - 1 ? organisation.size() : units - 1;
        organisation.copy(buffer, count);
        buffer[count] = u'\0';
        return true;
    } catch (...) {  // allocation failure
        buffer[0] = u'\0';
        return false;
    }
}

bool trust_signature_timing(const std::u16string& path, bool& time_stamped, std::string& signer_expiry)
{
    time_stamped = false;
    signer_expiry.clear();
    try {
        PKCS7* p7 = package_signature(path);
        bool stamped = false;
        std::string day;
        const bool ok = p7 != nullptr && PKCS7_type_is_signed(p7) && first_signer_time_stamped(p7, stamped) &&
                        signer_not_after(p7, day);
        PKCS7_free(p7);
        ERR_clear_error();
        if (!ok)
            return false;
        time_stamped = stamped;
        signer_expiry = std::move(day);
        return true;
    } catch (...) {  // allocation failure
        ERR_clear_error();
        return false;
    }
}

bool trust_only_roots(const std::string& bundle)
{
    // Read by this process's TLS and by the verifier it starts, as OpenSSL's tools read it.
    return !bundle.empty() && ::setenv("SSL_CERT_FILE", bundle.c_str(), 1) == 0;
}

}  // namespace platform
