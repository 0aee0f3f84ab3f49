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

// Rows are gathered into a block and written once it holds this much: as much as the output
// buffer holds, so that the block goes to the file without another copy.
constexpr std::size_t kBlock = vorn_package::BufferedOutput::kDefaultCapacity;
// Texts are copied in pieces of this many bytes, which may read and write past their ends:
// every source and the block keep this much room behind their last byte.
constexpr std::size_t kPiece = 32;
// The texts of the steps rows have used are kept made, up to this many bytes, for profiles of
// up to this many steps; beyond, a step's texts are made for each of its rows, so that memory
// does not grow with a profile whose every step is distinct.
constexpr std::size_t kCachedBytes = std::size_t{16} << 20;
constexpr std::uint64_t kCachedSteps = std::uint64_t{1} << 20;

/// Copies `size` bytes, whole pieces at a time; returns the end of the copy.
inline char* copy_pieces(char* to, const char* from, std::size_t size) {
    std::size_t done = 0;
    do {
        std::memcpy(to + done, from + done, kPiece);
        done += kPiece;
    } while (done < size);
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

/// `value` (below 10000) as four digits.
inline void put_four(char* at, std::uint32_t value) {
    put_pair(at, value / 100);
    put_pair(at + 2, value % 100);
}

/// `value` (below 10000) without leading zeros.
inline char* put_small(char* at, std::uint32_t value) {
    if (value < 100) {
        if (value < 10) {
            *at = static_cast<char>('0' + value);
            return at + 1;
        }
        put_pair(at, value);
        return at + 2;
    }
    if (value < 1000) {
        *at = static_cast<char>('0' + value / 100);
        put_pair(at + 1, value % 100);
        return at + 3;
    }
    put_four(at, value);
    return at + 4;
}

/// Writes `value` in decimal; returns the end of its digits. The digits are made four at a
/// time from halves that do not wait for each other.
inline char* put_number(char* at, std::uint32_t value) {
    if (value < 10000) {
        return put_small(at, value);
    }
    if (value < 100000000) {
        at = put_small(at, value / 10000);
        put_four(at, value % 10000);
        return at + 4;
    }
    const std::uint32_t low = value % 100000000;
    at = put_small(at, value / 100000000);
    put_four(at, low / 10000);
    put_four(at + 4, low % 10000);
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

    /// The texts of `step`; one not kept is valid until the next call.
    const StepText& of(std::uint32_t step) {
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

}  // namespace

void write_samples(std::ostream& out, const vorn_package::ProfileColumns& columns,
                   const vorn_profile::Query& query, const vorn_profile::TimeWindow& window,
                   SampleFormat format) {
    const bool csv = format == SampleFormat::Csv;
    StepTexts steps(columns, format);
    const SampleFilter filter(columns, query);
    const bool filtering = query.kind || query.kernel || query.operation_contains ||
                           !query.tiles.empty() || !query.phases.empty() ||
                           !query.metadata.empty() || query.at_offset || !query.epochs.empty() ||
                           query.kernel_matches || query.operation_matches ||
                           !query.exclude_kinds.empty() || !query.exclude_kernels.empty();
    const bool clipping = window != vorn_profile::TimeWindow{};
    // Rows are put together in one block with plain copies of whole pieces, and numbers made
    // in place: a row is a few dozen bytes, and the appends of a string would cost more than
    // the row itself. The block is written whenever it holds `kBlock` bytes. What the loop
    // reads is held in locals: a store through `char*` could change anything else in memory,
    // which would then be read anew for every row.
    std::vector<char> block(2 * kBlock + kPiece);
    char* first = block.data();
    char* last = first + block.size();
    char* at = first;
    if (csv) {
        const std::string_view header =
            "physical_tile,offset,duration,kind,phase,epoch,local_index,operation,kernel,"
            "metadata\r\n";
        at = std::copy(header.begin(), header.end(), at);
    }
    const PaddedText duration_text(csv ? "," : ", \"duration\": ");
    const PaddedText epoch_text(csv ? "," : ", \"epoch\": ");
    const PaddedText local_text(csv ? "," : ", \"local_index\": ");
    const std::string_view duration_key = duration_text.view();
    const std::string_view epoch_key = epoch_text.view();
    const std::string_view local_key = local_text.view();
    PaddedText tile_start;
    std::string text;
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
        if (begin == end || !filter.keeps_tile(physical)) {
            continue;
        }
        text.clear();
        if (!csv) {
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
            if (filtering && !filter.passes(sample, physical, offset, length)) {
                continue;
            }
            if (clipping && !clip(window, offset, length)) {
                continue;
            }
            const std::uint32_t step_number = step_of[sample];
            const StepText step = step_number < kept_count && kept[step_number].kind != nullptr
                                      ? kept[step_number]
                                      : steps.of(step_number);
            // Room for the row: its texts, five numbers of at most ten digits and the keys,
            // each with a piece's room behind it.
            const std::size_t row = step.kind_size + step.end_size + 256;
            if (static_cast<std::size_t>(last - at) < row) {
                out.write(first, at - first);
                if (block.size() < row) {
                    block.resize(row);
                }
                first = block.data();
                last = first + block.size();
                at = first;
            }
            at = copy_pieces(at, start.data(), start.size());
            // A window that starts past 2^32 - 1 moves a clipped offset there.
            at = offset <= UINT32_MAX ? put_number(at, static_cast<std::uint32_t>(offset))
                                      : std::to_chars(at, at + 20, offset).ptr;
            at = copy_pieces(at, duration_key.data(), duration_key.size());
            at = put_number(at, length);
            at = copy_pieces(at, step.kind, step.kind_size);
            at = put_number(at, phase[sample]);
            at = copy_pieces(at, epoch_key.data(), epoch_key.size());
            at = put_number(at, epoch[sample]);
            at = copy_pieces(at, local_key.data(), local_key.size());
            at = put_number(at, local_index[sample]);
            at = copy_pieces(at, step.end, step.end_size);
            if (static_cast<std::size_t>(at - first) >= kBlock) {
                out.write(first, at - first);
                at = first;
            }
        }
    }
    out.write(first, at - first);
}

}  // namespace vorn_cli
