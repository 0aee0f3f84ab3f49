// Writing a partial report as bytes: the header, then the request it was made with, its totals,
// the tiles it covers, its groups and its listed candidates with their records.
#include <xxhash.h>

#include <algorithm>

#include "byte_codec.hpp"
#include "grouping.hpp"
#include "partial_layout.hpp"
#include "partial_state.hpp"
#include "query_codec.hpp"
#include "vorn_profile/partial_bytes.hpp"

namespace vorn_profile {
namespace {

using detail::ByteWriter;

/// Writes an ascending list's items as varints: the first as it is, each other as its distance
/// past the one before (strictly ascending: `item - previous - 1`).
template <class Items, class Value>
void write_ascending(ByteWriter& out, const Items& items, Value value) {
    out.varint(items.size());
    std::uint64_t previous = 0;
    bool first = true;
    for (const auto& item : items) {
        const std::uint64_t number = value(item);
        out.varint(first ? number : number - previous - 1);
        previous = number;
        first = false;
    }
}

void write_groups(ByteWriter& out, const detail::PartialGroups& groups) {
    out.u64(groups.groups.size());
    for (std::size_t g = 0; g < groups.groups.size(); ++g) {
        const detail::PartialGroup& group = groups.groups[g];
        out.text(group.identity.text);
        out.u64(group.identity.number);
        out.varint(group.sample_count);
        out.varint(group.work_cycles);
        out.varint(group.first_offset);
        out.varint(group.last_offset);
        const auto same = [](auto number) { return std::uint64_t{number}; };
        write_ascending(out, groups.tiles[g], same);
        const std::uint64_t base = groups.occurrences.begin[g];
        const auto occurrences = groups.occurrences[g];
        out.varint(occurrences.size());
        if (occurrences.empty()) {
            // A group closed where it was made lists none: their number and covered cycles.
            out.varint(group.closed_phase_count);
            out.varint(group.closed_phase_cycles);
        }
        for (std::size_t o = 0; o < occurrences.size(); ++o) {
            out.varint(o == 0 ? occurrences[o] : occurrences[o] - occurrences[o - 1] - 1);
            // Runs apart from each other: each start past the end before, each end past its start.
            const auto runs = groups.coverage[base + o];
            out.varint(runs.size());
            std::uint64_t end = 0;
            for (std::size_t r = 0; r < runs.size(); ++r) {
                out.varint(r == 0 ? runs[r].start : runs[r].start - end - 1);
                out.varint(runs[r].end - runs[r].start - 1);
                end = runs[r].end;
            }
        }
        std::vector<detail::DurationRun> counted;
        if (!groups.uncounted[g].empty()) {
            counted = detail::counted_runs(groups, g);
        }
        const std::span<const detail::DurationRun> durations =
            groups.uncounted[g].empty() ? groups.durations[g] : std::span(counted);
        write_ascending(out, durations,
                        [](const detail::DurationRun& run) { return std::uint64_t{run.value}; });
        for (const detail::DurationRun& run : durations) {
            out.varint(run.count - 1);
        }
    }
}

std::uint8_t kind_number(std::string_view kind) {
    for (const StepKind candidate :
         {StepKind::Exchange, StepKind::Compute, StepKind::Synchronization, StepKind::Idle}) {
        if (detail::step_kind_name(candidate) == kind) {
            return static_cast<std::uint8_t>(candidate);
        }
    }
    return 0;  // records are made with one of the four names
}

void write_record(ByteWriter& out, const SampleRecord& record) {
    out.u32(record.phase);
    out.u32(record.epoch);
    out.u8(kind_number(record.kind));
    out.text(record.operation);
    out.text(record.kernel);
    out.u64(record.metadata.size());
    for (const MetadataEntry& entry : record.metadata) {
        out.text(entry.name);
        out.text(entry.value);
    }
}

void write_listing(ByteWriter& out, const QueryPartial::State& state) {
    out.u64(state.listing.size());
    for (const detail::RankedSample& ranked : state.listing) {
        out.u32(ranked.tile);
        out.u32(ranked.duration);
        out.u64(ranked.offset);
        out.u64(ranked.sequence);
        if (state.columns) {
            write_record(out, sample_record(*state.columns, {ranked.tile, ranked.duration,
                                                             ranked.offset, ranked.sample}));
        } else {
            write_record(out, state.records[ranked.sample]);
        }
    }
}

}  // namespace

bool is_partial_bytes(std::string_view bytes) {
    const auto& magic = detail::partial_layout::kMagic;
    return bytes.size() >= magic.size() &&
           std::equal(magic.begin(), magic.end(), bytes.begin(),
                      [](unsigned char m, char b) { return m == static_cast<unsigned char>(b); });
}

std::string partial_bytes(const QueryPartial& partial) {
    namespace layout = detail::partial_layout;
    const QueryPartial::State& state = detail::PartialAccess::state(partial);
    const detail::PartialGroups& groups = state.groups;
    std::string bytes;
    // About the size written, so that the text grows once.
    bytes.reserve(1024 + groups.groups.size() * 96 + groups.tiles.items.size() * 4 +
                  groups.occurrences.items.size() * 16 + groups.coverage.items.size() * 16 +
                  (groups.durations.items.size() + groups.uncounted.items.size()) * 12 +
                  state.listing.size() * 64);
    ByteWriter out(bytes);
    for (const unsigned char byte : layout::kMagic) {
        out.u8(byte);
    }
    out.u32(kPartialFormatVersion);
    out.u32(0);
    out.u64(0);  // size and checksum, once the body is written
    out.u64(0);

    out.u64(state.clock_hz);
    out.u8(state.window ? 1 : 0);
    if (state.window) {
        out.u64(state.window->from);
        out.u64(state.window->to);
    }
    detail::encode_query(out, state.query);

    out.u64(state.tile_count);
    out.u64(state.sample_count);
    out.u64(state.matched_sample_count);
    out.u64(state.profile_span_cycles);
    out.u64(state.offered);
    out.u64(state.pieces.size());
    for (const detail::PartialPiece& piece : state.pieces) {
        out.u64(piece.source);
        out.u64(piece.first);
        out.u64(piece.last);
    }
    write_groups(out, state.groups);
    write_listing(out, state);

    out.patch_u64(layout::kSizeAt, bytes.size());
    out.patch_u64(layout::kChecksumAt, XXH3_64bits(bytes.data() + layout::kHeaderSize,
                                                   bytes.size() - layout::kHeaderSize));
    return bytes;
}

}  // namespace vorn_profile
