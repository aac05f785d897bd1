// The other local user of the attacker suite, run as an unprivileged uid (setpriv).
// Each mode is one attack; what it managed to do goes to standard output, one line each.
//
//   fifo PATH ANSWER1 ANSWER2   plants a FIFO at PATH, swallows what the run writes into
//                               it and feeds it ANSWER1, then the same with ANSWER2
//   rewrite DIR NAME CONTENT    plants DIR/NAME (mode 666) holding CONTENT and writes
//                               CONTENT back into DIR/NAME whenever someone closes it
//                               after writing something else
//   swap LOG NEEDLE SOURCE TARGET  renames SOURCE over TARGET once LOG holds NEEDLE
//   write PATH...               tries to open each PATH for appending, or to create it
#include <sys/inotify.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

void say(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string slurp(int fd)
{
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(got));
    return text;
}

std::string read_path(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return "";
    std::string text = slurp(fd);
    ::close(fd);
    return text;
}

bool write_whole(int fd, const std::string& text)
{
    return ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

int fifo(const std::string& path, const std::string& first, const std::string& second)
{
    if (::mkfifo(path.c_str(), 0666) != 0) {
        say(std::string("mkfifo failed: ") + std::strerror(errno));
        return 1;
    }
    ::chmod(path.c_str(), 0666);
    int fed = 0;
    for (const std::string* answer : {&first, &second}) {
        // Blocks until the run opens the FIFO to write its download into it.
        int fd = ::open(path.c_str(), O_RDONLY);
        if (fd < 0)
            return 1;
        const std::string swallowed = slurp(fd);
        ::close(fd);
        say("swallowed " + std::to_string(swallowed.size()) + " bytes");
        // Blocks until the run opens it again to read the descriptor.
        fd = ::open(path.c_str(), O_WRONLY);
        if (fd < 0)
            return 1;
        const bool ok = write_whole(fd, *answer);
        ::close(fd);
        if (ok)
            say("fed answer " + std::to_string(++fed));
    }
    return 0;
}

int rewrite(const std::string& dir, const std::string& name, const std::string& content)
{
    const std::string path = dir + "/" + name;
    const int inotify = ::inotify_init1(IN_CLOEXEC);
    if (inotify < 0 || ::inotify_add_watch(inotify, dir.c_str(), IN_CLOSE_WRITE) < 0) {
        say(std::string("inotify failed: ") + std::strerror(errno));
        return 1;
    }
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0 || !write_whole(fd, content)) {
        say(std::string("plant failed: ") + std::strerror(errno));
        return 1;
    }
    ::fchmod(fd, 0666);
    ::close(fd);
    say("planted");
    alignas(inotify_event) char events[4096];
    for (;;) {
        const ssize_t got = ::read(inotify, events, sizeof events);
        if (got <= 0)
            return 1;
        bool ours = false;
        for (char* at = events; at < events + got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            if (event->len > 0 && name == event->name)
                ours = true;
            at += sizeof(inotify_event) + event->len;
        }
        if (!ours || read_path(path) == content)
            continue;
        fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW);
        if (fd < 0) {
            say(std::string("rewrite failed: ") + std::strerror(errno));
            continue;
        }
        const bool ok = write_whole(fd, content);
        ::close(fd);
        say(ok ? "rewrote" : "rewrite short");
    }
}

int swap(const std::string& log, const std::string& needle, const std::string& source,
         const std::string& target)
{
    // Polls rather than watching: the log may not exist yet when this starts.
    for (;;) {
        if (read_path(log).find(needle) != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (::rename(source.c_str(), target.c_str()) == 0)
        say("renamed");
    else
        say(std::string("rename failed: ") + std::strerror(errno));
    return 0;
}

int try_write(int argc, char** argv)
{
    for (int i = 0; i < argc; ++i) {
        const int fd = ::open(argv[i], O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW, 0666);
        if (fd < 0) {
            say(std::string("denied ") + argv[i] + ": " + std::strerror(errno));
            continue;
        }
        ::close(fd);
        say(std::string("writable ") + argv[i]);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "fifo" && argc == 5)
        return fifo(argv[2], argv[3], argv[4]);
    if (mode == "rewrite" && argc == 5)
        return rewrite(argv[2], argv[3], argv[4]);
    if (mode == "swap" && argc == 6)
        return swap(argv[2], argv[3], argv[4], argv[5]);
    if (mode == "write" && argc > 2)
        return try_write(argc - 2, argv + 2);
    std::fprintf(stderr, "usage: attacker fifo|rewrite|swap|write ...\n");
    return 2;
}
