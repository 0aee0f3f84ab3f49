#include "samples.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "output.hpp"
#include "vorn_package/buffered_output.hpp"
#include "vorn_view/timeline.hpp"

namespace vorn_cli {
namespace {

using vorn_view::kind_text;
using vorn_view::SampleFilter;

// Rows are put together in a block that is written once it holds this much: as much as the
// output buffer holds, so that the block goes to the file without another copy.
constexpr std::size_t kBlock = vorn_package::BufferedOutput::kDefaultCapacity;
// Texts are copied in whole pieces of up to this many bytes, which may read and write past
// their ends: every source keeps this much room behind its last byte.
constexpr std::size_t kPiece = 64;
// What a row may write besides its step's texts: the tile's start, five numbers of up to 20
// digits and the keys between them, each with what its copy may spill past its end.
constexpr std::size_t kRowRoom = 512;
// The texts of the steps rows have used are kept made, up to this many bytes, for profiles of
// up to this many steps; beyond, a step's texts are made for each of its rows, so that memory
// does not grow with a profile whose every step is distinct.
constexpr std::size_t kCachedBytes = std::size_t{16} << 20;
constexpr std::uint64_t kCachedSteps = std::uint64_t{1} << 20;

/// Copies `size` bytes in whole pieces of `piece` bytes (one for a text that fits in one);
/// returns the end of the copy.
template <std::size_t piece>
inline char* copy_pieces(char* to, const char* from, std::size_t size) {
    static_assert(piece <= kPiece);
    std::memcpy(to, from, piece);
    if (size > piece) [[unlikely]] {
        for (std::size_t done = piece; done < size; done += piece) {
            std::memcpy(to + done, from + done, piece);
        }
    }
    return to + size;
}

/// A short text with room behind it for `copy_pieces`.
class PaddedText {
public:
    explicit PaddedText(std::string_view text = {}) { assign(text); }
    PaddedText(const PaddedText&) = delete;
    PaddedText& operator=(const PaddedText&) = delete;

    void assign(std::string_view text) {
        text_.assign(text);
        size_ = text_.size();
        text_.append(kPiece, '\0');
        data_ = text_.data();
    }
    /// The text, whose bytes are followed by a piece's room.
    std::string_view view() const { return {data_, size_}; }

private:
    std::string text_;
    const char* data_ = nullptr;
    std::size_t size_ = 0;
};

constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

/// `value` (below 100) as two digits.
inline void put_pair(char* at, std::uint32_t value) { std::memcpy(at, kPairs + 2 * value, 2); }

/// The numbers below 10000 as four digits each, one after another.
struct Quads {
    char digits[4 * 10000] = {};
};

constexpr Quads make_quads() {
    Quads quads;
    for (int value = 0; value < 10000; ++value) {
        char* const at = quads.digits + 4 * value;
        at[0] = static_cast<char>('0' + value / 1000);
        at[1] = static_cast<char>('0' + value / 100 % 10);
        at[2] = static_cast<char>('0' + value / 10 % 10);
        at[3] = static_cast<char>('0' + value % 10);
    }
    return quads;
}

constexpr Quads kQuads = make_quads();

/// `value` (below 10000) as four digits.
inline void put_four(char* at, std::uint32_t value) {
    std::memcpy(at, kQuads.digits + 4 * value, 4);
}

/// `value` (below 10000) without leading zeros. A number of three digits is copied with the
/// next number's first digit behind it, which what follows the number writes over.
inline char* put_small(char* at, std::uint32_t value) {
    if (value < 100) {
        if (value < 10) {
            *at = static_cast<char>('0' + value);
            return at + 1;
        }
        put_pair(at, value);
        return at + 2;
    }
    const char* const digits = kQuads.digits + 4 * value;
    if (value < 1000) {
        std::memcpy(at, digits + 1, 4);
        return at + 3;
    }
    std::memcpy(at, digits, 4);
    return at + 4;
}

/// Writes `value` in decimal; returns the end of its digits. The digits are made four at a
/// time from halves that do not wait for each other.
inline char* put_number(char* at, std::uint32_t value) {
    if (value < 10000) {
        return put_small(at, value);
    }
    if (value < 100000000) {
        const std::uint32_t high = value / 10000;
        at = put_small(at, high);
        put_four(at, value - high * 10000);
        return at + 4;
    }
    const std::uint32_t high = value / 100000000;
    const std::uint32_t low = value - high * 100000000;
    const std::uint32_t middle = low / 10000;
    at = put_small(at, high);
    put_four(at, middle);
    put_four(at + 4, low - middle * 10000);
    return at + 8;
}

void append_number(std::string& out, std::uint64_t value) {
    char digits[20];
    out.append(digits, std::to_chars(std::begin(digits), std::end(digits), value).ptr);
}

void append_escaped_entry(std::string& out, std::string_view text) {
    for (const char c : text) {
        if (c == ';' || c == '=' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
}

/// What a row holds after `local_index`: operation, kernel and metadata, and the line end.
void append_step_end(std::string& out, const vorn_package::ProfileColumns& columns,
                     std::uint32_t step, SampleFormat format) {
    const std::string_view operation = columns.text(columns.step_operation[step]);
    const std::string_view kernel = columns.text(columns.step_kernel[step]);
    if (format == SampleFormat::Csv) {
        csv_field(out, operation);
        csv_field(out, kernel);
        std::string joined;
        for (const vorn_package::MetadataPair& entry : columns.step_metadata(step)) {
            if (!joined.empty()) {
                joined += ';';
            }
            append_escaped_entry(joined, columns.text(entry.name));
            joined += '=';
            append_escaped_entry(joined, columns.text(entry.value));
        }
        csv_field(out, joined);
        out += "\r\n";
        return;
    }
    out += ", \"operation\": ";
    append_json_string(out, operation);
    out += ", \"kernel\": ";
    append_json_string(out, kernel);
    out += ", \"metadata\": [";
    bool first = true;
    for (const vorn_package::MetadataPair& entry : columns.step_metadata(step)) {
        out += first ? "{\"name\": " : ", {\"name\": ";
        first = false;
        append_json_string(out, columns.text(entry.name));
        out += ", \"value\": ";
        append_json_string(out, columns.text(entry.value));
        out += '}';
    }
    out += "]}\n";
}

/// The part of a step inside the window, as the query counts it: a step of positive length
/// must overlap the window, a step of length 0 must start inside it.
bool clip(const vorn_profile::TimeWindow& window, std::uint64_t& offset, std::uint32_t& length) {
    if (length == 0) {
        return window.from <= offset && offset < window.to;
    }
    const std::uint64_t end = offset + length;
    if (offset >= window.to || end <= window.from) {
        return false;
    }
    offset = std::max(offset, window.from);
    length = static_cast<std::uint32_t>(std::min(end, window.to) - offset);
    return true;
}

/// The texts of a row that depend on its step alone: the kind with the keys around it, and
/// what follows `local_index` to the end of the line, each with a piece's room behind it.
struct StepText {
    const char* kind = nullptr;
    const char* end = nullptr;
    std::uint32_t kind_size = 0;
    std::uint32_t end_size = 0;
};

/// The step texts of the rows, each made once and kept while memory allows.
class StepTexts {
public:
    StepTexts(const vorn_package::ProfileColumns& columns, SampleFormat format)
        : columns_(&columns), format_(format) {
        if (columns.step_count() <= kCachedSteps) {
            texts_.resize(columns.step_count());
        }
    }

    /// The texts kept so far, by step (`kind` null for one not made yet): the table does not
    /// move, so a caller may look steps up in it before asking `of`.
    const StepText* kept() const { return texts_.data(); }
    std::size_t kept_count() const { return texts_.size(); }

    /// The texts of `step`; one not kept is valid until the next call. Out of line: a row
    /// comes here only for a step that has not been made yet or is not kept.
    [[gnu::noinline]] const StepText& of(std::uint32_t step) {
        if (step < texts_.size()) {
            StepText& text = texts_[step];
            if (text.kind != nullptr) {
                return text;
            }
            if (kept_ < kCachedBytes) {
                make(step);
                text = keep();
                return text;
            }
        }
        make(step);
        made_.append(kPiece, '\0');
        loose_ = texts_at(made_.data());
        return loose_;
    }

private:
    static constexpr std::size_t kChunk = std::size_t{1} << 20;

    /// Makes the texts of `step` into `made_`: the kind's part, then the end's.
    void make(std::uint32_t step) {
        const std::string_view kind = kind_text(columns_->step_kind[step]);
        made_.clear();
        if (format_ == SampleFormat::Csv) {
            made_ += ',';
            made_ += kind;
            made_ += ',';
        } else {
            made_ += ", \"kind\": \"";
            made_ += kind;
            made_ += "\", \"phase\": ";
        }
        kind_size_ = made_.size();
        append_step_end(made_, *columns_, step, format_);
        size_ = made_.size();
    }

    /// The texts just made, copied into a chunk, where they stay put.
    StepText keep() {
        const std::size_t size = size_ + kPiece;
        if (chunk_room_ < size) {
            const std::size_t chunk = std::max(kChunk, size);
            chunks_.push_back(std::make_unique<char[]>(chunk));
            chunk_end_ = chunks_.back().get() + chunk;
            chunk_room_ = chunk;
            kept_ += chunk;
        }
        char* const place = chunk_end_ - chunk_room_;
        std::memcpy(place, made_.data(), size_);
        std::memset(place + size_, 0, kPiece);
        chunk_room_ -= size;
        return texts_at(place);
    }

    /// The texts made last, where `texts` holds them.
    StepText texts_at(const char* texts) const {
        return {texts, texts + kind_size_, static_cast<std::uint32_t>(kind_size_),
                static_cast<std::uint32_t>(size_ - kind_size_)};
    }

    const vorn_package::ProfileColumns* columns_;
    SampleFormat format_;
    std::vector<StepText> texts_;  // per step; `kind` is null until made
    std::vector<std::unique_ptr<char[]>> chunks_;
    char* chunk_end_ = nullptr;
    std::size_t chunk_room_ = 0;
    std::size_t kept_ = 0;  // bytes of the chunks
    std::string made_;
    std::size_t kind_size_ = 0;
    std::size_t size_ = 0;
    StepText loose_;  // the texts of a step not kept, in `made_`
};

/// The keys between a row's numbers, each with a piece's room behind it.
struct RowKeys {
    explicit RowKeys(bool csv)
        : duration(csv ? "," : ", \"duration\": "),
          epoch(csv ? "," : ", \"epoch\": "),
          local_index(csv ? "," : ", \"local_index\": ") {}

    PaddedText duration;
    PaddedText epoch;
    PaddedText local_index;
};

/// Which rows `write_rows` leaves out: none when `plain`, the loop then not asking.
struct RowSelection {
    const SampleFilter& filter;
    bool filtering = false;
    bool clipping = false;
    vorn_profile::TimeWindow window;
};

/// Writes the rows of the selected steps. A row is put together in one block from plain copies
/// of whole pieces and numbers made in place: it is a few dozen bytes, and the appends of a
/// string would cost more than the row itself. What the loop reads is held in locals: a store
/// through `char*` could change anything else in memory, which would then be read anew for
/// every row. The block always has room for a row of any step kept so far past `kBlock`, so
/// that a row is checked only for being the first of a step not yet seen (or not kept).
template <bool csv, bool plain>
void write_rows(std::ostream& out, const vorn_package::ProfileColumns& columns,
                const RowSelection& selection, const RowKeys& keys, StepTexts& steps) {
    constexpr std::size_t kKeyPiece = csv ? 16 : 32;
    constexpr std::size_t kKindPiece = csv ? 32 : 64;
    const std::string_view duration_key = keys.duration.view();
    const std::string_view epoch_key = keys.epoch.view();
    const std::string_view local_key = keys.local_index.view();
    std::size_t room = kRowRoom;  // what a row may take past `kBlock`
    std::vector<char> block(kBlock + room);
    char* first = block.data();
    char* full = first + kBlock;
    char* at = first;
    if constexpr (csv) {
        const std::string_view header =
            "physical_tile,offset,duration,kind,phase,epoch,local_index,operation,kernel,"
            "metadata\r\n";
        at = std::copy(header.begin(), header.end(), at);
    }
    PaddedText tile_start;
    std::string text;
    // The epoch, with its key before it, changes seldom from row to row: it is made anew only
    // when it does.
    char epoch_text[64] = {};
    std::uint32_t epoch_value = 0;
    std::size_t epoch_size = 0;
    const auto make_epoch = [&](std::uint32_t value) {
        epoch_value = value;
        char* const digits = std::copy(epoch_key.begin(), epoch_key.end(), epoch_text);
        epoch_size = static_cast<std::size_t>(put_number(digits, value) - epoch_text);
    };
    make_epoch(0);
    const std::uint32_t* const start_cycle = columns.start_cycle.data();
    const std::uint32_t* const end_cycle = columns.end_cycle.data();
    const std::uint32_t* const phase = columns.phase.data();
    const std::uint32_t* const epoch = columns.epoch.data();
    const std::uint32_t* const local_index = columns.local_index.data();
    const std::uint32_t* const step_of = columns.step.data();
    const StepText* const kept = steps.kept();
    const std::size_t kept_count = steps.kept_count();
    for (std::uint64_t t = 0; t < columns.tile_count(); ++t) {
        const std::uint32_t physical = columns.tile_physical[t];
        const std::uint64_t begin = columns.tile_sample_begin[t];
        const std::uint64_t end = columns.tile_sample_begin[t + 1];
        if (begin == end || !selection.filter.keeps_tile(physical)) {
            continue;
        }
        text.clear();
        if constexpr (!csv) {
            text += "{\"physical_tile\": ";
        }
        append_number(text, physical);
        text += csv ? "," : ", \"offset\": ";
        tile_start.assign(text);
        const std::string_view start = tile_start.view();
        const std::uint32_t base = start_cycle[begin];
        for (std::uint64_t sample = begin; sample < end; ++sample) {
            std::uint64_t offset = static_cast<std::uint32_t>(start_cycle[sample] - base);
            std::uint32_t length = end_cycle[sample] - start_cycle[sample];
            if constexpr (!plain) {
                if (selection.filtering &&
                    !selection.filter.passes(sample, physical, offset, length)) {
                    continue;
                }
                if (selection.clipping && !clip(selection.window, offset, length)) {
                    continue;
                }
            }
            const std::uint32_t step_number = step_of[sample];
            const StepText* step = kept + step_number;
            if (step_number >= kept_count || step->kind == nullptr) [[unlikely]] {
                step = &steps.of(step_number);
                const std::size_t need = kRowRoom + step->kind_size + step->end_size;
                if (need > room) {
                    out.write(first, at - first);
                    room = need;
                    block.assign(kBlock + room, '\0');
                    first = block.data();
                    full = first + kBlock;
                    at = first;
                }
            }
            if constexpr (csv) {
                // A tile's number and a comma: at most 11 bytes, one piece.
                std::memcpy(at, start.data(), kKeyPiece);
                at += start.size();
            } else {
                at = copy_pieces<kPiece>(at, start.data(), start.size());
            }
            if constexpr (plain) {
                at = put_number(at, static_cast<std::uint32_t>(offset));
            } else {
                // A window that starts past 2^32 - 1 moves a clipped offset there.
                at = offset <= UINT32_MAX ? put_number(at, static_cast<std::uint32_t>(offset))
                                          : std::to_chars(at, at + 20, offset).ptr;
            }
            if constexpr (csv) {
                *at++ = ',';
            } else {
                at = copy_pieces<kKeyPiece>(at, duration_key.data(), duration_key.size());
            }
            at = put_number(at, length);
            at = copy_pieces<kKindPiece>(at, step->kind, step->kind_size);
            at = put_number(at, phase[sample]);
            if (epoch[sample] != epoch_value) [[unlikely]] {
                make_epoch(epoch[sample]);
            }
            std::memcpy(at, epoch_text, kKeyPiece);
            at += epoch_size;
            if constexpr (csv) {
                *at++ = ',';
            } else {
                at = copy_pieces<kKeyPiece>(at, local_key.data(), local_key.size());
            }
            at = put_number(at, local_index[sample]);
            at = copy_pieces<kPiece>(at, step->end, step->end_size);
            if (at >= full) {
                out.write(first, at - first);
                at = first;
            }
        }
    }
    out.write(first, at - first);
}

}  // namespace

void write_samples(std::ostream& out, const vorn_package::ProfileColumns& columns,
                   const vorn_profile::Query& query, const vorn_profile::TimeWindow& window,
                   SampleFormat format) {
    StepTexts steps(columns, format);
    const SampleFilter filter(columns, query);
    const RowSelection selection{
        filter,
        query.kind || query.kernel || query.operation_contains || !query.tiles.empty() ||
            !query.phases.empty() || !query.metadata.empty() || query.at_offset ||
            !query.epochs.empty() || query.kernel_matches || query.operation_matches ||
            !query.exclude_kinds.empty() || !query.exclude_kernels.empty(),
        window != vorn_profile::TimeWindow{}, window};
    const bool plain = !selection.filtering && !selection.clipping;
    const RowKeys keys(format == SampleFormat::Csv);
    if (format == SampleFormat::Csv) {
        plain ? write_rows<true, true>(out, columns, selection, keys, steps)
              : write_rows<true, false>(out, columns, selection, keys, steps);
    } else {
        plain ? write_rows<false, true>(out, columns, selection, keys, steps)
              : write_rows<false, false>(out, columns, selection, keys, steps);
    }
}

}  // namespace vorn_cli
