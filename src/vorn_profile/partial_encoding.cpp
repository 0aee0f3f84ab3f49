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

void write_groups(ByteWriter& out, const detail::PartialGroups& groups) {
    out.u64(groups.groups.size());
    for (std::size_t g = 0; g < groups.groups.size(); ++g) {
        const detail::PartialGroup& group = groups.groups[g];
        out.text(group.identity.text);
        out.u64(group.identity.number);
        out.u64(group.sample_count);
        out.u64(group.work_cycles);
        out.u64(group.first_offset);
        out.u64(group.last_offset);
        out.u32(group.maximum);
        const auto tiles = groups.tiles[g];
        out.u64(tiles.size());
        for (const std::uint32_t tile : tiles) {
            out.u32(tile);
        }
        const std::uint64_t base = groups.occurrences.begin[g];
        const auto occurrences = groups.occurrences[g];
        out.u64(occurrences.size());
        for (std::size_t o = 0; o < occurrences.size(); ++o) {
            out.u64(occurrences[o]);
            const auto runs = groups.coverage[base + o];
            out.u64(runs.size());
            for (const Interval& run : runs) {
                out.u64(run.start);
                out.u64(run.end);
            }
        }
        const auto durations = groups.durations[g];
        out.u64(durations.size());
        for (const detail::DurationRun& run : durations) {
            out.u32(run.value);
            out.u64(run.count);
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
    std::string bytes;
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
