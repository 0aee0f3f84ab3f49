#include "vorn_view/timeline.hpp"

#include <algorithm>
#include <functional>
#include <limits>
#include <queue>
#include <set>
#include <tuple>
#include <utility>

namespace vorn_view {

namespace {

// 64 x 64 bits without overflow for the nanosecond conversion.
__extension__ using Wide = unsigned __int128;

using Intervals = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

bool has_step_criteria(const vorn_profile::Query& query) {
    return query.kind || query.kernel || query.operation_contains || !query.metadata.empty();
}

}  // namespace

SampleFilter::SampleFilter(const vorn_package::ProfileColumns& columns,
                           const vorn_profile::Query& query)
    : columns_(&columns), query_(&query), step_passes_(columns.step_count(), true) {
    if (!has_step_criteria(query)) {
        return;
    }
    // The criteria on kind, kernel, operation and metadata are the engine's own, asked once per
    // distinct step; tiles, phases and the time point vary per sample and are tested there.
    vorn_profile::Query step_query = query;
    step_query.tiles.clear();
    step_query.phases.clear();
    step_query.at_offset.reset();
    vorn_package::CycleSample record;
    for (std::uint32_t s = 0; s < columns.step_count(); ++s) {
        vorn_package::ProfileStep& step = record.step;
        step.kind = columns.step_kind[s];
        step.kernel = columns.text(columns.step_kernel[s]);
        step.operation = columns.text(columns.step_operation[s]);
        step.metadata.clear();
        for (const vorn_package::MetadataPair& pair : columns.step_metadata(s)) {
            step.metadata.push_back(
                {std::string(columns.text(pair.name)), std::string(columns.text(pair.value))});
        }
        step_passes_[s] = vorn_profile::matches_query(step_query, 0, record, 0, 0);
    }
}

bool SampleFilter::keeps_tile(std::uint32_t physical_tile) const {
    return query_->tiles.empty() || query_->tiles.contains(physical_tile);
}

bool SampleFilter::passes(std::uint64_t sample, std::uint32_t physical_tile, std::uint64_t offset,
                          std::uint32_t duration) const {
    if (!step_passes_[columns_->step[sample]] || !keeps_tile(physical_tile)) {
        return false;
    }
    if (!query_->phases.empty() && !query_->phases.contains(columns_->phase[sample])) {
        return false;
    }
    if (query_->at_offset) {
        const std::uint64_t at = *query_->at_offset;
        return at >= offset && at - offset < duration;
    }
    return true;
}

std::vector<PhysicalTile> physical_tiles(const vorn_package::ProfileColumns& columns) {
    std::vector<std::uint32_t> order(columns.tile_count());
    for (std::uint32_t r = 0; r < order.size(); ++r) {
        order[r] = r;
    }
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return columns.tile_physical[a] < columns.tile_physical[b];
    });
    std::vector<PhysicalTile> tiles;
    for (const std::uint32_t record : order) {
        const std::uint32_t physical = columns.tile_physical[record];
        if (tiles.empty() || tiles.back().physical != physical) {
            tiles.push_back({physical, {}});
        }
        tiles.back().records.push_back(record);
    }
    return tiles;
}

std::uint64_t profile_span(const vorn_package::ProfileColumns& columns) {
    std::uint64_t span = 0;
    for (std::uint64_t r = 0; r < columns.tile_count(); ++r) {
        const std::uint64_t begin = columns.tile_sample_begin[r];
        const std::uint64_t end = columns.tile_sample_begin[r + 1];
        if (begin == end) {
            continue;
        }
        const std::uint32_t base = columns.start_cycle[begin];
        for (std::uint64_t i = begin; i < end; ++i) {
            const std::uint32_t offset = columns.start_cycle[i] - base;
            const std::uint32_t duration = columns.end_cycle[i] - columns.start_cycle[i];
            span = std::max(span, std::uint64_t{offset} + duration);
        }
    }
    return span;
}

bool in_window(const Window& window, std::uint64_t offset, std::uint64_t duration) {
    if (duration == 0) {
        return window.from <= offset && offset < window.to;
    }
    return offset < window.to && offset + duration > window.from;
}

void select_samples(const vorn_package::ProfileColumns& columns, const SampleFilter& filter,
                    const Window& window, const PhysicalTile& tile, std::vector<TimedSample>& out) {
    out.clear();
    if (!filter.keeps_tile(tile.physical)) {
        return;
    }
    for (const std::uint32_t record : tile.records) {
        const std::uint64_t begin = columns.tile_sample_begin[record];
        const std::uint64_t end = columns.tile_sample_begin[record + 1];
        if (begin == end) {
            continue;
        }
        const std::uint32_t base = columns.start_cycle[begin];
        for (std::uint64_t i = begin; i < end; ++i) {
            const std::uint64_t offset = static_cast<std::uint32_t>(columns.start_cycle[i] - base);
            const std::uint32_t duration = columns.end_cycle[i] - columns.start_cycle[i];
            if (!filter.passes(i, tile.physical, offset, duration) ||
                !in_window(window, offset, duration)) {
                continue;
            }
            out.push_back(
                {i, std::max(offset, window.from), std::min(offset + duration, window.to)});
        }
    }
}

std::uint64_t cycles_to_ns(std::uint64_t cycles, std::uint64_t clock_hz) {
    if (clock_hz == 0) {
        return cycles;
    }
    const Wide scaled = Wide{cycles} * 1'000'000'000U + clock_hz / 2;
    const Wide ns = scaled / clock_hz;
    return ns > Wide{std::numeric_limits<std::uint64_t>::max()}
               ? std::numeric_limits<std::uint64_t>::max()
               : static_cast<std::uint64_t>(ns);
}

std::uint32_t assign_lanes(std::vector<LaneSlice>& slices) {
    std::sort(slices.begin(), slices.end(), [](const LaneSlice& a, const LaneSlice& b) {
        return std::tie(a.start, a.end, a.sample) < std::tie(b.start, b.end, b.sample);
    });
    // Lanes in use, earliest end first and, at one end, those whose last slice is not empty
    // first: only those can take a non-empty slice that starts at that end.
    struct Busy {
        std::uint64_t end;
        bool empty_last;
        std::uint32_t lane;
        bool operator>(const Busy& other) const {
            return std::tie(end, empty_last, lane) >
                   std::tie(other.end, other.empty_last, other.lane);
        }
    };
    std::priority_queue<Busy, std::vector<Busy>, std::greater<>> busy;
    std::set<std::uint32_t> free;
    std::uint32_t lanes = 0;
    for (LaneSlice& slice : slices) {
        const bool empty = slice.end == slice.start;
        // Slices come by start, and at one start the empty ones first, so a lane freed here
        // stays free for every later slice.
        while (!busy.empty() &&
               (busy.top().end < slice.start ||
                (busy.top().end == slice.start && !busy.top().empty_last && !empty))) {
            free.insert(busy.top().lane);
            busy.pop();
        }
        if (free.empty()) {
            slice.lane = lanes++;
        } else {
            slice.lane = *free.begin();
            free.erase(free.begin());
        }
        busy.push({slice.end, empty, slice.lane});
    }
    return lanes;
}

std::string_view kind_text(vorn_package::ProfileStepKind kind) {
    switch (kind) {
        case vorn_package::ProfileStepKind::Exchange:
            return "exchange";
        case vorn_package::ProfileStepKind::Compute:
            return "compute";
        case vorn_package::ProfileStepKind::Synchronization:
            return "synchronization";
        case vorn_package::ProfileStepKind::Idle:
            return "idle";
    }
    return "exchange";
}

std::size_t kind_slot(vorn_package::ProfileStepKind kind) {
    const auto* found = std::find(std::begin(kKinds), std::end(kKinds), kind);
    return found == std::end(kKinds) ? 1 : static_cast<std::size_t>(found - std::begin(kKinds));
}

ActivityBuckets::ActivityBuckets(std::uint64_t begin, std::uint64_t end, std::uint64_t max_buckets,
                                 KindCounting counting)
    : begin_(begin), end_(std::max(begin, end)), counting_(counting) {
    const std::uint64_t span = end_ - begin_;
    if (span == 0) {
        return;
    }
    max_buckets = std::max<std::uint64_t>(max_buckets, 1);
    width_ = span / max_buckets + (span % max_buckets != 0 ? 1 : 0);
    count_ = span / width_ + (span % width_ != 0 ? 1 : 0);
    for (Series& series : series_) {
        series.partial.assign(count_, 0);
        series.full.assign(count_ + 1, 0);
    }
}

std::uint64_t ActivityBuckets::bucket_length(std::uint64_t bucket) const {
    return std::min(end_, bucket_start(bucket) + width_) - bucket_start(bucket);
}

void ActivityBuckets::cover(Series& series, std::uint64_t start, std::uint64_t end) {
    start = std::max(start, begin_);
    end = std::min(end, end_);
    if (start >= end) {
        return;
    }
    const std::uint64_t first = (start - begin_) / width_;
    const std::uint64_t last = (end - 1 - begin_) / width_;
    if (first == last) {
        series.partial[first] += end - start;
        return;
    }
    series.partial[first] += bucket_start(first + 1) - start;
    series.partial[last] += end - bucket_start(last);
    if (last > first + 1) {
        series.full[first + 1] += 1;
        series.full[last] -= 1;
    }
}

std::uint64_t ActivityBuckets::add_union(Intervals& intervals, Series* series) {
    std::sort(intervals.begin(), intervals.end());
    std::uint64_t covered = 0;
    std::size_t i = 0;
    while (i < intervals.size()) {
        const std::uint64_t start = intervals[i].first;
        std::uint64_t end = intervals[i].second;
        for (++i; i < intervals.size() && intervals[i].first <= end; ++i) {
            end = std::max(end, intervals[i].second);
        }
        covered += end - start;
        if (series != nullptr && count_ > 0) {
            cover(*series, start, end);
        }
    }
    return covered;
}

void ActivityBuckets::cover_first_kind(const Intervals (&by_kind)[kKindCount]) {
    // Every start and end of every kind, in time order; between two of them the tile counts
    // under the first kind with a step running.
    std::vector<std::tuple<std::uint64_t, std::size_t, int>> edges;
    for (std::size_t k = 0; k < kKindCount; ++k) {
        for (const auto& [start, end] : by_kind[k]) {
            edges.emplace_back(start, k, 1);
            edges.emplace_back(end, k, -1);
        }
    }
    std::sort(edges.begin(), edges.end());
    std::int64_t running[kKindCount] = {};
    std::uint64_t at = 0;
    for (const auto& [time, kind, change] : edges) {
        if (time > at) {
            const auto* first = std::find_if(std::begin(running), std::end(running),
                                             [](std::int64_t steps) { return steps > 0; });
            if (first != std::end(running)) {
                cover(series_[static_cast<std::size_t>(first - std::begin(running))], at, time);
            }
        }
        running[kind] += change;
        at = time;
    }
}

TileCycles ActivityBuckets::add_tile(const vorn_package::ProfileColumns& columns,
                                     std::span<const TimedSample> samples) {
    Intervals by_kind[kKindCount];
    Intervals busy;
    Intervals all;
    for (const TimedSample& sample : samples) {
        if (sample.end == sample.start) {
            continue;
        }
        const vorn_package::ProfileStepKind kind = columns.step_kind[columns.step[sample.sample]];
        by_kind[kind_slot(kind)].emplace_back(sample.start, sample.end);
        if (kind == vorn_package::ProfileStepKind::Exchange ||
            kind == vorn_package::ProfileStepKind::Compute) {
            busy.emplace_back(sample.start, sample.end);
        }
        all.emplace_back(sample.start, sample.end);
    }
    TileCycles cycles;
    cycles.samples = samples.size();
    const bool every_kind = counting_ == KindCounting::EveryKind;
    for (std::size_t k = 0; k < kKindCount; ++k) {
        cycles.kind[k] = add_union(by_kind[k], every_kind ? &series_[k] : nullptr);
    }
    if (!every_kind) {
        cover_first_kind(by_kind);
    }
    cycles.busy = add_union(busy, nullptr);
    cycles.active = add_union(all, &series_[kKindCount]);
    return cycles;
}

void ActivityBuckets::finish() {
    for (std::size_t k = 0; k <= kKindCount; ++k) {
        const Series& series = series_[k];
        means_[k].assign(count_, 0.0);
        std::int64_t whole = 0;
        for (std::uint64_t b = 0; b < count_; ++b) {
            whole += series.full[b];
            const std::uint64_t length = bucket_length(b);
            const std::uint64_t covered =
                series.partial[b] + static_cast<std::uint64_t>(whole) * length;
            means_[k][b] = static_cast<double>(covered) / static_cast<double>(length);
        }
    }
}

}  // namespace vorn_view
