#include <gtest/gtest.h>

#include "installer/digest.h"
#include "byte_pattern.h"
#include "files.h"
#include "log_capture.h"

namespace {

struct Digest : ::testing::Test {
    std::filesystem::path dir = make_temp_dir("digest");
    ~Digest() override { std::filesystem::remove_all(dir); }
};

// Digests of the test pattern, as sha256sum prints them.
TEST_F(Digest, KnownDigestsAndProgressMarks)
{
    struct Case {
        std::size_t size;
        const char* digest;
        const char* marks;
    };
    for (const Case& c : {
             Case{0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", ""},
             Case{1048576, "06b7bbfb7824aa03382051691630eb26de85102d1b08a81e907ec0744cd8a286", "#"},
             Case{1048577, "0d09f3eabb5c78e5d435c41e3b3755f1c4d038657f739d0be0083c24e71235df", "#"},
             Case{3500000, "081b7848a1e8302292e910c14e4d6864be2709b0b6eb227c0aa3654028e54c52", "###"},
         }) {
        const auto path = dir / ("pattern-" + std::to_string(c.size));
        write_file(path, pattern_bytes(c.size));
        ::testing::internal::CaptureStdout();
        const std::string digest = get_file_hash(path.string());
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.marks) << c.size;
        EXPECT_EQ(digest, c.digest) << c.size;
    }
}

TEST_F(Digest, BinaryContentIsHashedAsIs)
{
    const auto path = dir / "crlf";
    write_file(path, std::string("a\r\nb\x1a\0c", 7));
    // sha256 of the 7 bytes 61 0d 0a 62 1a 00 63; a text-mode read would change it.
    EXPECT_EQ(get_file_hash(path.string()),
              "4187a64dd2406f65218ae01899b60c5ba073a44474c9df21770b2476729e6f1d");
}

TEST_F(Digest, MissingFileGivesNoDigest)
{
    log_capture capture;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(get_file_hash((dir / "absent.msi").string()), "");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(capture.text(), "error Could not open file for getting its hash\n");
}

TEST(Hex, LowerCaseZeroPadded)
{
    const unsigned char bytes[] = {0x00, 0x0f, 0xa0, 0xff};
    EXPECT_EQ(to_hex(bytes, 4), "000fa0ff");
}

}  // namespace
