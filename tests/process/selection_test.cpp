// Which server is asked, in which order, and what its answer leads to: whole runs
// against real loopback update servers.
#include <functional>

#include "build_paths.h"
#include "fixtures.h"
#include "update_site.h"

namespace {

class Selection : public UpdateSite {
protected:
    // A configured server that closes every connection without an answer and an
    // alternative that answers "no release", then what a run must have made of them.
    void check_silent_server(const std::function<run_result()>& start)
    {
        const json silent = json::array({{{"path", "/api/updates/"}, {"fault", "no_answer"}}});
        const std::string none = R"({"results":[]})";
        const server& configured = serve(none, none, silent);
        const server& alternative = serve(none, none);
        write_config("http", "127.0.0.1", std::to_string(configured.handle.port));
        write("VERSION", "7.1");
        inventory({alternative.url()});
        const run_result r = start();
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(lines_with(r.log, "InternetOpenUrlA failed: 12152").size(), 1u) << r.log;
        EXPECT_TRUE(has(r, "[info] Couldn't reach " + configured.url())) << r.log;
        EXPECT_EQ(requests_of(alternative).size(), 2u) << "the alternative is asked";
        EXPECT_EQ(messages(r.log).back(),
                  "[info] We reached the url and didn't get any updates, so we stop here")
            << r.log;
    }

    // A server answering the non-urgent and the urgent query with these descriptors
    // (text, so that malformed answers can be served too), plus any further routes.
    const server& serve(const std::string& regular, const std::string& urgent, json extra = json::array(),
                        bool tls = false)
    {
        const std::string n = std::to_string(site.servers.size());
        write_file(root + "/regular" + n + ".json", regular);
        write_file(root + "/urgent" + n + ".json", urgent);
        json routes = answers(root + "/urgent" + n + ".json", root + "/regular" + n + ".json");
        for (const auto& r : extra)
            routes.insert(routes.begin(), r);
        return UpdateSite::serve(routes, tls ? cert::good : cert::none);
    }

    std::string rewrite(std::size_t index, const std::string& urgent)
    {
        write_file(root + "/urgent" + std::to_string(index) + ".json", urgent);
        return urgent;
    }

    void inventory(const strings& urls)
    {
        write("etc/inventory.conf", json{{"alternative_urls", urls}}.dump());
    }
};

const std::string no_release = R"({"results":[]})";
const char* closed = "http://127.0.0.1:1";

TEST_F(Selection, ConfiguredServerWithoutUpdateEndsTheSearch)
{
    const server& configured = serve(no_release, no_release);
    const server& alternative = serve(no_release, release("http://127.0.0.1:9/x.msi"));
    write_config("http", "127.0.0.1", std::to_string(configured.handle.port));
    write("VERSION", "1.2.3\n");
    inventory({alternative.url()});

    const run_result r = run();
    EXPECT_EQ(r.status, 0);
    const strings m = messages(r.log);
    ASSERT_GE(m.size(), 3u);
    EXPECT_EQ(m[m.size() - 4], "[info] Couldn't detect an urgent update, stopping.");
    EXPECT_EQ(m[m.size() - 3], "[info] Urgent: ");
    EXPECT_EQ(m[m.size() - 2], "Non Urgent: ") << "the record spans two lines";
    EXPECT_EQ(m.back(), "[info] We reached the url and didn't get any updates, so we stop here");
    EXPECT_EQ(requests_of(configured),
              (strings{"GET /api/updates/?platform=windows&urgent=false&version=1.2.3 UA=Agent Recovery "
                       "ACCEPT=application/json",
                       "GET /api/updates/?platform=windows&urgent=true&version=1.2.3 UA=Agent Recovery "
                       "ACCEPT=application/json"}));
    EXPECT_TRUE(requests_of(alternative).empty()) << "an answering server ends the search";
    EXPECT_EQ(read_file(tmp + "/last_agent.json"), no_release) << "the last answer stays on disk";
}

TEST_F(Selection, FirstAnsweringAlternativeEndsTheSearch)
{
    const server& first = serve(no_release, no_release);
    const server& second = serve(no_release, release("http://127.0.0.1:9/x.msi"));
    write_config("http", "127.0.0.1", "1");
    write("VERSION", "1");
    inventory({closed, first.url(), second.url()});

    const run_result r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines_with(r.log, "Couldn't reach").size(), 2u) << "configured server and first alternative";
    EXPECT_TRUE(has(r, "[info] Couldn't reach http://127.0.0.1:1"));
    EXPECT_EQ(messages(r.log).back(),
              "[info] We reached the url and didn't get any updates, so we stop here");
    EXPECT_EQ(requests_of(first).size(), 2u);
    EXPECT_TRUE(requests_of(second).empty());
}

TEST_F(Selection, NobodyAnswers)
{
    write_config("http", "127.0.0.1", "1");
    write("VERSION", "1");
    inventory({closed, "http://no-such-host.invalid"});
    const run_result r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines_with(r.log, "Could not download update file").size(), 3u) << "one query per server";
    EXPECT_TRUE(has(r, "[info] Couldn't reach http://no-such-host.invalid"));
    EXPECT_EQ(messages(r.log).back(), "[info] We have not reached any url, so we stop here");
}

TEST_F(Selection, TlsFlagOfEachAlternativeComesFromItsUrl)
{
    const server& secure_server = serve(no_release, no_release, json::array(), true);
    write_config("https", "127.0.0.1", "1");
    write("VERSION", "1");
    inventory({closed, secure_server.url()});
    const run_result r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r, "[info] Using TLS: true"));
    EXPECT_EQ(lines_with(r.log,
                         "/api/updates/?platform=windows&urgent=false&version=1 with headers "
                         "Accept: application/json and secure false")
                  .size(),
              1u)
        << "http alternative: flag false, whatever the configuration says";
    EXPECT_EQ(lines_with(r.log, secure_server.url() + "/api/updates/?platform=windows&urgent=true&version=1 "
                                                      "with headers Accept: application/json and secure true")
                  .size(),
              1u);
    EXPECT_EQ(messages(r.log).back(),
              "[info] We reached the url and didn't get any updates, so we stop here");
}

TEST_F(Selection, InstallerIsFetchedWithTheAnsweringServersFlag)
{
    const server& s =
        serve(no_release, "", json::array({{{"path", "/files/agent.msi"}, {"body", "not an msi"}}}), true);
    const std::string installer = s.url() + "/files/agent.msi";
    rewrite(0, release(installer));
    write_config("http", "127.0.0.1", "1");  // plain configured server, down
    write("VERSION", "1");
    inventory({s.url()});
    const run_result r = run();
    EXPECT_TRUE(has(r, "[info] Found new urgent update: " + installer));
    EXPECT_TRUE(
        has(r, "[info] Opening " + installer + " with headers Accept: application/json and secure true"));
    EXPECT_TRUE(
        has(r, "[info] Downloaded installer from " + installer + " to " + app + "/var/agent_recovery.msi"));

    // A plain configured server announcing an https installer: the flag stays false.
    const server& plain = serve(no_release, release(installer));
    write_config("http", "127.0.0.1", std::to_string(plain.handle.port));
    write("etc/inventory.conf", "{}");
    const run_result again = run();
    EXPECT_TRUE(has(
        again, "[info] Opening " + installer + " with headers Accept: application/json and secure false"));
    EXPECT_TRUE(has(
        again, "[info] Downloaded installer from " + installer + " to " + app + "/var/agent_recovery.msi"));
}

TEST_F(Selection, DecisionTable)
{
    const server& s = serve(no_release, no_release);
    write_config("http", "127.0.0.1", std::to_string(s.handle.port));
    write("VERSION", "1");
    const std::string base = s.url() + "/files/";

    struct Case {
        std::string regular, urgent, last;
    };
    const std::vector<Case> cases = {
        // Same release in both answers: nothing urgent.
        {release(base + "a.msi"), release(base + "a.msi", std::string(64, 'b')),
         "[info] We reached the url and didn't get any updates, so we stop here"},
        // Error page as the regular answer, a release as the urgent one: urgent.
        {"<html><body>500</body></html>", release(base + "u.msi"),
         "[info] Found new urgent update: " + base + "u.msi"},
        // Empty body: reached, nothing urgent.
        {"", "", "[info] We reached the url and didn't get any updates, so we stop here"},
        // Descriptor of another shape in the urgent answer: read as no release.
        {no_release, R"({"results":"u.msi"})",
         "[info] We reached the url and didn't get any updates, so we stop here"},
        // Several releases: the first one counts.
        {no_release, R"({"results":[{"url":")" + base + R"(first.msi","hash":"h"},{"url":"x","hash":"y"}]})",
         "[info] Found new urgent update: " + base + "first.msi"},
    };
    for (const Case& c : cases) {
        write_file(root + "/regular0.json", c.regular);
        rewrite(0, c.urgent);
        const run_result r = run();
        const strings m = messages(r.log);
        EXPECT_NE(std::find(m.begin(), m.end(), c.last), m.end()) << c.regular << " / " << c.urgent << "\n"
                                                                  << r.log;
        std::filesystem::remove_all(app + "/var");
    }
}

TEST_F(Selection, QueryTextIsSentUnchanged)
{
    const server& s = serve(no_release, no_release);
    write_config("http", "127.0.0.1", "1");
    write("VERSION", "1.2&beta=3");
    inventory({s.url() + "/"});
    const run_result r = run();
    EXPECT_EQ(r.status, 0);
    const strings seen = requests_of(s);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].substr(0, seen[0].find(" UA=")),
              "GET //api/updates/?platform=windows&urgent=false&version=1.2&beta=3");
    EXPECT_TRUE(has(r, "[error] Caught exception when parsing JSON"))
        << "the 404 page still counts as an answer";
    EXPECT_EQ(messages(r.log).back(),
              "[info] We reached the url and didn't get any updates, so we stop here");
}

TEST_F(Selection, ServerDyingBetweenTheQueriesWasNotReached)
{
    const server& dying =
        serve(no_release, "",
              json::array(
                  {{{"path", "/api/updates/"}, {"query", {{"urgent", "true"}}}, {"fault", "exit_server"}}}));
    const server& next = serve(no_release, no_release);
    write_config("http", "127.0.0.1", std::to_string(dying.handle.port));
    write("VERSION", "1");
    inventory({next.url()});
    const run_result r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r, "[info] Couldn't reach " + dying.url()));
    EXPECT_EQ(requests_of(next).size(), 2u) << "the next server is asked";
    EXPECT_EQ(messages(r.log).back(),
              "[info] We reached the url and didn't get any updates, so we stop here");
}

// The Windows build through real WinINet under Wine.
TEST_F(Selection, WindowsBuildFindsAndDownloadsUnderWine)
{
    const std::string exe = windows_exe();
    ASSERT_FALSE(exe.empty()) << "build " << build_paths::windows_agent_exe << " first";
    install(exe, "agent_recovery.exe");
    const std::string payload = std::string(5000, 'm') + std::string(3000, '\0') + "end";
    write_file(root + "/payload.bin", payload);
    const server& s = serve(
        no_release, "", json::array({{{"path", "/files/agent.msi"}, {"body_file", root + "/payload.bin"}}}));
    rewrite(0, release(s.url() + "/files/agent.msi"));
    write_config("http", "127.0.0.1", std::to_string(s.handle.port));
    write("VERSION", "7.1");

    const run_result r = run_under_wine();
    const std::string installer = "/files/agent.msi";
    EXPECT_TRUE(has(r, "[info] Found new urgent update: " + s.url() + installer)) << r.log;
    EXPECT_EQ(lines_with(r.log, "Downloaded installer from " + s.url() + installer + " to Z:").size(), 1u)
        << r.log;
    const strings seen = requests_of(s);
    ASSERT_EQ(seen.size(), 3u);
    // Wine's WinINet sends its own "Accept: */*" ahead of ours.
    EXPECT_EQ(seen[0],
              "GET /api/updates/?platform=windows&urgent=false&version=7.1 UA=Agent Recovery "
              "ACCEPT=*/*|application/json");
    EXPECT_EQ(seen[2], "GET /files/agent.msi UA=Agent Recovery ACCEPT=*/*|application/json");

    // Nobody answers.
    stop_update_server(site.servers[0].handle);
    std::filesystem::remove_all(app + "/var");
    const run_result down = run_under_wine();
    EXPECT_EQ(down.status, 0);
    EXPECT_EQ(messages(down.log).back(), "[info] We have not reached any url, so we stop here") << down.log;
    EXPECT_EQ(lines_with(down.log, "InternetOpenUrlA failed: 12029").size(), 1u) << down.log;
}

}  // namespace

namespace {

// A server that accepts the connection and closes it without a status line has not
// answered: the alternatives are asked, by both builds alike.
TEST_F(Selection, ServerClosingWithoutAnyAnswerIsNotReached)
{
    check_silent_server([&] { return run(); });
}

TEST_F(Selection, ServerClosingWithoutAnyAnswerIsNotReachedUnderWine)
{
    const std::string exe = windows_exe();
    ASSERT_FALSE(exe.empty()) << "build " << build_paths::windows_agent_exe << " first";
    install(exe, "agent_recovery.exe");
    check_silent_server([&] { return run_under_wine(); });
}

}  // namespace
