// agent_publish: checks, publishes and withdraws urgent agent releases, and probes a live
// update server as an endpoint would. Messages are for a person; exit statuses for scripts.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include "publisher/publisher.h"

namespace {

const char usage[] =
    "usage: agent_publish check MSI [--ca ROOT.pem]\n"
    "       agent_publish publish MSI --site DIR --base-url URL [--regular] [--ca ROOT.pem]\n"
    "       agent_publish withdraw --site DIR\n"
    "       agent_publish probe BASE_URL --version V [--ca ROOT.pem]\n"
    "exit status: 0 done (probe: would install), 1 no urgent release, 2 not reached,\n"
    "             3 refused (an endpoint would refuse), 64 bad input, 74 the site could not be written\n";

struct arguments {
    std::vector<std::string> plain;
    std::string site, base_url, version, ca;
    bool regular = false;
};

int bad_input(const std::string& why)
{
    std::fprintf(stderr, "agent_publish: %s\n%s", why.c_str(), usage);
    return exit_usage;
}

// False, with `why`, for an option this command does not take or one without its value.
bool parse(int argc, char** argv, const std::vector<std::string>& allowed, arguments& args, std::string& why)
{
    for (int i = 2; i < argc; ++i) {
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
        if (arg == "--regular") {
            args.regular = true;
            continue;
        }
        if (i + 1 >= argc) {
            why = arg + " needs a value";
            return false;
        }
        const std::string value = argv[++i];
        (arg == "--site" ? args.site : arg == "--base-url" ? args.base_url : arg == "--version" ? args.version
                                                                                                : args.ca) = value;
    }
    return true;
}

int run(int argc, char** argv)
{
    if (argc < 2)
        return bad_input("no command");
    const std::string command = argv[1];
    arguments args;
    std::string why;
    std::vector<std::string> allowed;
    if (command == "check")
        allowed = {"--ca"};
    else if (command == "publish")
        allowed = {"--site", "--base-url", "--regular", "--ca"};
    else if (command == "withdraw")
        allowed = {"--site"};
    else if (command == "probe")
        allowed = {"--version", "--ca"};
    else
        return bad_input("unknown command " + command);
    if (!parse(argc, argv, allowed, args, why))
        return bad_input(why);
    const std::size_t wanted = command == "withdraw" ? 0 : 1;
    if (args.plain.size() != wanted)
        return bad_input(command + " takes " + (wanted == 0 ? "no argument" : "one argument") + " besides its options");
    if (!args.ca.empty() && !use_roots(args.ca))
        return exit_usage;

    if (command == "check")
        return check_installer(args.plain[0]);
    if (command == "publish") {
        if (args.site.empty() || args.base_url.empty())
            return bad_input("publish needs --site and --base-url");
        return publish_release(args.plain[0], args.site, args.base_url, args.regular);
    }
    if (command == "withdraw") {
        if (args.site.empty())
            return bad_input("withdraw needs --site");
        return withdraw_release(args.site);
    }
    if (!is_http_url(args.plain[0]))
        return bad_input("the base URL must start with http:// or https://: " + args.plain[0]);
    if (args.version.empty())
        return bad_input("probe needs --version, the agent version an endpoint would send");
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
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "agent_publish: unexpected error: %s\n", e.what());
    }
    return exit_io;
}
