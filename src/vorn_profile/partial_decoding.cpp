// Reading a partial report from bytes. Every count is checked against the bytes left before
// anything is reserved, every number a report or a merge relies on is checked against the others
// (ascending lists, sums of counts, unique groups), and the checksum before any of it, so that
// bytes that read are a partial some query made.
#include <xxhash.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <numeric>

#include "byte_codec.hpp"
#include "grouping.hpp"
#include "partial_layout.hpp"
#include "partial_state.hpp"
#include "query_codec.hpp"
#include "vorn_profile/partial_bytes.hpp"

namespace vorn_profile {
namespace {

namespace layout = detail::partial_layout;
using detail::ByteReader;
using vorn_package::ReadError;

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%016" PRIx64, value);
    return text;
}

// The fewest bytes an encoded item takes, for bounding counts.
constexpr std::uint64_t kGroupSize = 8 + 8 + 4 + 3;  // text, number, 4 figures, 3 lists
constexpr std::uint64_t kCandidateSize = 4 + 4 + 8 + 8 + 4 + 4 + 1 + 8 * 3;
constexpr std::uint64_t kEntrySize = 16;
constexpr std::uint64_t kPieceSize = 24;

class Decoder {
public:
    explicit Decoder(std::shared_ptr<const std::string> bytes)
        : owner_(std::move(bytes)),
          bytes_(*owner_),
          in_(bytes_, std::min<std::uint64_t>(layout::kHeaderSize, bytes_.size()), bytes_.size()) {}

    vorn_package::Result<QueryPartial, ReadError> run() {
        state_ = std::make_unique<QueryPartial::State>();
        state_->owners.push_back(owner_);
        if (!header() || !request() || !totals() || !pieces() || !groups() || !unique_groups() ||
            !listing() || !end()) {
            return vorn_package::Unexpected<ReadError>{{in_.error_offset(), path_, in_.error()}};
        }
        return detail::PartialAccess::make(std::move(state_));
    }

private:
    bool fail(std::uint64_t at, std::string message) { return in_.fail(at, std::move(message)); }

    bool header() {
        path_ = "header";
        if (!is_partial_bytes(bytes_)) {
            return fail(0, "not a partial report (wrong magic number)");
        }
        if (bytes_.size() < layout::kHeaderSize) {
            return fail(bytes_.size(), "the input ends inside the header (" +
                                           std::to_string(bytes_.size()) +
                                           " bytes, the header alone is " +
                                           std::to_string(layout::kHeaderSize) + ")");
        }
        ByteReader head(bytes_, layout::kVersionAt, layout::kHeaderSize);
        const std::uint32_t version = head.u32();
        if (version != kPartialFormatVersion) {
            return fail(layout::kVersionAt, "unsupported partial format version " +
                                                std::to_string(version) +
                                                " (this build reads version " +
                                                std::to_string(kPartialFormatVersion) + ")");
        }
        if (const std::uint32_t reserved = head.u32(); reserved != 0) {
            return fail(layout::kReservedAt,
                        "reserved field holds " + std::to_string(reserved) + ", expected 0");
        }
        const std::uint64_t size = head.u64();
        if (size != bytes_.size()) {
            return fail(layout::kSizeAt,
                        "the header gives " + std::to_string(size) + " bytes, but there are " +
                            std::to_string(bytes_.size()) +
                            (size > bytes_.size() ? " (truncated)" : " (extended)"));
        }
        const std::uint64_t stored = head.u64();
        const std::uint64_t computed =
            XXH3_64bits(bytes_.data() + layout::kHeaderSize, bytes_.size() - layout::kHeaderSize);
        if (stored != computed) {
            return fail(layout::kChecksumAt, "checksum mismatch (stored " + hex(stored) +
                                                 ", computed " + hex(computed) +
                                                 "): the partial is damaged");
        }
        return true;
    }

    bool request() {
        path_ = "request";
        State& s = *state_;
        s.clock_hz = in_.u64();
        const std::uint64_t flag_at = in_.position();
        const std::uint8_t window = in_.u8();
        if (in_.failed()) {
            return false;
        }
        if (window > 1) {
            return fail(flag_at, "window flag " + std::to_string(window) + " (0 or 1)");
        }
        if (window == 1) {
            const std::uint64_t from = in_.u64();
            const std::uint64_t to = in_.u64();
            s.window = TimeWindow{from, to};
        }
        path_ = "query";
        return detail::decode_query(in_, s.query);
    }

    bool totals() {
        path_ = "totals";
        State& s = *state_;
        s.tile_count = in_.u64();
        s.sample_count = in_.u64();
        const std::uint64_t matched_at = in_.position();
        s.matched_sample_count = in_.u64();
        s.profile_span_cycles = in_.u64();
        const std::uint64_t offered_at = in_.position();
        s.offered = in_.u64();
        if (in_.failed()) {
            return false;
        }
        if (s.matched_sample_count > s.sample_count) {
            return fail(matched_at, std::to_string(s.matched_sample_count) +
                                        " matched samples of " + std::to_string(s.sample_count));
        }
        // Every matched sample is a candidate of the listing, when there is one.
        const std::uint64_t offered = s.query.sample_limit > 0 ? s.matched_sample_count : 0;
        if (s.offered != offered) {
            return fail(offered_at, std::to_string(s.offered) + " listing candidates, expected " +
                                        std::to_string(offered));
        }
        return true;
    }

    bool pieces() {
        path_ = "pieces";
        State& s = *state_;
        const std::uint64_t count = in_.count(kPieceSize, "pieces");
        std::uint64_t tiles = 0;
        s.pieces.reserve(count);
        for (std::uint64_t i = 0; i < count; ++i) {
            path_ = "pieces[" + std::to_string(i) + "]";
            const std::uint64_t at = in_.position();
            detail::PartialPiece piece;
            piece.source = in_.u64();
            piece.first = in_.u64();
            piece.last = in_.u64();
            if (in_.failed()) {
                return false;
            }
            if (piece.first >= piece.last) {
                return fail(at + 8, "tiles [" + std::to_string(piece.first) + ", " +
                                        std::to_string(piece.last) + ") hold no tile");
            }
            tiles += piece.last - piece.first;
            if (tiles < piece.last - piece.first) {
                return fail(at + 8, "the pieces' tiles overflow a 64-bit count");
            }
            s.pieces.push_back(piece);
        }
        if (!in_.failed() && tiles != s.tile_count) {
            return fail(in_.position(), "the pieces hold " + std::to_string(tiles) +
                                            " tiles, the totals " + std::to_string(s.tile_count));
        }
        return !in_.failed();
    }

    /// The identity must be one that the query's grouping makes.
    bool identity(std::uint64_t at, const detail::GroupIdentity& id) {
        const GroupBy by = state_->query.group_by;
        const bool numbered = by == GroupBy::Phase || by == GroupBy::Tile;
        if (numbered && !id.text.empty()) {
            return fail(at, "a group by number has a name text");
        }
        if (!numbered && id.number != 0) {
            return fail(at + 8 + id.text.size(), "a group by text has a number");
        }
        if (by == GroupBy::Tile && id.number > UINT32_MAX) {
            return fail(at + 8, "tile number " + std::to_string(id.number) + " past 32 bits");
        }
        if (by == GroupBy::Kind) {
            bool kind = false;
            for (const StepKind k : {StepKind::Exchange, StepKind::Compute,
                                     StepKind::Synchronization, StepKind::Idle}) {
                kind |= detail::step_kind_name(k) == id.text;
            }
            if (!kind) {
                return fail(at, "a group by kind that names no kind");
            }
        }
        if (!detail::valid_utf8(id.text)) {
            return fail(at, "a group name that is not valid UTF-8");
        }
        return true;
    }

    /// The next item of an ascending list written by `write_ascending`: the first as it is,
    /// the others past `previous`; false (with the error set) past `limit`.
    bool next_ascending(bool first, std::uint64_t previous, std::uint64_t limit,
                        std::uint64_t& item) {
        const std::uint64_t at = in_.position();
        const std::uint64_t step = in_.varint();
        if (in_.failed()) {
            return false;
        }
        if (!first && (previous >= limit || step > limit - previous - 1)) {
            return fail(at, "an ascending list's item past " + std::to_string(limit));
        }
        item = first ? step : previous + 1 + step;
        if (item > limit) {
            return fail(at, "an ascending list's item past " + std::to_string(limit));
        }
        return true;
    }

    /// The number and covered cycles of the phase occurrences of a group closed where it was
    /// made, which lists none: only a query grouped by tile alone closes groups, and each of
    /// its occurrences holds one of the group's samples at least.
    bool closed_occurrences(std::uint64_t at, detail::PartialGroup& group) {
        const Query& query = state_->query;
        if (query.group_by != GroupBy::Tile || !query.then_group_by.empty()) {
            return fail(at, "a group met in no phase occurrence");
        }
        const std::uint64_t count_at = in_.position();
        group.closed_phase_count = in_.varint();
        group.closed_phase_cycles = in_.varint();
        if (!in_.failed() &&
            (group.closed_phase_count == 0 || group.closed_phase_count > group.sample_count)) {
            return fail(count_at, std::to_string(group.closed_phase_count) +
                                      " phase occurrences for " +
                                      std::to_string(group.sample_count) + " samples");
        }
        return !in_.failed();
    }

    bool group_lists(detail::PartialGroup& group) {
        detail::PartialGroups& groups = state_->groups;
        std::uint64_t at = in_.position();
        const std::uint64_t tiles = in_.varint_count(1, "tiles");
        if (!in_.failed() && tiles == 0) {
            return fail(at, "a group met on no tile");
        }
        std::uint64_t item = 0;
        for (std::uint64_t i = 0; i < tiles; ++i) {
            if (!next_ascending(i == 0, item, UINT32_MAX, item)) {
                return false;
            }
            groups.tiles.items.push_back(static_cast<std::uint32_t>(item));
        }
        groups.tiles.close();

        at = in_.position();
        const std::uint64_t occurrences = in_.varint_count(2, "phase occurrences");
        if (!in_.failed() && occurrences == 0 && !closed_occurrences(at, group)) {
            return false;
        }
        for (std::uint64_t i = 0; i < occurrences; ++i) {
            if (!next_ascending(i == 0, item, UINT64_MAX, item)) {
                return false;
            }
            groups.occurrences.items.push_back(item);
            const std::uint64_t runs = in_.varint_count(2, "covered runs");
            Interval run;
            for (std::uint64_t r = 0; r < runs; ++r) {
                // Each start past the end before it, each end past its start.
                if (!next_ascending(r == 0, run.end, UINT64_MAX, run.start) ||
                    !next_ascending(false, run.start, UINT64_MAX, run.end)) {
                    return false;
                }
                groups.coverage.items.push_back(run);
            }
            groups.coverage.close();
        }
        groups.occurrences.close();

        at = in_.position();
        const std::uint64_t durations = in_.varint_count(2, "duration runs");
        const std::size_t first = groups.durations.items.size();
        for (std::uint64_t i = 0; i < durations; ++i) {
            if (!next_ascending(i == 0, item, UINT32_MAX, item)) {
                return false;
            }
            groups.durations.items.push_back({static_cast<std::uint32_t>(item), 0});
        }
        std::uint64_t count = 0;
        std::uint64_t work = 0;
        for (std::uint64_t i = 0; i < durations; ++i) {
            at = in_.position();
            const std::uint64_t more = in_.varint();
            if (in_.failed()) {
                return false;
            }
            if (more == UINT64_MAX || count + more + 1 < count) {
                return fail(at, "duration counts overflow a 64-bit count");
            }
            detail::DurationRun& run = groups.durations.items[first + i];
            run.count = more + 1;
            count += run.count;
            work += run.value * run.count;  // modulo 2^64, as the walk adds
        }
        groups.durations.close();
        groups.uncounted.close();
        if (count != group.sample_count) {
            return fail(at, std::to_string(count) + " durations for " +
                                std::to_string(group.sample_count) + " samples");
        }
        if (work != group.work_cycles) {
            return fail(at, "durations that do not add up to the work cycles");
        }
        group.maximum = groups.durations.items.back().value;
        return true;
    }

    bool groups() {
        path_ = "groups";
        const std::uint64_t count = in_.count(kGroupSize, "groups");
        detail::PartialGroups& groups = state_->groups;
        groups.groups.reserve(count);
        std::uint64_t samples = 0;
        for (std::uint64_t g = 0; g < count; ++g) {
            path_ = "groups[" + std::to_string(g) + "]";
            const std::uint64_t at = in_.position();
            group_at_.push_back(at);
            detail::PartialGroup group;
            group.identity.text = in_.text();
            group.identity.number = in_.u64();
            if (in_.failed() || !identity(at, group.identity)) {
                return false;
            }
            const std::uint64_t counts_at = in_.position();
            group.sample_count = in_.varint();
            group.work_cycles = in_.varint();
            const std::uint64_t offsets_at = in_.position();
            group.first_offset = in_.varint();
            group.last_offset = in_.varint();
            if (in_.failed()) {
                return false;
            }
            if (group.sample_count == 0) {
                return fail(counts_at, "a group of no sample");
            }
            if (group.first_offset > group.last_offset) {
                return fail(offsets_at, "a group that ends before it begins");
            }
            if (!group_lists(group)) {
                return false;
            }
            samples += group.sample_count;
            if (samples < group.sample_count) {
                return fail(counts_at, "group samples overflow a 64-bit count");
            }
            groups.groups.push_back(group);
        }
        if (!in_.failed() && samples != state_->matched_sample_count) {
            return fail(in_.position(),
                        "the groups hold " + std::to_string(samples) + " samples, the totals " +
                            std::to_string(state_->matched_sample_count) + " matched");
        }
        return !in_.failed();
    }

    /// Each group name once: merging finds a group by its identity.
    bool unique_groups() {
        path_ = "groups";
        const auto& groups = state_->groups.groups;
        std::vector<std::uint32_t> order(groups.size());
        std::iota(order.begin(), order.end(), 0U);
        const auto key = [&](std::uint32_t g) {
            return std::pair(groups[g].identity.text, groups[g].identity.number);
        };
        std::sort(order.begin(), order.end(),
                  [&](std::uint32_t a, std::uint32_t b) { return key(a) < key(b); });
        for (std::size_t i = 1; i < order.size(); ++i) {
            if (key(order[i - 1]) == key(order[i])) {
                const std::uint32_t later = std::max(order[i - 1], order[i]);
                path_ = "groups[" + std::to_string(later) + "]";
                return fail(group_at_[later], "the group is listed twice");
            }
        }
        return true;
    }

    bool record(SampleRecord& record) {
        record.phase = in_.u32();
        record.epoch = in_.u32();
        const std::uint64_t kind_at = in_.position();
        const std::uint8_t kind = in_.u8();
        if (in_.failed()) {
            return false;
        }
        if (kind > static_cast<std::uint8_t>(StepKind::Idle)) {
            return fail(kind_at, "kind " + std::to_string(kind) + " (kinds are 0 to 3)");
        }
        record.kind = detail::step_kind_name(static_cast<StepKind>(kind));
        if (!text(record.operation) || !text(record.kernel)) {
            return false;
        }
        const std::uint64_t entries = in_.count(kEntrySize, "metadata entries");
        record.metadata.resize(entries);
        for (MetadataEntry& entry : record.metadata) {
            if (!text(entry.name) || !text(entry.value)) {
                return false;
            }
        }
        return !in_.failed();
    }

    bool text(std::string& out) {
        const std::uint64_t at = in_.position();
        const std::string_view read = in_.text();
        if (!in_.failed() && !detail::valid_utf8(read)) {
            return fail(at, "a text that is not valid UTF-8");
        }
        out = read;
        return !in_.failed();
    }

    bool listing() {
        path_ = "listing";
        State& s = *state_;
        const std::uint64_t at = in_.position();
        const std::uint64_t count = in_.count(kCandidateSize, "listed samples");
        if (in_.failed()) {
            return false;
        }
        const std::uint64_t expected = std::min(s.query.sample_limit, s.offered);
        if (count != expected) {
            return fail(at, std::to_string(count) + " listed samples, expected " +
                                std::to_string(expected) +
                                " (the sample limit, or every candidate)");
        }
        s.listing.reserve(count);
        s.records.reserve(count);
        for (std::uint64_t i = 0; i < count; ++i) {
            path_ = "listing[" + std::to_string(i) + "]";
            const std::uint64_t item_at = in_.position();
            detail::RankedSample ranked;
            ranked.tile = in_.u32();
            ranked.duration = in_.u32();
            ranked.offset = in_.u64();
            ranked.sequence = in_.u64();
            ranked.sample = i;
            if (in_.failed()) {
                return false;
            }
            if (ranked.sequence >= s.offered) {
                return fail(item_at + 16, "candidate number " + std::to_string(ranked.sequence) +
                                              " of " + std::to_string(s.offered));
            }
            if (i > 0 && !detail::SampleListing<std::uint64_t>::before(s.listing.back(), ranked)) {
                return fail(item_at, "listed samples not in listing order");
            }
            s.listing.push_back(ranked);
            if (!record(s.records.emplace_back())) {
                return false;
            }
            s.records.back().physical_tile = ranked.tile;
            s.records.back().duration = ranked.duration;
            s.records.back().offset = ranked.offset;
        }
        return true;
    }

    bool end() {
        path_ = "end";
        if (in_.left() != 0) {
            return fail(in_.position(),
                        std::to_string(in_.left()) + " bytes after the last listed sample");
        }
        return true;
    }

    using State = QueryPartial::State;
    std::shared_ptr<const std::string> owner_;
    std::string_view bytes_;
    ByteReader in_;
    std::string path_;
    std::unique_ptr<State> state_;
    std::vector<std::uint64_t> group_at_;  // where each group begins
};

}  // namespace

vorn_package::Result<QueryPartial, ReadError> partial_from_bytes(std::string_view bytes) {
    return Decoder(std::make_shared<const std::string>(bytes)).run();
}

}  // namespace vorn_profile
