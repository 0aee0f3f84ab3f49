// Profiles stored as directories of shards: written by the shard writer and read back as the
// whole profile, whatever the cut, the format of each shard and the threads; directories that
// are no profile are errors naming the files.
#include "vorn_package/profile_shards.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "vorn_package/profile_file.hpp"
#include "vorn_package/profile_packed.hpp"
#include "vorn_package/synthetic_profile.hpp"

namespace vorn_package {
namespace {

namespace fs = std::filesystem;

/// A fresh path under the temporary directory, removed with everything below it at the end.
class Scratch {
public:
    explicit Scratch(const std::string& name)
        : path_(fs::temp_directory_path() /
                ("vorn_shards_test_" + std::to_string(getpid()) + "_" + name)) {
        fs::remove_all(path_);
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    std::string str() const { return path_.string(); }

private:
    fs::path path_;
};

SyntheticOptions synthetic(std::uint32_t tiles, std::uint32_t steps,
                           std::uint64_t clock_hz = 1000) {
    SyntheticOptions options;
    options.tiles = tiles;
    options.steps_per_tile = steps;
    options.clock_hz = clock_hz;
    return options;
}

/// Writes `columns` as shards of `tiles_per_shard` tile records into `directory`.
Result<std::uint64_t, std::string> write_shards(const std::string& directory,
                                                const ProfileColumns& columns,
                                                std::uint64_t tiles_per_shard) {
    auto writer = PackedShardWriter::create(
        directory, columns.tile_count(), tiles_per_shard,
        shard_sample_counts(columns.tile_count(), tiles_per_shard, [&](std::uint64_t t) {
            return columns.tile_sample_begin[t + 1] - columns.tile_sample_begin[t];
        }));
    if (!writer) {
        return Unexpected<std::string>{writer.error()};
    }
    write_columns(columns, *writer);
    return writer->finish();
}

void write_packed(const std::string& path, const ProfileColumns& columns) {
    std::ofstream out(path, std::ios::binary);
    write_profile_packed(out, columns);
}

TEST(ProfileShards, EveryCutReadsBackAsTheWholeProfile) {
    const ProfileColumns columns = synthetic_columns(synthetic(11, 150));
    const ProfileReport whole = to_report(columns);
    for (const std::uint64_t per_shard : {1, 3, 4, 11, 50}) {
        SCOPED_TRACE(std::to_string(per_shard) + " tiles a shard");
        const Scratch directory("cut");
        const auto written = write_shards(directory.str(), columns, per_shard);
        ASSERT_TRUE(written) << written.error();
        EXPECT_EQ(*written, (11 + per_shard - 1) / per_shard);
        for (const std::size_t threads : {1, 3}) {
            const auto read = read_profile_columns_file(directory.str(), {}, threads);
            ASSERT_TRUE(read) << to_string(read.error());
            EXPECT_EQ(to_report(*read), whole);
        }
    }
}

// The generator into the shard writer gives the same shards as its columns cut afterwards, and
// a profile of no tile is one shard of none.
TEST(ProfileShards, GeneratorAndColumnsWriteTheSameShards) {
    const SyntheticOptions options = synthetic(7, 90);
    const Scratch generated("generated");
    const Scratch cut("cut");
    auto writer = PackedShardWriter::create(
        generated.str(), 7, 2, shard_sample_counts(7, 2, [](std::uint64_t) { return 90; }));
    ASSERT_TRUE(writer);
    synthetic_samples(options, *writer);
    ASSERT_TRUE(writer->finish());
    ASSERT_TRUE(write_shards(cut.str(), synthetic_columns(options), 2));
    for (const char* name :
         {"part-00000.packed", "part-00001.packed", "part-00002.packed", "part-00003.packed"}) {
        std::ifstream a(generated / name, std::ios::binary);
        std::ifstream b(cut / name, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(a), {}),
                  std::string(std::istreambuf_iterator<char>(b), {}))
            << name;
    }

    const Scratch empty("no-tile");
    ASSERT_TRUE(write_shards(empty.str(), synthetic_columns(synthetic(0, 10)), 4));
    const auto read = read_profile_shards(empty.str());
    ASSERT_TRUE(read) << to_string(read.error());
    EXPECT_EQ(read->tile_count(), 0U);
    EXPECT_EQ(read->clock_hz, 1000U);
}

// Shards are taken in byte order of their names, JSON and packed alike; other entries are not
// shards, whatever their names.
TEST(ProfileShards, ShardsInNameOrderOtherEntriesIgnored) {
    const ProfileColumns first = synthetic_columns(synthetic(2, 30));
    SyntheticOptions later = synthetic(3, 40);
    later.seed = 9;
    const ProfileColumns second = synthetic_columns(later);
    const Scratch directory("order");
    fs::create_directories(directory.str());
    {
        std::ofstream out(directory / "b.json", std::ios::binary);
        write_profile_json(out, to_report(second));
    }
    write_packed(directory / "a.packed", first);
    std::ofstream(directory / "README.txt") << "not a shard";
    std::ofstream(directory / "c.packed.tmp") << "not a shard";
    fs::create_directories(directory / "d.packed");

    const auto read = read_profile_shards(directory.str(), 2);
    ASSERT_TRUE(read) << to_string(read.error());
    ProfileReport want = to_report(first);
    for (TileProfile& tile : to_report(second).tiles) {
        want.tiles.push_back(std::move(tile));
    }
    EXPECT_EQ(to_report(*read), want);
}

TEST(ProfileShards, DirectoriesThatAreNoProfileNameTheFiles) {
    const Scratch empty("empty");
    fs::create_directories(empty / "sub.packed");
    std::ofstream(empty / "notes.txt") << "x";
    const auto none = read_profile_shards(empty.str());
    ASSERT_FALSE(none);
    EXPECT_NE(none.error().message.find("without a shard"), std::string::npos);

    const Scratch clocks("clocks");
    fs::create_directories(clocks.str());
    write_packed(clocks / "part-0.packed", synthetic_columns(synthetic(2, 20, 1000)));
    write_packed(clocks / "part-1.packed", synthetic_columns(synthetic(2, 20, 2000)));
    const auto mixed = read_profile_shards(clocks.str());
    ASSERT_FALSE(mixed);
    const std::string said = to_string(mixed.error());
    EXPECT_NE(said.find("part-0.packed has clock_hz 1000"), std::string::npos) << said;
    EXPECT_NE(said.find("part-1.packed has 2000"), std::string::npos) << said;

    const Scratch damaged("damaged");
    ASSERT_TRUE(write_shards(damaged.str(), synthetic_columns(synthetic(4, 20)), 2));
    fs::resize_file(damaged / "part-00001.packed", 100);
    const auto broken = read_profile_shards(damaged.str(), 2);
    ASSERT_FALSE(broken);
    EXPECT_EQ(broken.error().path.rfind("shard part-00001.packed, ", 0), 0U) << broken.error().path;
}

TEST(ProfileShards, WriterWantsANewOrEmptyDirectoryAndTilesInAShard) {
    const ProfileColumns columns = synthetic_columns(synthetic(3, 20));
    const Scratch used("used");
    fs::create_directories(used.str());
    std::ofstream(used / "keep.txt") << "mine";
    const auto refused = write_shards(used.str(), columns, 2);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().find("not empty"), std::string::npos);
    EXPECT_TRUE(fs::exists(used / "keep.txt"));

    const Scratch file("file");
    std::ofstream(file.str()) << "x";
    EXPECT_FALSE(write_shards(file.str(), columns, 2));
    const Scratch zero("zero");
    EXPECT_FALSE(write_shards(zero.str(), columns, 0));

    const Scratch empty("empty-ok");
    fs::create_directories(empty.str());
    EXPECT_TRUE(write_shards(empty.str(), columns, 2));
}

TEST(ProfileShards, NamesKeepByteOrderBeyondFiveDigits) {
    EXPECT_EQ(shard_name(7, 10), "part-00007.packed");
    EXPECT_EQ(shard_name(99'999, 100'000), "part-99999.packed");
    EXPECT_EQ(shard_name(99'999, 100'001), "part-099999.packed");
    EXPECT_LT(shard_name(99'999, 100'001), shard_name(100'000, 100'001));
}

}  // namespace
}  // namespace vorn_package
