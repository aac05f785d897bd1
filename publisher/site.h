#pragma once
// A site as agent_publish lays it out for a web server: descriptors/ and files/ are served,
// .agent_publish/ (its lock, the journal of a change in progress, files in the making) is
// not. One change at a time, under the lock; what a killed change left is removed by the
// next one.
#include <filesystem>
#include <string>
#include <vector>

namespace platform {
struct site_lock;
}

struct site {
    std::filesystem::path root, descriptors, files, work, partial;
    platform::site_lock* lock = nullptr;
    std::filesystem::path journal;
};

// The paths of a site directory given as UTF-8. False when it holds no descriptors/ and
// files/ (already said, with the command that makes one).
bool open_site(const std::string& dir, site& s);

// Takes the site's lock for a change described by `what` (waiting up to `wait_seconds`
// for another one to end), records the change in its journal and removes what an
// interrupted change left. Returns 0, or the exit status to end with (already said).
int begin_change(site& s, const std::string& what, unsigned wait_seconds);
// Notes in the journal a file about to be put under files/, so that it is removed if this
// change is killed before announcing it.
bool note_making(site& s, const std::string& name);
// The change is over, done or failed cleanly: the journal goes, the lock is released.
void end_change(site& s);

// A new name under .agent_publish/partial/ for a file in the making.
std::filesystem::path partial_path(const site& s, const std::string& hint);

// The web server's descriptor paths.
std::filesystem::path urgent_descriptor(const site& s);
std::filesystem::path regular_descriptor(const site& s);

// What a killed change left (journal, files in the making, old temporary names beside
// the served files), as lines for a person; removed when `remove` is set.
std::vector<std::string> leftovers(const site& s, bool remove);

// The first release's URL of a descriptor; "" when it lists none or cannot be read.
std::string listed_url(const std::filesystem::path& descriptor);

// The file under files/ that a URL names, if it names one of this site ("" otherwise).
std::string served_name(const std::string& url);

// A new file at `path` holding `content`, flushed to the disk. False, with `problem`, when it
// could not be made whole (what was made stays, for the caller to remove).
bool write_durably(const std::filesystem::path& path, const std::string& content, std::string& problem);

// A path for a person, as UTF-8.
std::string shown(const std::filesystem::path& path);

// Interruption points for the tests: the process ends at once, as if killed, when the
// environment names this step.
void interruption_point(const char* step);

// agent_publish init --site DIR
int init_site(const std::string& dir);
// agent_publish status --site DIR
int site_status(const std::string& dir, unsigned wait_seconds);
