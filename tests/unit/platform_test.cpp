#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "app/layout.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/sha256.h"
#include "platform/site_fs.h"
#include "platform/text.h"
#include "byte_pattern.h"
#include "files.h"

namespace {

TEST(Layout, PathsHangOffTheExecutablesDirectory)
{
    const std::string exe = platform::executable_path();
    const std::string app = get_app_dir();
    ASSERT_FALSE(app.empty());
    EXPECT_EQ(exe.substr(0, app.size()), app);
    EXPECT_EQ(exe.find_first_of("\\/", app.size()), app.size()) << "cut at the last separator";
    EXPECT_EQ(exe.find_first_of("\\/", app.size() + 1), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(exe));

    const char sep = platform::path_separator();
    const std::string s(1, sep);
    EXPECT_EQ(get_config_path(), app + s + "etc" + s + "config");
    EXPECT_EQ(get_inventory_path(), app + s + "etc" + s + "inventory.conf");
    EXPECT_EQ(get_version_path(), app + s + "VERSION");
    EXPECT_EQ(get_log_path(), app + s + "var" + s + "agent_recovery.log");
    EXPECT_EQ(get_app_dir(), app) << "asked again, same answer";
}

TEST(Layout, TempDirEndsWithASeparator)
{
    const std::string temp = get_temp_dir();
    ASSERT_FALSE(temp.empty());
    EXPECT_EQ(temp.back(), platform::path_separator());
    EXPECT_TRUE(std::filesystem::is_directory(temp));
}

TEST(Filesystem, MakeDirectoryTellsExistingApart)
{
    const std::filesystem::path dir = make_temp_dir("mkdir");
    const std::string sub = (dir / "var").string();
    uint32_t error = 0;
    EXPECT_EQ(platform::make_directory(sub, error), platform::mkdir_result::created);
    EXPECT_EQ(platform::make_directory(sub, error), platform::mkdir_result::already_exists);
    EXPECT_EQ(platform::make_directory((dir / "no" / "such").string(), error),
              platform::mkdir_result::failed);
    EXPECT_NE(error, 0u);
    write_file(dir / "file", "x");
    EXPECT_EQ(platform::make_directory((dir / "file").string(), error), platform::mkdir_result::failed)
        << "a file in the way is no directory";
    std::filesystem::remove_all(dir);
}

TEST(Filesystem, OutputFileTruncatesAndWritesExactly)
{
    const std::filesystem::path dir = make_temp_dir("out");
    const auto path = dir / "f.bin";
    write_file(path, std::string(5000, 'o'));
    platform::output_file* file = platform::open_output_file(path.string());
    ASSERT_NE(file, nullptr);
    const std::string data = pattern_bytes(3000);
    EXPECT_TRUE(platform::write_output_file(file, data.data(), 1000));
    EXPECT_TRUE(platform::write_output_file(file, data.data() + 1000, 2000));
    EXPECT_TRUE(platform::close_output_file(file));
    EXPECT_EQ(read_file(path), data);
    EXPECT_EQ(platform::open_output_file((dir / "missing" / "f").string()), nullptr);
    std::filesystem::remove_all(dir);
}

// What a run writes into a directory others can write, and reads back from it.
TEST(Filesystem, NewOutputFileReplacesWhatWasThere)
{
    const std::filesystem::path dir = make_temp_dir("new");
    const auto path = dir / "last_agent.json";
    write_file(path, std::string(5000, 'o'));
    std::string problem;
    platform::output_file* file = platform::create_new_output_file(path.string(), problem);
    ASSERT_NE(file, nullptr) << problem;
    EXPECT_TRUE(platform::write_output_file(file, "{}", 2));
    EXPECT_TRUE(platform::close_output_file(file));
    EXPECT_EQ(read_file(path), "{}");
    EXPECT_EQ(platform::create_new_output_file((dir / "missing" / "f").string(), problem), nullptr);
    std::filesystem::create_directories(dir / "taken" / "inside");
    EXPECT_EQ(platform::create_new_output_file((dir / "taken").string(), problem), nullptr);
    EXPECT_FALSE(problem.empty());
    EXPECT_TRUE(std::filesystem::exists(dir / "taken" / "inside")) << "a directory is never emptied";
    std::filesystem::remove_all(dir);
}

TEST(Filesystem, OwnFileIsReadWithinItsBound)
{
    const std::filesystem::path dir = make_temp_dir("own");
    const auto path = dir / "d.json";
    write_file(path, pattern_bytes(1000));
    std::string content, problem;
    std::uintmax_t size = 0;
    EXPECT_EQ(platform::read_own_file(path.string(), 1000, content, size, problem),
              platform::own_file_result::ok)
        << problem;
    EXPECT_EQ(content, pattern_bytes(1000));
    EXPECT_EQ(size, 1000u);
    EXPECT_EQ(platform::read_own_file(path.string(), 999, content, size, problem),
              platform::own_file_result::too_large);
    EXPECT_EQ(size, 1000u) << "measured on the handle";
    EXPECT_EQ(platform::read_own_file((dir / "missing").string(), 1000, content, size, problem),
              platform::own_file_result::cannot_open);
    EXPECT_NE(platform::read_own_file(dir.string(), 1000, content, size, problem),
              platform::own_file_result::ok)
        << "a directory is no descriptor";
    std::filesystem::remove_all(dir);
}

TEST(Filesystem, SecondLockOfTheSameFileIsBusy)
{
    const std::filesystem::path dir = make_temp_dir("lock");
    const std::string path = (dir / "agent_recovery.lck").string();
    platform::file_lock* first = nullptr;
    platform::file_lock* second = nullptr;
    uint32_t error = 0;
    ASSERT_EQ(platform::lock_file(path, first, error), platform::lock_result::locked) << error;
    EXPECT_EQ(platform::lock_file(path, second, error), platform::lock_result::busy) << error;
    EXPECT_EQ(second, nullptr);
    platform::release_lock(first);
    ASSERT_EQ(platform::lock_file(path, second, error), platform::lock_result::locked)
        << "released: " << error;
    platform::release_lock(second);
    EXPECT_EQ(platform::lock_file((dir / "no" / "lock").string(), first, error),
              platform::lock_result::failed);
    std::filesystem::remove_all(dir);
}

TEST(Filesystem, HoldNeedsAFileOfOurs)
{
    const std::filesystem::path dir = make_temp_dir("hold");
    const auto path = dir / "agent_recovery.msi";
    write_file(path, "package");
    std::string problem;
    platform::file_hold* hold = platform::hold_file(path.string(), problem);
    ASSERT_NE(hold, nullptr) << problem;
    EXPECT_EQ(read_file(path), "package") << "others may still read it";
    platform::release_file(hold);
    EXPECT_EQ(platform::hold_file((dir / "missing").string(), problem), nullptr);
    EXPECT_FALSE(problem.empty());
    std::filesystem::create_hard_link(path, dir / "second_name");
    EXPECT_EQ(platform::hold_file(path.string(), problem), nullptr) << "a file with two names";
    EXPECT_EQ(problem, "2 links");
    std::filesystem::remove_all(dir);
}

// The publisher's files: names in any language, made and renamed whole.
TEST(SiteFiles, NamesInAnyLanguageSurviveCreateAndMove)
{
    const std::filesystem::path dir = make_temp_dir("site-names");
    const auto made = dir / std::filesystem::u8path(u8"révision – 版.tmp");
    const auto named = dir / std::filesystem::u8path(u8"agent–2.0.0 é 日本語.json");
    std::string problem;
    platform::new_file* file = platform::create_new_file(made, problem);
    ASSERT_NE(file, nullptr) << problem;
    ASSERT_TRUE(platform::write_new_file(file, "{}", 2, problem)) << problem;
    ASSERT_TRUE(platform::finish_new_file(file, problem)) << problem;
    EXPECT_EQ(platform::create_new_file(made, problem), nullptr) << "never an existing file";
    EXPECT_FALSE(problem.empty());
    ASSERT_EQ(platform::move_new_file(made, named, problem), platform::move_result::moved) << problem;
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().u8string());
    EXPECT_EQ(names, std::vector<std::string>{named.filename().u8string()});
    EXPECT_EQ(read_file(named), "{}");
    std::filesystem::remove_all(dir);
}

TEST(SiteFiles, MoveNewFileLeavesATakenNameAlone)
{
    const std::filesystem::path dir = make_temp_dir("site-new");
    write_file(dir / "new", "new");
    write_file(dir / "taken", "old");
    std::string problem;
    EXPECT_EQ(platform::move_new_file(dir / "new", dir / "taken", problem), platform::move_result::exists);
    EXPECT_EQ(read_file(dir / "taken"), "old");
    EXPECT_EQ(read_file(dir / "new"), "new");
    EXPECT_EQ(platform::move_new_file(dir / "missing", dir / "free", problem), platform::move_result::failed);
    EXPECT_FALSE(problem.empty());
    std::filesystem::remove_all(dir);
}

TEST(SiteFiles, MoveOverFileLeavesTheNewFileAloneInPlace)
{
    const std::filesystem::path dir = make_temp_dir("site-over");
    write_file(dir / "new", "new");
    write_file(dir / "current", "old");
    std::string problem;
    ASSERT_TRUE(platform::move_over_file(dir / "new", dir / "current", 1000, problem)) << problem;
    EXPECT_EQ(read_file(dir / "current"), "new");
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"current"}) << "nothing left beside it";
    write_file(dir / "new", "first");
    EXPECT_TRUE(platform::move_over_file(dir / "new", dir / "free", 1000, problem)) << "nothing there yet";
    EXPECT_EQ(read_file(dir / "free"), "first");
    EXPECT_FALSE(platform::move_over_file(dir / "missing", dir / "current", 200, problem));
    EXPECT_FALSE(problem.empty());
    EXPECT_EQ(read_file(dir / "current"), "new");
    std::filesystem::remove_all(dir);
}

// Held by another process (tests/unit/site_lock_holder.cpp), which ends without releasing it.
TEST(SiteFiles, LockIsBusyWhileAnotherProcessHoldsIt)
{
    const std::filesystem::path dir = make_temp_dir("site-lock");
    const auto lock_path = dir / "site.lock";
    std::filesystem::path holder = platform::executable_path();
    holder.replace_filename("site_lock_holder" + holder.extension().string());
    std::string command = "\"" + holder.string() + "\" \"" + lock_path.string() + "\" \"" +
                          (dir / "ready").string() + "\" \"" + (dir / "release").string() + "\"";
    uint32_t error = 0;
    platform::process* child = platform::process_start(&command[0], error);
    ASSERT_NE(child, nullptr) << error;
    for (int i = 0; i < 400 && !std::filesystem::exists(dir / "ready"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(std::filesystem::exists(dir / "ready"));

    platform::site_lock* lock = nullptr;
    std::string problem;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(platform::lock_site(lock_path, 300, lock, problem), platform::site_lock_result::busy);
    // Less a tick of the system's clock, which may count the wait.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250)) << "waited";
    EXPECT_FALSE(problem.empty());
    write_file(dir / "release", "");
    EXPECT_EQ(platform::lock_site(lock_path, 20000, lock, problem), platform::site_lock_result::locked)
        << "the holder's end releases it: " << problem;
    EXPECT_TRUE(platform::process_wait(child, error));
    platform::process_close(child);
    platform::release_site_lock(lock);
    EXPECT_EQ(platform::lock_site(dir / "no" / "such" / "lock", 0, lock, problem),
              platform::site_lock_result::failed);
    std::filesystem::remove_all(dir);
}

TEST(Text, AsciiWidens)
{
    EXPECT_EQ(platform::narrow_to_utf16("C:\\A\\var\\agent_recovery.msi"), u"C:\\A\\var\\agent_recovery.msi");
    EXPECT_EQ(platform::narrow_to_utf16(""), u"");
}

TEST(Sha256, IncrementalEqualsOneShot)
{
    const std::string data = pattern_bytes(200000);
    unsigned char whole[32], pieces[32];
    platform::sha256_state* a = platform::sha256_begin();
    ASSERT_NE(a, nullptr);
    ASSERT_TRUE(platform::sha256_update(a, data.data(), data.size()));
    ASSERT_TRUE(platform::sha256_finish(a, whole));
    platform::sha256_state* b = platform::sha256_begin();
    for (std::size_t at = 0; at < data.size(); at += 1000 + at % 77) {
        const std::size_t n = std::min<std::size_t>(1000 + at % 77, data.size() - at);
        ASSERT_TRUE(platform::sha256_update(b, data.data() + at, n));
    }
    ASSERT_TRUE(platform::sha256_finish(b, pieces));
    EXPECT_EQ(0, std::memcmp(whole, pieces, 32));

    platform::sha256_state* abc = platform::sha256_begin();
    platform::sha256_update(abc, "abc", 3);
    unsigned char digest[32];
    platform::sha256_finish(abc, digest);
    EXPECT_EQ(digest[0], 0xba);
    EXPECT_EQ(digest[31], 0xad);
}

}  // namespace
