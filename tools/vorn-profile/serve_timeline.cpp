#include "serve_timeline.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <unordered_map>

#include "serve_parts.hpp"

namespace vorn_cli {
namespace {

__extension__ using Wide = unsigned __int128;

void add_saturated(std::uint32_t& into, std::uint64_t value) {
    into = static_cast<std::uint32_t>(std::min<std::uint64_t>(
        std::uint64_t{into} + value, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace

TimelineIndex::TimelineIndex(const vorn_package::ProfileColumns& columns, std::size_t threads,
                             std::uint64_t most_buckets)
    : columns_(&columns), kernel_of_text_(columns.text_count(), 0) {
    std::unordered_map<std::uint32_t, std::uint32_t> kernel_index;
    for (std::uint64_t s = 0; s < columns.step_count(); ++s) {
        const std::uint32_t text = columns.step_kernel[s];
        const auto [at, added] =
            kernel_index.emplace(text, static_cast<std::uint32_t>(kernel_names_.size()));
        if (added) {
            kernel_names_.emplace_back(columns.text(text));
        }
        kernel_of_text_[text] = at->second;
    }

    std::vector<std::uint64_t> spans;
    for (const vorn_view::PhysicalTile& physical : vorn_view::physical_tiles(columns)) {
        Tile tile;
        tile.physical = physical.physical;
        for (const std::uint32_t r : physical.records) {
            Record record;
            record.begin = columns.tile_sample_begin[r];
            record.count = columns.tile_sample_begin[r + 1] - record.begin;
            if (record.count == 0) {
                continue;
            }
            record.base = columns.start_cycle[record.begin];
            tile.records.push_back(std::move(record));
        }
        tiles_.push_back(std::move(tile));
        spans.push_back(0);
    }
    // Samples in start order, record by record, on the threads.
    in_parts(tiles_.size(), threads, [&](std::size_t first, std::size_t last) {
        for (std::size_t t = first; t < last; ++t) {
            for (Record& record : tiles_[t].records) {
                bool sorted = true;
                std::uint64_t previous = 0;
                for (std::uint64_t i = 0; i < record.count; ++i) {
                    const std::uint64_t sample = record.begin + i;
                    const std::uint64_t offset = offset_of(record, sample);
                    const std::uint32_t duration =
                        columns.end_cycle[sample] - columns.start_cycle[sample];
                    spans[t] = std::max(spans[t], offset + duration);
                    sorted = sorted && offset >= previous;
                    previous = offset;
                }
                if (!sorted) {
                    record.order.resize(record.count);
                    for (std::uint32_t i = 0; i < record.count; ++i) {
                        record.order[i] = i;
                    }
                    std::stable_sort(record.order.begin(), record.order.end(),
                                     [&](std::uint32_t a, std::uint32_t b) {
                                         return offset_of(record, record.begin + a) <
                                                offset_of(record, record.begin + b);
                                     });
                }
                split_long_steps(record);
            }
        }
    });
    for (const std::uint64_t span : spans) {
        span_ = std::max(span_, span);
    }
    // The finest power of two whose buckets fit the budget.
    const auto total = [&](unsigned shift) {
        std::uint64_t sum = 0;
        for (const std::uint64_t span : spans) {
            sum += shift >= 64 ? 1 : (span + (1ULL << shift) - 1) >> shift;
        }
        return sum;
    };
    while (bucket_shift_ < 63 && total(bucket_shift_) > most_buckets) {
        ++bucket_shift_;
    }
    std::uint64_t next = 0;
    for (std::size_t t = 0; t < tiles_.size(); ++t) {
        tiles_[t].first_bucket = next;
        tiles_[t].bucket_count = (spans[t] + (1ULL << bucket_shift_) - 1) >> bucket_shift_;
        next += tiles_[t].bucket_count;
    }
    buckets_.resize(next);
    in_parts(tiles_.size(), threads, [&](std::size_t first, std::size_t last) {
        for (std::size_t t = first; t < last; ++t) {
            build_buckets(tiles_[t]);
        }
    });
}

std::uint64_t TimelineIndex::sample_at(const Record& record, std::uint64_t position) const {
    return record.begin + (record.order.empty() ? position : record.order[position]);
}

std::uint64_t TimelineIndex::offset_of(const Record& record, std::uint64_t sample) const {
    return static_cast<std::uint32_t>(columns_->start_cycle[sample] - record.base);
}

void TimelineIndex::build_buckets(Tile& tile) {
    Bucket* const buckets = buckets_.data() + tile.first_bucket;
    const unsigned shift = bucket_shift_;
    for (const Record& record : tile.records) {
        for (std::uint64_t i = 0; i < record.count; ++i) {
            const std::uint64_t sample = record.begin + i;
            const std::uint64_t start = offset_of(record, sample);
            const std::uint64_t end =
                start + (columns_->end_cycle[sample] - columns_->start_cycle[sample]);
            const std::uint32_t step = columns_->step[sample];
            const std::size_t kind = vorn_view::kind_slot(columns_->step_kind[step]);
            const std::uint32_t kernel = kernel_of_text_[columns_->step_kernel[step]];
            if (start >> shift < tile.bucket_count) {
                buckets[start >> shift].starts += 1;
            }
            for (std::uint64_t b = start >> shift; start < end && b <= (end - 1) >> shift; ++b) {
                const std::uint64_t covered =
                    std::min(end, (b + 1) << shift) - std::max(start, b << shift);
                Bucket& bucket = buckets[b];
                add_saturated(bucket.busy[kind], covered);
                if (covered > bucket.kernel_cycles) {
                    bucket.kernel_cycles = static_cast<std::uint32_t>(std::min<std::uint64_t>(
                        covered, std::numeric_limits<std::uint32_t>::max()));
                    bucket.kernel = kernel;
                }
            }
        }
    }
}

namespace {

/// The duration class of `duration`: the least c with duration <= 2^c.
unsigned duration_class(std::uint32_t duration) {
    return duration <= 1 ? 0 : static_cast<unsigned>(std::bit_width(duration - 1));
}

/// The earliest start of a sample at most `longest` cycles long that runs into [from, ...).
std::uint64_t earliest_start(std::uint64_t from, std::uint64_t longest) {
    return from > longest ? from - longest : 0;
}

}  // namespace

void TimelineIndex::split_long_steps(Record& record) const {
    // The short limit: the least power of two that at most a 32nd of the samples exceed.
    std::uint64_t in_class[kDurationClasses] = {};
    for (std::uint64_t p = 0; p < record.count; ++p) {
        in_class[duration_class(duration_of(sample_at(record, p)))] += 1;
    }
    unsigned limit = kDurationClasses - 1;
    std::uint64_t longer = 0;
    while (limit > 0 && longer + in_class[limit] <= record.count / 32) {
        longer += in_class[limit];
        --limit;
    }
    record.short_limit = std::uint64_t{1} << limit;
    if (longer == 0) {
        return;
    }
    record.long_steps.resize(kDurationClasses);
    for (std::uint64_t p = 0; p < record.count; ++p) {
        const std::uint32_t duration = duration_of(sample_at(record, p));
        if (duration > record.short_limit) {
            record.long_steps[duration_class(duration)].push_back(static_cast<std::uint32_t>(p));
        }
    }
}

std::uint32_t TimelineIndex::duration_of(std::uint64_t sample) const {
    return columns_->end_cycle[sample] - columns_->start_cycle[sample];
}

template <class Position>
std::uint64_t TimelineIndex::first_at_or_after(const Record& record, std::uint64_t size,
                                               Position position, std::uint64_t offset) const {
    std::uint64_t low = 0;
    std::uint64_t high = size;
    while (low < high) {
        const std::uint64_t middle = low + (high - low) / 2;
        if (offset_of(record, sample_at(record, position(middle))) < offset) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}

std::uint64_t TimelineIndex::candidates(const Tile& tile, std::uint64_t from,
                                        std::uint64_t to) const {
    // Counted by binary search alone: the short window counts the long samples in it again,
    // which only makes the count an upper bound.
    std::uint64_t count = 0;
    const auto same = [](std::uint64_t p) { return p; };
    for (const Record& record : tile.records) {
        count +=
            first_at_or_after(record, record.count, same, to) -
            first_at_or_after(record, record.count, same, earliest_start(from, record.short_limit));
        for (unsigned c = 0; c < record.long_steps.size(); ++c) {
            const std::vector<std::uint32_t>& list = record.long_steps[c];
            const auto position = [&](std::uint64_t i) { return list[i]; };
            count += first_at_or_after(record, list.size(), position, to) -
                     first_at_or_after(record, list.size(), position,
                                       earliest_start(from, std::uint64_t{1} << c));
        }
    }
    return count;
}

template <class Visit>
void TimelineIndex::visit(const Tile& tile, std::uint64_t from, std::uint64_t to,
                          Visit visit) const {
    const auto same = [](std::uint64_t p) { return p; };
    for (const Record& record : tile.records) {
        // The short samples that may run into the range start at most `short_limit` cycles
        // before it; the long ones, by their duration class, at most 2^class cycles before.
        const std::uint64_t last = first_at_or_after(record, record.count, same, to);
        for (std::uint64_t p = first_at_or_after(record, record.count, same,
                                                 earliest_start(from, record.short_limit));
             p < last; ++p) {
            const std::uint64_t sample = sample_at(record, p);
            const std::uint32_t duration = duration_of(sample);
            if (duration <= record.short_limit) {
                visit(sample, offset_of(record, sample), duration);
            }
        }
        for (unsigned c = 0; c < record.long_steps.size(); ++c) {
            const std::vector<std::uint32_t>& list = record.long_steps[c];
            const auto position = [&](std::uint64_t i) { return list[i]; };
            const std::uint64_t end = first_at_or_after(record, list.size(), position, to);
            for (std::uint64_t i = first_at_or_after(record, list.size(), position,
                                                     earliest_start(from, std::uint64_t{1} << c));
                 i < end; ++i) {
                const std::uint64_t sample = sample_at(record, list[i]);
                visit(sample, offset_of(record, sample), duration_of(sample));
            }
        }
    }
}

void TimelineIndex::collect_steps(std::vector<Placed>& steps, const Tile& tile,
                                  const TimelineRequest& request,
                                  const vorn_view::SampleFilter& filter) const {
    const std::uint64_t from = request.from;
    const std::uint64_t to = request.to;
    steps.clear();
    visit(tile, from, to, [&](std::uint64_t sample, std::uint64_t offset, std::uint32_t duration) {
        if (vorn_view::in_window({from, to}, offset, duration) &&
            filter.passes(sample, tile.physical, offset, duration)) {
            steps.push_back({sample, offset, duration});
        }
    });
    // In start order; a tile of one record without long steps gives them so.
    const auto earlier = [](const Placed& a, const Placed& b) {
        return a.offset != b.offset ? a.offset < b.offset : a.sample < b.sample;
    };
    if (!std::is_sorted(steps.begin(), steps.end(), earlier)) {
        std::sort(steps.begin(), steps.end(), earlier);
    }
}

void TimelineIndex::summarise(Pixel* pixels, const Tile& tile, const TimelineRequest& request,
                              const vorn_view::SampleFilter& filter, bool plain) const {
    const vorn_package::ProfileColumns& columns = *columns_;
    const std::uint64_t from = request.from;
    const std::uint64_t to = request.to;
    const std::uint64_t range = to - from;
    const std::uint64_t width = request.width;
    std::fill(pixels, pixels + width, Pixel{});
    // Pixel i holds cycles [start(i), start(i + 1)).
    // In 64 bits where the products fit, which is every range of under 2^50 cycles: the
    // division of 128 bits is a call.
    const bool narrow = range <= (std::numeric_limits<std::uint64_t>::max() - width) / width;
    const auto pixel_start = [&](std::uint64_t i) {
        return from + (narrow ? (i * range + width - 1) / width
                              : static_cast<std::uint64_t>((Wide{i} * range + width - 1) / width));
    };
    const auto pixel_of = [&](std::uint64_t cycle) {
        return narrow ? (cycle - from) * width / range
                      : static_cast<std::uint64_t>(Wide{cycle - from} * width / range);
    };
    const unsigned shift = bucket_shift_;
    if (plain && range / width >= (1ULL << shift)) {
        // Every pixel covers a bucket or more: sums of buckets, the two at its edges in part.
        const Bucket* const buckets = buckets_.data() + tile.first_bucket;
        const std::uint64_t bucket_count = tile.bucket_count;
        // A part of a bucket is its share of the bucket's cycles; in 64 bits where they fit.
        const bool small = shift < 32;
        std::uint64_t start = pixel_start(0);
        for (std::uint64_t i = 0; i < width; ++i) {
            const std::uint64_t end = pixel_start(i + 1);
            Pixel pixel;
            std::uint64_t best = 0;
            for (std::uint64_t b = start >> shift; b < bucket_count && b <= (end - 1) >> shift;
                 ++b) {
                const std::uint64_t covered =
                    std::min(end, (b + 1) << shift) - std::max(start, b << shift);
                const Bucket& bucket = buckets[b];
                const auto part = [&](std::uint64_t value) {
                    return small ? (value * covered) >> shift
                                 : static_cast<std::uint64_t>((Wide{value} * covered) >> shift);
                };
                for (std::size_t k = 0; k < vorn_view::kKindCount; ++k) {
                    pixel.busy[k] += part(bucket.busy[k]);
                }
                pixel.steps += part(bucket.starts);
                if (bucket.kernel_cycles > 0 && part(bucket.kernel_cycles) >= best) {
                    best = part(bucket.kernel_cycles);
                    pixel.kernel = bucket.kernel;
                    pixel.kernel_cycles = std::max<std::uint64_t>(best, 1);
                }
            }
            pixels[i] = pixel;
            start = end;
        }
    } else {
        // Pixels narrower than a bucket, or filters the buckets do not know: the samples of the
        // range, found by binary search.
        visit(tile, from, to,
              [&](std::uint64_t sample, std::uint64_t offset, std::uint32_t duration) {
                  if (!vorn_view::in_window({from, to}, offset, duration) ||
                      !filter.passes(sample, tile.physical, offset, duration)) {
                      return;
                  }
                  const std::uint32_t step = columns.step[sample];
                  const std::size_t kind = vorn_view::kind_slot(columns.step_kind[step]);
                  const std::uint64_t start = std::max(offset, from);
                  const std::uint64_t end = std::min(offset + duration, to);
                  pixels[pixel_of(start)].steps += 1;
                  for (std::uint64_t i = pixel_of(start); start < end && i <= pixel_of(end - 1);
                       ++i) {
                      const std::uint64_t covered =
                          std::min(end, pixel_start(i + 1)) - std::max(start, pixel_start(i));
                      Pixel& pixel = pixels[i];
                      pixel.busy[kind] += covered;
                      if (covered > pixel.kernel_cycles) {
                          pixel.kernel_cycles = covered;
                          pixel.kernel = kernel_of_text_[columns.step_kernel[step]];
                      }
                  }
              });
    }
}

}  // namespace vorn_cli
