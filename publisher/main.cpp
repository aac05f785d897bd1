// agent_publish: checks, publishes and withdraws urgent agent releases, and probes a live
// update server as an endpoint would. Messages are for a person; exit statuses for scripts.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include "platform/site_fs.h"
#include "publisher/publisher.h"
#include "publisher/site.h"

namespace {

const char usage[] =
    "usage: agent_publish check MSI [--ca ROOT.pem]\n"
    "       agent_publish init --site DIR\n"
    "       agent_publish publish MSI --site DIR --base-url URL [--regular] [--untimestamped] [--ca ROOT.pem]\n"
    "       agent_publish withdraw --site DIR\n"
    "       agent_publish status --site DIR\n"
    "       agent_publish probe BASE_URL --version V [--ca ROOT.pem]\n"
    "       (publish, withdraw, status: [--wait SECONDS] for another change's lock, 60 by default)\n"
    "exit status: 0 done (probe: would install), 1 no urgent release, 2 not reached,\n"
    "             3 refused (an endpoint would refuse; status: the site announces what it does not serve),\n"
    "             64 bad input, 74 the site could not be written, 75 another change held the site's lock\n";

struct arguments {
    std::vector<std::string> plain;
    std::string site, base_url, version, ca, wait = "60";
    bool regular = false, untimestamped = false;
};

int bad_input(const std::string& why)
{
    std::fprintf(stderr, "agent_publish: %s\n%s", why.c_str(), usage);
    return exit_usage;
}

// False, with `why`, for an option this command does not take or one without its value.
bool parse(const std::vector<std::string>& argv, const std::vector<std::string>& allowed, arguments& args,
           std::string& why)
{
    const std::size_t argc = argv.size();
    for (std::size_t i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.compare(0, 2, "--") != 0) {
            args.plain.push_back(arg);
            continue;
        }
        bool known = false;
        for (const std::string& name : allowed)
            known = known || name == arg;
        if (!known) {
            why = "unknown option " + arg + " for " + argv[1];
            return false;
        }
        if (arg == "--regular" || arg == "--untimestamped") {
            (arg == "--regular" ? args.regular : args.untimestamped) = true;
            continue;
        }
        // An option in the place of a value is a value forgotten, not a value.
        if (i + 1 >= argc || argv[i + 1].compare(0, 2, "--") == 0 || argv[i + 1].empty()) {
            why = arg + " needs a value";
            return false;
        }
        const std::string value = argv[++i];
        (arg == "--site"       ? args.site
         : arg == "--base-url" ? args.base_url
         : arg == "--version"  ? args.version
         : arg == "--wait"     ? args.wait
                               : args.ca) = value;
    }
    return true;
}

int run(const std::vector<std::string>& argv)
{
    if (argv.size() < 2)
        return bad_input("no command");
    const std::string command = argv[1];
    arguments args;
    std::string why;
    std::vector<std::string> allowed;
    if (command == "check")
        allowed = {"--ca"};
    else if (command == "init")
        allowed = {"--site"};
    else if (command == "publish")
        allowed = {"--site", "--base-url", "--regular", "--untimestamped", "--ca", "--wait"};
    else if (command == "withdraw" || command == "status")
        allowed = {"--site", "--wait"};
    else if (command == "probe")
        allowed = {"--version", "--ca"};
    else
        return bad_input("unknown command " + command);
    if (!parse(argv, allowed, args, why))
        return bad_input(why);
    const std::size_t wanted = command == "check" || command == "publish" || command == "probe" ? 1 : 0;
    if (args.plain.size() != wanted)
        return bad_input(command + " takes " + (wanted == 0 ? "no argument" : "one argument") + " besides its options");
    if (args.wait.empty() || args.wait.size() > 5 || args.wait.find_first_not_of("0123456789") != std::string::npos)
        return bad_input("--wait takes a number of seconds: " + args.wait);
    const unsigned wait = static_cast<unsigned>(std::stoul(args.wait));
    if (!args.ca.empty() && !use_roots(args.ca))
        return exit_usage;
    if (command != "check" && command != "probe" && args.site.empty())
        return bad_input(command + " needs --site");

    if (command == "check")
        return check_installer(args.plain[0]);
    if (command == "init")
        return init_site(args.site);
    if (command == "status")
        return site_status(args.site, wait);
    if (command == "publish") {
        if (args.base_url.empty())
            return bad_input("publish needs --base-url");
        return publish_release(args.plain[0], args.site, args.base_url, args.regular, args.untimestamped, wait);
    }
    if (command == "withdraw")
        return withdraw_release(args.site, wait);
    if (!is_http_url(args.plain[0]))
        return bad_input("the base URL must start with http:// or https://: " + args.plain[0]);
    if (args.version.empty())
        return bad_input("probe needs --version, the agent version an endpoint would send");
    if (args.version.find_first_of(" \t\r\n\v\f") != std::string::npos)
        return bad_input("--version holds whitespace: an endpoint sends only the first word of its VERSION file");
    return probe_server(args.plain[0], args.version);
}

}  // namespace

int main(int argc, char** argv)
{
    // What the endpoint's code logs goes to standard error, marked as the endpoint's.
    auto logger = spdlog::stderr_logger_mt("endpoint");
    logger->set_pattern("  endpoint log: [%l] %v");
    spdlog::set_default_logger(logger);
    try {
        return run(platform::utf8_arguments(argc, argv));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "agent_publish: unexpected error: %s\n", e.what());
    }
    return exit_io;
}
