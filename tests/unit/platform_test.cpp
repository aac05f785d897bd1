#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "app/layout.h"
#include "platform/fs.h"
#include "platform/sha256.h"
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
