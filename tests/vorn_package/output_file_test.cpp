// Output files: a file is replaced whole or not at all, a reader of the old file keeps reading
// it, and links, permissions and devices are treated as their owners expect.
#include "vorn_package/output_file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "vorn_package/profile_packed.hpp"
#include "vorn_package/synthetic_profile.hpp"

namespace vorn_package {
namespace {

namespace fs = std::filesystem;

/// A fresh scratch directory for one test.
fs::path scratch_directory(const std::string& name) {
    const fs::path path = fs::temp_directory_path() /
                          ("vorn_output_file_test_" + std::to_string(getpid()) + "_" + name);
    fs::remove_all(path);
    fs::create_directories(path);
    return path;
}

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_text(OutputFile& file, const std::string& text) {
    ASSERT_EQ(::write(file.fd(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

std::string packed_profile(std::uint32_t tiles) {
    SyntheticOptions options;
    options.tiles = tiles;
    options.steps_per_tile = 50;
    std::ostringstream out;
    write_profile_packed(out, synthetic_columns(options));
    return out.str();
}

TEST(OutputFile, ReplacesWholeOnlyOnCommit) {
    const fs::path dir = scratch_directory("commit");
    const fs::path path = dir / "out.txt";
    std::ofstream(path) << "old";
    {
        auto file = OutputFile::create(path.string());
        ASSERT_TRUE(file.has_value());
        write_text(*file, "new and longer");
        EXPECT_EQ(slurp(path), "old");  // nothing shows before the rename
        ASSERT_TRUE(file->commit().has_value());
    }
    EXPECT_EQ(slurp(path), "new and longer");
    {
        auto file = OutputFile::create(path.string());
        ASSERT_TRUE(file.has_value());
        write_text(*file, "abandoned");
    }  // dropped without commit
    EXPECT_EQ(slurp(path), "new and longer");
    // No temporary file is left behind either way.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    fs::remove_all(dir);
}

TEST(OutputFile, AMappedProfileKeepsReadingTheFileItOpened) {
    const fs::path dir = scratch_directory("mapped");
    const fs::path path = dir / "run.packed";
    std::ofstream(path, std::ios::binary) << packed_profile(3);
    const auto opened = open_profile_packed(path.string());
    ASSERT_TRUE(opened.has_value());
    const ProfileReport before = to_report(*opened);

    auto file = OutputFile::create(path.string());
    ASSERT_TRUE(file.has_value());
    write_text(*file, packed_profile(1));
    ASSERT_TRUE(file->commit().has_value());

    EXPECT_EQ(to_report(*opened), before);
    const auto reopened = open_profile_packed(path.string());
    ASSERT_TRUE(reopened.has_value());
    EXPECT_EQ(reopened->tile_count(), 1U);
    fs::remove_all(dir);
}

TEST(OutputFile, FollowsLinksKeepsPermissionsAndWritesDevicesInPlace) {
    const fs::path dir = scratch_directory("links");
    const fs::path target = dir / "target.txt";
    const fs::path link = dir / "link.txt";
    std::ofstream(target) << "old";
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink(target, link);
    {
        auto file = OutputFile::create(link.string());
        ASSERT_TRUE(file.has_value());
        write_text(*file, "through the link");
        ASSERT_TRUE(file->commit().has_value());
    }
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(slurp(target), "through the link");
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    // A device is written, never replaced by a regular file.
    {
        auto file = OutputFile::create("/dev/null");
        ASSERT_TRUE(file.has_value());
        write_text(*file, "discarded");
        ASSERT_TRUE(file->commit().has_value());
    }
    EXPECT_TRUE(fs::is_character_file("/dev/null"));

    const auto missing = OutputFile::create((dir / "no" / "such.txt").string());
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error(), std::errc::no_such_file_or_directory);
    EXPECT_FALSE(OutputFile::create("").has_value());
    fs::remove_all(dir);
}

}  // namespace
}  // namespace vorn_package
