#include "publisher/publisher.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/config_files.h"
#include "installer/authenticity.h"
#include "installer/digest.h"
#include "platform/common/win_errors.h"
#include "platform/fs.h"
#include "platform/http.h"
#include "platform/site_fs.h"
#include "publisher/site.h"
#include "platform/text.h"
#include "platform/trust.h"
#include "update/download.h"
#include "update/update_check.h"

namespace fs = std::filesystem;

void say(const std::string& line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int input_error(const std::string& line)
{
    std::fprintf(stderr, "agent_publish: %s\n", line.c_str());
    return exit_usage;
}

int not_written(const std::string& path, const std::string& problem)
{
    std::fprintf(stderr, "agent_publish: cannot write %s: %s\n", path.c_str(), problem.c_str());
    return exit_io;
}

namespace {

bool is_regular_file(const std::string& path)
{
    std::error_code ec;
    return fs::is_regular_file(fs::u8path(path), ec);
}

// A path the system's code page names (the endpoint's, and the temporary directory's).
fs::path system_path(const std::string& narrow)
{
    return fs::path(platform::narrow_to_utf16(narrow));
}

// Bad input for an MSI argument, or "" for a file that can be read.
std::string msi_problem(const std::string& msi)
{
    std::error_code ec;
    if (fs::is_directory(fs::u8path(msi), ec))
        return msi + " is a directory: give the MSI file itself";
    if (!is_regular_file(msi))
        return "no such file: " + msi;
    return "";
}

// The endpoint's decision on an installer, by the endpoint's own function. When it would be
// refused, `message` is what the endpoint logs and `why` what a person needs to mend it.
bool installer_accepted(const fs::path& path, std::string& message, std::string& why)
{
    const std::u16string wide = path.u16string();
    if (verify_publisher(wide) == 1)
        return true;
    message = "The signature is wrong";
    char16_t organisation[32] = {};
    const bool signer = platform::trust_signer_organisation(wide, organisation, 32);
    if (!signer)
        why = "it carries no Authenticode signature that can be read";
    else if (verify_signature(wide) == 0)
        why =
            "the signature does not verify: a changed file, a chain that does not end at a trusted root, "
            "or a certificate expired without a time stamp";
    else
        why = "the signer's organisation is \"" + platform::utf16_to_narrow(organisation) + "\", not \"" +
              platform::utf16_to_narrow(expected_organisation) + "\"";
    return false;
}

// The digest as the endpoint computes it, without its progress marks.
std::string digest_of(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return in ? get_stream_hash(in) : "";
}

std::string meaning_of(uint32_t error)
{
    switch (error) {
    case platform::error_internet_timeout:
        return "the server did not answer in time";
    case platform::error_internet_invalid_url:
        return "the URL is not valid";
    case platform::error_internet_unrecognized_scheme:
        return "the URL's scheme is neither http nor https";
    case platform::error_internet_name_not_resolved:
        return "the server's name cannot be resolved";
    case platform::error_internet_cannot_connect:
        return "no connection to the server";
    case platform::error_internet_connection_aborted:
        return "the connection ended before the answer was complete";
    case platform::error_internet_connection_reset:
        return "the connection was reset";
    case platform::error_internet_sec_cert_date_invalid:
        return "the server's certificate has expired or is not yet valid";
    case platform::error_internet_sec_cert_cn_invalid:
        return "the server's certificate does not name the URL's host";
    case platform::error_internet_https_to_http_on_redir:
        return "a redirect from https to http, which is refused";
    case platform::error_internet_invalid_ca:
        return "the server's certificate does not chain to a trusted root";
    case platform::error_http_invalid_server_response:
        return "no HTTP answer: the connection closed before a status line";
    case platform::error_http_redirect_failed:
        return "too many redirects";
    case platform::error_internet_security_failure:
        return "the TLS handshake failed (no protocol version or cipher in common?)";
    default:
        return "an error of the platform's HTTP stack";
    }
}

std::string failure_of(const download_report& report)
{
    if (report.proxy_status == 407)
        return "407 (a proxy wants credentials)";
    std::string text = std::to_string(report.error) + " (" + meaning_of(report.error) + ")";
    if (report.proxy_status != 0)
        text += ", the proxy answered CONNECT with " + std::to_string(report.proxy_status);
    return text;
}

// A file name as one segment of a URL path: what is not unreserved is percent-encoded.
std::string url_segment(const std::string& name)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        }
    }
    return out;
}

std::vector<download_report> seen;

void remember(const download_report& report)
{
    seen.push_back(report);
}

std::string without_scheme(const std::string& url)
{
    const std::size_t at = url.find("://");
    return at == std::string::npos ? url : url.substr(at + 3);
}

// An answer that an endpoint takes for the server's although it is an error page.
bool error_answer(const download_report& r)
{
    return r.answered && (r.status < 200 || r.status >= 300);
}

// The host and path of a URL: WinINet names the answering URL without its query after
// some requests, and TLS may have been forced on it.
std::string host_and_path(const std::string& url)
{
    const std::string rest = without_scheme(url);
    return rest.substr(0, rest.find_first_of("?#"));
}

// An answer from another URL than asked.
bool redirected(const download_report& r)
{
    return r.answered && !r.answering_url.empty() && host_and_path(r.answering_url) != host_and_path(r.url);
}

// Whether a Cache-Control value (every instance of the header, joined) holds no-store, in
// any case: directive names are case-insensitive (RFC 9111, 5.2).
bool no_store(const std::string& cache_control)
{
    std::size_t at = 0;
    while (at <= cache_control.size()) {
        const std::size_t end = std::min(cache_control.find(',', at), cache_control.size());
        std::string directive = cache_control.substr(at, end - at);
        directive = directive.substr(0, directive.find('='));
        const std::size_t first = directive.find_first_not_of(" \t");
        const std::size_t last = directive.find_last_not_of(" \t");
        if (first != std::string::npos) {
            directive = directive.substr(first, last + 1 - first);
            std::transform(directive.begin(), directive.end(), directive.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (directive == "no-store")
                return true;
        }
        at = end + 1;
    }
    return false;
}

// The warning of a server an endpoint before Windows 11 cannot reach; nothing when it completes
// a TLS 1.2 handshake, and a word when that cannot be told.
void check_tls12(const std::string& base_url)
{
    bool completed = false;
    uint32_t error = 0;
    const bool told = platform::http_tls12_handshake(base_url, completed, error);
    if (told && completed)
        return;
    // A server that refuses the version fails the handshake or drops the connection; anything
    // else (no route, a proxy of the machine's) says nothing of the server's TLS.
    if (told && (error == platform::error_internet_security_failure ||
                 error == platform::error_internet_connection_reset ||
                 error == platform::error_internet_connection_aborted))
        say("warning: " + base_url + " does not complete a TLS 1.2 handshake (" + std::to_string(error) +
            "): Windows endpoints before Windows 11 and Windows Server 2022 (Windows 7 SP1, 8.1, 10, Server "
            "2012 R2 to 2019) cannot reach it");
    else
        say("warning: cannot tell whether " + base_url +
            " completes a TLS 1.2 handshake: " + std::to_string(error) + " (" + meaning_of(error) + ")");
}

// A directory of this run's own, removed with its content at the end.
struct scratch_dir {
    std::string path;
    ~scratch_dir()
    {
        std::error_code ec;
        if (!path.empty())
            fs::remove_all(system_path(path), ec);
    }
};

bool make_scratch(scratch_dir& scratch)
{
    std::string temp;
    if (!platform::system_temp_dir(temp))
        return false;
    std::random_device seed;
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string candidate = temp + "agent_publish." + std::to_string(seed());
        uint32_t error = 0;
        if (platform::make_directory(candidate, error) == platform::mkdir_result::created) {
            scratch.path = candidate;
            return true;
        }
    }
    return false;
}

}  // namespace

bool is_http_url(const std::string& url)
{
    for (const char* scheme : {"http://", "https://"}) {
        const std::size_t length = std::char_traits<char>::length(scheme);
        if (url.size() > length && url.compare(0, length, scheme) == 0)
            return true;
    }
    return false;
}

bool use_roots(const std::string& bundle)
{
    if (!is_regular_file(bundle)) {
        input_error("--ca: no such file: " + bundle);
        return false;
    }
    if (!platform::trust_only_roots(bundle)) {
        input_error("--ca: this build trusts the machine's Root store only: add the root there instead");
        return false;
    }
    return true;
}

std::string base_url_problem(const std::string& url)
{
    std::size_t scheme = 0;
    if (url.compare(0, 7, "http://") == 0)
        scheme = 7;
    else if (url.compare(0, 8, "https://") == 0)
        scheme = 8;
    else
        return "it must start with http:// or https://";
    for (unsigned char c : url) {
        if (c <= 0x20 || c >= 0x7F)
            return "it holds whitespace, a control character or a letter beyond ASCII (percent-encode the path)";
        if (c == '?' || c == '#')
            return "it holds a query or a fragment: the files' URLs are made by appending to it";
        if (c == '\\')
            return "it holds a backslash";
    }
    const std::size_t path = url.find('/', scheme);
    const std::string authority = url.substr(scheme, path == std::string::npos ? std::string::npos : path - scheme);
    if (authority.find('@') != std::string::npos)
        return "it holds a user name: endpoints send no credentials";
    const std::size_t colon = authority.rfind(':');
    const bool bracketed = !authority.empty() && authority[0] == '[';
    const std::string host =
        colon != std::string::npos && (!bracketed || authority[colon - 1] == ']') ? authority.substr(0, colon) : authority;
    if (host.empty() || host == "[]")
        return "it names no host";
    if (host.size() != authority.size()) {
        const std::string port = authority.substr(colon + 1);
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
            std::stoul(port) == 0 || std::stoul(port) > 65535)
            return "its port is not a number from 1 to 65535";
    }
    return "";
}

namespace {

// Whether the signature outlives its certificate; "" when it does, else why not (with the
// day from which endpoints refuse it).
std::string timing_problem(const fs::path& path, std::string& fact)
{
    bool time_stamped = false;
    std::string expiry;
    if (!platform::trust_signature_timing(path.u16string(), time_stamped, expiry))
        return "the signature's time stamp cannot be read: endpoints may refuse it any day";
    if (time_stamped) {
        fact = "signature: time-stamped, so it outlives the signer's certificate (valid until " + expiry + ")";
        return "";
    }
    return "the signature carries no time stamp: every endpoint refuses this release from " + expiry +
           ", when the signer's certificate expires";
}

// Copies `from` to a new file at `to` in pieces of 1 MiB, flushed to the disk.
bool copy_durably(const std::string& from, const fs::path& to, std::string& problem)
{
    std::ifstream in(fs::u8path(from), std::ios::binary);
    if (!in) {
        problem = "cannot read " + from;
        return false;
    }
    platform::new_file* file = platform::create_new_file(to, problem);
    if (file == nullptr)
        return false;
    std::vector<char> block(1048576);
    bool ok = true;
    std::size_t copied = 0;
    while (ok && in) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        const std::size_t got = static_cast<std::size_t>(in.gcount());
        if (in.bad()) {
            problem = "cannot read " + from;
            ok = false;
        } else if (got > 0) {
            ok = platform::write_new_file(file, block.data(), got, problem);
            if (copied == 0)
                interruption_point("copy");
            copied += got;
        }
    }
    std::string closing;
    if (!platform::finish_new_file(file, closing) && ok) {
        problem = closing;
        ok = false;
    }
    return ok;
}

void remove_made(const fs::path& path)
{
    std::error_code ec;
    if (!fs::remove(path, ec) && ec)
        std::fprintf(stderr, "agent_publish: cannot remove %s: %s\n", shown(path).c_str(), ec.message().c_str());
}

// Writes a descriptor in .agent_publish/partial/, then renames it over the served one.
bool replace_descriptor(site& s, const fs::path& descriptor, const std::string& content, std::string& problem)
{
    const fs::path partial = partial_path(s, descriptor.filename().u8string());
    const bool written = write_durably(partial, content, problem);
    if (written)
        interruption_point("descriptor");
    // A web server reading the old one may hold the rename off for a moment.
    if (!written || !platform::move_over_file(partial, descriptor, 10000, problem)) {
        remove_made(partial);
        return false;
    }
    platform::flush_directory(s.descriptors);
    return true;
}

}  // namespace

int check_installer(const std::string& msi)
{
    if (const std::string problem = msi_problem(msi); !problem.empty())
        return input_error(problem);
    const fs::path file = fs::u8path(msi);
    const std::string digest = digest_of(file);
    if (digest.empty())
        return input_error("cannot read " + msi);
    say("SHA-256: " + digest);
    std::string message, why;
    if (!installer_accepted(file, message, why)) {
        say("refused: " + message + " (" + why + ")");
        return exit_refused;
    }
    std::string fact;
    const std::string timing = timing_problem(file, fact);
    say(timing.empty() ? fact : "warning: " + timing);
    say("accepted: signed by " + platform::utf16_to_narrow(expected_organisation) +
        ", chained to a trusted root");
    return exit_ok;
}

int publish_release(const std::string& msi, const std::string& site_dir, const std::string& base_url, bool regular,
                    bool untimestamped, unsigned wait_seconds)
{
    if (const std::string problem = msi_problem(msi); !problem.empty())
        return input_error(problem);
    if (const std::string problem = base_url_problem(base_url); !problem.empty())
        return input_error("--base-url " + base_url + ": " + problem);
    site s;
    if (!open_site(site_dir, s))
        return exit_usage;

    const std::string name = fs::u8path(msi).filename().u8string();
    std::string base = base_url;
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    const std::string url = base + "/files/" + url_segment(name);
    const fs::path descriptor = regular ? regular_descriptor(s) : urgent_descriptor(s);
    const fs::path served = s.files / fs::u8path(name);

    if (const int status = begin_change(s, std::string("publish ") + (regular ? "--regular " : "") + name, wait_seconds);
        status != exit_ok)
        return status;
    struct unlock {
        site& s;
        ~unlock() { end_change(s); }
    } unlock_at_end{s};

    const std::string other = listed_url(regular ? urgent_descriptor(s) : regular_descriptor(s));
    if (!regular && other == url) {
        // What an endpoint logs when the urgent answer names the regular release.
        say("refused: Couldn't detect an urgent update, stopping. (" + url +
            " is the regular release's URL: endpoints ignore an urgent release that names it); nothing was "
            "changed");
        return exit_refused;
    }

    // The checks are made on the copy that will be served, in a place nothing serves.
    const fs::path partial = partial_path(s, "msi");
    std::string problem;
    if (!copy_durably(msi, partial, problem)) {
        remove_made(partial);
        return not_written(shown(partial), problem);
    }
    std::string message, why;
    if (!installer_accepted(partial, message, why)) {
        remove_made(partial);
        say("refused: " + message + " (" + why + "); nothing was changed");
        return exit_refused;
    }
    std::string fact;
    const std::string timing = timing_problem(partial, fact);
    if (!timing.empty() && !untimestamped) {
        remove_made(partial);
        say("refused: " + timing + "; sign it with a time stamp, or publish it with --untimestamped; nothing was "
            "changed");
        return exit_refused;
    }
    const std::string digest = digest_of(partial);
    if (digest.empty()) {
        remove_made(partial);
        return not_written(shown(partial), "it cannot be read back");
    }

    bool made = false;
    std::error_code ec;
    if (fs::exists(served, ec)) {
        const bool same = digest_of(served) == digest;
        remove_made(partial);
        if (!same) {
            say("refused: " + shown(served) +
                " is another file of the same name: a new release gets a new file name; nothing was changed");
            return exit_refused;
        }
    } else {
        if (!note_making(s, name)) {
            remove_made(partial);
            return not_written(shown(s.journal), "cannot note the file in the making");
        }
        switch (platform::move_new_file(partial, served, problem)) {
        case platform::move_result::moved:
            break;
        case platform::move_result::exists:
            remove_made(partial);
            say("refused: " + shown(served) + " appeared while the MSI was checked; nothing was changed");
            return exit_refused;
        case platform::move_result::failed:
            remove_made(partial);
            return not_written(shown(served), problem);
        }
        platform::flush_directory(s.files);
        made = true;
        interruption_point("msi");
    }

    const std::string replaced = listed_url(descriptor);
    const nlohmann::json announcement{{"results", {{{"url", url}, {"hash", digest}}}}};
    if (!replace_descriptor(s, descriptor, announcement.dump() + "\n", problem)) {
        if (made)
            remove_made(served);
        return not_written(shown(descriptor), problem);
    }
    say(std::string("published the ") + (regular ? "regular" : "urgent") + " release " + url);
    if (!replaced.empty() && replaced != url)
        say("it replaces " + replaced);
    say("SHA-256: " + digest);
    say("descriptor: " + shown(descriptor));
    say(timing.empty() ? fact : "warning: " + timing);
    if (regular && other == url)
        say("warning: the urgent release names the same URL: endpoints now see no urgent release");
    return exit_ok;
}

int withdraw_release(const std::string& site_dir, unsigned wait_seconds)
{
    site s;
    if (!open_site(site_dir, s))
        return exit_usage;
    if (const int status = begin_change(s, "withdraw", wait_seconds); status != exit_ok)
        return status;
    const fs::path descriptor = urgent_descriptor(s);
    std::string problem;
    const bool written = replace_descriptor(s, descriptor, "{\"results\": []}\n", problem);
    end_change(s);
    if (!written)
        return not_written(shown(descriptor), problem);
    say("withdrawn: " + shown(descriptor) + " lists no release");
    return exit_ok;
}

int probe_server(const std::string& base_url, const std::string& version)
{
    // The endpoint's descriptor and installer go to a directory of the probe's own.
    scratch_dir scratch;
    if (!make_scratch(scratch) || !platform::use_temp_dir(scratch.path + platform::path_separator())) {
        std::fprintf(stderr, "agent_publish: cannot make a scratch directory\n");
        return exit_io;
    }
    seen.clear();
    observe_downloads(remember);

    const bool secure = url_uses_tls(base_url);
    bool reached = false;
    std::string hash;
    const std::string installer_url = find_urgent_update(base_url, version, secure, reached, hash);
    const std::size_t queries = seen.size();
    // Only of a server that answered: one that did not is told below.
    if (secure && std::any_of(seen.begin(), seen.end(), [](const download_report& r) { return r.answered; }))
        check_tls12(base_url);

    // The traps an endpoint falls into without a word to the vendor.
    for (std::size_t i = 0; i < queries; ++i) {
        const download_report& r = seen[i];
        if (!r.answered)
            continue;
        if (error_answer(r))
            say("warning: " + r.url + " answered " + std::to_string(r.status) +
                ": an endpoint takes this error page as the server's answer, no release, and asks no "
                "alternative");
        if (!no_store(r.cache_control))
            say("warning: " + r.url + " is sent without Cache-Control: no-store" +
                (r.cache_control.empty() ? "" : " (" + r.cache_control + ")") +
                ": WinINet may answer an endpoint from its cache");
        if (redirected(r))
            say("warning: " + r.url + " is redirected to " + r.answering_url);
    }
    if (!reached) {
        const download_report* last = queries > 0 ? &seen[queries - 1] : nullptr;
        if (last != nullptr && (last->error != 0 || last->proxy_status != 0))
            say("not reached: " + failure_of(*last));
        else
            say("not reached: the answer could not be read back");
        return exit_not_reached;
    }
    if (installer_url.empty()) {
        say("no urgent release");
        return exit_no_urgent_release;
    }

    if (installer_url.compare(0, 8, "https://") != 0 && secure)
        say("warning: the installer URL " + installer_url +
            " is not https on an https server: an endpoint speaks TLS to it on its port");
    else if (!is_http_url(installer_url))
        say("warning: the installer URL " + installer_url +
            " is neither http nor https: an endpoint cannot fetch it");
    if (std::any_of(hash.begin(), hash.end(), [](char c) { return c >= 'A' && c <= 'F'; }))
        say("warning: the announced digest has upper-case digits: it never matches an endpoint's lower-case "
            "one");

    const std::string installer = scratch.path + platform::path_separator() + "agent_recovery.msi";
    // The endpoint's code names it in the system's code page; ours takes it as a path.
    const fs::path installer_file = system_path(installer);
    const int fetched = download_new_file(installer_url, installer, secure, no_size_limit);
    observe_downloads(nullptr);
    if (seen.size() > queries) {
        const download_report& r = seen.back();
        if (error_answer(r))
            say("warning: the installer URL answered " + std::to_string(r.status) +
                ": an endpoint downloads the error page and refuses it");
        if (redirected(r))
            say("warning: the installer URL is redirected to " + r.answering_url);
    }
    if (fetched == -1) {
        say("would refuse the installer: Couldn't download installer" +
            (seen.size() > queries ? ": " + failure_of(seen.back()) : std::string()));
        return exit_refused;
    }
    std::string message, why;
    if (!installer_accepted(installer_file, message, why)) {
        say("would refuse the installer: " + message + " (" + why + ")");
        return exit_refused;
    }
    const std::string actual = digest_of(installer_file);
    if (actual.empty() || actual != hash) {
        say("would refuse the installer: Downloaded hash did not match the one in json (announced " + hash +
            ", served " + actual + ")");
        return exit_refused;
    }
    std::string fact;
    if (const std::string timing = timing_problem(installer_file, fact); !timing.empty())
        say("warning: " + timing);
    say("would install " + installer_url);
    return exit_ok;
}
