// The Linux side of the Windows check: serves every scenario of check/scenarios.json through
// the proxy suites' nginx and squid, bound to an address a Windows machine reaches, serves
// agent_check.exe and the exe under test, takes the reports agent_check.exe sends back and
// judges each row against the table.
//
//   windows_check_lab --table FILE --fixtures DIR --certs DIR --listen ADDRESS --exe EXE
//                     --check AGENT_CHECK_EXE --out DIR [--publish AGENT_PUBLISH_EXE]
//                     [--wine-prefix DIR] [--timeout SECONDS]
//   windows_check_lab --table FILE --judge REPORTS --out DIR
//                     judges again the reports a run kept (DIR/reports), without a lab
//
// Exits 0 when every row holds or is a named gap of Wine, 1 when a row fails, 2 when the
// lab could not start.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "app_fixture.h"
#include "fixtures.h"
#include "lab.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

volatile sig_atomic_t g_interrupted = 0;

void on_signal(int)
{
    g_interrupted = 1;
}

struct options {
    std::string table, fixtures, certs, listen, exe, check, out, wine_prefix, publish, judge;
    int timeout = 900;
};

bool parse(int argc, char** argv, options& o)
{
    const std::map<std::string, std::string*> named = {
        {"--table", &o.table},     {"--fixtures", &o.fixtures},
        {"--certs", &o.certs},     {"--listen", &o.listen},
        {"--exe", &o.exe},         {"--check", &o.check},
        {"--out", &o.out},         {"--wine-prefix", &o.wine_prefix},
        {"--publish", &o.publish}, {"--judge", &o.judge}};
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--timeout") {
            o.timeout = std::atoi(argv[i + 1]);
            continue;
        }
        const auto at = named.find(name);
        if (at == named.end()) {
            std::cerr << "windows_check_lab: unknown option " << name << "\n";
            return false;
        }
        *at->second = argv[i + 1];
    }
    if (!o.judge.empty() && !o.table.empty() && !o.out.empty() && argc % 2 == 1)
        return true;
    if (argc % 2 == 0 || o.table.empty() || o.fixtures.empty() || o.certs.empty() || o.listen.empty() ||
        o.exe.empty() || o.check.empty() || o.out.empty()) {
        std::cerr << "usage: windows_check_lab --table FILE --fixtures DIR --certs DIR --listen ADDRESS "
                     "--exe EXE --check AGENT_CHECK_EXE --out DIR [--publish AGENT_PUBLISH_EXE] "
                     "[--wine-prefix DIR] "
                     "[--timeout SECONDS]\n";
        return false;
    }
    return true;
}

// The SHA-1 thumbprint of a PEM certificate, as Windows shows it (upper-case hex).
std::string thumbprint(const std::string& pem_file)
{
    FILE* file = std::fopen(pem_file.c_str(), "r");
    X509* certificate = file ? PEM_read_X509(file, nullptr, nullptr, nullptr) : nullptr;
    if (file)
        std::fclose(file);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    std::string hex;
    if (certificate && X509_digest(certificate, EVP_sha1(), digest, &size) == 1) {
        char two[3];
        for (unsigned int i = 0; i < size; ++i) {
            std::snprintf(two, sizeof two, "%02X", digest[i]);
            hex += two;
        }
    }
    X509_free(certificate);
    if (hex.empty())
        std::cerr << "windows_check_lab: cannot read the certificate " << pem_file << "\n";
    return hex;
}

std::string replace_all(std::string text, const std::string& what, const std::string& with)
{
    for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += with.size())
        text.replace(at, what.size(), with);
    return text;
}

// The lab's sites for one scenario: the configured server's (none when it is down) and the
// alternative's.
void sites_of(const json& scenario, const options& o, std::vector<lab::site>& sites)
{
    const json& serve = scenario.at("serve");
    const std::string msi = o.fixtures + "/" + serve.value("msi", "signed_ok.msi");
    const std::string hash =
        sha256_of(o.fixtures + "/" + serve.value("hash_of", serve.value("msi", "signed_ok.msi")));
    auto make = [&](const std::string& name, const std::string& kind) {
        lab::site s;
        s.name = name;
        s.package = msi;
        s.hash = hash;
        s.announce = serve.value("urgent", true);
        if (kind == "https" || kind == "untrusted") {
            s.scheme = "https";
            s.certificate = o.certs + (kind == "https" ? "/server" : "/untrusted");
        }
        return s;
    };
    const std::string server = serve.at("server");
    if (server != "down") {
        lab::site configured = make(scenario.at("name"), server);
        configured.urgent_status = serve.value("urgent_status", 200);
        sites.push_back(configured);
    }
    if (serve.contains("alternative"))
        sites.push_back(make(scenario.at("name").get<std::string>() + "_alt", serve.at("alternative")));
}

const lab::site* find_site(const lab::servers& servers, const std::string& name)
{
    for (const lab::site& s : servers.sites)
        if (s.name == name)
            return &s;
    return nullptr;
}

std::string configured_url(const json& scenario, const lab::servers& servers)
{
    const lab::site* s = find_site(servers, scenario.at("name"));
    return s ? s->url() : "http://" + servers.address + ":" + std::to_string(servers.closed_port);
}

std::string alternative_url(const json& scenario, const lab::servers& servers)
{
    const lab::site* s = find_site(servers, scenario.at("name").get<std::string>() + "_alt");
    return s ? s->url() : "";
}

// What agent_check.exe needs of each scenario: the three files of its APP and its proxy.
json plan_of(const json& table, const lab::servers& servers, const std::string& ca_sha1)
{
    json scenarios = json::array();
    for (const json& scenario : table.at("scenarios")) {
        const std::string configured = configured_url(scenario, servers);
        const std::size_t host_at = configured.find("://") + 3;
        const std::size_t port_at = configured.rfind(':');
        json entry{{"name", scenario.at("name")},
                   {"config",
                    {{"server_proto", configured.substr(0, host_at - 3)},
                     {"server_url", configured.substr(host_at, port_at - host_at)},
                     {"server_port", configured.substr(port_at + 1)}}},
                   {"version", table.at("version")},
                   {"proxy", ""},
                   {"app", scenario.value("app", "")},
                   {"runs", scenario.value("runs", "")}};
        const std::string alternative = alternative_url(scenario, servers);
        entry["inventory"] = {
            {"alternative_urls", alternative.empty() ? json::array() : json::array({alternative})}};
        const std::string proxy = scenario.at("serve").value("proxy", "");
        if (proxy == "squid")
            entry["proxy"] = servers.address + ":" + std::to_string(servers.open_squid_port);
        else if (proxy == "squid_credentials")
            entry["proxy"] = servers.address + ":" + std::to_string(servers.squid_port);
        scenarios.push_back(entry);
    }
    return {
        {"upgrade_code", table.at("product_upgrade_code")}, {"ca_sha1", ca_sha1}, {"scenarios", scenarios}};
}

struct row {
    std::string scenario, expected, seen, verdict, evidence, reason;
};

std::string yes_no(bool b)
{
    return b ? "yes" : "no";
}

// What a row expects beyond a run's outcome, each compared as it is: who the run ran as, what a
// standard account could do, what agent_publish kept.
const char* const plain_facts[] = {"ran_as", "var_write_refused", "descriptor_replace_refused",
                                   "publish_exit", "descriptor_ace_kept"};

std::string expected_text(const json& expect)
{
    std::string text;
    if (expect.contains("exit"))
        text = "exit " + std::to_string(expect.at("exit").get<int>()) + ", installed " +
               yes_no(expect.at("installed")) + ", last: " + expect.at("last").get<std::string>();
    if (expect.contains("var_dacl_tight"))
        text += ", var's DACL tight";
    for (const char* fact : plain_facts)
        if (expect.contains(fact))
            text += std::string(text.empty() ? "" : ", ") + fact + " " + expect.at(fact).dump();
    return text;
}

std::string joined(const std::vector<std::string>& parts)
{
    std::string all;
    for (const std::string& part : parts)
        all += (all.empty() ? "" : "; ") + part;
    return all;
}

// The plain facts a row expects, held against the report; adds to `wrong` and `evidence`.
void compare_facts(const json& expect, const json& report, std::vector<std::string>& wrong,
                   std::vector<std::string>& evidence)
{
    for (const char* fact : plain_facts) {
        if (!expect.contains(fact))
            continue;
        const json seen = report.value(fact, json());
        (seen == expect.at(fact) ? evidence : wrong).push_back(std::string(fact) + " " + seen.dump());
    }
}

// A row that runs no agent_recovery.exe of its own (agent_publish's).
row judge_facts(const json& scenario, const json& report, bool wine, row r)
{
    std::vector<std::string> wrong, evidence;
    compare_facts(scenario.at("expect"), report, wrong, evidence);
    r.seen = joined(evidence.empty() ? wrong : evidence);
    if (!evidence.empty() && !wrong.empty())
        r.seen += "; " + joined(wrong);
    r.verdict = wrong.empty() ? "holds" : "fails";
    r.evidence = (wrong.empty() ? "" : "wrong: " + joined(wrong) + " | ") + report.dump();
    if (wine && scenario.contains("wine")) {
        r.verdict = "not shown by Wine";
        r.reason = scenario.at("wine");
    }
    return r;
}

// One row's verdict: the report of agent_check.exe held to the table's expectation.
// The lab's side of a row, kept with the reports so that they can be judged again (--judge):
// its sites' URLs and what squid carried.
json lab_facts(const json& table, const lab::servers& servers)
{
    json urls = json::object();
    for (const json& scenario : table.at("scenarios")) {
        const lab::site* s = find_site(servers, scenario.at("name"));
        urls[scenario.at("name").get<std::string>()] = {{"configured", configured_url(scenario, servers)},
                                                        {"alternative", alternative_url(scenario, servers)},
                                                        {"installer", s ? s->url() + s->installer : "?"}};
    }
    return {{"urls", urls}, {"squid_log", read_file(servers.dir + "/squid/access.log")}};
}

row judge(const json& scenario, const json& report, const json& hello, const json& facts)
{
    row r;
    r.scenario = scenario.at("title");
    const json& expect = scenario.at("expect");
    r.expected = expected_text(expect);
    const bool wine = !hello.value("wine", std::string()).empty();
    if (report.is_null()) {
        r.seen = "no report";
        r.verdict = "fails";
        r.evidence = "agent_check.exe sent nothing for this scenario";
        return r;
    }
    // Never a pass by being skipped: a row not run is Wine's gap only where Wine ran it.
    if (report.contains("not_run") || report.contains("error")) {
        r.seen = "not run: " + report.value("not_run", report.value("error", std::string()));
        r.verdict = "fails";
        r.evidence = r.seen;
        if (report.contains("not_run") && wine && scenario.contains("wine")) {
            r.verdict = "not shown by Wine";
            r.reason = scenario.at("wine");
        }
        return r;
    }
    if (!expect.contains("exit"))
        return judge_facts(scenario, report, wine, r);
    const json urls = facts.at("urls").value(scenario.at("name").get<std::string>(), json::object());
    const auto substitute = [&](const std::string& text) {
        return replace_all(replace_all(replace_all(text, "{configured}", urls.value("configured", "")),
                                       "{alternative}", urls.value("alternative", "")),
                           "{app}", report.value("app", std::string("{app}")));
    };
    std::vector<std::string> log = messages(report.value("log", ""));
    while (!log.empty() && log.back().empty())
        log.pop_back();
    const std::string last = log.empty() ? "(empty log)" : log.back();
    const int exit = report.value("exit", 0);
    const bool installed = report.value("installed", false);
    r.seen = "exit " + std::to_string(exit) + ", installed " + yes_no(installed) + ", last: " + last;
    if (report.value("timed_out", false))
        r.seen += " (stopped after the time limit)";
    std::vector<std::string> wrong;
    if (exit != expect.at("exit").get<int>())
        wrong.push_back("exit " + std::to_string(exit));
    if (installed != expect.at("installed").get<bool>())
        wrong.push_back(installed ? "the test product got installed" : "the test product is not installed");
    if (last != expect.at("last").get<std::string>())
        wrong.push_back("last line " + last);
    std::vector<std::string> evidence = {"last: " + last, "exit " + std::to_string(exit)};
    for (const json& line : expect.value("lines", json::array())) {
        const std::string wanted = substitute(line);
        if (std::find(log.begin(), log.end(), wanted) == log.end())
            wrong.push_back("no line " + wanted);
        else
            evidence.push_back(wanted);
    }
    const std::string whole = report.value("log", "");
    for (const json& text : expect.value("absent", json::array())) {
        const std::string unwanted = substitute(text);
        if (whole.find(unwanted) != std::string::npos)
            wrong.push_back("the log names " + unwanted);
        else
            evidence.push_back("never asked " + unwanted);
    }
    const json listing = report.value("var", json::array());
    for (const json& name : expect.value("var_lacks", json::array())) {
        if (std::find(listing.begin(), listing.end(), name) != listing.end())
            wrong.push_back("var still holds " + name.get<std::string>());
        else
            evidence.push_back("var holds no " + name.get<std::string>());
    }
    for (const json& name : expect.value("var_has", json::array())) {
        if (std::find(listing.begin(), listing.end(), name) == listing.end())
            wrong.push_back("var holds no " + name.get<std::string>());
        else
            evidence.push_back("var holds " + name.get<std::string>());
    }
    if (expect.contains("var_dacl_tight")) {
        const bool tight = report.value("var_dacl_tight", false);
        r.seen += ", var's DACL " + report.value("var_dacl", std::string("unread"));
        if (tight != expect.at("var_dacl_tight").get<bool>())
            wrong.push_back("var's DACL is not SYSTEM, Administrators and the user only, protected");
    }
    compare_facts(expect, report, wrong, evidence);
    if (expect.value("via_squid", false)) {
        const std::string installer = urls.value("installer", "?");
        const std::string squid_log = facts.value("squid_log", "");
        if (squid_log.find("GET " + installer) == std::string::npos)
            wrong.push_back("squid's log shows no GET " + installer);
        else
            evidence.push_back("squid carried GET " + installer);
    }
    if (wrong.empty()) {
        r.verdict = "holds";
    } else {
        r.verdict = "fails";
        evidence.insert(evidence.begin(), "wrong: " + joined(wrong));
    }
    for (const std::string& e : evidence)
        r.evidence += (r.evidence.empty() ? "" : " | ") + e;
    if (scenario.contains("wine") && wine) {
        r.verdict = "not shown by Wine";
        r.reason = scenario.at("wine");
    }
    return r;
}

std::string cell(std::string text)
{
    return replace_all(replace_all(text, "|", "\\|"), "\n", " ");
}

std::string windows_text(const json& hello)
{
    if (hello.is_null())
        return "unknown (agent_check.exe never reported)";
    std::string text = "Windows " + hello.value("version", std::string("?")) + " build " +
                       std::to_string(hello.value("build", 0)) + " " +
                       hello.value("architecture", std::string("?"));
    if (!hello.value("wine", std::string()).empty())
        text += ", Wine " + hello.value("wine", std::string());
    return text;
}

json read_json(const std::string& path)
{
    if (!fs::exists(path))
        return nullptr;
    try {
        return json::parse(read_file(path));
    } catch (const json::exception& e) {
        std::cerr << "windows_check_lab: " << path << " is no JSON: " << e.what() << "\n";
        return nullptr;
    }
}

}  // namespace

// Judges every row from the reports in `reports` and writes report.md and report.json to
// `out`; true when every row holds or is a named gap of Wine.
bool verdicts(const json& table, const std::string& reports, const json& facts, const std::string& out)
{
    const json hello = read_json(reports + "/hello.json");
    const json done = read_json(reports + "/done.json");
    json rows = json::array();
    bool all_hold = true;
    std::ostringstream md;
    md << "# Windows check\n\n- Windows: " << windows_text(hello)
       << "\n- exe under test: " << facts.value("exe", "") << "\n- lab CA: " << facts.value("lab_ca_sha1", "")
       << "\n";
    if (!facts.value("wine_prefix", "").empty())
        md << "- Wine prefix: " << facts.value("wine_prefix", "") << "\n";
    md << "\n| scenario | expected | seen | verdict | evidence |\n| --- | --- | --- | --- | --- |\n";
    for (const json& scenario : table.at("scenarios")) {
        const json report = read_json(reports + "/" + scenario.at("name").get<std::string>() + ".json");
        const row r = judge(scenario, report, hello, facts);
        all_hold = all_hold && r.verdict != "fails";
        json entry{{"scenario", r.scenario},
                   {"expected", r.expected},
                   {"seen", r.seen},
                   {"verdict", r.verdict},
                   {"evidence", r.evidence}};
        if (!r.reason.empty())
            entry["reason"] = r.reason;
        rows.push_back(entry);
        md << "| " << cell(r.scenario) << " | " << cell(r.expected) << " | " << cell(r.seen) << " | "
           << r.verdict << (r.reason.empty() ? "" : ": " + cell(r.reason)) << " | " << cell(r.evidence)
           << " |\n";
    }
    const std::string lab_sha256 = facts.value("exe_sha256", "");
    json windows = hello.is_null() ? json(nullptr) : hello;
    json report{{"windows", windows},
                {"exe", facts.value("exe", "")},
                {"exe_sha256", hello.is_null() ? lab_sha256 : hello.value("exe_sha256", lab_sha256)},
                {"lab_ca_sha1", facts.value("lab_ca_sha1", "")},
                {"restored", done.is_null() ? json(nullptr) : done.value("restored", json(nullptr))},
                {"rows", rows}};
    if (!facts.value("wine_prefix", "").empty())
        report["wine_prefix"] = facts.value("wine_prefix", "");
    if (!hello.is_null() && hello.value("exe_sha256", lab_sha256) != lab_sha256) {
        md << "\nThe exe the Windows side ran is not the one served (" << lab_sha256 << ").\n";
        all_hold = false;
    }
    if (done.is_null()) {
        md << "\nagent_check.exe did not say it had finished and restored the machine.\n";
        all_hold = false;
    } else {
        md << "\nRestored: " << cell(done.value("restored", json::object()).dump()) << "\n";
    }
    fs::create_directories(out);
    write_file(out + "/report.md", md.str());
    write_file(out + "/report.json", report.dump(2, ' ', false, json::error_handler_t::replace) + "\n");
    std::cout << md.str() << "== " << out << "/report.md, report.json: "
              << (all_hold ? "every row holds or is a named gap of Wine" : "not every row holds") << "\n";
    return all_hold;
}

int main(int argc, char** argv)
{
    options o;
    if (!parse(argc, argv, o))
        return 2;
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    const json table = read_json(o.table);
    if (table.is_null() || !table.contains("scenarios"))
        return 2;
    if (!o.judge.empty()) {
        const json facts = read_json(o.judge + "/lab.json");
        if (facts.is_null())
            return 2;
        return verdicts(table, o.judge, facts, o.out) ? 0 : 1;
    }

    lab::servers servers;
    servers.address = o.listen;
    std::vector<lab::site> sites;
    for (const json& scenario : table.at("scenarios"))
        sites_of(scenario, o, sites);
    lab::site uploads;
    uploads.name = "lab";
    uploads.uploads = true;
    sites.push_back(uploads);
    const std::string package = o.fixtures + "/signed_ok.msi";
    std::string why;
    if (!servers.start(sites, package, sha256_of(package), o.fixtures, why)) {
        std::cerr << "windows_check_lab: the lab did not start: " << why << "\n";
        servers.stop();
        servers.remove(true);
        return 2;
    }
    const std::string lab_url = servers.at("lab").url();
    const std::string served = servers.dir + "/site/check";
    const std::string reports = servers.dir + "/site/report";
    const std::string ca_sha1 = thumbprint(o.fixtures + "/ca.pem");
    fs::copy_file(o.check, served + "/agent_check.exe");
    fs::copy_file(o.exe, served + "/agent_recovery.exe");
    fs::copy_file(o.fixtures + "/ca.pem", served + "/ca.pem");
    // For the row of agent_publish.exe: it publishes the good package into a site on Windows.
    if (!o.publish.empty()) {
        fs::copy_file(o.publish, served + "/agent_publish.exe");
        fs::copy_file(package, served + "/agent.msi");
    }
    write_file(served + "/plan.json", plan_of(table, servers, ca_sha1).dump(2));
    std::cout << "== the lab listens on " << o.listen << "; on the Windows machine, as an administrator:\n"
              << "   powershell -Command \"(New-Object Net.WebClient).DownloadFile('" << lab_url
              << "/check/agent_check.exe', 'agent_check.exe')\"\n"
              << "   agent_check.exe " << lab_url << "/\n"
              << std::flush;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(o.timeout);
    std::size_t reported = 0;
    while (!g_interrupted && !fs::exists(reports + "/done.json") &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::size_t now = 0;
        for (const json& scenario : table.at("scenarios"))
            now += fs::exists(reports + "/" + scenario.at("name").get<std::string>() + ".json");
        if (now != reported)
            std::cout << "== " << now << " of " << table.at("scenarios").size() << " scenarios reported\n"
                      << std::flush;
        reported = now;
    }
    if (!fs::exists(reports + "/done.json"))
        std::cout << "== agent_check.exe did not finish "
                  << (g_interrupted ? "(the lab was interrupted)" : "within the time limit") << "\n";
    // squid writes its log as it stops.
    servers.stop();

    json facts = lab_facts(table, servers);
    facts["exe"] = o.exe;
    facts["exe_sha256"] = sha256_of(o.exe);
    facts["lab_ca_sha1"] = ca_sha1;
    if (!o.wine_prefix.empty())
        facts["wine_prefix"] = o.wine_prefix;
    write_file(reports + "/lab.json", facts.dump(2, ' ', false, json::error_handler_t::replace));
    // The reports of agent_check.exe are kept beside the verdicts, then the scratch directory goes.
    fs::create_directories(o.out);
    fs::remove_all(o.out + "/reports");
    fs::copy(reports, o.out + "/reports", fs::copy_options::recursive);
    const bool all_hold = verdicts(table, reports, facts, o.out);
    servers.remove(!all_hold);
    return all_hold ? 0 : 1;
}
