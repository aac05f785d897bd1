// What only Windows has: readers' sharing modes against a replacement, and a wide command line.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include <windows.h>

#include "platform/fs.h"
#include "platform/site_fs.h"
#include "files.h"

namespace {

HANDLE open_reader(const std::filesystem::path& path, DWORD share)
{
    return CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

std::string read_handle(HANDLE handle)
{
    char buffer[64];
    DWORD got = 0;
    SetFilePointer(handle, 0, nullptr, FILE_BEGIN);
    return ReadFile(handle, buffer, sizeof buffer, &got, nullptr) ? std::string(buffer, got) : "(unreadable)";
}

// A web server's reader: deletes and renames go through, and it keeps reading the old bytes.
TEST(SiteFilesUnderReaders, ReplacedUnderAReaderThatSharesDelete)
{
    const std::filesystem::path dir = make_temp_dir("site-reader");
    write_file(dir / "current", "old");
    write_file(dir / "new", "new");
    const HANDLE reader = open_reader(dir / "current", FILE_SHARE_READ | FILE_SHARE_DELETE);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    std::string problem;
    EXPECT_TRUE(platform::move_over_file(dir / "new", dir / "current", 2000, problem)) << problem;
    EXPECT_EQ(read_file(dir / "current"), "new");
    EXPECT_EQ(read_handle(reader), "old");
    CloseHandle(reader);
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"current"}) << "the old file went with its last reader";
    std::filesystem::remove_all(dir);
}

TEST(SiteFilesUnderReaders, ReplacementWaitsForAReaderThatKeepsDeletesOut)
{
    const std::filesystem::path dir = make_temp_dir("site-reader");
    write_file(dir / "current", "old");
    write_file(dir / "new", "new");
    HANDLE reader = open_reader(dir / "current", FILE_SHARE_READ);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    std::string problem;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(platform::move_over_file(dir / "new", dir / "current", 400, problem));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(350)) << "waited";
    EXPECT_NE(problem.find("error "), std::string::npos) << problem;
    EXPECT_NE(problem.find("still after 400 ms"), std::string::npos) << problem;
    EXPECT_EQ(read_file(dir / "current"), "old");
    EXPECT_EQ(read_file(dir / "new"), "new");

    std::thread closer([&reader] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        CloseHandle(reader);
    });
    EXPECT_TRUE(platform::move_over_file(dir / "new", dir / "current", 5000, problem)) << problem;
    closer.join();
    EXPECT_EQ(read_file(dir / "current"), "new");
    std::filesystem::remove_all(dir);
}

// The holder takes its paths through utf8_arguments: names no code page holds must arrive.
TEST(SiteFilesUnderReaders, ArgumentsArriveWhateverTheCodePage)
{
    const std::filesystem::path dir = make_temp_dir("site-args");
    const auto ready = dir / std::filesystem::u8path(u8"prêt – 準備");
    std::filesystem::path holder = platform::executable_path();
    holder.replace_filename("site_lock_holder.exe");
    std::wstring command = L"\"" + holder.wstring() + L"\" \"" + (dir / L"site.lock").wstring() + L"\" \"" +
                           ready.wstring() + L"\" \"" + (dir / L"release").wstring() + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    ASSERT_TRUE(
        CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child));
    for (int i = 0; i < 400 && !std::filesystem::exists(ready); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(std::filesystem::exists(ready));
    write_file(dir / "release", "");
    EXPECT_EQ(WaitForSingleObject(child.hProcess, 30000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeProcess(child.hProcess, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    std::filesystem::remove_all(dir);
}

}  // namespace
