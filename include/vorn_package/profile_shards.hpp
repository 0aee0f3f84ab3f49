// vorn_package/profile_shards.hpp
//
// One profile stored as several files: a directory whose shards are the regular files in it
// named `*.packed` or `*.json`, taken in byte order of their names; the profile's tiles are the
// shards' tiles in that order. Anything else in the directory is ignored.
//
//     auto columns = vorn_package::read_profile_shards("run/", 4);
//     // `read_profile_columns_file("run/")` reads it the same way
//
//     auto writer = vorn_package::PackedShardWriter::create("run/", tiles, 64, shard_samples);
//     vorn_package::write_columns(columns, *writer);
//     writer->finish();
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vorn_package/columns_sink.hpp"
#include "vorn_package/profile_columns.hpp"
#include "vorn_package/profile_json.hpp"
#include "vorn_package/result.hpp"

namespace vorn_package {

/// Reads the shards of `directory` as one profile, opening up to `threads` of them at once
/// (0 counts as 1). One shard is returned as it was read (a packed one stays mapped); several
/// are copied into columns of their own, texts and steps numbered anew. A directory without a
/// shard, or with shards of different clocks, is an error that names the files; an error in a
/// shard names the shard in its `path`.
[[nodiscard]] Result<ProfileColumns, ReadError> read_profile_shards(const std::string& directory,
                                                                    std::size_t threads = 1);

/// The name of shard `index` of `count`: "part-00000.packed", with more digits when `count`
/// needs them, so that byte order of the names is the order of the shards.
std::string shard_name(std::uint64_t index, std::uint64_t count);

/// How many samples each shard of `tiles_per_shard` tile records holds, for columns whose
/// tile `t` has `tile_samples(t)` samples: at least one shard, so that a profile of no tile
/// is still a directory that reads back (none when `tiles_per_shard` is 0).
template <class TileSamples>
std::vector<std::uint64_t> shard_sample_counts(std::uint64_t tiles, std::uint64_t tiles_per_shard,
                                               TileSamples tile_samples) {
    std::vector<std::uint64_t> counts;
    if (tiles_per_shard == 0) {
        return counts;  // no shard can be made; the writer refuses such a size
    }
    for (std::uint64_t first = 0; first < tiles || counts.empty(); first += tiles_per_shard) {
        std::uint64_t samples = 0;
        for (std::uint64_t t = first; t < tiles && t < first + tiles_per_shard; ++t) {
            samples += tile_samples(t);
        }
        counts.push_back(samples);
    }
    return counts;
}

/// Writes a profile as a directory of packed shards of `tiles_per_shard` tile records each
/// (the last may hold fewer), each written as it comes like a `PackedFileWriter`. A shard holds
/// only the texts and steps its samples use.
class PackedShardWriter final : public ColumnsSink {
public:
    /// Starts `directory`, which is created and must be absent or empty, for exactly `tiles`
    /// tiles in shards of `tiles_per_shard` (at least 1) holding `shard_samples` samples each.
    [[nodiscard]] static Result<PackedShardWriter, std::string> create(
        const std::string& directory, std::uint64_t tiles, std::uint64_t tiles_per_shard,
        std::vector<std::uint64_t> shard_samples);
    ~PackedShardWriter() override;
    PackedShardWriter(PackedShardWriter&&) noexcept;
    PackedShardWriter& operator=(PackedShardWriter&&) noexcept;

    void set_clock_hz(std::uint64_t clock_hz) override;
    void begin_tile(std::uint32_t physical_tile) override;
    std::uint32_t intern(std::string_view text) override;
    std::uint32_t intern_step(ProfileStepKind kind, std::uint32_t kernel, std::uint32_t operation,
                              std::span<const MetadataPair> metadata) override;
    void add_sample(std::uint32_t start_cycle, std::uint32_t end_cycle, std::uint32_t phase,
                    std::uint32_t epoch, std::uint32_t local_index, std::uint32_t step) override;

    /// Finishes the last shard: the number of shards written, or the first error met (naming
    /// the shard), also when the counts given to `create` were not met.
    [[nodiscard]] Result<std::uint64_t, std::string> finish();

private:
    struct State;
    explicit PackedShardWriter(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

/// Makes every tile of `columns` into `sink`, in stored order, each text and step interned
/// when a sample first uses it.
void write_columns(const ProfileColumns& columns, ColumnsSink& sink);

}  // namespace vorn_package
