// The Windows build's download_file over the real WinINet, run by Wine against the
// loopback update server: the faults that answer at once, so the suite stays quick.
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "build_paths.h"
#include "byte_pattern.h"
#include "loopback.h"
#include "server_process.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

struct probe_result {
    int status = 0;
    std::vector<std::string> log;  // "level message", as the POSIX tests compare them
};

class WinInetUnderWine : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fs::is_regular_file(build_paths::wininet_probe_exe))
            << build_paths::wininet_probe_exe << " is missing: cmake --preset mingw32 && "
            << "cmake --build build/mingw32 --target wininet_probe";
        dir_ = make_temp_dir();
        write_file(dir_ + "/script.json", json{{"routes",
                                                {{{"path", "/big"}, {"generate_bytes", 1048577}},
                                                 {{"path", "/empty"}, {"body", ""}},
                                                 download_test::cut_body_route("/close", "close", 5000),
                                                 download_test::cut_body_route("/reset", "reset", 5000),
                                                 {{"path", "/silent"}, {"fault", "no_answer"}}}}}
                                              .dump());
        ASSERT_TRUE(start_update_server(build_paths::update_server_exe, dir_ + "/script.json", server_));
    }

    void TearDown() override
    {
        stop_update_server(server_);
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string url(const std::string& target) const
    {
        return "http://127.0.0.1:" + std::to_string(server_.port) + target;
    }

    // Runs the probe; `name` is a file in the scratch directory, given to Windows as Z:.
    probe_result probe(const std::string& from, const std::string& name)
    {
        std::string windows_path = "Z:" + dir_ + "/" + name;
        for (char& c : windows_path)
            if (c == '/')
                c = '\\';
        probe_result result;
        const std::string output = dir_ + "/probe.out";
        result.status = run_process(
            {build_paths::wine_runner, build_paths::wininet_probe_exe, from, windows_path, "0"},
            {std::string("WINEPREFIX=") + build_paths::wine_prefix_dir, "WINEDEBUG=-all"}, output, "", 100);
        // "[date time] [level] message" with CR LF line ends.
        static const std::regex record(R"(^\[[^\]]*\] \[(\w+)\] (.*?)\r?$)");
        for (const std::string& line : read_lines(output)) {
            std::smatch match;
            if (std::regex_match(line, match, record))
                result.log.push_back(match[1].str() + " " + match[2].str());
        }
        return result;
    }

    std::string file(const std::string& name) const { return dir_ + "/" + name; }

    std::string dir_;
    server_handle server_;
};

TEST_F(WinInetUnderWine, BodiesArriveWholeWhateverTheStatus)
{
    probe_result r = probe(url("/big"), "big.bin");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(read_file(file("big.bin")) == pattern_bytes(1048577))
        << "got " << read_file(file("big.bin")).size() << " bytes";
    ASSERT_EQ(r.log.size(), 3u);
    EXPECT_EQ(r.log[0],
              "info Opening " + url("/big") + " with headers Accept: application/json and secure false");
    EXPECT_EQ(r.log[2].rfind("info Download complete " + url("/big") + " -> Z:", 0), 0u) << r.log[2];

    r = probe(url("/empty"), "empty.bin");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fs::is_regular_file(file("empty.bin")));
    EXPECT_EQ(fs::file_size(file("empty.bin")), 0u);

    r = probe(url("/no/such/file"), "404.html");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(file("404.html")), "<html><body><h1>404 Not Found</h1></body></html>\n");
}

TEST_F(WinInetUnderWine, UnreachableServerLeavesTheOldFileAlone)
{
    write_file(file("old.bin"), "previous download");
    const download_test::refusing_port closed;
    ASSERT_NE(closed.port(), 0);
    const std::string refused = "http://127.0.0.1:" + std::to_string(closed.port()) + "/x";

    probe_result r = probe(refused, "old.bin");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.log, (std::vector<std::string>{"info Opening " + refused +
                                                   " with headers Accept: application/json and secure false",
                                               "error InternetOpenUrlA failed: 12029"}));

    // Accepted, then closed before any status line: Windows fails the request, and so
    // must the program under Wine, whose WinINet would hand back an empty answer.
    r = probe(url("/silent"), "old.bin");
    EXPECT_EQ(r.status, 1);
    ASSERT_FALSE(r.log.empty());
    EXPECT_EQ(r.log.back(), "error InternetOpenUrlA failed: 12152");

    r = probe("http://no-such-host.invalid/x", "old.bin");
    EXPECT_EQ(r.status, 1);
    ASSERT_FALSE(r.log.empty());
    EXPECT_EQ(r.log.back(), "error InternetOpenUrlA failed: 12007");
    EXPECT_EQ(read_file(file("old.bin")), "previous download");
}

TEST_F(WinInetUnderWine, BrokenConnectionIsNoCompleteDownload)
{
    for (const char* kind : {"close", "reset"}) {
        SCOPED_TRACE(kind);
        const std::string name = std::string(kind) + ".bin";
        const probe_result r = probe(url(std::string("/") + kind), name);
        EXPECT_EQ(r.status, 1) << "a body cut short passed for a complete download";
        ASSERT_FALSE(r.log.empty());
        // Wine's WinINet reads ahead while opening the URL: an RST that arrives that
        // early fails the open instead, and the destination is never created.
        if (std::string(kind) == "reset" && r.log.back() == "error InternetOpenUrlA failed: 12030") {
            EXPECT_FALSE(std::filesystem::exists(file(name)));
            continue;
        }
        EXPECT_EQ(r.log.back(), "error InternetReadFile fiales: 12030");
        EXPECT_TRUE(read_file(file(name)) == pattern_bytes(5000));
    }
}

}  // namespace
