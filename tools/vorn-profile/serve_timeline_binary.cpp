// The timeline's binary answer: the content of the JSON answer as little-endian fixed-width
// integers in one buffer, laid out so that a page reads each part as a typed array without
// parsing (docs/serve-api.md gives the layout byte by byte).
#include <atomic>
#include <bit>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "serve_parts.hpp"
#include "serve_timeline.hpp"

namespace vorn_cli {
namespace {

constexpr std::size_t kHeaderBytes = 96;
constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kNoRow = 0xFFFFFFFF;
/// Profiles with up to this many distinct steps number an answer's steps through a table.
constexpr std::uint64_t kMostTabledSteps = 1 << 16;
/// Busy cycles of the four kinds, steps starting, and kernel + 1 (0: none).
constexpr std::size_t kPlanes = vorn_view::kKindCount + 2;
constexpr std::size_t kStepColumns = 5;  // offset, duration, step, phase, epoch
constexpr std::size_t kTileFields = 4;   // tile, summary row, first step row, step rows

constexpr std::size_t align8(std::size_t bytes) { return (bytes + 7) & ~std::size_t{7}; }

/// Writes `value` at `at` as a little-endian `Integer`.
template <class Integer>
void store_as(char* at, std::uint64_t value) {
    const auto narrow = static_cast<Integer>(value);
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(at, &narrow, sizeof narrow);
    } else {
        for (std::size_t i = 0; i < sizeof narrow; ++i) {
            at[i] = static_cast<char>(value >> (8 * i));
        }
    }
}

template <class Integer>
std::uint64_t load_as(const char* at) {
    if constexpr (std::endian::native == std::endian::little) {
        Integer value;
        std::memcpy(&value, at, sizeof value);
        return value;
    } else {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < sizeof(Integer); ++i) {
            value |= std::uint64_t{static_cast<unsigned char>(at[i])} << (8 * i);
        }
        return value;
    }
}

/// Calls `work` with a value of the unsigned integer type of `bytes` bytes (1, 2, 4 or 8).
template <class Work>
void with_width(unsigned bytes, Work work) {
    switch (bytes) {
        case 1:
            return work(std::uint8_t{});
        case 2:
            return work(std::uint16_t{});
        case 4:
            return work(std::uint32_t{});
        default:
            return work(std::uint64_t{});
    }
}

void store32(char* at, std::uint64_t value) { store_as<std::uint32_t>(at, value); }

/// The fewest bytes of 1, 2, 4 and 8 that hold `value`.
unsigned bytes_for(std::uint64_t value) {
    return value <= 0xFF ? 1 : value <= 0xFFFF ? 2 : value <= 0xFFFFFFFF ? 4 : 8;
}

/// The texts of an answer, each once: string number by text number.
class Strings {
public:
    std::uint32_t add(std::string_view text) {
        texts_.push_back(text);
        bytes_ += text.size();
        return static_cast<std::uint32_t>(texts_.size() - 1);
    }
    std::uint32_t add_text(const vorn_package::ProfileColumns& columns, std::uint32_t text) {
        const auto [at, added] = number_.emplace(text, static_cast<std::uint32_t>(texts_.size()));
        if (added) {
            add(columns.text(text));
        }
        return at->second;
    }
    std::size_t count() const { return texts_.size(); }
    std::size_t byte_count() const { return bytes_; }
    /// The offsets and then the bytes at `at`; returns the end.
    char* write(char* at) const {
        std::uint64_t offset = 0;
        for (std::size_t i = 0; i <= texts_.size(); ++i) {
            store32(at + 4 * i, offset);
            offset += i < texts_.size() ? texts_[i].size() : 0;
        }
        at += 4 * (texts_.size() + 1);
        for (const std::string_view text : texts_) {
            std::memcpy(at, text.data(), text.size());
            at += text.size();
        }
        return at;
    }

private:
    std::vector<std::string_view> texts_;
    std::unordered_map<std::uint32_t, std::uint32_t> number_;
    std::size_t bytes_ = 0;
};

}  // namespace

std::string TimelineIndex::binary_answer(const TimelineRequest& request,
                                         std::size_t threads) const {
    const vorn_package::ProfileColumns& columns = *columns_;
    const vorn_view::SampleFilter filter(columns, request.filters);
    const bool plain = plain_filters(request.filters);
    const std::size_t width = request.width;
    std::vector<const Tile*> shown;
    for (const Tile& tile : tiles_) {
        if (filter.keeps_tile(tile.physical)) {
            shown.push_back(&tile);
        }
    }

    // Which tiles list their steps (a pixel holds a step or less), and those steps.
    std::vector<std::vector<Placed>> listed(shown.size());
    std::vector<std::uint8_t> listing(shown.size(), 0);
    in_parts(shown.size(), threads, [&](std::size_t first, std::size_t last) {
        for (std::size_t t = first; t < last; ++t) {
            if (candidates(*shown[t], request.from, request.to) <= width) {
                listing[t] = 1;
                collect_steps(listed[t], *shown[t], request, filter);
            }
        }
    });
    std::vector<std::size_t> summarised;  // shown tile of each summary row
    // The distinct steps in the order first listed, and each row's place among them: through a
    // table by step number where a profile has few enough steps, else through a hash map.
    std::vector<std::uint32_t> numbers;
    std::vector<std::uint32_t> distinct_of_row;
    std::vector<std::uint32_t> by_number;
    std::unordered_map<std::uint32_t, std::uint32_t> by_hash;
    const bool tabled = columns.step_count() <= kMostTabledSteps;
    if (tabled) {
        by_number.assign(columns.step_count(), kNoRow);
    }
    for (std::size_t t = 0; t < shown.size(); ++t) {
        if (!listing[t]) {
            summarised.push_back(t);
        }
        for (const Placed& placed : listed[t]) {
            const std::uint32_t number = columns.step[placed.sample];
            const auto next = static_cast<std::uint32_t>(numbers.size());
            std::uint32_t& distinct =
                tabled ? by_number[number] : by_hash.try_emplace(number, kNoRow).first->second;
            if (distinct == kNoRow) {
                distinct = next;
                numbers.push_back(number);
            }
            distinct_of_row.push_back(distinct);
        }
    }
    const std::size_t rows = distinct_of_row.size();

    Strings strings;
    for (const auto kind : vorn_view::kKinds) {
        strings.add(vorn_view::kind_text(kind));
    }
    for (const std::string& kernel : kernel_names_) {
        strings.add(kernel);
    }
    std::vector<std::uint32_t> step_fields;
    std::vector<std::uint32_t> pairs;
    for (const std::uint32_t number : numbers) {
        const auto metadata = columns.step_metadata(number);
        step_fields.insert(
            step_fields.end(),
            {number, static_cast<std::uint32_t>(vorn_view::kind_slot(columns.step_kind[number])),
             kernel_of_text_[columns.step_kernel[number]],
             strings.add_text(columns, columns.step_operation[number]),
             static_cast<std::uint32_t>(pairs.size() / 2),
             static_cast<std::uint32_t>(metadata.size())});
        for (const vorn_package::MetadataPair& pair : metadata) {
            pairs.push_back(strings.add_text(columns, pair.name));
            pairs.push_back(strings.add_text(columns, pair.value));
        }
    }

    // The planes are summed at `stage` bytes a value, then narrowed in place to the fewest bytes
    // that hold each plane's largest value. Values past 32 bits, which only a pixel of billions
    // of cycles can hold, are summed again at 8 bytes.
    const std::size_t cells = summarised.size() * width;
    const std::size_t planes_at = align8(kHeaderBytes + kTileFields * 4 * shown.size());
    const std::size_t rest = kStepColumns * align8(4 * rows) + align8(4 * step_fields.size()) +
                             align8(4 * pairs.size()) + 4 * (strings.count() + 1) +
                             strings.byte_count();
    std::string out;
    std::uint64_t most[kPlanes] = {};
    unsigned stage = 4;
    for (;; stage = 8) {
        out.assign(planes_at + kPlanes * align8(cells * stage) + rest, '\0');
        std::atomic<bool> overflow{false};
        std::atomic<std::uint64_t> maxima[kPlanes] = {};
        in_parts(summarised.size(), threads, [&](std::size_t first, std::size_t last) {
            std::vector<Pixel> pixels(width);
            std::uint64_t local[kPlanes] = {};
            // Locals, so that the stores through bytes do not make them be read again.
            char* const planes = out.data() + planes_at;
            const std::size_t plane = align8(cells * stage);
            const auto fill = [&](auto staged) {
                using Staged = decltype(staged);
                for (std::size_t row = first; row < last; ++row) {
                    summarise(pixels.data(), *shown[summarised[row]], request, filter, plain);
                    const std::size_t cell = row * width;
                    for (std::size_t i = 0; i < width; ++i) {
                        const Pixel& pixel = pixels[i];
                        const std::uint64_t values[kPlanes] = {
                            pixel.busy[0],
                            pixel.busy[1],
                            pixel.busy[2],
                            pixel.busy[3],
                            pixel.steps,
                            pixel.kernel_cycles > 0 ? std::uint64_t{pixel.kernel} + 1 : 0};
                        for (std::size_t p = 0; p < kPlanes; ++p) {
                            local[p] = std::max(local[p], values[p]);
                            store_as<Staged>(planes + p * plane + (cell + i) * sizeof(Staged),
                                             values[p]);
                        }
                    }
                }
            };
            if (stage == 4) {
                fill(std::uint32_t{});
            } else {
                fill(std::uint64_t{});
            }
            for (std::size_t p = 0; p < kPlanes; ++p) {
                std::uint64_t seen = maxima[p].load();
                while (seen < local[p] && !maxima[p].compare_exchange_weak(seen, local[p])) {
                }
                if (local[p] > std::numeric_limits<std::uint32_t>::max()) {
                    overflow = true;
                }
            }
        });
        for (std::size_t p = 0; p < kPlanes; ++p) {
            most[p] = maxima[p].load();
        }
        if (stage == 8 || !overflow) {
            break;
        }
    }
    // Narrowing moves every value to an offset at or below its own, so a forward pass reads
    // each value before anything overwrites it.
    char* const base = out.data();
    unsigned plane_bytes[kPlanes] = {};
    std::size_t at = planes_at;
    for (std::size_t p = 0; p < kPlanes; ++p) {
        plane_bytes[p] = bytes_for(most[p]);
        const char* from = base + planes_at + p * align8(cells * stage);
        char* to = base + at;
        with_width(stage, [&](auto staged) {
            with_width(plane_bytes[p], [&](auto narrowed) {
                using Staged = decltype(staged);
                using Narrowed = decltype(narrowed);
                for (std::size_t i = 0; i < cells; ++i) {
                    store_as<Narrowed>(to + i * sizeof(Narrowed),
                                       load_as<Staged>(from + i * sizeof(Staged)));
                }
            });
        });
        at = align8(at + cells * plane_bytes[p]);
    }
    std::memset(base + at, 0, out.size() - at);

    // The step rows, column by column.
    const std::size_t column = align8(4 * rows);
    std::size_t row = 0;
    for (std::size_t t = 0; t < shown.size(); ++t) {
        for (const Placed& placed : listed[t]) {
            const std::uint64_t values[kStepColumns] = {
                placed.offset, placed.duration, distinct_of_row[row], columns.phase[placed.sample],
                columns.epoch[placed.sample]};
            for (std::size_t c = 0; c < kStepColumns; ++c) {
                store32(base + at + c * column + 4 * row, values[c]);
            }
            ++row;
        }
    }
    at += kStepColumns * column;
    for (std::size_t i = 0; i < step_fields.size(); ++i) {
        store32(base + at + 4 * i, step_fields[i]);
    }
    at += align8(4 * step_fields.size());
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        store32(base + at + 4 * i, pairs[i]);
    }
    at += align8(4 * pairs.size());
    at = static_cast<std::size_t>(strings.write(base + at) - base);
    out.resize(at);

    // The tiles.
    std::uint64_t first_row = 0;
    std::uint32_t summary_row = 0;
    for (std::size_t t = 0; t < shown.size(); ++t) {
        char* const record = base + kHeaderBytes + kTileFields * 4 * t;
        store32(record, shown[t]->physical);
        store32(record + 4, listing[t] ? kNoRow : summary_row++);
        store32(record + 8, first_row);
        store32(record + 12, listed[t].size());
        first_row += listed[t].size();
    }

    // The header.
    std::memcpy(base, "VTLB", 4);
    store32(base + 4, kVersion);
    store_as<std::uint64_t>(base + 8, request.from);
    store_as<std::uint64_t>(base + 16, request.to);
    store_as<std::uint64_t>(base + 24, columns.clock_hz);
    store_as<std::uint64_t>(base + 32, bucket_cycles());
    store_as<std::uint64_t>(
        base + 40, std::bit_cast<std::uint64_t>(static_cast<double>(request.to - request.from) /
                                                static_cast<double>(width)));
    const std::uint64_t counts[] = {width,
                                    shown.size(),
                                    summarised.size(),
                                    rows,
                                    numbers.size(),
                                    pairs.size() / 2,
                                    strings.count(),
                                    vorn_view::kKindCount,
                                    kernel_names_.size()};
    for (std::size_t i = 0; i < std::size(counts); ++i) {
        store32(base + 48 + 4 * i, counts[i]);
    }
    for (std::size_t p = 0; p < kPlanes; ++p) {
        base[84 + p] = static_cast<char>(plane_bytes[p]);
    }
    store32(base + 92, strings.byte_count());
    return out;
}

}  // namespace vorn_cli
