// vorn_profile/query.hpp
//
// The query engine: one pure function, `query`, that filters, groups and summarises the samples
// of a profile, and the functions it is built from. Each tile's counter readings are put on a
// time line of the tile's own that starts at 0 at the tile's first sample; durations and offsets
// are taken modulo 2^32, so counter wrap-around is harmless. The engine keeps no state, performs
// no I/O and has no error path: every profile and every query give a report.
#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vorn_package/profile.hpp"
#include "vorn_package/profile_columns.hpp"

namespace vorn_profile {

/// How matched samples are grouped.
enum class GroupBy { Kind, Kernel, Operation, Phase, Tile, Metadata };
/// Group order: the first four put the larger value first, `Name` is ascending by bytes.
enum class SortBy { PhaseCycles, WorkCycles, MaximumCycles, Samples, Name };
/// The query-side step kind; `kind_of` maps a profile's step kind to it.
enum class StepKind { Exchange, Compute, Synchronization, Idle };

/// Holds when the step has an entry named `name` (and, if `value` is given, carrying it).
struct MetadataFilter {
    std::string name;
    std::optional<std::string> value;
};

/// One request. Absent or empty criteria admit every sample; all criteria must hold at once.
struct Query {
    GroupBy group_by = GroupBy::Kernel;
    SortBy sort_by = SortBy::PhaseCycles;
    std::optional<StepKind> kind;
    std::optional<std::string> kernel;              ///< exact; "" keeps steps without kernel
    std::optional<std::string> operation_contains;  ///< case-sensitive substring
    std::set<std::uint32_t> tiles;                  ///< physical tiles
    std::set<std::uint32_t> phases;                 ///< phase numbers, any epoch
    std::vector<MetadataFilter> metadata;
    std::optional<std::string> metadata_key;  ///< entry name for `GroupBy::Metadata`; absent = ""
    std::optional<std::uint64_t> at_offset;   ///< keep samples with offset <= at < offset+duration
    std::optional<std::uint64_t> limit;       ///< groups kept after ordering
    std::uint64_t sample_limit = 0;           ///< longest matched samples to list
    std::set<std::uint32_t> epochs;           ///< epoch numbers, any phase
    /// Steps whose kernel / operation contains a match of this RE2 pattern. A pattern RE2
    /// rejects matches no step: check it first with `query_error`.
    std::optional<std::string> kernel_matches;
    std::optional<std::string> operation_matches;
    std::vector<StepKind> exclude_kinds;       ///< steps of these kinds are left out
    std::vector<std::string> exclude_kernels;  ///< exact; "" leaves out steps without kernel
    /// Further grouping keys after `group_by`: one group per distinct combination, named by the
    /// single-key names joined by " | " in the order `group_by`, then these.
    std::vector<GroupBy> then_group_by;
    /// More percentiles of each group's durations, in thousandths of a percent (99900 is
    /// p99.9), each at most 100000: `GroupSummary::percentile_cycles` in this order.
    std::vector<std::uint32_t> percentiles;
};

/// Why the query cannot be answered as meant, or nothing: a pattern RE2 rejects (naming the
/// field and RE2's message), a percentile above 100 %, more than three grouping keys or a key
/// given twice. The engine answers such a query anyway (a rejected pattern matches nothing);
/// the tool and the Python module refuse it with this message.
std::optional<std::string> query_error(const Query& query);

/// An owned copy of one metadata entry of a listed sample.
struct MetadataEntry {
    std::string name;
    std::string value;

    friend bool operator==(const MetadataEntry&, const MetadataEntry&) = default;
};

/// Statistics of one group. Cycle values lie on the tiles' normalised time lines.
struct GroupSummary {
    std::string name;
    std::map<std::string, std::string> dimensions;
    std::uint64_t sample_count = 0;
    std::uint64_t tile_count = 0;    ///< distinct physical tiles
    std::uint64_t phase_count = 0;   ///< distinct (phase, epoch) pairs
    std::uint64_t phase_cycles = 0;  ///< union of the intervals, phase occurrence by occurrence
    double phase_ms = 0.0;
    std::uint64_t work_cycles = 0;      ///< sum of durations
    double average_active_tiles = 0.0;  ///< work_cycles / phase_cycles
    double mean_cycles = 0.0;           ///< work_cycles / sample_count
    std::uint32_t p50_cycles = 0;       ///< nearest-rank below, no interpolation
    std::uint32_t p95_cycles = 0;
    std::uint32_t maximum_cycles = 0;
    std::uint64_t first_offset = 0;  ///< earliest normalised start
    std::uint64_t last_offset = 0;   ///< latest normalised end
    std::uint32_t minimum_cycles = 0;
    double stddev_cycles = 0.0;  ///< population standard deviation, from exact integer sums
    double share = 0.0;          ///< work_cycles over the work cycles of every matched sample
    std::vector<std::uint32_t> percentile_cycles;  ///< one per `Query::percentiles`, in order
    std::vector<std::string> keys;  ///< with several grouping keys, each key's own group name

    friend bool operator==(const GroupSummary&, const GroupSummary&) = default;
};

/// One listed sample, owning copies of everything it shows.
struct SampleRecord {
    std::uint32_t physical_tile = 0;
    std::uint64_t offset = 0;
    std::uint32_t duration = 0;
    std::uint32_t phase = 0;
    std::uint32_t epoch = 0;
    std::string kind;  ///< "exchange", "compute", "synchronization" or "idle"
    std::string operation;
    std::string kernel;  ///< as stored; empty stays empty
    std::vector<MetadataEntry> metadata;

    friend bool operator==(const SampleRecord&, const SampleRecord&) = default;
};

/// The answer to one query; refers to nothing in the profile.
struct QueryReport {
    std::uint64_t clock_hz = 0;
    std::uint64_t tile_count = 0;
    std::uint64_t sample_count = 0;
    std::uint64_t matched_sample_count = 0;
    std::uint64_t profile_span_cycles = 0;  ///< longest normalised tile time line
    double profile_span_ms = 0.0;
    std::optional<std::uint64_t> at_offset;
    std::vector<std::uint32_t> percentiles;  ///< the query's, naming `percentile_cycles`
    std::vector<GroupSummary> groups;
    std::vector<SampleRecord> samples;

    friend bool operator==(const QueryReport&, const QueryReport&) = default;
};

/// One listed sample by its number in the columns it was listed from, with the figures the
/// listing is ordered by: 24 bytes, where its record holds a copy of every text of its step.
struct ListedSample {
    std::uint32_t physical_tile = 0;
    std::uint32_t duration = 0;
    std::uint64_t offset = 0;
    std::uint64_t sample = 0;  ///< index into the columns' sample arrays

    friend bool operator==(const ListedSample&, const ListedSample&) = default;
};

/// A report whose listing is given as references: `report.samples` is empty and `listed` holds
/// the listed samples in listing order.
struct ListedReport {
    QueryReport report;
    std::vector<ListedSample> listed;

    friend bool operator==(const ListedReport&, const ListedReport&) = default;
};

// Working records of one call.

/// One phase occurrence, ordered by phase, then epoch.
struct PhaseOccurrence {
    std::uint32_t phase = 0;
    std::uint32_t epoch = 0;

    friend auto operator<=>(const PhaseOccurrence&, const PhaseOccurrence&) = default;
};

/// A half-open interval [start, end) on a normalised time line, ordered by start, then end.
struct Interval {
    std::uint64_t start = 0;
    std::uint64_t end = 0;

    friend auto operator<=>(const Interval&, const Interval&) = default;
};

/// A matched sample kept for the listing.
struct Candidate {
    std::uint32_t tile = 0;
    std::uint64_t offset = 0;
    std::uint32_t duration = 0;
    const vorn_package::CycleSample* sample = nullptr;  // borrowed from the caller's profile
};

/// Running totals of one group.
struct Accumulator {
    std::map<std::string, std::string> dimensions;
    std::vector<std::uint32_t> durations;
    std::set<std::uint32_t> tiles;
    std::map<PhaseOccurrence, std::vector<Interval>> phases;
    std::uint64_t work_cycles = 0;
    std::uint64_t first_offset = 0;
    std::uint64_t last_offset = 0;
};

/// Answers one query over one profile. Both are only read; the report owns all it holds.
///
/// Example:
///
///     vorn_profile::Query q;
///     q.group_by = vorn_profile::GroupBy::Phase;
///     q.sample_limit = 10;  // also list the ten longest steps
///     vorn_profile::QueryReport answer = vorn_profile::query(profile, q);
QueryReport query(const vorn_package::ProfileReport& report, const Query& query);

/// The same query over a profile held as columns: for every profile `p` and query `q`,
/// `query(to_columns(p), q)` equals `query(p, q)`, every field and every bit.
QueryReport query(const vorn_package::ProfileColumns& columns, const Query& query);

/// `query(columns, query)` with the listing left as references, so that a caller can make the
/// records one at a time and hold one at a time, however many samples each step's metadata
/// makes them copy: `sample_record(columns, listed.listed[i])` equals
/// `query(columns, query).samples[i]`, and every other field is the same.
ListedReport query_listed(const vorn_package::ProfileColumns& columns, const Query& query);

/// The record of one listed sample of `columns`.
SampleRecord sample_record(const vorn_package::ProfileColumns& columns, const ListedSample& listed);

/// `end_cycle` minus `start_cycle` modulo 2^32: a step across a counter wrap gets its true length.
std::uint32_t duration(const vorn_package::CycleSample& sample);

/// Whether a sample at normalised `offset` with length `sample_duration` on physical tile
/// `tile` passes every criterion of the query (kind, kernel, operation, tiles, phases, time
/// point, metadata, tested in that order).
bool matches_query(const Query& query, std::uint32_t tile, const vorn_package::CycleSample& sample,
                   std::uint64_t offset, std::uint32_t sample_duration);

/// The query-side kind of a sample's step.
StepKind kind_of(const vorn_package::CycleSample& sample);

/// A group's name (its identity within one query) and the attributes that define it.
struct GroupKey {
    std::string name;
    std::map<std::string, std::string> dimensions;
};

/// The group of a matched sample under the query's `group_by` (and `metadata_key`).
GroupKey group_key(const Query& query, std::uint32_t tile, const vorn_package::CycleSample& sample);

/// "exchange", "compute", "synchronization" or "idle"; a static text.
std::string_view kind_name(const vorn_package::CycleSample& sample);

/// Turns a group's final accumulator into its summary; both arguments are consumed.
GroupSummary group_summary(std::string name, Accumulator accumulator, std::uint64_t clock_hz);

/// Cycles covered by the union of half-open intervals (each with end >= start); overlapping and
/// touching intervals count once. The order of the input does not matter.
std::uint64_t union_length(std::span<const Interval> intervals);

/// The value at index ((n - 1) * percentage) / 100 of an ascending list; 0 when it is empty.
/// `percentage` is at most 100.
std::uint32_t percentile(std::span<const std::uint32_t> sorted, std::uint64_t percentage);

/// (cycles * 1000.0) / clock_hz in doubles; 0.0 when `clock_hz` is 0.
double cycles_to_ms(std::uint64_t cycles, std::uint64_t clock_hz);

/// Group order: the `sort_by` key, then the earlier `first_offset`, then the name as bytes.
std::strong_ordering compare_groups(SortBy sort_by, const GroupSummary& left,
                                    const GroupSummary& right);

/// The name of a percentile given in thousandths of a percent: "p99.9", "p50", "p0.125".
std::string percentile_name(std::uint32_t thousandths);

/// Listing order: longer duration first, then lower physical tile, then earlier offset.
std::strong_ordering compare_candidates(const Candidate& left, const Candidate& right);

/// An owned record of one candidate's sample.
SampleRecord sample_record(const Candidate& candidate);

}  // namespace vorn_profile
