// Partial reports as bytes: random cuts of a profile into parts, each written and read back,
// merged in random trees, finish as the query over the whole profile; what cannot be merged is
// said; damaged, truncated and hostile bytes are errors.
#include "vorn_profile/partial_bytes.hpp"

#include <gtest/gtest.h>
#include <xxhash.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "profile_builder.hpp"
#include "query_model.hpp"

namespace vorn_profile {
namespace {

using namespace model;
using vorn_test::step;

/// The query grouped by its first key only: a group of several keys is known by a step of the
/// profile it was made from, so such partials are neither written nor merged across profiles.
Query one_key(Query query) {
    query.then_group_by.clear();
    return query;
}

QueryPartial read_back(QueryPartial part) {
    const std::string bytes = partial_bytes(part);
    auto read = partial_from_bytes(bytes);
    if (!read) {
        ADD_FAILURE() << "a partial as bytes does not read back: " << to_string(read.error());
        return part;
    }
    // Written again, the same bytes: nothing is lost or added on the way.
    EXPECT_EQ(partial_bytes(*read), bytes);
    return *std::move(read);
}

/// Merges `parts[first, last)` in a random tree that keeps their order, checking that every
/// pair merged may be.
QueryPartial merge_randomly(std::vector<QueryPartial>& parts, std::size_t first, std::size_t last,
                            std::mt19937_64& random) {
    if (last - first == 1) {
        return std::move(parts[first]);
    }
    const std::size_t cut = first + 1 + random() % (last - first - 1);
    QueryPartial left = merge_randomly(parts, first, cut, random);
    QueryPartial right = merge_randomly(parts, cut, last, random);
    const auto conflict = merge_conflict(left, right);
    EXPECT_FALSE(conflict) << *conflict;
    QueryPartial merged = merge(std::move(left), std::move(right));
    return random() % 3 == 0 ? read_back(std::move(merged)) : std::move(merged);
}

/// The partials of a random cut of the tiles, most of them written as bytes and read back.
std::vector<QueryPartial> random_parts(const vorn_package::ProfileColumns& columns, const Query& q,
                                       const std::optional<TimeWindow>& window,
                                       std::mt19937_64& random) {
    const std::uint64_t tiles = columns.tile_count();
    std::vector<std::uint64_t> cuts(random() % 5);
    for (std::uint64_t& cut : cuts) {
        cut = random() % (tiles + 1);
    }
    cuts.push_back(tiles);
    std::sort(cuts.begin(), cuts.end());
    std::vector<QueryPartial> parts;
    std::uint64_t first = 0;
    for (const std::uint64_t cut : cuts) {
        QueryPartial part = partial(columns, q, {first, cut}, window);
        parts.push_back(random() % 4 == 0 ? std::move(part) : read_back(std::move(part)));
        first = cut;
    }
    return parts;
}

TEST(PartialBytesDifferential, PartsReadBackAndMergedInRandomTreesGiveTheQuery) {
    std::mt19937_64 random(2026);
    for (int round = 0; round < 600; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const vorn_package::ProfileReport profile = random_profile(random);
        const vorn_package::ProfileColumns columns = vorn_package::to_columns(profile);
        const Query q = one_key(random_query(random));
        std::optional<TimeWindow> window;
        if (random() % 4 == 0) {
            window = random_window(random, profile);
        }
        const QueryReport want =
            window ? query_window(columns, q, *window).report : query(columns, q);
        std::vector<QueryPartial> parts = random_parts(columns, q, window, random);
        QueryPartial merged = merge_randomly(parts, 0, parts.size(), random);
        EXPECT_EQ(partial_window(merged), window);
        EXPECT_EQ(partial_clock_hz(merged), columns.clock_hz);
        expect_same(finish(std::move(merged)), want);
        if (HasFailure()) {
            return;
        }
    }
}

// The shards of one profile are profiles of their own: their parts, read back, merge in shard
// order into the whole profile's report, listing ties among them included.
TEST(PartialBytesDifferential, PartsOfSeparateShardsGiveTheQueryOfTheWhole) {
    std::mt19937_64 random(8);
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const vorn_package::ProfileReport whole = random_profile(random);
        Query q = one_key(random_query(random));
        q.sample_limit = random() % 2 ? UINT64_MAX : random() % 4;
        std::vector<QueryPartial> parts;
        for (std::size_t first = 0; first < whole.tiles.size();) {
            const std::size_t last = first + 1 + random() % 3;
            vorn_package::ProfileReport shard;
            shard.clock_hz = whole.clock_hz;
            shard.tiles.assign(whole.tiles.begin() + first,
                               whole.tiles.begin() + std::min(last, whole.tiles.size()));
            parts.push_back(read_back(partial(vorn_package::to_columns(shard), q)));
            first = last;
        }
        if (parts.empty()) {
            continue;
        }
        expect_same(finish(merge_randomly(parts, 0, parts.size(), random)),
                    query(vorn_package::to_columns(whole), q));
        if (HasFailure()) {
            return;
        }
    }
}

// Closed partials of shards, grouped by tile, keep a tile's phase occurrences summed up: merged
// in shard order they give the whole profile's report, unless a tile is met in two shards with
// its occurrences summed up on one side, which merge_conflict then names.
TEST(PartialBytesDifferential, ClosedPartsOfShardsGiveTheQueryOrNameATileMetAgain) {
    std::mt19937_64 random(31);
    int conflicts = 0;
    for (int round = 0; round < 400; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const vorn_package::ProfileReport whole = random_profile(random);
        Query q = one_key(random_query(random));
        if (round % 4 != 0) {
            q.group_by = GroupBy::Tile;
        }
        std::vector<QueryPartial> parts;
        std::vector<std::set<std::uint32_t>> shard_tiles;
        for (std::size_t first = 0; first < whole.tiles.size();) {
            const std::size_t last = std::min(first + 1 + random() % 3, whole.tiles.size());
            vorn_package::ProfileReport shard;
            shard.clock_hz = whole.clock_hz;
            shard.tiles.assign(whole.tiles.begin() + first, whole.tiles.begin() + last);
            shard_tiles.emplace_back();
            for (const auto& tile : shard.tiles) {
                shard_tiles.back().insert(tile.physical_tile);
            }
            parts.push_back(read_back(closed_partial(vorn_package::to_columns(shard), q)));
            first = last;
        }
        if (parts.empty()) {
            continue;
        }
        const QueryReport want = query(vorn_package::to_columns(whole), q);
        QueryPartial merged = std::move(parts[0]);
        std::set<std::uint32_t> seen = shard_tiles[0];
        bool met_again = false;
        for (std::size_t at = 1; at < parts.size(); ++at) {
            if (const auto conflict = merge_conflict(merged, parts[at])) {
                // Only a tile of an earlier shard met again, and only grouped by tile.
                EXPECT_EQ(q.group_by, GroupBy::Tile);
                const auto tile =
                    std::stoull(conflict->substr(conflict->find_first_of("0123456789")));
                EXPECT_TRUE(seen.contains(static_cast<std::uint32_t>(tile)) &&
                            shard_tiles[at].contains(static_cast<std::uint32_t>(tile)))
                    << *conflict;
                EXPECT_NE(conflict->find("summed up"), std::string::npos) << *conflict;
                met_again = true;
                ++conflicts;
                break;
            }
            seen.insert(shard_tiles[at].begin(), shard_tiles[at].end());
            merged = read_back(merge(std::move(merged), std::move(parts[at])));
        }
        if (!met_again) {
            expect_same(finish(std::move(merged)), want);
        }
        if (HasFailure()) {
            return;
        }
    }
    EXPECT_GT(conflicts, 0);  // tiles met in two shards were among the profiles
}

vorn_package::ProfileColumns small_columns(std::uint64_t clock_hz = 1000) {
    auto profile = vorn_test::profile({{1, {step(0, 10, "gemm"), step(10, 30, "add")}},
                                       {2, {step(0, 5, "gemm")}},
                                       {3, {step(0, 7, "")}}});
    profile.clock_hz = clock_hz;
    return vorn_package::to_columns(profile);
}

TEST(PartialConflict, NamesDifferentClocksQueriesAndWindows) {
    const auto columns = small_columns();
    Query q;
    Query by_phase;
    by_phase.group_by = GroupBy::Phase;
    EXPECT_EQ(merge_conflict(partial(columns, q), partial(small_columns(2000), q)),
              "different clocks: 1000 Hz and 2000 Hz");
    EXPECT_EQ(merge_conflict(partial(columns, q), partial(columns, by_phase)),
              "different queries: their group_by differ");
    Query limited = q;
    limited.sample_limit = 3;
    EXPECT_EQ(merge_conflict(partial(columns, q), read_back(partial(columns, limited))),
              "different queries: their sample_limit differ");
    EXPECT_EQ(merge_conflict(partial(columns, q, {}, TimeWindow{0, 9}), partial(columns, q)),
              "different windows: [0, 9) and none");
}

// Groups of several keys are known by the steps of the profile they were made from: within one
// profile their ranges merge; across profiles, or as bytes, they are refused rather than
// merged into groups named after the wrong steps.
TEST(PartialConflict, SeveralKeysMergeOnlyWithinOneProfile) {
    const auto columns = small_columns();
    Query q;
    q.group_by = GroupBy::Kernel;
    q.then_group_by = {GroupBy::Tile};
    EXPECT_EQ(merge_conflict(partial(columns, q, {0, 1}), partial(columns, q, {1, 3})),
              std::nullopt);
    expect_same(finish(merge(partial(columns, q, {0, 1}), partial(columns, q, {1, 3}))),
                query(columns, q));
    auto shard = vorn_test::profile({{3, {step(0, 7, "add")}}});
    shard.clock_hz = 1000;
    EXPECT_EQ(merge_conflict(partial(columns, q), partial(vorn_package::to_columns(shard), q)),
              "partials of a query grouped by several keys merge only within one profile");
    const auto read = partial_from_bytes(partial_bytes(partial(columns, q)));
    ASSERT_FALSE(read.has_value());
    EXPECT_NE(read.error().message.find("several keys"), std::string::npos);
}

TEST(PartialConflict, NamesRangesOfOneProfileOutOfOrderOverlappingOrApart) {
    const auto columns = small_columns();
    const Query q;
    const auto part = [&](std::uint64_t first, std::uint64_t last) {
        return read_back(partial(columns, q, {first, last}));
    };
    EXPECT_FALSE(merge_conflict(part(0, 1), part(1, 3)));
    EXPECT_FALSE(merge_conflict(part(0, 1), partial(columns, q, {1, 1})));  // holds no tile
    EXPECT_EQ(merge_conflict(part(1, 3), part(0, 1)),
              "tiles [1, 3) and then [0, 1) of one profile: out of order");
    EXPECT_EQ(merge_conflict(part(0, 2), part(1, 3)),
              "tiles [0, 2) and then [1, 3) of one profile: they overlap");
    EXPECT_EQ(merge_conflict(part(0, 3), part(0, 3)),
              "tiles [0, 3) and then [0, 3) of one profile: they overlap");
    EXPECT_EQ(merge_conflict(part(0, 1), part(2, 3)),
              "tiles [0, 1) and then [2, 3) of one profile: the tiles [1, 2) between them are "
              "missing");
    // Merged ranges are one range: the next must follow the last of them.
    EXPECT_FALSE(merge_conflict(merge(part(0, 1), part(1, 2)), part(2, 3)));
    // Two profiles of the same shape are told apart by their samples.
    auto other = vorn_test::profile({{1, {step(1, 10, "gemm"), step(10, 30, "add")}},
                                     {2, {step(0, 5, "gemm")}},
                                     {3, {step(0, 7, "")}}});
    other.clock_hz = 1000;
    EXPECT_FALSE(merge_conflict(part(0, 3), partial(vorn_package::to_columns(other), q)));
}

TEST(PartialLimits, LimitChosenAtFinish) {
    const auto columns = small_columns();
    Query q;
    const QueryReport all = finish(read_back(partial(columns, q)));
    ASSERT_EQ(all.groups.size(), 3U);
    const QueryReport cut = finish(with_limit(read_back(partial(columns, q)), 1));
    q.limit = 1;
    EXPECT_EQ(cut, query(columns, q));
}

// ---- Damaged and hostile bytes -------------------------------------------------------------

std::string some_partial_bytes() {
    Query q;
    q.sample_limit = 2;
    q.metadata_key = "block";
    return partial_bytes(partial(small_columns(), q));
}

/// `bytes` with the checksum made right again, so that the checks behind it are reached.
std::string resealed(std::string bytes) {
    const std::uint64_t sum = XXH3_64bits(bytes.data() + 32, bytes.size() - 32);
    for (int i = 0; i < 8; ++i) {
        bytes[24 + i] = static_cast<char>(sum >> (8 * i));
    }
    return bytes;
}

std::string read_error(const std::string& bytes) {
    const auto read = partial_from_bytes(bytes);
    return read ? "" : to_string(read.error());
}

TEST(PartialBytesErrors, NameWhatIsWrong) {
    const std::string good = some_partial_bytes();
    ASSERT_TRUE(partial_from_bytes(good));
    EXPECT_EQ(read_error("{\"clock_hz\": 1}"),
              "at byte 0 (header): not a partial report (wrong magic number)");
    EXPECT_EQ(read_error(good.substr(0, 20)),
              "at byte 20 (header): the input ends inside the header (20 bytes, the header alone "
              "is 32)");
    EXPECT_NE(read_error(good.substr(0, good.size() - 1)).find("(truncated)"), std::string::npos);
    EXPECT_NE(read_error(good + "x").find("(extended)"), std::string::npos);
    std::string flipped = good;
    flipped[good.size() / 2] ^= 1;
    EXPECT_NE(read_error(flipped).find("checksum mismatch"), std::string::npos);
    std::string version = good;
    version[8] = 2;
    EXPECT_EQ(read_error(version),
              "at byte 8 (header): unsupported partial format version 2 (this build reads "
              "version 1)");
}

/// Every byte of the body of `good` changed in turn, checksum resealed: an error or a partial
/// that writes back as the same bytes and finishes, never a crash.
void expect_every_change_refused_or_kept(const std::string& good) {
    for (std::size_t at = 32; at < good.size(); ++at) {
        for (const char change : {'\x01', '\x80', '\xff'}) {
            std::string bytes = good;
            bytes[at] = static_cast<char>(bytes[at] ^ change);
            bytes = resealed(bytes);
            auto read = partial_from_bytes(bytes);
            if (read) {
                EXPECT_EQ(partial_bytes(*read), bytes) << "byte " << at;
                finish(*std::move(read));
            } else {
                EXPECT_LE(read.error().offset, bytes.size());
            }
        }
    }
}

TEST(PartialBytesErrors, HostileCountsAndFieldsAreRefusedUnderAValidChecksum) {
    const std::string good = some_partial_bytes();
    // The query's field count (after the clock and the window flag) set past any input.
    std::string fields = good;
    fields[32 + 8 + 1 + 3] = '\x7f';
    EXPECT_NE(read_error(resealed(fields)).find("query fields cannot fit"), std::string::npos);
    // The first field's tag made unknown.
    std::string tag = good;
    tag[32 + 8 + 1 + 4] = '\x63';
    EXPECT_NE(read_error(resealed(tag)).find("unknown query field tag 99"), std::string::npos);
    // The group_by value out of range.
    std::string group_by = good;
    group_by[32 + 8 + 1 + 4 + 2 + 8] = 9;
    EXPECT_EQ(read_error(resealed(group_by)),
              "at byte 55 (query): query field group_by: value 9 out of range (0 to 5)");
    expect_every_change_refused_or_kept(good);
}

// A closed group lists no phase occurrence but their number and covered cycles: only a query
// grouped by tile closes groups, and a group holds no more occurrences than samples.
TEST(PartialBytesErrors, ClosedGroupsAreCheckedLikeListedOnes) {
    Query q;
    q.group_by = GroupBy::Tile;
    q.sample_limit = 1;
    const auto columns = vorn_package::to_columns(vorn_test::profile(
        {{4, {step(0, 10, "a", 1), step(10, 30, "b", 2)}}, {6, {step(0, 5, "a", 1)}}}));
    const std::string closed = partial_bytes(closed_partial(columns, q));
    ASSERT_LT(closed.size(), partial_bytes(partial(columns, q)).size());
    expect_every_change_refused_or_kept(closed);

    std::string by_phase = closed;
    by_phase[55] = static_cast<char>(GroupBy::Phase);
    EXPECT_NE(read_error(resealed(by_phase)).find("a group met in no phase occurrence"),
              std::string::npos);
    // Tile 4's group: 2 samples, 30 work cycles, offsets 0 and 30, one tile, then no listed
    // occurrence and 2 closed ones of 30 cycles.
    const std::string tile_4{"\x02\x1e\x00\x1e\x01\x04\x00\x02\x1e", 9};
    const std::size_t at = closed.find(tile_4);
    ASSERT_NE(at, std::string::npos);
    std::string too_many = closed;
    too_many[at + 7] = 3;
    EXPECT_NE(read_error(resealed(too_many)).find("3 phase occurrences for 2 samples"),
              std::string::npos);
}

TEST(PartialBytesErrors, GroupsListedTwiceAreRefused) {
    // Two groups of the same figures, "a" and "b"; "b" renamed "a" in the bytes.
    const auto columns = vorn_package::to_columns(
        vorn_test::profile({{1, {step(0, 10, "a")}}, {1, {step(0, 10, "b")}}}));
    std::string bytes = partial_bytes(partial(columns, Query{}));
    const std::string name_b{"\x01\0\0\0\0\0\0\0b", 9};
    const std::size_t at = bytes.find(name_b);
    ASSERT_NE(at, std::string::npos);
    bytes[at + 8] = 'a';
    EXPECT_EQ(read_error(resealed(bytes)),
              "at byte " + std::to_string(at) + " (groups[1]): the group is listed twice");
}

}  // namespace
}  // namespace vorn_profile
