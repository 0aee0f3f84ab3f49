// Opening a packed profile: every field of the header and the section table, every checksum,
// and every number a query will use as an index is checked before the columns are handed out.
// The checks run in an order that keeps each one safe: the table before the sections, the
// checksums before the contents, the text table before the texts, counts before indexes.
#include <simdjson.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <numeric>
#include <tuple>
#include <vector>

#include "parallel_for.hpp"
#include "profile_packed_input.hpp"
#include "profile_packed_layout.hpp"
#include "vorn_package/profile_packed.hpp"

namespace vorn_package {
namespace {

using packed::Entry;
using packed::kSectionCount;
using packed::kSections;
using packed::load;

constexpr std::uint64_t kMaxNumber = std::uint64_t{1} << 32;  // numbers are 32-bit

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%016" PRIx64, value);
    return text;
}

std::string count_of(std::uint64_t count, const char* what) {
    return std::to_string(count) + " " + what;
}

/// Whether any of `values` is at least `limit`; written without an early exit so that the
/// compiler vectorises it, since it runs over every sample.
bool any_at_least(const std::uint32_t* values, std::size_t count, std::uint64_t limit) {
    if (limit > 0xffff'ffffULL) {
        return false;
    }
    const auto bound = static_cast<std::uint32_t>(limit);
    bool any = false;
    for (std::size_t i = 0; i < count; ++i) {
        any |= values[i] >= bound;
    }
    return any;
}

/// The lowest-numbered element equal to an element before it, and the first of those equals;
/// `number` is the count of elements when no two are equal.
struct Repeat {
    std::uint64_t number = 0;
    std::uint64_t original = 0;
};

/// Looks for repeats among elements 0 to `count` - 1 (at most 2^32 of them) by sorting their
/// numbers with `less` and comparing neighbours with `equal`. A hash table could be driven
/// into one long chain by a file crafted to collide in its hash; a merge sort makes
/// O(n log n) comparisons whatever the content, and as each comparison costs at most the size
/// of the element it moves to the output, every level of merging costs at most the size of
/// all the elements.
template <class Less, class Equal>
Repeat first_repeat(std::uint64_t count, Less less, Equal equal) {
    std::vector<std::uint32_t> order(static_cast<std::size_t>(count));
    std::iota(order.begin(), order.end(), std::uint32_t{0});
    // Stable: equal elements stay in number order, the first of them leads.
    std::stable_sort(order.begin(), order.end(), less);
    Repeat repeat{count, 0};
    std::uint32_t leader = order.empty() ? 0 : order[0];  // the first of order[i]'s equals
    for (std::size_t i = 1; i < order.size(); ++i) {
        if (!equal(order[i - 1], order[i])) {
            leader = order[i];
        } else if (order[i] < repeat.number) {
            repeat = {order[i], leader};
        }
    }
    return repeat;
}

#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22  // Linux 5.14; older kernels refuse it and the pages fault in
#endif

/// Maps the pages of `bytes` in one call rather than one fault at a time (a mapped file's
/// pages are read ahead in bulk). A kernel that cannot is left to fault them in as read.
void populate(const char* bytes, std::uint64_t size) {
    static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto first = reinterpret_cast<std::uintptr_t>(bytes) & ~(page - 1);
    const auto end = reinterpret_cast<std::uintptr_t>(bytes) + size;
    if (size > 0) {
        ::madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_READ);
    }
}

/// Below this many samples the checks run on one thread: starting others costs more.
constexpr std::uint64_t kThreadedSamples = std::uint64_t{1} << 18;

class Validator {
public:
    Validator(std::string_view file, std::shared_ptr<const void> owner, PackedOpening opening)
        : file_(file), owner_(std::move(owner)), opening_(opening) {}

    Result<ProfileColumns, ReadError> run() {
        if (!header() || !table() || !checksums() || !counts() || !texts() || !steps() ||
            !metadata() || !unique_steps() || !tiles() || !samples()) {
            return Unexpected<ReadError>{std::move(error_)};
        }
        return columns();
    }

private:
    // Every check returns false after recording the first error.
    bool fail(std::uint64_t offset, std::string path, std::string message) {
        error_ = {offset, std::move(path), std::move(message)};
        return false;
    }
    bool fail_in(std::uint32_t id, std::uint64_t offset, std::string message) {
        return fail(offset, "section " + std::string(kSections[id].name), std::move(message));
    }
    /// The byte of element `index` of section `id`.
    std::uint64_t at(std::uint32_t id, std::uint64_t index) const {
        return entries_[id].offset + index * kSections[id].element_size;
    }
    std::uint64_t count(std::uint32_t id) const {
        return entries_[id].size / kSections[id].element_size;
    }
    template <class T>
    const T* array(std::uint32_t id) const {
        return reinterpret_cast<const T*>(file_.data() + entries_[id].offset);
    }

    bool header() {
        const std::size_t magic = std::min(file_.size(), packed::kMagic.size());
        if (!std::equal(file_.begin(), file_.begin() + static_cast<std::ptrdiff_t>(magic),
                        reinterpret_cast<const char*>(packed::kMagic.data()))) {
            return fail(0, "header", "not a packed profile (wrong magic number)");
        }
        if (file_.size() < packed::kHeaderSize) {
            return fail(file_.size(), "header",
                        "the file ends inside the header (" + count_of(file_.size(), "bytes") +
                            ", the header alone is " + std::to_string(packed::kHeaderSize) + ")");
        }
        const auto version = load<std::uint32_t>(file_.data() + packed::kVersionAt);
        if (version != kPackedFormatVersion) {
            return fail(packed::kVersionAt, "header",
                        "unsupported packed format version " + std::to_string(version) +
                            " (this build reads version " + std::to_string(kPackedFormatVersion) +
                            ")");
        }
        const auto size = load<std::uint64_t>(file_.data() + packed::kFileSizeAt);
        if (size != file_.size()) {
            return fail(packed::kFileSizeAt, "header",
                        "the header gives a file of " + count_of(size, "bytes") + ", but it has " +
                            std::to_string(file_.size()) +
                            (size > file_.size() ? " (truncated)" : " (extended)"));
        }
        const auto sections = load<std::uint32_t>(file_.data() + packed::kSectionCountAt);
        if (sections != kSectionCount) {
            return fail(packed::kSectionCountAt, "header",
                        count_of(sections, "sections") + " in the table, expected " +
                            std::to_string(kSectionCount));
        }
        if (file_.size() < packed::kTableEnd) {
            return fail(file_.size(), "section table",
                        "the file ends inside the section table, which runs to byte " +
                            std::to_string(packed::kTableEnd));
        }
        const auto stored = load<std::uint64_t>(file_.data() + packed::kTableChecksumAt);
        const std::uint64_t computed = packed::table_checksum(file_.data());
        if (stored != computed) {
            return fail(packed::kTableChecksumAt, "header",
                        "checksum mismatch in the header and section table (stored " + hex(stored) +
                            ", computed " + hex(computed) + ")");
        }
        return true;
    }

    bool table() {
        std::array<bool, kSectionCount> seen{};
        std::array<std::uint32_t, kSectionCount> by_position{};
        for (std::uint32_t i = 0; i < kSectionCount; ++i) {
            const std::uint64_t byte = packed::kHeaderSize + packed::kEntrySize * i;
            const char* raw = file_.data() + byte;
            Entry entry;
            entry.id = load<std::uint32_t>(raw);
            entry.element_size = load<std::uint32_t>(raw + packed::kEntryElementSizeAt);
            entry.offset = load<std::uint64_t>(raw + packed::kEntryOffsetAt);
            entry.size = load<std::uint64_t>(raw + packed::kEntrySizeAt);
            entry.checksum = load<std::uint64_t>(raw + packed::kEntryChecksumAt);
            const std::string path = "section table[" + std::to_string(i) + "]";
            if (entry.id >= kSectionCount) {
                return fail(byte, path, "unknown section id " + std::to_string(entry.id));
            }
            const std::string name(kSections[entry.id].name);
            if (seen[entry.id]) {
                return fail(byte, path, "section " + name + " is listed twice");
            }
            seen[entry.id] = true;
            by_position[i] = entry.id;
            const std::uint32_t width = kSections[entry.id].element_size;
            if (entry.element_size != width) {
                return fail(byte + packed::kEntryElementSizeAt, path,
                            "section " + name + " has elements of " +
                                count_of(entry.element_size, "bytes") + ", expected " +
                                std::to_string(width));
            }
            if (entry.offset % packed::kAlignment != 0) {
                return fail(byte + packed::kEntryOffsetAt, path,
                            "section " + name + " begins at byte " + std::to_string(entry.offset) +
                                ", not a multiple of " + std::to_string(packed::kAlignment));
            }
            if (entry.offset < packed::kTableEnd) {
                return fail(byte + packed::kEntryOffsetAt, path,
                            "section " + name + " begins at byte " + std::to_string(entry.offset) +
                                ", inside the header and section table (" +
                                count_of(packed::kTableEnd, "bytes") + ")");
            }
            if (entry.offset > file_.size() || entry.size > file_.size() - entry.offset) {
                return fail(byte + packed::kEntrySizeAt, path,
                            "section " + name + " (" + count_of(entry.size, "bytes") +
                                " from byte " + std::to_string(entry.offset) +
                                ") runs past the end of the file (" +
                                count_of(file_.size(), "bytes") + ")");
            }
            if (entry.size % width != 0) {
                return fail(byte + packed::kEntrySizeAt, path,
                            "section " + name + " has " + count_of(entry.size, "bytes") +
                                ", not a whole number of " + std::to_string(width) +
                                "-byte elements");
            }
            entries_[entry.id] = entry;
        }
        // No two sections may share a byte. A section of no bytes shares none, wherever it
        // begins: the writers place one where the next section begins.
        std::array<std::uint32_t, kSectionCount> order{};
        const auto filled = std::copy_if(by_position.begin(), by_position.end(), order.begin(),
                                         [&](std::uint32_t id) { return entries_[id].size > 0; }) -
                            order.begin();
        std::sort(order.begin(), order.begin() + filled, [&](std::uint32_t a, std::uint32_t b) {
            return entries_[a].offset < entries_[b].offset;
        });
        for (std::ptrdiff_t k = 1; k < filled; ++k) {
            const Entry& before = entries_[order[k - 1]];
            const Entry& after = entries_[order[k]];
            if (before.offset + before.size > after.offset) {
                const auto position = static_cast<std::uint64_t>(
                    std::find(by_position.begin(), by_position.end(), after.id) -
                    by_position.begin());
                return fail(
                    packed::kHeaderSize + packed::kEntrySize * position + packed::kEntryOffsetAt,
                    "section table[" + std::to_string(position) + "]",
                    "section " + std::string(kSections[after.id].name) + " (from byte " +
                        std::to_string(after.offset) + ") overlaps section " +
                        std::string(kSections[before.id].name) + " (bytes " +
                        std::to_string(before.offset) + " to " +
                        std::to_string(before.offset + before.size) + ")");
            }
        }
        return true;
    }

    /// Every section's checksum, the largest sections first so that the threads end together;
    /// a mismatch is reported for the first section in id order.
    bool checksums() {
        std::array<std::uint32_t, kSectionCount> order{};
        std::iota(order.begin(), order.end(), std::uint32_t{0});
        std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
            return entries_[a].size > entries_[b].size;
        });
        std::array<std::uint64_t, kSectionCount> computed{};
        const bool large = file_.size() / 28 >= kThreadedSamples;
        parallel_for(kSectionCount, large ? opening_.threads : 1, [&](std::size_t k) {
            const Entry& entry = entries_[order[k]];
            if (opening_.populate) {
                populate(file_.data() + entry.offset, entry.size);
            }
            computed[order[k]] = packed::checksum(file_.data() + entry.offset, entry.size);
        });
        for (std::uint32_t id = 0; id < kSectionCount; ++id) {
            const Entry& entry = entries_[id];
            if (computed[id] != entry.checksum) {
                return fail_in(id, entry.offset,
                               "checksum mismatch (stored " + hex(entry.checksum) + ", computed " +
                                   hex(computed[id]) + ")");
            }
        }
        return true;
    }

    /// A section whose element count is not the one the others imply.
    bool wrong_count(std::uint32_t id, std::uint64_t expected, const std::string& why) {
        return fail_in(id, entries_[id].offset,
                       "holds " + count_of(count(id), "elements") + ", expected " +
                           std::to_string(expected) + " (" + why + ")");
    }

    bool too_many(std::uint32_t id, const char* what) {
        return fail_in(id, entries_[id].offset,
                       "holds " + count_of(count(id), what) + ", more than 32-bit numbers name");
    }

    bool counts() {
        tiles_ = count(packed::kTilePhysical);
        samples_ = count(packed::kStartCycle);
        steps_ = count(packed::kStepKind);
        if (tiles_ > kMaxNumber) {
            return too_many(packed::kTilePhysical, "tiles");
        }
        if (steps_ > kMaxNumber) {
            return too_many(packed::kStepKind, "steps");
        }
        if (count(packed::kTileSampleBegin) != tiles_ + 1) {
            return wrong_count(packed::kTileSampleBegin, tiles_ + 1,
                               "one more than the " + count_of(tiles_, "tiles"));
        }
        for (std::uint32_t id = packed::kSampleTile; id <= packed::kStep; ++id) {
            if (count(id) != samples_) {
                return wrong_count(id, samples_, "one per sample, as in start_cycle");
            }
        }
        for (std::uint32_t id : {packed::kStepKernel, packed::kStepOperation}) {
            if (count(id) != steps_) {
                return wrong_count(id, steps_, "one per step, as in step_kind");
            }
        }
        if (count(packed::kStepMetadataBegin) != steps_ + 1) {
            return wrong_count(packed::kStepMetadataBegin, steps_ + 1,
                               "one more than the " + count_of(steps_, "steps"));
        }
        if (count(packed::kTextBegin) == 0) {
            return fail_in(packed::kTextBegin, entries_[packed::kTextBegin].offset,
                           "holds no elements, expected at least the leading 0");
        }
        texts_ = count(packed::kTextBegin) - 1;
        if (texts_ > kMaxNumber) {
            return too_many(packed::kTextBegin, "texts");
        }
        return true;
    }

    /// The words for one table of ranges in error messages: "tile 3's samples begin at ...",
    /// "the tiles end at sample 90, but there are 100 samples".
    struct RangeWords {
        const char* owner;  ///< "tile"
        const char* owned;  ///< "samples"
        const char* unit;   ///< "sample"
    };

    /// Checks that the `count + 1` begins of section `id` start at 0, never decrease, and end
    /// at `end`, where the ranges' content ends (`total` says what that is).
    bool ranges(std::uint32_t id, std::uint64_t count, std::uint64_t end, RangeWords words,
                const std::string& total) {
        const std::uint64_t* begins = array<std::uint64_t>(id);
        const std::string owner = words.owner;
        const std::string owned = words.owned;
        if (begins[0] != 0) {
            return fail_in(id, at(id, 0),
                           owner + " 0's " + owned + " begin at " + std::to_string(begins[0]) +
                               ", expected 0");
        }
        for (std::uint64_t i = 1; i <= count; ++i) {
            if (begins[i] < begins[i - 1]) {
                return fail_in(
                    id, at(id, i),
                    (i == count ? "the " + owner + "s' " + owned + " end"
                                : owner + " " + std::to_string(i) + "'s " + owned + " begin") +
                        " at " + std::to_string(begins[i]) + ", before " + owner + " " +
                        std::to_string(i - 1) + "'s at " + std::to_string(begins[i - 1]) +
                        ": the ranges overlap");
            }
        }
        if (begins[count] != end) {
            return fail_in(id, at(id, count),
                           "the " + owner + "s end at " + words.unit + " " +
                               std::to_string(begins[count]) + ", but " + total);
        }
        return true;
    }

    std::string_view text(std::uint64_t number) const {
        const std::uint64_t* begins = array<std::uint64_t>(packed::kTextBegin);
        return {array<char>(packed::kTextBytes) + begins[number],
                static_cast<std::size_t>(begins[number + 1] - begins[number])};
    }

    bool texts() {
        if (!ranges(packed::kTextBegin, texts_, entries_[packed::kTextBytes].size,
                    {"text", "bytes", "byte"},
                    "text_bytes holds " + count_of(entries_[packed::kTextBytes].size, "bytes"))) {
            return false;
        }
        const std::uint64_t* begins = array<std::uint64_t>(packed::kTextBegin);
        for (std::uint64_t i = 0; i < texts_; ++i) {
            const std::string_view t = text(i);
            if (!simdjson::validate_utf8(t.data(), t.size())) {
                return fail_in(packed::kTextBytes, at(packed::kTextBytes, begins[i]),
                               "text " + std::to_string(i) + " (" + count_of(t.size(), "bytes") +
                                   ") is not valid UTF-8");
            }
        }
        const Repeat repeat = first_repeat(
            texts_, [&](std::uint32_t a, std::uint32_t b) { return text(a) < text(b); },
            [&](std::uint32_t a, std::uint32_t b) { return text(a) == text(b); });
        if (repeat.number < texts_) {
            return fail_in(packed::kTextBytes, at(packed::kTextBytes, begins[repeat.number]),
                           "text " + std::to_string(repeat.number) + " repeats text " +
                               std::to_string(repeat.original) + ": every text is stored once");
        }
        return true;
    }

    bool bad_text_number(std::uint32_t id, std::uint64_t byte, std::uint32_t number,
                         const std::string& owner) {
        return fail_in(id, byte,
                       owner + ": text number " + std::to_string(number) + " out of range (" +
                           count_of(texts_, "texts") + ")");
    }

    bool steps() {
        const auto* kinds = array<std::uint8_t>(packed::kStepKind);
        for (std::uint64_t s = 0; s < steps_; ++s) {
            if (kinds[s] > static_cast<std::uint8_t>(ProfileStepKind::Idle)) {
                return fail_in(packed::kStepKind, at(packed::kStepKind, s),
                               "step " + std::to_string(s) + " has kind " +
                                   std::to_string(kinds[s]) + " (kinds are 0 to 3)");
            }
        }
        for (std::uint32_t id : {packed::kStepKernel, packed::kStepOperation}) {
            const auto* numbers = array<std::uint32_t>(id);
            for (std::uint64_t s = 0; s < steps_; ++s) {
                if (numbers[s] >= texts_) {
                    return bad_text_number(id, at(id, s), numbers[s], "step " + std::to_string(s));
                }
            }
        }
        return true;
    }

    bool metadata() {
        const std::uint64_t entries = count(packed::kMetadata);
        if (!ranges(packed::kStepMetadataBegin, steps_, entries, {"step", "metadata", "entry"},
                    "metadata holds " + count_of(entries, "entries"))) {
            return false;
        }
        const auto* pairs = array<std::uint32_t>(packed::kMetadata);
        for (std::uint64_t i = 0; i < entries * 2; ++i) {
            if (pairs[i] >= texts_) {
                return bad_text_number(packed::kMetadata,
                                       entries_[packed::kMetadata].offset + 4 * i, pairs[i],
                                       "metadata entry " + std::to_string(i / 2) +
                                           (i % 2 == 0 ? " (name)" : " (value)"));
            }
        }
        return true;
    }

    /// Steps are stored once each too, so that one step number means one step.
    bool unique_steps() {
        const auto* kinds = array<std::uint8_t>(packed::kStepKind);
        const auto* kernels = array<std::uint32_t>(packed::kStepKernel);
        const auto* operations = array<std::uint32_t>(packed::kStepOperation);
        const auto* begins = array<std::uint64_t>(packed::kStepMetadataBegin);
        const auto* pairs = array<MetadataPair>(packed::kMetadata);
        const auto key = [&](std::uint32_t s) {
            return std::tuple(kinds[s], kernels[s], operations[s]);
        };
        const auto metadata_of = [&](std::uint32_t s) {
            return std::span<const MetadataPair>(pairs + begins[s], begins[s + 1] - begins[s]);
        };
        const auto by_name_then_value = [](const MetadataPair& a, const MetadataPair& b) {
            return std::tie(a.name, a.value) < std::tie(b.name, b.value);
        };
        const auto less = [&](std::uint32_t a, std::uint32_t b) {
            if (key(a) != key(b)) {
                return key(a) < key(b);
            }
            const auto ma = metadata_of(a);
            const auto mb = metadata_of(b);
            return std::lexicographical_compare(ma.begin(), ma.end(), mb.begin(), mb.end(),
                                                by_name_then_value);
        };
        const auto equal = [&](std::uint32_t a, std::uint32_t b) {
            const auto ma = metadata_of(a);
            const auto mb = metadata_of(b);
            return key(a) == key(b) && std::equal(ma.begin(), ma.end(), mb.begin(), mb.end());
        };
        const Repeat repeat = first_repeat(steps_, less, equal);
        if (repeat.number < steps_) {
            return fail_in(packed::kStepKind, at(packed::kStepKind, repeat.number),
                           "step " + std::to_string(repeat.number) + " repeats step " +
                               std::to_string(repeat.original) + ": every step is stored once");
        }
        return true;
    }

    bool tiles() {
        return ranges(packed::kTileSampleBegin, tiles_, samples_, {"tile", "samples", "sample"},
                      "there are " + count_of(samples_, "samples"));
    }

    /// Every sample names the tile record it lies in and a step that exists. The tile records
    /// are cut into one range a thread; the first fault of all is reported.
    bool samples() {
        const std::uint64_t* begins = array<std::uint64_t>(packed::kTileSampleBegin);
        const auto* sample_tile = array<std::uint32_t>(packed::kSampleTile);
        const auto* steps = array<std::uint32_t>(packed::kStep);
        const std::size_t parts =
            samples_ >= kThreadedSamples ? std::max<std::size_t>(opening_.threads, 1) : 1;
        std::vector<std::uint64_t> bad_tile(parts, tiles_);
        std::vector<std::uint64_t> bad_block(parts, samples_);
        // In blocks, so that the common case runs vectorised and a fault is still located.
        constexpr std::uint64_t kBlock = 1 << 14;
        parallel_for(parts, parts, [&](std::size_t part) {
            const std::uint64_t first = tiles_ * part / parts;
            const std::uint64_t last = tiles_ * (part + 1) / parts;
            for (std::uint64_t t = first; t < last; ++t) {
                const auto tile = static_cast<std::uint32_t>(t);
                bool differs = false;
                for (std::uint64_t s = begins[t]; s < begins[t + 1]; ++s) {
                    differs |= sample_tile[s] != tile;
                }
                if (differs) {
                    bad_tile[part] = t;
                    break;
                }
            }
            const std::uint64_t end = begins[last];
            for (std::uint64_t begin = begins[first]; begin < end; begin += kBlock) {
                const std::uint64_t size = std::min(kBlock, end - begin);
                if (any_at_least(steps + begin, static_cast<std::size_t>(size), steps_)) {
                    bad_block[part] = begin;
                    break;
                }
            }
        });
        if (const std::uint64_t t = *std::min_element(bad_tile.begin(), bad_tile.end());
            t < tiles_) {
            std::uint64_t s = begins[t];
            while (sample_tile[s] == t) {
                ++s;
            }
            return fail_in(packed::kSampleTile, at(packed::kSampleTile, s),
                           "sample " + std::to_string(s) + " names tile " +
                               std::to_string(sample_tile[s]) + ", but lies in tile " +
                               std::to_string(t) + "'s samples [" + std::to_string(begins[t]) +
                               ", " + std::to_string(begins[t + 1]) + ")");
        }
        if (std::uint64_t s = *std::min_element(bad_block.begin(), bad_block.end()); s < samples_) {
            while (steps[s] < steps_) {
                ++s;
            }
            return fail_in(packed::kStep, at(packed::kStep, s),
                           "sample " + std::to_string(s) + ": step number " +
                               std::to_string(steps[s]) + " out of range (" +
                               count_of(steps_, "steps") + ")");
        }
        return true;
    }

    template <class T>
    std::span<const T> span(std::uint32_t id) const {
        return {array<T>(id),
                static_cast<std::size_t>(count(id) * kSections[id].element_size / sizeof(T))};
    }

    ProfileColumns columns() const {
        ProfileColumns c;
        c.clock_hz = load<std::uint64_t>(file_.data() + packed::kClockAt);
        c.tile_physical = span<std::uint32_t>(packed::kTilePhysical);
        c.tile_sample_begin = span<std::uint64_t>(packed::kTileSampleBegin);
        c.sample_tile = span<std::uint32_t>(packed::kSampleTile);
        c.start_cycle = span<std::uint32_t>(packed::kStartCycle);
        c.end_cycle = span<std::uint32_t>(packed::kEndCycle);
        c.phase = span<std::uint32_t>(packed::kPhase);
        c.epoch = span<std::uint32_t>(packed::kEpoch);
        c.local_index = span<std::uint32_t>(packed::kLocalIndex);
        c.step = span<std::uint32_t>(packed::kStep);
        c.step_kind = span<ProfileStepKind>(packed::kStepKind);
        c.step_kernel = span<std::uint32_t>(packed::kStepKernel);
        c.step_operation = span<std::uint32_t>(packed::kStepOperation);
        c.step_metadata_begin = span<std::uint64_t>(packed::kStepMetadataBegin);
        c.metadata = span<MetadataPair>(packed::kMetadata);
        c.text_begin = span<std::uint64_t>(packed::kTextBegin);
        c.text_bytes = span<char>(packed::kTextBytes);
        c.storage = owner_;
        return c;
    }

    std::string_view file_;
    std::shared_ptr<const void> owner_;
    PackedOpening opening_;
    std::array<Entry, kSectionCount> entries_{};
    std::uint64_t tiles_ = 0;
    std::uint64_t samples_ = 0;
    std::uint64_t steps_ = 0;
    std::uint64_t texts_ = 0;
    ReadError error_;
};

}  // namespace

Result<ProfileColumns, ReadError> open_packed_bytes(std::string_view bytes,
                                                    std::shared_ptr<const void> owner,
                                                    PackedOpening opening) {
    if (auto problem = profile_reader_environment_error()) {
        return Unexpected<ReadError>{{0, "", *std::move(problem)}};
    }
    if (reinterpret_cast<std::uintptr_t>(bytes.data()) % packed::kAlignment != 0) {
        auto copy = std::make_shared<std::vector<std::uint64_t>>(
            (bytes.size() + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
        std::memcpy(copy->data(), bytes.data(), bytes.size());
        bytes = {reinterpret_cast<const char*>(copy->data()), bytes.size()};
        owner = std::move(copy);
        opening.populate = false;
    }
    return Validator(bytes, std::move(owner), opening).run();
}

Result<ProfileColumns, ReadError> open_profile_packed_memory(std::string_view bytes,
                                                             std::shared_ptr<const void> owner) {
    return open_packed_bytes(bytes, std::move(owner), {});
}

}  // namespace vorn_package
