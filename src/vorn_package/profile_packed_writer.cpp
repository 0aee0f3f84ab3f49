// Writing packed profiles: from columns in memory to a stream, and sample by sample to a file
// whose column places are known from the counts given up front.
#include <sys/stat.h>
#include <unistd.h>
#if defined(__x86_64__)
// The same XXH3, dispatched at run time to the widest vector unit the machine has (AVX2 and
// up); the plain entry points use SSE2 only.
#include <xxh_x86dispatch.h>
#else
#include <xxhash.h>
#endif

#include <cerrno>
#include <optional>
#include <ostream>
#include <system_error>
#include <vector>

#include "profile_packed_layout.hpp"
#include "vorn_package/output_file.hpp"
#include "vorn_package/profile_packed.hpp"

namespace vorn_package {
namespace {

using packed::Entry;
using packed::kSectionCount;
using packed::kSections;

struct Bytes {
    const void* data = nullptr;
    std::uint64_t size = 0;
};

template <class T>
Bytes bytes_of(std::span<const T> values) {
    return {values.data(), values.size_bytes()};
}

constexpr std::uint64_t kZero = 0;

/// An array of begins that holds at least its leading 0, as the format asks.
Bytes begins_of(std::span<const std::uint64_t> begins) {
    return begins.empty() ? Bytes{&kZero, sizeof kZero} : bytes_of(begins);
}

/// The sections of `columns` in id order.
std::array<Bytes, kSectionCount> sections_of(const ProfileColumns& c) {
    return {{bytes_of(c.tile_physical), begins_of(c.tile_sample_begin), bytes_of(c.sample_tile),
             bytes_of(c.start_cycle), bytes_of(c.end_cycle), bytes_of(c.phase), bytes_of(c.epoch),
             bytes_of(c.local_index), bytes_of(c.step), bytes_of(c.step_kind),
             bytes_of(c.step_kernel), bytes_of(c.step_operation), begins_of(c.step_metadata_begin),
             bytes_of(c.metadata), begins_of(c.text_begin), bytes_of(c.text_bytes)}};
}

std::string system_message(const std::string& action, int code) {
    return "cannot " + action + ": " + std::error_code(code, std::generic_category()).message();
}

}  // namespace

bool is_profile_packed(std::string_view bytes) {
    return bytes.size() >= packed::kMagic.size() &&
           std::memcmp(bytes.data(), packed::kMagic.data(), packed::kMagic.size()) == 0;
}

void write_profile_packed(std::ostream& out, const ProfileColumns& columns) {
    const std::array<Bytes, kSectionCount> sections = sections_of(columns);
    std::array<Entry, kSectionCount> entries{};
    std::uint64_t offset = packed::kTableEnd;
    for (std::uint32_t id = 0; id < kSectionCount; ++id) {
        entries[id] = {id, kSections[id].element_size, offset, sections[id].size,
                       packed::checksum(sections[id].data, sections[id].size)};
        offset = packed::next_offset(offset, sections[id].size);
    }
    const std::uint64_t file_size = entries.back().offset + entries.back().size;
    const auto header = packed::encode_header(columns.clock_hz, file_size, entries);
    out.write(header.data(), static_cast<std::streamsize>(header.size()));
    std::uint64_t at = header.size();
    constexpr char kPadding[packed::kAlignment] = {};
    for (std::uint32_t id = 0; id < kSectionCount; ++id) {
        out.write(kPadding, static_cast<std::streamsize>(entries[id].offset - at));
        out.write(static_cast<const char*>(sections[id].data),
                  static_cast<std::streamsize>(sections[id].size));
        at = entries[id].offset + entries[id].size;
    }
}

// The columns of samples are buffered and written at their place in the file as the buffers
// fill, each hashed as it goes; everything else is known only at the end and written then.
struct PackedFileWriter::State {
    static constexpr std::size_t kBufferValues = 16 * 1024;
    static constexpr std::uint32_t kFirstSampleColumn = packed::kSampleTile;
    static constexpr std::uint32_t kSampleColumns = packed::kStep - packed::kSampleTile + 1;

    struct Column {
        std::uint64_t offset = 0;   ///< of the section
        std::uint64_t written = 0;  ///< bytes so far
        std::vector<std::uint32_t> buffer;
        XXH3_state_t* hash = nullptr;
    };

    std::optional<OutputFile> output;
    int fd = -1;  ///< the output's
    bool finished = false;
    std::string error;  ///< the first failure; later writes are skipped
    std::uint64_t clock_hz = 0;
    std::uint64_t expected_tiles = 0;
    std::uint64_t expected_samples = 0;
    std::uint64_t samples = 0;
    std::vector<std::uint32_t> tile_physical;
    std::vector<std::uint64_t> tile_sample_begin{0};
    std::array<Column, kSampleColumns> columns;
    ColumnsBuilder texts_and_steps;

    ~State() {
        for (Column& column : columns) {
            XXH3_freeState(column.hash);
        }
        // A half-written output is removed with `output`: none is left behind.
    }

    void fail(std::string message) {
        if (error.empty()) {
            error = std::move(message);
        }
    }

    void write_at(std::uint64_t offset, const void* data, std::uint64_t size) {
        const char* from = static_cast<const char*>(data);
        while (size > 0 && error.empty()) {
            const ssize_t wrote = ::pwrite(fd, from, size, static_cast<off_t>(offset));
            if (wrote < 0) {
                if (errno != EINTR) {
                    fail(system_message("write", errno));
                }
                continue;
            }
            from += wrote;
            offset += static_cast<std::uint64_t>(wrote);
            size -= static_cast<std::uint64_t>(wrote);
        }
    }

    void flush(Column& column) {
        const std::uint64_t bytes = column.buffer.size() * sizeof(std::uint32_t);
        XXH3_64bits_update(column.hash, column.buffer.data(), bytes);
        write_at(column.offset + column.written, column.buffer.data(), bytes);
        column.written += bytes;
        column.buffer.clear();
    }
};

PackedFileWriter::PackedFileWriter(std::unique_ptr<State> state) : state_(std::move(state)) {}
PackedFileWriter::~PackedFileWriter() = default;
PackedFileWriter::PackedFileWriter(PackedFileWriter&&) noexcept = default;
PackedFileWriter& PackedFileWriter::operator=(PackedFileWriter&&) noexcept = default;

Result<PackedFileWriter, std::string> PackedFileWriter::create(const std::string& path,
                                                               std::uint64_t tiles,
                                                               std::uint64_t samples) {
    auto state = std::make_unique<State>();
    auto output = OutputFile::create(path);
    if (!output) {
        return Unexpected<std::string>{"cannot open for writing: " + output.error().message()};
    }
    state->output.emplace(std::move(*output));
    state->fd = state->output->fd();
    struct stat status {};
    if (::fstat(state->fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        // The columns are written at their places, which needs a file that can seek.
        return Unexpected<std::string>{"cannot write a packed file here: not a regular file"};
    }
    state->expected_tiles = tiles;
    state->expected_samples = samples;
    state->tile_physical.reserve(tiles);
    state->tile_sample_begin.reserve(tiles + 1);
    // The sample columns follow the two tile sections.
    std::uint64_t offset = packed::next_offset(packed::kTableEnd, tiles * 4);
    offset = packed::next_offset(offset, (tiles + 1) * 8);
    for (State::Column& column : state->columns) {
        column.offset = offset;
        column.buffer.reserve(State::kBufferValues);
        column.hash = XXH3_createState();
        if (column.hash == nullptr) {
            return Unexpected<std::string>{"out of memory"};
        }
        XXH3_64bits_reset(column.hash);
        offset = packed::next_offset(offset, samples * 4);
    }
    return PackedFileWriter(std::move(state));
}

void PackedFileWriter::set_clock_hz(std::uint64_t clock_hz) { state_->clock_hz = clock_hz; }

void PackedFileWriter::begin_tile(std::uint32_t physical_tile) {
    State& s = *state_;
    if (s.tile_physical.size() == s.expected_tiles) {
        s.fail("more tiles than the " + std::to_string(s.expected_tiles) + " announced");
        return;
    }
    s.tile_physical.push_back(physical_tile);
    s.tile_sample_begin.push_back(s.samples);
}

std::uint32_t PackedFileWriter::intern(std::string_view text) {
    return state_->texts_and_steps.intern(text);
}

std::uint32_t PackedFileWriter::intern_step(ProfileStepKind kind, std::uint32_t kernel,
                                            std::uint32_t operation,
                                            std::span<const MetadataPair> metadata) {
    return state_->texts_and_steps.intern_step(kind, kernel, operation, metadata);
}

void PackedFileWriter::add_sample(std::uint32_t start_cycle, std::uint32_t end_cycle,
                                  std::uint32_t phase, std::uint32_t epoch,
                                  std::uint32_t local_index, std::uint32_t step) {
    State& s = *state_;
    if (s.tile_physical.empty() || s.samples == s.expected_samples) {
        s.fail(s.tile_physical.empty()
                   ? std::string("a sample before the first tile")
                   : "more samples than the " + std::to_string(s.expected_samples) + " announced");
        return;
    }
    const std::uint32_t values[State::kSampleColumns] = {
        static_cast<std::uint32_t>(s.tile_physical.size() - 1),
        start_cycle,
        end_cycle,
        phase,
        epoch,
        local_index,
        step};
    for (std::uint32_t i = 0; i < State::kSampleColumns; ++i) {
        State::Column& column = s.columns[i];
        column.buffer.push_back(values[i]);
        if (column.buffer.size() == State::kBufferValues) {
            s.flush(column);
        }
    }
    s.samples += 1;
    s.tile_sample_begin.back() = s.samples;
}

Result<std::uint64_t, std::string> PackedFileWriter::finish() {
    State& s = *state_;
    if (s.finished) {
        return Unexpected<std::string>{"the packed file is already finished"};
    }
    if (s.error.empty() &&
        (s.tile_physical.size() != s.expected_tiles || s.samples != s.expected_samples)) {
        s.fail(std::to_string(s.tile_physical.size()) + " tiles and " + std::to_string(s.samples) +
               " samples written, " + std::to_string(s.expected_tiles) + " and " +
               std::to_string(s.expected_samples) + " announced");
    }
    std::array<Entry, kSectionCount> entries{};
    if (s.error.empty()) {
        for (State::Column& column : s.columns) {
            s.flush(column);
        }
        const ProfileColumns rest = s.texts_and_steps.finish();
        std::array<Bytes, kSectionCount> sections = sections_of(rest);
        sections[packed::kTilePhysical] = bytes_of(std::span<const std::uint32_t>(s.tile_physical));
        sections[packed::kTileSampleBegin] =
            bytes_of(std::span<const std::uint64_t>(s.tile_sample_begin));
        std::uint64_t offset = packed::kTableEnd;
        for (std::uint32_t id = 0; id < kSectionCount; ++id) {
            Entry& entry = entries[id];
            entry.id = id;
            entry.element_size = kSections[id].element_size;
            entry.offset = offset;
            if (id >= State::kFirstSampleColumn &&
                id < State::kFirstSampleColumn + State::kSampleColumns) {
                const State::Column& column = s.columns[id - State::kFirstSampleColumn];
                entry.size = column.written;
                entry.checksum = XXH3_64bits_digest(column.hash);
            } else {
                entry.size = sections[id].size;
                entry.checksum = packed::checksum(sections[id].data, sections[id].size);
                s.write_at(offset, sections[id].data, sections[id].size);
            }
            offset = packed::next_offset(offset, entry.size);
        }
    }
    const std::uint64_t file_size = entries.back().offset + entries.back().size;
    if (s.error.empty()) {
        const auto header = packed::encode_header(s.clock_hz, file_size, entries);
        s.write_at(0, header.data(), header.size());
    }
    if (s.error.empty() && ::ftruncate(s.fd, static_cast<off_t>(file_size)) != 0) {
        s.fail(system_message("write", errno));
    }
    s.fd = -1;
    if (s.error.empty()) {
        if (auto committed = s.output->commit(); !committed) {
            s.fail("cannot write: " + committed.error().message());
        }
    }
    if (!s.error.empty()) {
        s.output->abandon();
        return Unexpected<std::string>{s.error};
    }
    s.finished = true;
    return file_size;
}

}  // namespace vorn_package
