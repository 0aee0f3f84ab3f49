// vorn_package/profile_columns.hpp
//
// A profile held as columns: one flat array per sample field, every text stored once in a
// table and referred to by number, and the distinct steps (kind, kernel, operation, metadata)
// stored once in a table of their own. A profile of 10^8 samples fits in memory this way (28
// bytes a sample plus what its steps and texts share), a walk over it reads a few sequential
// arrays, and a packed file maps straight onto it.
//
//     vorn_package::ProfileColumns columns = vorn_package::to_columns(report);
//     assert(vorn_package::to_report(columns) == report);
//
// The arrays are views; `storage` keeps whatever they point into alive (vectors built in memory,
// or a mapped file). Copies are cheap and share the storage.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vorn_package/profile.hpp"

namespace vorn_package {

/// One metadata entry of a step: text numbers of its name and value.
struct MetadataPair {
    std::uint32_t name = 0;
    std::uint32_t value = 0;

    friend bool operator==(const MetadataPair&, const MetadataPair&) = default;
};

struct ProfileColumns {
    std::uint64_t clock_hz = 0;

    // Tiles, in stored order. Tile `t` holds the samples [tile_sample_begin[t],
    // tile_sample_begin[t + 1]); `tile_sample_begin` has one entry more than there are tiles.
    std::span<const std::uint32_t> tile_physical;
    std::span<const std::uint64_t> tile_sample_begin;

    // Samples, tile after tile, each tile's in stored order.
    std::span<const std::uint32_t> sample_tile;  ///< index into the tile arrays
    std::span<const std::uint32_t> start_cycle;
    std::span<const std::uint32_t> end_cycle;
    std::span<const std::uint32_t> phase;
    std::span<const std::uint32_t> epoch;
    std::span<const std::uint32_t> local_index;
    std::span<const std::uint32_t> step;  ///< index into the step arrays

    // Distinct steps. Step `s` has the metadata entries [step_metadata_begin[s],
    // step_metadata_begin[s + 1]) of `metadata`, in stored order.
    std::span<const ProfileStepKind> step_kind;
    std::span<const std::uint32_t> step_kernel;     ///< text number
    std::span<const std::uint32_t> step_operation;  ///< text number
    std::span<const std::uint64_t> step_metadata_begin;
    std::span<const MetadataPair> metadata;

    // Distinct texts: text `i` is the bytes [text_begin[i], text_begin[i + 1]). No text occurs
    // twice, so two samples share a kernel exactly when they share its number.
    std::span<const std::uint64_t> text_begin;
    std::span<const char> text_bytes;

    std::shared_ptr<const void> storage;

    std::uint64_t tile_count() const { return tile_physical.size(); }
    std::uint64_t sample_count() const { return start_cycle.size(); }
    std::uint64_t step_count() const { return step_kind.size(); }
    std::uint64_t text_count() const { return text_begin.empty() ? 0 : text_begin.size() - 1; }

    std::string_view text(std::uint32_t number) const {
        const std::uint64_t begin = text_begin[number];
        return {text_bytes.data() + begin,
                static_cast<std::size_t>(text_begin[number + 1] - begin)};
    }
    std::span<const MetadataPair> step_metadata(std::uint32_t step_number) const {
        const std::uint64_t begin = step_metadata_begin[step_number];
        return metadata.subspan(begin, step_metadata_begin[step_number + 1] - begin);
    }
};

/// One metadata entry as texts, for the builder.
struct MetadataText {
    std::string_view name;
    std::string_view value;
};

/// Builds columns sample by sample, interning texts and steps as they come. Used by the
/// readers, the generator and anything else that makes a profile without records.
class ColumnsBuilder {
public:
    ColumnsBuilder();
    ~ColumnsBuilder();
    ColumnsBuilder(ColumnsBuilder&&) noexcept;
    ColumnsBuilder& operator=(ColumnsBuilder&&) noexcept;

    void set_clock_hz(std::uint64_t clock_hz);
    /// Room for about this many samples, to spare regrowth when the count is known.
    void reserve_samples(std::uint64_t samples);

    /// Starts a tile; the samples added next belong to it.
    void begin_tile(std::uint32_t physical_tile);

    /// The number of a text, adding it when it is new.
    std::uint32_t intern(std::string_view text);
    /// The number of a step, adding it when it is new. Texts are numbers from `intern`.
    std::uint32_t intern_step(ProfileStepKind kind, std::uint32_t kernel, std::uint32_t operation,
                              std::span<const MetadataPair> metadata);

    /// Appends a sample to the current tile (a tile must have been begun).
    void add_sample(std::uint32_t start_cycle, std::uint32_t end_cycle, std::uint32_t phase,
                    std::uint32_t epoch, std::uint32_t local_index, std::uint32_t step);
    /// The same, with the step given as texts.
    void add_sample(const CycleSample& sample);

    /// Appends every tile of `part` after the tiles so far, its texts and steps interned as by
    /// the calls above (the clock is left as set). The sample arrays are copied in bulk.
    void append(const ProfileColumns& part);

    std::uint64_t sample_count() const;

    /// The finished columns; the builder is left empty.
    ProfileColumns finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

/// The columns of a profile of records.
ProfileColumns to_columns(const ProfileReport& report);

/// The records back: `to_report(to_columns(r)) == r` for every profile `r`.
ProfileReport to_report(const ProfileColumns& columns);

/// One sample as a record.
CycleSample sample_record(const ProfileColumns& columns, std::uint64_t sample);

}  // namespace vorn_package
