// Whole runs as root while another local user (uid 65534, through setpriv) tries to
// steer, swap or spoil them: through the shared temporary directory, the var
// directory, a second run started alongside, the working directory and the signer's
// name. In every case msiexec may only ever receive the announced package, or nothing.
//
// ATTACK_LINUX_EXE and ATTACK_WINDOWS_EXE run another build of the program (an older
// one, to see what it did); ATTACK_WINDOWS_BUILD_DIR names the Windows build whose
// helpers (the recording msiexec.exe) the Wine cases use.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "build_paths.h"
#include "fault_fixture.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t attacker_uid = 65534;

std::string env_or(const char* name, const std::string& fallback)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

std::string windows_build_dir()
{
    return env_or("ATTACK_WINDOWS_BUILD_DIR", build_paths::windows_build_dir);
}

bool has_setpriv()
{
    return run_process({"sh", "-c", "command -v setpriv"}, {}, "", "", 10) == 0;
}

std::vector<std::string> as_attacker(const std::vector<std::string>& argv)
{
    std::vector<std::string> full = {"setpriv", "--reuid=" + std::to_string(attacker_uid),
                                     "--regid=" + std::to_string(attacker_uid), "--clear-groups", "--"};
    full.insert(full.end(), argv.begin(), argv.end());
    return full;
}

}  // namespace

// Ends the case as well when need_attacker() skipped it or failed.
#define NEED_ATTACKER()                       \
    do {                                      \
        need_attacker();                      \
        if (IsSkipped() || HasFatalFailure()) \
            return;                           \
    } while (0)

class Attack : public Faults {
protected:
    std::string announced;     // digest of the announced package (signed_ok.msi)
    std::string attacker_dir;  // owned by the attacker
    std::vector<pid_t> attackers;

    void SetUp() override
    {
        Faults::SetUp();
        install_expected = true;  // checked here: only the announced package, or nothing
        const std::string other =
            std::getenv("ATTACK_LINUX_EXE") != nullptr ? std::getenv("ATTACK_LINUX_EXE") : "";
        if (!other.empty())
            install(other);
        // A msiexec that takes a moment before it opens the package, as the real one does,
        // and notes whether the run still holds the package open for it.
        write_file(
            root + "/bin/msiexec",
            "#!/bin/sh\nsleep 0.3\n"
            "{ printf '%s\\n' \"$@\"; sha256sum \"$2\" 2>/dev/null || echo no-package;\n"
            "  ls -l /proc/$PPID/fd | grep -q agent_recovery.msi && echo held || echo not-held; } >> '" +
                root + "/msiexec.calls'\nexit 0\n");
        fs::permissions(root + "/bin/msiexec", fs::perms::owner_all);
        announced = sha256_of(fixture("signed_ok.msi"));
        env.push_back("SSL_CERT_FILE=" + fixture("trusted_bundle.pem"));
    }

    // The cases with a second user need root to be the run and setpriv to be the other.
    // Called through NEED_ATTACKER: a skip here ends only this function.
    void need_attacker()
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root: the run is root's and the attacker uid " << attacker_uid;
        if (!has_setpriv())
            GTEST_SKIP() << "needs setpriv (util-linux) to act as uid " << attacker_uid;
        // The attacker reaches APP/var and the temporary directory, as on a real system.
        fs::permissions(root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
        fs::permissions(app, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
        fs::permissions(tmp, fs::perms::all | fs::perms::sticky_bit);  // as /tmp: 1777
        attacker_dir = root + "/attacker";
        fs::create_directories(attacker_dir);
        ASSERT_EQ(::chown(attacker_dir.c_str(), attacker_uid, attacker_uid), 0);
    }

    void TearDown() override
    {
        for (const pid_t pid : attackers) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        Faults::TearDown();
    }

    // Starts the attacker helper as uid 65534 in the background; its lines go to `out`.
    void start_attacker(const std::vector<std::string>& args, const std::string& out)
    {
        std::vector<std::string> argv = as_attacker({build_paths::attacker_exe});
        argv.insert(argv.end(), args.begin(), args.end());
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const int in = ::open("/dev/null", O_RDONLY);
            const int to = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(in, 0);
            ::dup2(to, 1);
            ::dup2(to, 2);
            std::vector<char*> raw;
            for (std::string& a : argv)
                raw.push_back(&a[0]);
            raw.push_back(nullptr);
            ::execvp(raw[0], raw.data());
            ::_exit(127);
        }
        attackers.push_back(pid);
    }

    // Waits (at most 10 s) until the attacker's output holds `line`.
    static bool wait_for_line(const std::string& out, const std::string& line)
    {
        for (int i = 0; i < 1000; ++i) {
            const strings lines = read_lines(out);
            if (std::find(lines.begin(), lines.end(), line) != lines.end())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // The attacker's own package: another one, genuinely signed for "VELQUORA SA".
    std::string attacker_package()
    {
        const std::string msi = root + "/attacker_release.msi";
        EXPECT_EQ(
            run_process({"osslsigncode", "sign", "-certs", fixture("signer_ok.pem"), "-key",
                         fixture("signer_ok.key"), "-h", "sha256", "-in", fixture("other.msi"), "-out", msi},
                        {}, "", "", 60),
            0);
        return msi;
    }

    // The update server: no release without urgency, signed_ok.msi announced as urgent;
    // it also serves `extra` as /files/extra.msi.
    server& serve_release(const std::string& extra = "", double chunk_delay = 0)
    {
        json package = {{"path", "/files/agent.msi"}, {"body_file", fixture("signed_ok.msi")}};
        if (chunk_delay > 0) {
            package["chunk_bytes"] = 512;
            package["chunk_delay_seconds"] = chunk_delay;
        }
        const std::string urgent = root + "/urgent.json";
        json routes = answers(urgent);
        routes.push_back(package);
        if (!extra.empty())
            routes.push_back({{"path", "/files/extra.msi"}, {"body_file", extra}});
        server& s = serve(routes);
        write_file(urgent, release(s.url() + "/files/agent.msi", announced));
        configure(s);
        return s;
    }

    // What msiexec received: one digest per start ("no-package" when there was none).
    strings received() const
    {
        strings digests;
        for (const std::string& line : msiexec_calls()) {
            if (line == "no-package")
                digests.push_back(line);
            else if (line.size() > 66 && line.compare(64, 2, "  ") == 0)
                digests.push_back(line.substr(0, 64));
        }
        return digests;
    }

    void expect_installed_announced(const run_result& r)
    {
        EXPECT_NE(r.status, -2) << "the run hung";
        EXPECT_EQ(r.status, 0) << r.log << r.out << r.err;
        EXPECT_EQ(last(r), "[info] Installer returned with code 0") << r.log;
        EXPECT_EQ(received(), strings{announced}) << r.log;
        const strings calls = msiexec_calls();
        EXPECT_TRUE(calls.empty() || calls.back() == "held")
            << "the run let go of the package before msiexec read it";
    }

    static mode_t mode_of(const std::string& path)
    {
        struct stat info;
        return ::lstat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
    }
};

// The run writes the answer into the attacker's FIFO and reads the attacker's descriptor
// back: a release of the attacker's choice, signed and with its own digest.
TEST_F(Attack, FifoAtTheDescriptorPath)
{
    NEED_ATTACKER();
    const std::string theirs = attacker_package();
    server& s = serve_release(theirs);
    const std::string out = root + "/attacker.out";
    start_attacker({"fifo", tmp + "/last_agent.json", R"({"results":[]})",
                    release(s.url() + "/files/extra.msi", sha256_of(theirs))},
                   out);
    for (int i = 0; i < 500 && !fs::is_fifo(tmp + "/last_agent.json"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(fs::is_fifo(tmp + "/last_agent.json"));

    const run_result r = run(60);
    expect_installed_announced(r);
    EXPECT_TRUE(lines_with(read_file(s.requests), "/files/extra.msi").empty()) << read_file(s.requests);
    EXPECT_TRUE(fs::is_regular_file(tmp + "/last_agent.json"));
    EXPECT_TRUE(read_lines(out).empty()) << read_file(out);
}

// A file planted with mode 666 and written back with the attacker's descriptor each
// time the run closes it.
TEST_F(Attack, PlantedDescriptorRewrittenAfterEveryClose)
{
    NEED_ATTACKER();
    const std::string theirs = attacker_package();
    server& s = serve_release(theirs);
    const std::string out = root + "/attacker.out";
    start_attacker(
        {"rewrite", tmp, "last_agent.json", release(s.url() + "/files/extra.msi", sha256_of(theirs))}, out);
    ASSERT_TRUE(wait_for_line(out, "planted")) << read_file(out);

    const run_result r = run(60);
    expect_installed_announced(r);
    EXPECT_TRUE(lines_with(read_file(s.requests), "/files/extra.msi").empty()) << read_file(s.requests);
    struct stat info;
    ASSERT_EQ(::lstat((tmp + "/last_agent.json").c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 0u) << "the planted file was reused";
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    EXPECT_TRUE(lines_with(read_file(out), "rewrote").empty()) << read_file(out);
}

// A link at the descriptor's path: the run must neither follow it nor give up.
TEST_F(Attack, SymlinkAtTheDescriptorPath)
{
    NEED_ATTACKER();
    serve_release();
    write_file(root + "/victim", "precious");
    ASSERT_EQ(
        run_process(as_attacker({"ln", "-s", root + "/victim", tmp + "/last_agent.json"}), {}, "", "", 10),
        0);

    const run_result r = run(60);
    expect_installed_announced(r);
    EXPECT_EQ(read_file(root + "/victim"), "precious");
    EXPECT_FALSE(fs::is_symlink(tmp + "/last_agent.json"));
}

// A directory of the attacker's there, with a file of theirs inside: the run can neither
// remove nor use it, and must not take that for a server that did not answer.
TEST_F(Attack, DirectoryAtTheDescriptorPath)
{
    NEED_ATTACKER();
    serve_release();
    const std::string planted = tmp + "/last_agent.json";
    ASSERT_EQ(run_process(as_attacker({"sh", "-c", "mkdir \"$0\" && echo theirs > \"$0/inside\"", planted}),
                          {}, "", "", 10),
              0);

    const run_result r = run(60);
    expect_installed_announced(r);
    EXPECT_EQ(
        count(r, "[error] Could not replace " + planted +
                     " (Is a directory): the update descriptor goes to " + app + "/var/last_agent.json"),
        2u);
    EXPECT_EQ(read_file(planted + "/inside"), "theirs\n");
}

// Started under umask 000: var, the log and the installer stay out of other users' reach.
TEST_F(Attack, UmaskZero)
{
    NEED_ATTACKER();
    serve_release();
    const mode_t old = ::umask(0);
    const run_result r = run(60);
    ::umask(old);
    expect_installed_announced(r);
    EXPECT_EQ(mode_of(app + "/var"), 0755u);
    EXPECT_EQ(mode_of(app + "/var/agent_recovery.log") & 022, 0u)
        << std::oct << mode_of(app + "/var/agent_recovery.log");
    EXPECT_EQ(mode_of(app + "/var/agent_recovery.msi") & 022, 0u)
        << std::oct << mode_of(app + "/var/agent_recovery.msi");

    const std::string out = root + "/attacker.out";
    run_process(as_attacker({build_paths::attacker_exe, "write", app + "/var/agent_recovery.log",
                             app + "/var/agent_recovery.msi", app + "/var/planted"}),
                {}, out, out, 10);
    EXPECT_TRUE(lines_with(read_file(out), "writable").empty()) << read_file(out);
    EXPECT_EQ(lines_with(read_file(out), "denied").size(), 3u) << read_file(out);
}

// Under umask 000, a watcher renames an unsigned package over the verified installer as
// soon as the log shows that msiexec is about to start.
TEST_F(Attack, PackageSwappedWhenExecutingIsLogged)
{
    NEED_ATTACKER();
    serve_release();
    const std::string swap = attacker_dir + "/swap.msi";
    fs::copy_file(fixture("unsigned.msi"), swap);
    ASSERT_EQ(::chown(swap.c_str(), attacker_uid, attacker_uid), 0);
    const std::string out = root + "/attacker.out";
    start_attacker(
        {"swap", app + "/var/agent_recovery.log", "Executing command", swap, app + "/var/agent_recovery.msi"},
        out);

    const mode_t old = ::umask(0);
    const run_result r = run(60);
    ::umask(old);
    expect_installed_announced(r);
    for (int i = 0; i < 200 && read_lines(out).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(lines_with(read_file(out), "renamed").empty()) << read_file(out);
}

// Two runs started together while the installer downloads slowly (about 2.5 s).
TEST_F(Attack, TwoRunsStartedTogether)
{
    serve_release("", 0.1);
    run_result results[2];
    std::thread runs[2];
    for (int i = 0; i < 2; ++i) {
        runs[i] = std::thread([&, i] {
            const std::string n = std::to_string(i);
            results[i].status = run_process({program_}, env, root + "/stdout" + n + ".txt",
                                            root + "/stderr" + n + ".txt", 60);
            results[i].out = read_file(root + "/stdout" + n + ".txt");
        });
    }
    for (std::thread& t : runs)
        t.join();
    const std::string log = read_file(app + "/var/agent_recovery.log");
    EXPECT_NE(results[0].status, -2) << "a run hung";
    EXPECT_NE(results[1].status, -2) << "a run hung";
    // One run installs; the other stops at once and leaves the log to the first.
    const int first = results[0].status == 0 ? 0 : 1;
    const run_result& second = results[1 - first];
    EXPECT_EQ(results[first].status, 0) << log;
    EXPECT_EQ(second.status, 255) << second.out;
    EXPECT_EQ(
        lines_with(second.out, "Another recovery run holds " + app + "/var/agent_recovery.lck, stopping")
            .size(),
        1u)
        << second.out;
    EXPECT_EQ(lines_with(log, "Starting Recovery agent").size(), 1u) << log;
    const strings m = messages(log);
    ASSERT_FALSE(m.empty());
    EXPECT_EQ(m.back(), "[info] Installer returned with code 0") << log;
    EXPECT_EQ(received(), strings{announced}) << log;
}

// --- the Windows build under Wine -----------------------------------------------------

class WineAttack : public Attack {
protected:
    void SetUp() override
    {
        Attack::SetUp();
        const std::string exe = env_or("ATTACK_WINDOWS_EXE", windows_build_dir() + "/agent_recovery.exe");
        ASSERT_TRUE(fs::exists(exe)) << exe << " is missing: build the Windows preset first";
        fs::remove(program_);
        install(exe, "agent_recovery.exe");
    }

    std::string fake_msiexec() const { return windows_build_dir() + "/tests/installer/msiexec.exe"; }

    // The Windows build under Wine with `cwd` as its working directory. Runs in the prefix
    // take turns, unless the case holds the turn itself (`take_turn` false).
    run_result run_in(const std::string& cwd, double timeout_seconds, bool take_turn = true)
    {
        std::vector<std::string> wine_env = env;
        wine_env.push_back(std::string("WINEPREFIX=") + build_paths::wine_prefix_dir);
        wine_env.push_back("WINEDEBUG=-all");
        if (take_turn)
            wine_env.push_back(wine_run_lock());
        return wine_run(
            {"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", cwd, build_paths::wine_runner, program_}, wine_env,
            timeout_seconds);
    }

    int wine_msiexec(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {build_paths::wine_runner, "msiexec"};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_process(argv,
                           {std::string("WINEPREFIX=") + build_paths::wine_prefix_dir, "WINEDEBUG=-all"},
                           root + "/wine_msiexec.txt", root + "/wine_msiexec.txt", 120);
    }
};

// What another user can leave at the descriptor's path in the shared temporary directory
// (Wine's, like Windows', is the account's own and not TMPDIR): a folder, a read-only
// file, a file held open without and then with delete sharing. The answer goes to var.
TEST_F(WineAttack, DescriptorEntryThatCannotBeReplaced)
{
    ASSERT_TRUE(fs::exists(fake_msiexec())) << fake_msiexec();
    fs::copy_file(fake_msiexec(), app + "/msiexec.exe");
    serve_release();
    const std::string entry = std::string(build_paths::wine_prefix_dir) + "/drive_c/users/" +
                              ::getpwuid(::geteuid())->pw_name + "/Temp/last_agent.json",
                      ready = root + "/held";
    const std::string holder = "'" + std::string(build_paths::wine_runner) + "' '" +
                               build_paths::windows_hold_file_exe + "' '" + entry + "' '" + ready + "' 20";
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"folder", "mkdir '" + entry + "' && echo theirs > '" + entry + "/inside'"},
        {"read-only file", "echo theirs > '" + entry + "' && chmod 444 '" + entry + "'"},
        {"held without delete sharing", holder + " >/dev/null 2>&1 &"},
        {"held with delete sharing", holder + " delete >/dev/null 2>&1 &"}};
    // Wine makes the account's Temp at its first use there; this case may come first.
    fs::create_directories(fs::path(entry).parent_path());
    // The prefix's other runs would meet the entry too: this case holds their turn.
    const std::string turn = wine_run_lock().substr(std::string("WINE_RUN_LOCK=").size());
    const int lock = ::open(turn.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    for (const auto& [what, plant] : rows) {
        SCOPED_TRACE(what);
        fs::remove_all(entry);
        fs::remove(ready);
        fs::remove_all(app + "/var");
        fs::remove(app + "/msiexec_args.txt");
        ASSERT_EQ(run_process({"bash", "-c", plant},
                              {"WINEPREFIX=" + std::string(build_paths::wine_prefix_dir)}, "", "", 30),
                  0);
        for (int i = 0; what.rfind("held", 0) == 0 && i < 300 && !fs::exists(ready); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const run_result r = run_in(root, 240, false);
        EXPECT_EQ(last(r), "[info] Installer returned with code 0") << r.log << r.out << r.err;
        EXPECT_TRUE(fs::exists(app + "/msiexec_args.txt"));
        const strings moved = lines_with(r.log, "): the update descriptor goes to ");
        EXPECT_EQ(moved.size(), 2u) << r.log;
        std::cout << what << ": " << (moved.empty() ? "" : moved.front()) << "\n";
    }
    fs::remove_all(entry);
    ::close(lock);
}

// The installer is swapped for a link to a copy of the announced package of another
// user's while it downloads (slowly): what the link names must not be what is checked
// and handed to msiexec, as the link could be turned elsewhere afterwards.
TEST_F(WineAttack, InstallerSwappedForALinkAfterTheDownload)
{
    NEED_ATTACKER();
    ASSERT_TRUE(fs::exists(fake_msiexec())) << fake_msiexec();
    fs::copy_file(fake_msiexec(), app + "/msiexec.exe");
    serve_release("", 0.1);
    const std::string theirs = attacker_dir + "/agent.msi", installer = app + "/var/agent_recovery.msi";
    fs::copy_file(fixture("signed_ok.msi"), theirs);
    ASSERT_EQ(::chown(theirs.c_str(), attacker_uid, attacker_uid), 0);
    std::thread swapper([&] {
        for (int i = 0; i < 6000 && !fs::is_regular_file(installer); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        fs::rename(installer, app + "/var/partial");
        fs::create_symlink(theirs, installer);
    });
    const run_result r = run_in(root, 240);
    swapper.join();
    EXPECT_EQ(r.status, 255) << r.log << r.out << r.err;
    const std::string m = last(r);
    EXPECT_EQ(m.substr(0, 22), "[error] The installer ") << r.log;
    EXPECT_EQ(m.substr(m.size() - 9), ": refused") << r.log;
    EXPECT_FALSE(fs::exists(app + "/msiexec_args.txt")) << "msiexec ran on the link";
    // The refused entry is deleted; Wine 8's DeleteFile takes a link's target and leaves
    // the link, where Windows removes the link, so neither is checked here.
}

// A var that is a link to a directory elsewhere is refused, as on Linux.
TEST_F(WineAttack, VarThatIsALink)
{
    serve_release();
    const std::string elsewhere = root + "/elsewhere";
    fs::create_directories(elsewhere);
    fs::remove_all(app + "/var");
    fs::create_directory_symlink(elsewhere, app + "/var");
    const run_result r = run_in(root, 120);
    EXPECT_EQ(r.status, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("var directory doesnt exist"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::is_empty(elsewhere)) << "the run wrote through the link";
}

// An operator starts the run from a directory holding someone's msiexec.exe. The
// program's own directory holds none, so the system's (Wine's) must be the one started.
TEST_F(WineAttack, MsiexecInTheWorkingDirectory)
{
    ASSERT_TRUE(fs::exists(fake_msiexec())) << fake_msiexec();
    serve_release();
    const std::string cwd = root + "/cwd";
    fs::create_directories(cwd);
    fs::copy_file(fake_msiexec(), cwd + "/msiexec.exe");
    wine_msiexec({"/x", fixture("signed_ok.msi"), "/qn"});

    const run_result r = run_in(cwd, 240);
    EXPECT_NE(r.status, -2) << "the run hung";
    EXPECT_FALSE(fs::exists(cwd + "/msiexec_args.txt"))
        << "the planted msiexec.exe ran: " << read_file(cwd + "/msiexec_args.txt");
    EXPECT_EQ(r.status, 0) << r.log << r.out << r.err;
    EXPECT_EQ(last(r), "[info] Installer returned with code 0") << r.log;
    // Wine's own msiexec installed the announced package (its verbose log says so).
    EXPECT_FALSE(lines_with(read(("var/update-agent-emergency.log")), ": INSTALL. Return value 1.").empty());
    wine_msiexec({"/x", fixture("signed_ok.msi"), "/qn"});
}

// A signer whose organisation reads "VELQUORA SA" only up to an embedded NUL. The same
// route with the plain name installs, so the refusal is about the NUL.
TEST_F(WineAttack, OrganisationWithEmbeddedNul)
{
    ASSERT_TRUE(fs::exists(fake_msiexec())) << fake_msiexec();
    fs::copy_file(fake_msiexec(), app + "/msiexec.exe");
    struct Case {
        std::string organisation;
        bool accepted;
    };
    for (const Case& c :
         {Case{"VELQUORA SA", true}, Case{std::string("VELQUORA SA\0 Impostor Ltd", 25), false}}) {
        SCOPED_TRACE(c.accepted ? "plain name" : "name with a NUL");
        const std::string msi = root + "/org_signed.msi";
        ASSERT_TRUE(sign_with_organisation(root, c.organisation, msi));
        site.stop();
        site.servers.clear();
        fs::remove_all(app + "/var");
        fs::remove(app + "/msiexec_args.txt");
        const std::string urgent = root + "/urgent.json";
        json routes = answers(urgent);
        routes.push_back({{"path", "/files/agent.msi"}, {"body_file", msi}});
        server& s = serve(routes);
        write_file(urgent, release(s.url() + "/files/agent.msi", sha256_of(msi)));
        configure(s);

        const run_result r = run_in(root, 240);
        EXPECT_NE(r.status, -2) << "the run hung";
        if (c.accepted) {
            EXPECT_EQ(r.status, 0) << r.log << r.out << r.err;
            EXPECT_EQ(last(r), "[info] Installer returned with code 0") << r.log;
            EXPECT_TRUE(fs::exists(app + "/msiexec_args.txt"));
        } else {
            EXPECT_EQ(r.status, 255) << r.log << r.out << r.err;
            EXPECT_EQ(last(r), "[error] The signature is wrong") << r.log;
            EXPECT_FALSE(fs::exists(app + "/msiexec_args.txt")) << "msiexec ran on the impostor's package";
            EXPECT_FALSE(exists("var/agent_recovery.msi"));
        }
    }
}
