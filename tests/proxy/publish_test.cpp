// agent_publish against the nginx site of docs/server.md: what it publishes an endpoint
// installs, what it refuses an endpoint refuses with the same words, and what its probe
// warns of.
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <tuple>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "build_paths.h"
#include "fixtures.h"
#include "installer_support.h"
#include "proxy_fixture.h"

namespace fs = std::filesystem;

namespace {

struct outcome {
    int status;
    std::string out, err;
};

bool holds(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class Publisher : public ProxySuite {
protected:
    std::string site;  // the documented site's root directory
    std::map<std::string, std::string> original;

    void SetUp() override
    {
        ProxySuite::SetUp();
        if (HasFatalFailure())
            return;
        site = servers->dir + "/site/documented";
        original = snapshot();
        env.push_back("SSL_CERT_FILE=" + fixture("trusted_bundle.pem"));
        write_recording_msiexec(root + "/bin");
        const char* path = std::getenv("PATH");
        env.push_back("PATH=" + root + "/bin:" + (path != nullptr ? path : "/usr/bin:/bin"));
        env.push_back("RECORDER=" + root);
        env.push_back("MSIEXEC_EXIT_CODE=0");
    }

    // The next case finds the site as the lab made it.
    void TearDown() override
    {
        for (const auto& entry : snapshot())
            if (original.count(entry.first) == 0)
                fs::remove(site + "/" + entry.first);
        fs::remove_all(site + "/.agent_publish");
        for (const auto& [name, content] : original)
            write_file(site + "/" + name, content);
        ProxySuite::TearDown();
    }

    std::map<std::string, std::string> snapshot() const
    {
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(site)) {
            const std::string name = fs::relative(entry.path(), site).string();
            if (entry.is_regular_file() && name.rfind(".agent_publish/", 0) != 0)
                files[name] = read_file(entry.path());
        }
        return files;
    }

    outcome publisher(strings args, const strings& extra_env = {})
    {
        args.insert(args.begin(), build_paths::agent_publish_exe);
        if (args[1] == "check" || args[1] == "publish" || args[1] == "probe") {
            args.push_back("--ca");
            args.push_back(fixture("trusted_bundle.pem"));
        }
        const int status = run_process(args, extra_env, root + "/publish.out", root + "/publish.err", 120);
        const outcome o{status, read_file(root + "/publish.out"), read_file(root + "/publish.err")};
        std::cout << "agent_publish " << args[1] << " -> " << status << "\n" << o.out << o.err;
        return o;
    }
    outcome probe(const lab::site& s) { return publisher({"probe", s.url(), "--version", "1.0.0"}); }

    run_result endpoint(const lab::site& s)
    {
        next_case(s);
        return run(120);
    }

    // An urgent release written by hand, as a vendor without the publisher would.
    void announce(const std::string& msi, const std::string& url, const std::string& digest)
    {
        fs::copy_file(msi, site + "/files/" + fs::path(msi).filename().string(),
                      fs::copy_options::overwrite_existing);
        write_file(site + "/descriptors/urgent.json",
                   R"({"results": [{"url": ")" + url + R"(", "hash": ")" + digest + R"("}]})");
    }
};

// Signed through a PKCS#11 token with a time stamp, as a vendor signs.
TEST_F(Publisher, ReleaseGoesFromTheVendorToTheEndpointsAndBack)
{
    const lab::site& s = servers->at("documented");
    const std::string msi = root + "/agent-2.0.0.msi";
    fs::copy_file(fixture("signed_token.msi"), msi);
    const std::string url = s.url() + "/files/agent-2.0.0.msi";

    const outcome published = publisher({"publish", msi, "--site", site, "--base-url", s.url() + "/"});
    ASSERT_EQ(published.status, 0) << published.out;
    EXPECT_EQ(read_file(site + "/descriptors/urgent.json"),
              R"({"results":[{"hash":")" + sha256_of(msi) + R"(","url":")" + url + "\"}]}\n");
    EXPECT_EQ(read_file(site + "/files/agent-2.0.0.msi"), read_file(msi));

    const outcome probed = probe(s);
    EXPECT_EQ(probed.status, 0);
    EXPECT_EQ(probed.out, "would install " + url + "\n");
    const run_result installed_run = endpoint(s);
    EXPECT_EQ(last(installed_run), installed) << installed_run.log;
    EXPECT_TRUE(has(installed_run, "[info] Found new urgent update: " + url)) << installed_run.log;
    EXPECT_TRUE(read("var/agent_recovery.msi") == read_file(msi));

    ASSERT_EQ(publisher({"withdraw", "--site", site}).status, 0);
    EXPECT_EQ(read_file(site + "/descriptors/urgent.json"), "{\"results\": []}\n");
    const outcome none = probe(s);
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "no urgent release\n");
    const run_result idle = endpoint(s);
    EXPECT_EQ(last(idle), no_update) << idle.log;
}

// What the publisher does to a site beyond the plain path, each step read back from the site
// and, where it announces, through nginx.
TEST_F(Publisher, SiteChangesBeyondThePlainPath)
{
    const lab::site& s = servers->at("documented");
    const std::string ca = fixture("trusted_bundle.pem");
    auto publish = [&](const std::string& msi, strings extra = {}) {
        strings args{"publish", msi, "--site", site, "--base-url", s.url()};
        args.insert(args.end(), extra.begin(), extra.end());
        return publisher(args);
    };
    const std::string spaced = root + "/agent 2.1.msi";
    fs::copy_file(fixture("signed_token.msi"), spaced);
    const std::string untimestamped = root + "/agent-2.2.msi";
    fs::copy_file(fixture("signed_ok.msi"), untimestamped);
    const std::string taken = root + "/taken/agent 2.1.msi";
    fs::create_directories(root + "/taken");
    fs::copy_file(fixture("signed_expired_timestamped.msi"), taken);

    for (const auto& [msi, status, line] : {std::tuple<std::string, int, std::string>{
                                                 fixture("signed_token.msi"), 0, "signature: time-stamped"},
                                             {untimestamped, 0, "warning: the signature carries no time stamp"},
                                             {fixture("signed_lower.msi"), 3, "refused: The signature is wrong"}}) {
        const outcome checked = publisher({"check", msi});
        EXPECT_EQ(checked.status, status) << msi;
        EXPECT_TRUE(holds(checked.out, line)) << checked.out;
    }

    auto before = snapshot();
    const outcome refused = publish(untimestamped);
    EXPECT_EQ(refused.status, 3);
    EXPECT_TRUE(holds(refused.out, "refused: the signature carries no time stamp: every endpoint refuses this "
                                   "release from 2"))
        << refused.out;
    EXPECT_EQ(snapshot(), before) << "a refusal changed the site";
    const outcome asked = publish(untimestamped, {"--untimestamped"});
    EXPECT_EQ(asked.status, 0);
    EXPECT_TRUE(holds(asked.out, "warning: the signature carries no time stamp")) << asked.out;

    // A name with a space is announced percent-encoded, and served.
    const outcome published = publish(spaced);
    ASSERT_EQ(published.status, 0);
    EXPECT_TRUE(holds(published.out, "it replaces " + s.url() + "/files/agent-2.2.msi")) << published.out;
    EXPECT_EQ(probe(s).out, "would install " + s.url() + "/files/agent%202.1.msi\n");

    before = snapshot();
    const outcome other = publish(taken);
    EXPECT_EQ(other.status, 3);
    EXPECT_TRUE(holds(other.out, "is another file of the same name")) << other.out;
    EXPECT_EQ(snapshot(), before);

    // Withdrawn, then published again: the file already served is taken as it is.
    ASSERT_EQ(publisher({"withdraw", "--site", site}).status, 0);
    EXPECT_EQ(publish(spaced).status, 0);
    EXPECT_EQ(read_file(site + "/files/agent 2.1.msi"), read_file(spaced));

    const outcome regular = publish(untimestamped, {"--regular", "--untimestamped"});
    EXPECT_EQ(regular.status, 0);
    EXPECT_EQ(read_file(site + "/descriptors/regular.json"),
              R"({"results":[{"hash":")" + sha256_of(untimestamped) + R"(","url":")" + s.url() +
                  "/files/agent-2.2.msi\"}]}\n");

    // A descriptor that cannot be replaced: 74, and the MSI the publish put in place is gone.
    const std::string stuck = site + "/descriptors/urgent.json";
    fs::remove(stuck);
    fs::create_directories(stuck + "/held");
    const std::string fresh = root + "/agent-2.3.msi";
    fs::copy_file(fixture("signed_token.msi"), fresh);
    const outcome failed = publish(fresh);
    EXPECT_EQ(failed.status, 74);
    EXPECT_TRUE(holds(failed.err, "cannot write " + stuck)) << failed.err;
    EXPECT_FALSE(fs::exists(site + "/files/agent-2.3.msi"));
    fs::remove_all(stuck);
    const outcome status = publisher({"status", "--site", site});
    EXPECT_EQ(status.status, 0) << status.out;
    EXPECT_TRUE(holds(status.out, "urgent: " + stuck + " is missing")) << status.out;
    EXPECT_TRUE(holds(status.out, "regular: " + s.url() + "/files/agent-2.2.msi\n  served: ")) << status.out;

    // A file announced but not served, and one whose bytes are not the announced ones.
    for (const std::string damage : {"missing: ", "wrong: "}) {
        write_file(stuck, R"({"results": [{"url": ")" + s.url() + R"(/files/agent%202.1.msi", "hash": ")" +
                              sha256_of(spaced) + R"("}]})");
        if (damage == "missing: ")
            fs::rename(site + "/files/agent 2.1.msi", root + "/moved.msi");
        else
            write_file(site + "/files/agent 2.1.msi", "changed");
        const outcome damaged = publisher({"status", "--site", site});
        EXPECT_EQ(damaged.status, 3) << damage;
        EXPECT_TRUE(holds(damaged.out, "  " + damage)) << damaged.out;
        EXPECT_TRUE(holds(damaged.out, "the site announces what it does not serve")) << damaged.out;
    }
}

// A publish killed at each step: the old release stays served whole, nothing half-made is
// servable, status tells of the kill and the next publish cleans up after it.
TEST_F(Publisher, InterruptedPublishLeavesTheOldReleaseServed)
{
    const lab::site& s = servers->at("documented");
    const std::string old_msi = root + "/agent-2.0.0.msi", new_msi = root + "/agent-3.0.0.msi";
    fs::copy_file(fixture("signed_token.msi"), old_msi);
    fs::copy_file(fixture("signed_expired_timestamped.msi"), new_msi);
    const strings publish_new{"publish", new_msi, "--site", site, "--base-url", s.url()};
    ASSERT_EQ(publisher({"publish", old_msi, "--site", site, "--base-url", s.url()}).status, 0);
    const auto served = snapshot();

    for (const char* step : {"copy", "msi", "descriptor"}) {
        SCOPED_TRACE(step);
        EXPECT_EQ(publisher(publish_new, {std::string("AGENT_PUBLISH_INTERRUPT_AT=") + step}).status, 137);
        EXPECT_EQ(probe(s).out, "would install " + s.url() + "/files/agent-2.0.0.msi\n");
        auto now = snapshot();
        if (now.count("files/agent-3.0.0.msi") == 1) {  // complete, never announced
            EXPECT_EQ(now["files/agent-3.0.0.msi"], read_file(new_msi));
            now.erase("files/agent-3.0.0.msi");
        }
        EXPECT_EQ(now, served) << "a half-made file is served";
        const outcome status = publisher({"status", "--site", site});
        EXPECT_EQ(status.status, 0);
        EXPECT_TRUE(holds(status.out, "interrupted: publish agent-3.0.0.msi, started ")) << status.out;
        EXPECT_TRUE(holds(status.out, "leftover: ")) << status.out;
    }
    // What an older publisher left beside the served files, served as it is.
    const std::string old_partial = site + "/files/agent-3.0.0.msi.new.Ab3dEf";
    write_file(old_partial, "half an MSI");
    const std::string set_aside = site + "/descriptors/urgent.json.old-4242-987654";
    write_file(set_aside, "{}");
    const outcome next = publisher(publish_new);
    EXPECT_EQ(next.status, 0);
    EXPECT_TRUE(holds(next.out, "the last change was interrupted: publish agent-3.0.0.msi")) << next.out;
    EXPECT_TRUE(holds(next.out, "removed " + old_partial)) << next.out;
    EXPECT_FALSE(fs::exists(old_partial));
    EXPECT_FALSE(fs::exists(set_aside));
    EXPECT_TRUE(fs::is_empty(site + "/.agent_publish/partial"));
    EXPECT_EQ(probe(s).out, "would install " + s.url() + "/files/agent-3.0.0.msi\n");
    const outcome clean = publisher({"status", "--site", site});
    EXPECT_FALSE(holds(clean.out, "leftover")) << clean.out;
}

// Two publishes started together, many times: one change at a time, so the site always
// announces what it serves. A lock held too long is waited for, then reported.
TEST_F(Publisher, ConcurrentPublishesTakeTurns)
{
    const lab::site& s = servers->at("documented");
    const std::string a = root + "/a", b = root + "/b";
    fs::create_directories(a);
    fs::create_directories(b);
    const std::string script = root + "/both.sh";
    write_file(script, "\"$P\" publish \"$1\" --site \"$SITE\" --base-url \"$URL\" >\"$1.out\" 2>&1 & first=$!\n"
                       "\"$P\" publish \"$2\" --site \"$SITE\" --base-url \"$URL\" >\"$2.out\" 2>&1\n"
                       "second=$?; wait $first; echo $? $second\n");
    const strings both_env{std::string("P=") + build_paths::agent_publish_exe, "SITE=" + site, "URL=" + s.url(),
                      "SSL_CERT_FILE=" + fixture("trusted_bundle.pem")};
    for (int trial = 0; trial < 12; ++trial) {
        const bool same_name = trial % 2 == 0;
        const std::string name = "agent-2.0." + std::to_string(trial) + ".msi";
        fs::copy_file(fixture("signed_token.msi"), a + "/" + name);
        fs::copy_file(fixture("signed_expired_timestamped.msi"), b + "/" + (same_name ? name : "b-" + name));
        const std::string statuses = root + "/statuses";
        ASSERT_EQ(run_process({"sh", script, a + "/" + name, b + "/" + (same_name ? name : "b-" + name)}, both_env,
                              statuses, "", 120),
                  0);
        const std::string seen = read_file(statuses);
        EXPECT_TRUE(same_name ? seen == "0 3\n" || seen == "3 0\n" : seen == "0 0\n") << trial << ": " << seen;
        const outcome status = publisher({"status", "--site", site});
        ASSERT_EQ(status.status, 0) << trial << ": " << status.out;
    }

    // util-linux's flock holds the site's lock as another publish would.
    const std::string lock = site + "/.agent_publish/lock";
    const std::string held = root + "/held";
    pid_t holder = fork();
    if (holder == 0) {
        execlp("flock", "flock", lock.c_str(), "sh", "-c", ("touch " + held + "; sleep 30").c_str(), (char*)nullptr);
        _exit(127);
    }
    for (int i = 0; i < 100 && !fs::exists(held); ++i)
        usleep(50000);
    const auto before = snapshot();
    const outcome busy = publisher({"withdraw", "--site", site, "--wait", "1"});
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(busy.status, 75);
    EXPECT_TRUE(holds(busy.err, "another change of " + site + " is in progress (waited 1 s")) << busy.err;
    EXPECT_EQ(snapshot(), before);
}

// Each mistake a vendor can make is refused by the publisher, seen by the probe and met by an
// endpoint with the same message; the publisher's refusal leaves the site as it was.
TEST_F(Publisher, RefusesWhatEndpointsRefuseWithTheirWords)
{
    const lab::site& s = servers->at("documented");
    const std::string served = s.url() + "/files/agent.msi";
    const std::string signature = "The signature is wrong";
    const std::string other_file = "Downloaded hash did not match the one in json";
    const std::string ignored = "Couldn't detect an urgent update, stopping.";
    struct row {
        const char* what;
        std::string msi;  // published, or announced by hand
        std::string url;  // announced by hand
        std::string digest;
        std::string message;
        int probe_status;
    };
    for (const row& c : {
             row{"other organisation", fixture("signed_lower.msi"), s.url() + "/files/signed_lower.msi",
                 sha256_of(fixture("signed_lower.msi")), signature, 3},
             row{"untrusted root", fixture("signed_untrusted_ca.msi"), s.url() + "/files/signed_untrusted_ca.msi",
                 sha256_of(fixture("signed_untrusted_ca.msi")), signature, 3},
             row{"digest of another file", fixture("signed_ok.msi"), s.url() + "/files/signed_ok.msi",
                 sha256_of(fixture("other.msi")), other_file, 3},
             row{"the regular release's URL", servers->package, served, servers->digest, ignored, 1},
         }) {
        SCOPED_TRACE(c.what);
        if (c.message != other_file) {
            if (c.url == served)
                write_file(site + "/descriptors/regular.json",
                           R"({"results": [{"url": ")" + served + R"(", "hash": "x"}]})");
            const auto before = snapshot();
            const outcome refused = publisher({"publish", c.msi, "--site", site, "--base-url", s.url()});
            EXPECT_EQ(refused.status, 3);
            EXPECT_EQ(refused.out.rfind("refused: " + c.message, 0), 0u) << refused.out;
            EXPECT_EQ(snapshot(), before) << "a refusal changed the site";
        }
        announce(c.msi, c.url, c.digest);
        const outcome probed = probe(s);
        EXPECT_EQ(probed.status, c.probe_status);
        const std::string verdict = c.probe_status == 3 ? "would refuse the installer: " + c.message
                                                        : "no urgent release";
        EXPECT_EQ(probed.out.rfind(verdict, 0), 0u) << probed.out;
        const run_result r = endpoint(s);
        EXPECT_TRUE(has(r, (c.probe_status == 3 ? "[error] " : "[info] ") + c.message)) << r.log;
        write_file(site + "/descriptors/regular.json", original.at("descriptors/regular.json"));
    }
}

// The traps that make endpoints ignore or refuse a release without a word to the vendor, and
// what is none.
TEST_F(Publisher, ProbeWarnsOfEachTrap)
{
    const lab::site& documented = servers->at("documented");
    const std::string http_url =
        "http://127.0.0.1:" + std::to_string(documented.port) + "/files/agent.msi";
    const lab::site& split = servers->at("split_header");
    struct row {
        const char* site;
        std::string announced_url;  // written into the documented site's urgent.json
        std::string digest;
        std::string warning;
        int status;
        strings absent;  // in no line of the probe's
    };
    for (const row& c : {
             row{"urgent404", "", "",
                 "&urgent=true&version=1.0.0 answered 404: an endpoint takes this error page", 1, {}},
             row{"plain", "", "", "is sent without Cache-Control: no-store", 0, {}},
             // no-cache lets WinINet keep the answer, to check back with the server later.
             row{"no_cache", "", "", "is sent without Cache-Control: no-store (no-cache)", 0, {}},
             row{"moved301", "", "", "warning: the installer URL is redirected to http://", 0, {}},
             row{"documented", http_url, servers->digest, "is not https on an https server", 0, {}},
             row{"documented", documented.url() + "/files/agent.msi", servers->digest,
                 "warning: the signature carries no time stamp: every endpoint refuses this release from 2", 0, {}},
             row{"documented", documented.url() + "/files/agent.msi", upper(servers->digest),
                 "warning: the announced digest has upper-case digits", 3, {}},
             row{"tls13", "", "",
                 "warning: " + servers->at("tls13").url() +
                     " does not complete a TLS 1.2 handshake (12175): Windows endpoints before Windows 11 "
                     "and Windows Server 2022 (Windows 7 SP1, 8.1, 10, Server 2012 R2 to 2019) cannot reach it\n",
                 0, {}},
             // no-store in the second of two headers, in capitals; a redirect of the query alone.
             row{"split_header", "", "", "would install " + split.url() + split.installer + "\n", 0,
                 {"redirected", "Cache-Control"}},
         }) {
        SCOPED_TRACE(c.warning);
        if (!c.announced_url.empty())
            announce(servers->package, c.announced_url, c.digest);
        const outcome probed = probe(servers->at(c.site));
        EXPECT_EQ(probed.status, c.status);
        EXPECT_NE(probed.out.find(c.warning), std::string::npos) << probed.out;
        for (const std::string& absent : c.absent)
            EXPECT_EQ(probed.out.find(absent), std::string::npos) << probed.out;
    }
}

// The Windows build with names in any language: an MSI name and a site path beyond the
// ANSI code page, and a descriptor held open by another process while it is replaced.
TEST_F(Publisher, WindowsBuildTakesAnyNameAndWaitsForReadersUnderWine)
{
    const std::string agent = windows_exe();
    ASSERT_FALSE(agent.empty()) << build_paths::windows_agent_exe << " is missing";
    const std::string exe = fs::path(agent).replace_filename("agent_publish.exe").string();
    ASSERT_TRUE(fs::exists(exe)) << exe << " is missing";
    const lab::site& s = servers->at("documented");
    strings wine_env = env;
    wine_env.push_back(std::string("WINEPREFIX=") + build_paths::wine_prefix_dir);
    wine_env.push_back("WINEDEBUG=-all");
    auto windows = [&](strings args) {
        args.insert(args.begin(), {build_paths::wine_runner, exe});
        const run_result r = wine_run(args, wine_env, 120);
        std::cout << "agent_publish.exe " << args[2] << " -> " << r.status << "\n" << r.out << r.err;
        return r;
    };
    const std::string msi = root + "/agent-\xc3\xa9\xe2\x80\x93" "2.msi";  // é and an en dash
    fs::copy_file(fixture("signed_token.msi"), msi);
    const std::string url = s.url() + "/files/agent-%C3%A9%E2%80%932.msi";
    const run_result published = windows({"publish", msi, "--site", site, "--base-url", s.url()});
    ASSERT_EQ(published.status, 0) << published.err;
    EXPECT_TRUE(holds(published.out, "published the urgent release " + url)) << published.out;
    EXPECT_EQ(read_file(site + "/files/agent-\xc3\xa9\xe2\x80\x93" "2.msi"), read_file(msi));
    EXPECT_EQ(probe(s).out, "would install " + url + "\n");

    // Held without sharing for 3 s, as a reader may hold it: the publish waits for it.
    const std::string held = root + "/held";
    const std::string holder = "\"" + std::string(build_paths::wine_runner) + "\" \"" +
                               build_paths::windows_hold_file_exe + "\" '" + site +
                               "/descriptors/urgent.json' '" + held + "' 3 >/dev/null 2>&1 &";
    ASSERT_EQ(run_process({"bash", "-c", holder}, wine_env, "", "", 30), 0);
    for (int i = 0; i < 300 && !fs::exists(held); ++i)
        usleep(100000);
    ASSERT_TRUE(fs::exists(held)) << "the holder never held the descriptor";
    const run_result withdrawn = windows({"withdraw", "--site", site});
    EXPECT_EQ(withdrawn.status, 0) << withdrawn.err;
    EXPECT_EQ(read_file(site + "/descriptors/urgent.json"), "{\"results\": []}\n");

    const std::string other_site = root + "/s\xc3\xaft\xc3\xa9 \xe2\x98\x83";  // ï, é and a snowman
    for (const strings& args : {strings{"init", "--site", other_site}, strings{"withdraw", "--site", other_site},
                                strings{"status", "--site", other_site}})
        EXPECT_EQ(windows(args).status, 0) << args[0];
    EXPECT_EQ(read_file(other_site + "/descriptors/urgent.json"), "{\"results\": []}\n");
}

// Bad input is told and changes nothing.
TEST_F(Publisher, BadInputIsRefusedBeforeAnythingIsWritten)
{
    const auto before = snapshot();
    const std::string msi = servers->package;
    for (const auto& [args, message] : std::vector<std::pair<strings, std::string>>{
             {{"publish", root + "/missing.msi", "--site", site, "--base-url", "https://x"}, "no such file"},
             {{"publish", root, "--site", site, "--base-url", "https://x"}, "is a directory: give the MSI file"},
             {{"publish", msi, "--site", root, "--base-url", "https://x"}, "agent_publish init --site " + root},
             {{"publish", msi, "--site", site, "--base-url", "ftp://x"}, "must start with http:// or https://"},
             {{"publish", msi, "--site", site, "--base-url", "https://x/?x=1"}, "a query or a fragment"},
             {{"publish", msi, "--site", site, "--base-url", "https://x/#top"}, "a query or a fragment"},
             {{"publish", msi, "--site", site, "--base-url", "https://x/a b"}, "whitespace"},
             {{"publish", msi, "--site", site, "--base-url", "https://x/\xc3\xa9"}, "beyond ASCII"},
             {{"publish", msi, "--site", site, "--base-url", "https://me@x"}, "a user name"},
             {{"publish", msi, "--site", site, "--base-url", "https://:443/"}, "no host"},
             {{"publish", msi, "--site", site, "--base-url", "https://x:99999"}, "port"},
             {{"publish", msi, "--site", site, "--base-url", "https://x", "--wait", "soon"}, "--wait takes"},
             {{"probe", "updates.example.com", "--version", "1.0.0"}, ""},
             {{"probe", "https://x", "--version", "--ca"}, "--version needs a value"},
             {{"probe", "https://x", "--version", "1.9.3 beta"}, "an endpoint sends only the first word"},
             {{"withdraw", "--site", root}, "agent_publish init"},
             {{"status", "--site", root}, "agent_publish init"}}) {
        const outcome o = publisher(args);
        EXPECT_EQ(o.status, 64) << testing::PrintToString(args);
        EXPECT_TRUE(holds(o.err, message)) << o.err;
    }
    EXPECT_EQ(snapshot(), before);
}

}  // namespace
