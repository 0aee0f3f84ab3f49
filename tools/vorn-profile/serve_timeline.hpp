// What the server's timeline draws: for a range of cycles at a width in pixels, per physical
// tile either its steps (where a pixel holds one step or less) or a summary per pixel. Built
// once from the columns: each tile's samples in start order, and a level of detail of busy
// cycles by kind over power-of-two buckets of cycles, so that a wide range is summed from the
// buckets and a narrow one found by binary search, never by walking every sample.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vorn_package/profile_columns.hpp"
#include "vorn_profile/query.hpp"
#include "vorn_view/timeline.hpp"

namespace vorn_cli {

/// The widest timeline a request may ask for, in pixels.
constexpr std::uint32_t kMostTimelinePixels = 16384;

struct TimelineRequest {
    std::uint64_t from = 0;
    std::uint64_t to = 0;  ///< exclusive; above `from`
    std::uint32_t width = 1;
    vorn_profile::Query filters;  ///< only its filters are used
};

class TimelineIndex {
public:
    /// Builds the index on `threads` threads; `columns` must outlive it.
    TimelineIndex(const vorn_package::ProfileColumns& columns, std::size_t threads,
                  std::uint64_t most_buckets = kMostBuckets);

    /// The JSON answer of `/api/timeline` (docs/serve-api.md), on up to `threads` threads.
    std::string answer(const TimelineRequest& request, std::size_t threads) const;

    /// The same answer in the binary layout of docs/serve-api.md, built in one buffer.
    std::string binary_answer(const TimelineRequest& request, std::size_t threads) const;

    /// Cycles per bucket of the level of detail: a power of two.
    std::uint64_t bucket_cycles() const { return 1ULL << bucket_shift_; }

    /// The bucket budget: at 24 bytes a bucket, at most about 100 MB.
    static constexpr std::uint64_t kMostBuckets = 4'000'000;

    /// One sample's place on its tile's time line.
    struct Placed {
        std::uint64_t sample = 0;
        std::uint64_t offset = 0;
        std::uint32_t duration = 0;
    };

    /// Busy cycles by kind (`vorn_view::kKinds` order), steps starting, and the kernel of the
    /// step covering most of one bucket.
    struct Bucket {
        std::uint32_t busy[vorn_view::kKindCount] = {};
        std::uint32_t starts = 0;
        std::uint32_t kernel = 0;         ///< index into `kernels()`
        std::uint32_t kernel_cycles = 0;  ///< cycles of that step in the bucket
    };

    /// One pixel of a summary: busy cycles by kind, steps starting, and the kernel of the step
    /// covering most of it (`kernel_cycles` 0 when none does).
    struct Pixel {
        std::uint64_t busy[vorn_view::kKindCount] = {};
        std::uint64_t steps = 0;
        std::uint64_t kernel_cycles = 0;
        std::uint32_t kernel = 0;
    };

    const std::vector<std::string>& kernels() const { return kernel_names_; }

    /// The longest tile time line, in cycles.
    std::uint64_t span() const { return span_; }

private:
    struct Record {
        std::uint64_t begin = 0;  ///< first sample
        std::uint32_t base = 0;   ///< start cycle of the first sample: offset 0
        /// Samples this long or shorter are found among those starting up to this many cycles
        /// before a range; the few longer ones are in `long_steps`, so that one very long
        /// sample does not widen the search for all the others.
        std::uint64_t short_limit = 0;
        /// Positions in start order of the samples longer than `short_limit`, by duration
        /// class: class c holds durations in (2^(c-1), 2^c]. Empty when there are none.
        std::vector<std::vector<std::uint32_t>> long_steps;
        std::vector<std::uint32_t> order;  ///< samples by offset, relative to `begin`; empty
                                           ///< when already in that order
        std::uint64_t count = 0;
    };
    struct Tile {
        std::uint32_t physical = 0;
        std::vector<Record> records;
        std::uint64_t first_bucket = 0;  ///< into `buckets_`
        std::uint64_t bucket_count = 0;
    };

    std::uint64_t sample_at(const Record& record, std::uint64_t position) const;
    std::uint64_t offset_of(const Record& record, std::uint64_t sample) const;
    /// Duration classes: a duration of 32 bits is at most 2^32.
    static constexpr unsigned kDurationClasses = 33;

    std::uint32_t duration_of(std::uint64_t sample) const;
    void split_long_steps(Record& record) const;
    /// The first of `size` positions (`position(i)` into the record's start order, ascending)
    /// whose sample starts at `offset` or later.
    template <class Position>
    std::uint64_t first_at_or_after(const Record& record, std::uint64_t size, Position position,
                                    std::uint64_t offset) const;
    /// Calls `visit(sample, offset, duration)` for the samples of `tile` that may overlap
    /// [from, to), found by binary search, in no particular order.
    template <class Visit>
    void visit(const Tile& tile, std::uint64_t from, std::uint64_t to, Visit visit) const;
    std::uint64_t candidates(const Tile& tile, std::uint64_t from, std::uint64_t to) const;
    void build_buckets(Tile& tile);
    /// The steps of `tile` the request shows, in start order.
    void collect_steps(std::vector<Placed>& steps, const Tile& tile, const TimelineRequest& request,
                       const vorn_view::SampleFilter& filter) const;
    /// The request's `width` pixels of `tile`; `plain` when only `tile` filters, so that the
    /// buckets may answer.
    void summarise(Pixel* pixels, const Tile& tile, const TimelineRequest& request,
                   const vorn_view::SampleFilter& filter, bool plain) const;
    /// Appends the tile's JSON entry to `out`, and the distinct steps it lists to `listed`;
    /// `steps` and `pixels` are room to work in.
    void write_tile(std::string& out, std::vector<std::uint32_t>& listed,
                    std::vector<Placed>& steps, std::vector<Pixel>& pixels, const Tile& tile,
                    const TimelineRequest& request, const vorn_view::SampleFilter& filter,
                    bool plain) const;

    const vorn_package::ProfileColumns* columns_;
    std::vector<Tile> tiles_;
    unsigned bucket_shift_ = 0;
    std::uint64_t span_ = 0;
    std::vector<Bucket> buckets_;
    std::vector<std::uint32_t> kernel_of_text_;  ///< text number -> index into kernel_names_
    std::vector<std::string> kernel_names_;
};

}  // namespace vorn_cli
