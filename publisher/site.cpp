#include "publisher/site.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

#include <nlohmann/json.hpp>

#include "installer/digest.h"
#include "platform/site_fs.h"
#include "publisher/publisher.h"
#include "update/update_check.h"

namespace fs = std::filesystem;

namespace {

const char work_dir[] = ".agent_publish";

std::string random_hex()
{
    std::random_device seed;
    std::mt19937_64 generator((static_cast<uint64_t>(seed()) << 32) ^ seed());
    static const char digits[] = "0123456789abcdef";
    std::string text;
    uint64_t value = generator();
    for (int i = 0; i < 16; ++i, value >>= 4)
        text += digits[value & 15];
    return text;
}

std::string utc_now()
{
    const std::time_t now = std::time(nullptr);
    char text[32] = "";
    std::tm parts{};
    if (const std::tm* utc = std::gmtime(&now))
        parts = *utc;
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::string read_text(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A name the old publisher gave a file in the making beside the served one: NAME.new.XXXXXX
// (NAME.new.PID on Windows).
bool old_temporary_name(const std::string& name)
{
    const std::size_t at = name.rfind(".new.");
    if (at == std::string::npos || at == 0 || name.size() < at + 6 || name.size() > at + 15)
        return false;
    for (std::size_t i = at + 5; i < name.size(); ++i)
        if (!std::isalnum(static_cast<unsigned char>(name[i])))
            return false;
    return true;
}

// A descriptor the Windows backend set aside while replacing it: NAME.old-PID-TICKS. A
// kill at that moment can leave it.
bool set_aside_name(const std::string& name)
{
    const std::size_t at = name.rfind(".old-");
    if (at == std::string::npos || at == 0)
        return false;
    const std::string tail = name.substr(at + 5);
    const std::size_t dash = tail.find('-');
    return dash != std::string::npos && dash > 0 && dash + 1 < tail.size() &&
           tail.find_first_not_of("0123456789-") == std::string::npos && tail.find('-', dash + 1) == std::string::npos;
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The file name the journal says this change was putting under files/, if any.
std::string made_by_journal(const std::string& journal)
{
    const std::string marker = "\nmaking files/";
    const std::size_t at = journal.rfind(marker);
    if (at == std::string::npos)
        return "";
    const std::size_t end = journal.find('\n', at + 1);
    return journal.substr(at + marker.size(), end == std::string::npos ? std::string::npos : end - at - marker.size());
}

}  // namespace

bool write_durably(const fs::path& path, const std::string& content, std::string& problem)
{
    platform::new_file* file = platform::create_new_file(path, problem);
    if (file == nullptr)
        return false;
    const bool written = platform::write_new_file(file, content.data(), content.size(), problem);
    std::string closing;
    const bool finished = platform::finish_new_file(file, closing);
    if (written && !finished)
        problem = closing;
    return written && finished;
}

std::string shown(const fs::path& path)
{
    return path.u8string();
}

void interruption_point(const char* step)
{
    const char* wanted = std::getenv("AGENT_PUBLISH_INTERRUPT_AT");
    if (wanted != nullptr && std::string(wanted) == step)
        std::_Exit(137);  // no destructor, no clean-up: what a kill leaves
}

bool open_site(const std::string& dir, site& s)
{
    s.root = fs::u8path(dir);
    s.descriptors = s.root / "descriptors";
    s.files = s.root / "files";
    s.work = s.root / work_dir;
    s.partial = s.work / "partial";
    s.journal = s.work / "journal";
    std::error_code ec;
    if (!fs::is_directory(s.descriptors, ec) || !fs::is_directory(s.files, ec)) {
        input_error(dir + " is not a site: it holds no descriptors/ and files/ (make one with: agent_publish init --site " +
                    dir + ")");
        return false;
    }
    return true;
}

fs::path urgent_descriptor(const site& s)
{
    return s.descriptors / "urgent.json";
}

fs::path regular_descriptor(const site& s)
{
    return s.descriptors / "regular.json";
}

fs::path partial_path(const site& s, const std::string& hint)
{
    return s.partial / fs::u8path(hint + "." + random_hex());
}

int begin_change(site& s, const std::string& what, unsigned wait_seconds)
{
    std::error_code ec;
    fs::create_directories(s.partial, ec);
    if (ec)
        return not_written(shown(s.partial), ec.message());
    std::string problem;
    switch (platform::lock_site(s.work / "lock", wait_seconds * 1000u, s.lock, problem)) {
    case platform::site_lock_result::locked:
        break;
    case platform::site_lock_result::busy:
        std::fprintf(stderr,
                     "agent_publish: another change of %s is in progress (waited %u s for its lock, %s): try "
                     "again when it has ended\n",
                     shown(s.root).c_str(), wait_seconds, shown(s.work / "lock").c_str());
        return exit_busy;
    case platform::site_lock_result::failed:
        return not_written(shown(s.work / "lock"), problem);
    }
    for (const std::string& line : leftovers(s, true))
        say(line);
    if (!write_durably(s.journal, what + ", started " + utc_now() + "\n", problem)) {
        end_change(s);
        return not_written(shown(s.journal), problem);
    }
    return exit_ok;
}

bool note_making(site& s, const std::string& name)
{
    std::ofstream out(s.journal, std::ios::binary | std::ios::app);
    out << "making files/" << name << "\n";
    out.flush();
    return static_cast<bool>(out);
}

void end_change(site& s)
{
    std::error_code ec;
    if (s.lock != nullptr && fs::exists(s.journal, ec) && !fs::remove(s.journal, ec) && ec)
        std::fprintf(stderr, "agent_publish: cannot remove %s: %s\n", shown(s.journal).c_str(), ec.message().c_str());
    platform::release_site_lock(s.lock);
    s.lock = nullptr;
}

std::vector<std::string> leftovers(const site& s, bool remove)
{
    std::vector<std::string> lines;
    const char* verb = remove ? "removed " : "leftover: ";
    auto drop = [&](const fs::path& path, const std::string& why) {
        std::error_code ec;
        if (!remove) {
            lines.push_back(verb + shown(path) + " (" + why + ")");
        } else if (fs::remove(path, ec) || !ec) {
            lines.push_back(verb + shown(path) + " (" + why + ")");
        } else {
            lines.push_back("warning: cannot remove " + shown(path) + " (" + why + "): " + ec.message());
        }
    };
    std::error_code ec;
    if (fs::is_regular_file(s.journal, ec)) {
        const std::string journal = read_text(s.journal);
        const std::string change = journal.substr(0, journal.find('\n'));
        lines.push_back(std::string(remove ? "the last change was interrupted: " : "interrupted: ") + change);
        // A complete MSI that it moved into place but never announced.
        const std::string made = made_by_journal(journal);
        if (!made.empty() && made.find('/') == std::string::npos && made.find('\\') == std::string::npos &&
            made != "." && made != ".." && fs::is_regular_file(s.files / fs::u8path(made), ec) &&
            served_name(listed_url(urgent_descriptor(s))) != made &&
            served_name(listed_url(regular_descriptor(s))) != made)
            drop(s.files / fs::u8path(made), "put in place by the interrupted change, never announced");
        if (remove)
            fs::remove(s.journal, ec);
    }
    for (const fs::path& dir : {s.partial, s.files, s.descriptors}) {
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().u8string();
            if (dir == s.partial)
                drop(it->path(), "a file in the making of an interrupted change");
            else if (old_temporary_name(name))
                drop(it->path(), "a file in the making of an interrupted publish, served as it is");
            else if (dir == s.descriptors && set_aside_name(name))
                drop(it->path(), "an old descriptor set aside by an interrupted replacement");
        }
    }
    return lines;
}

std::string listed_url(const fs::path& descriptor)
{
    std::error_code ec;
    if (!fs::is_regular_file(descriptor, ec))
        return "";
    nlohmann::json document = nlohmann::json::parse(read_text(descriptor), nullptr, false);
    std::string url, hash, problem;
    bool listed = false;
    if (document.is_discarded() || !read_first_release(document, url, hash, listed, problem))
        return "";
    return url;
}

std::string served_name(const std::string& url)
{
    const std::size_t at = url.rfind("/files/");
    if (at == std::string::npos)
        return "";
    const std::string segment = url.substr(at + 7);
    std::string name;
    for (std::size_t i = 0; i < segment.size(); ++i) {
        if (segment[i] == '%' && i + 2 < segment.size() && hex_value(segment[i + 1]) >= 0 &&
            hex_value(segment[i + 2]) >= 0) {
            name += static_cast<char>(hex_value(segment[i + 1]) * 16 + hex_value(segment[i + 2]));
            i += 2;
        } else if (segment[i] == '?' || segment[i] == '#') {
            break;
        } else {
            name += segment[i];
        }
    }
    if (name.empty() || name == "." || name == ".." || name.find_first_of("/\\") != std::string::npos ||
        name.find('\0') != std::string::npos)
        return "";
    return name;
}

int init_site(const std::string& dir)
{
    std::error_code ec;
    const fs::path root = fs::u8path(dir);
    for (const fs::path& path : {root, root / "descriptors", root / "files"}) {
        fs::create_directory(path, ec);
        if (ec)
            return not_written(shown(path), ec.message());
    }
    site s;
    if (!open_site(dir, s))
        return exit_usage;
    if (const int status = begin_change(s, "init", 60); status != exit_ok)
        return status;
    int status = exit_ok;
    for (const fs::path& descriptor : {regular_descriptor(s), urgent_descriptor(s)}) {
        if (fs::exists(descriptor, ec)) {
            say("kept " + shown(descriptor));
            continue;
        }
        // An absent descriptor answers 404, which endpoints take for an answer: say "none" instead.
        std::string problem;
        const fs::path partial = partial_path(s, descriptor.filename().u8string());
        if (!write_durably(partial, "{\"results\": []}\n", problem) ||
            platform::move_new_file(partial, descriptor, problem) != platform::move_result::moved) {
            fs::remove(partial, ec);
            status = not_written(shown(descriptor), problem.empty() ? "it appeared meanwhile" : problem);
            break;
        }
        say("made " + shown(descriptor) + ": no release");
    }
    platform::flush_directory(s.descriptors);
    end_change(s);
    if (status == exit_ok)
        say("the site " + shown(root) + " is ready: descriptors/ and files/ are served, .agent_publish/ is not");
    return status;
}

int site_status(const std::string& dir, unsigned wait_seconds)
{
    site s;
    if (!open_site(dir, s))
        return exit_usage;
    // Under the lock, so that a change in progress is not taken for an interrupted one; a
    // site this user may only read is reported all the same.
    std::string problem;
    std::error_code ec;
    fs::create_directories(s.work, ec);
    switch (platform::lock_site(s.work / "lock", wait_seconds * 1000u, s.lock, problem)) {
    case platform::site_lock_result::busy:
        std::fprintf(stderr, "agent_publish: another change of %s is in progress: ask again when it has ended\n",
                     shown(s.root).c_str());
        return exit_busy;
    case platform::site_lock_result::failed:
        say("warning: cannot take the site's lock (" + problem + "): a change may be in progress");
        break;
    case platform::site_lock_result::locked:
        break;
    }
    bool serves_all = true;
    for (const auto& [kind, descriptor] :
         {std::pair<std::string, fs::path>{"urgent", urgent_descriptor(s)}, {"regular", regular_descriptor(s)}}) {
        if (!fs::is_regular_file(descriptor, ec)) {
            say(kind + ": " + shown(descriptor) + " is missing: its query answers 404, which endpoints take for no " +
                "release (agent_publish init --site makes it)");
            continue;
        }
        nlohmann::json document = nlohmann::json::parse(read_text(descriptor), nullptr, false);
        std::string url, hash, why;
        bool listed = false;
        if (document.is_discarded() || !read_first_release(document, url, hash, listed, why)) {
            say(kind + ": " + shown(descriptor) + " is not an update descriptor" + (why.empty() ? "" : " (" + why + ")") +
                ": endpoints log it as unexpected and see no release");
            serves_all = false;
            continue;
        }
        if (!listed || url.empty()) {
            say(kind + ": no release");
            continue;
        }
        say(kind + ": " + url);
        const std::string name = served_name(url);
        if (name.empty()) {
            say("  not a file of this site's files/: not checked");
            continue;
        }
        const fs::path file = s.files / fs::u8path(name);
        if (!fs::is_regular_file(file, ec)) {
            say("  missing: " + shown(file) + " is not there: endpoints download an error page and refuse it");
            serves_all = false;
            continue;
        }
        std::ifstream in(file, std::ios::binary);
        const std::string actual = in ? get_stream_hash(in) : "";
        if (actual != hash) {
            say("  wrong: " + shown(file) + " has SHA-256 " + (actual.empty() ? "(unreadable)" : actual) +
                ", the descriptor announces " + hash + ": endpoints refuse it");
            serves_all = false;
            continue;
        }
        say("  served: " + shown(file) + ", " + std::to_string(fs::file_size(file, ec)) + " bytes, SHA-256 " + actual +
            " as announced");
    }
    for (const std::string& line : leftovers(s, false))
        say(line);
    platform::release_site_lock(s.lock);
    say(serves_all ? "the site serves what it announces" : "the site announces what it does not serve");
    return serves_all ? exit_ok : exit_refused;
}
