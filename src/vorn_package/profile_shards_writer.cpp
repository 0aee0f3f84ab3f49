// Writing a profile as a directory of packed shards. The producer's texts and steps are kept
// once, under the numbers it was given; each shard's writer learns a text or step when one of
// the shard's samples first uses it, so a shard holds only what it needs.
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <system_error>

#include "vorn_package/profile_packed.hpp"
#include "vorn_package/profile_shards.hpp"

namespace vorn_package {
namespace {

constexpr std::uint32_t kNone = ~std::uint32_t{0};

struct StepRecord {
    ProfileStepKind kind;
    std::uint32_t kernel;
    std::uint32_t operation;
    std::vector<MetadataPair> metadata;
};

/// Creates `directory`, or accepts it when it is an empty directory already.
std::optional<std::string> make_empty_directory(const std::string& directory) {
    if (::mkdir(directory.c_str(), 0777) == 0) {
        return std::nullopt;
    }
    const int code = errno;
    std::error_code error;
    if (code != EEXIST) {
        return "cannot create the directory: " +
               std::error_code(code, std::generic_category()).message();
    }
    if (!std::filesystem::is_directory(directory, error)) {
        return "exists and is not a directory; shards are written into a new or empty directory";
    }
    if (!std::filesystem::is_empty(directory, error) || error) {
        return error ? "cannot read the directory: " + error.message()
                     : "is not empty; shards are written into a new or empty directory";
    }
    return std::nullopt;
}

}  // namespace

std::string shard_name(std::uint64_t index, std::uint64_t count) {
    std::size_t digits = 5;
    for (std::uint64_t rest = count > 0 ? (count - 1) / 100'000 : 0; rest > 0; rest /= 10) {
        ++digits;
    }
    std::string number = std::to_string(index);
    return "part-" + std::string(digits > number.size() ? digits - number.size() : 0, '0') +
           number + ".packed";
}

struct PackedShardWriter::State {
    std::string directory;
    std::uint64_t tiles = 0;
    std::uint64_t tiles_per_shard = 1;
    std::vector<std::uint64_t> shard_samples;
    std::uint64_t clock_hz = 0;

    // Everything the producer interned, under its numbers.
    ColumnsBuilder numbering;
    std::vector<std::string> texts;
    std::vector<StepRecord> steps;

    // The shard being written, and the producer's numbers as that shard's.
    std::optional<PackedFileWriter> shard;
    std::uint64_t shard_index = 0;
    std::uint64_t tiles_begun = 0;
    std::vector<std::uint32_t> shard_texts;
    std::vector<std::uint32_t> shard_steps;
    std::vector<MetadataPair> scratch;
    std::optional<std::string> error;

    std::string shard_path(std::uint64_t index) const {
        return directory + "/" + shard_name(index, shard_samples.size());
    }

    /// Finishes the shard being written, if any, keeping the first error.
    void close_shard() {
        if (!shard) {
            return;
        }
        auto written = shard->finish();
        if (!written && !error) {
            error = shard_name(shard_index, shard_samples.size()) + ": " + written.error();
        }
        shard.reset();
        ++shard_index;
    }

    void open_shard() {
        const std::uint64_t first = shard_index * tiles_per_shard;
        const std::uint64_t count = std::min(tiles_per_shard, tiles - std::min(tiles, first));
        auto created = PackedFileWriter::create(
            shard_path(shard_index), count,
            shard_index < shard_samples.size() ? shard_samples[shard_index] : 0);
        if (!created) {
            error = error.value_or(shard_name(shard_index, shard_samples.size()) + ": " +
                                   created.error());
            return;
        }
        shard.emplace(*std::move(created));
        shard->set_clock_hz(clock_hz);
        shard_texts.assign(texts.size(), kNone);
        shard_steps.assign(steps.size(), kNone);
    }

    std::uint32_t shard_text(std::uint32_t text) {
        if (shard_texts[text] == kNone) {
            shard_texts[text] = shard->intern(texts[text]);
        }
        return shard_texts[text];
    }

    std::uint32_t shard_step(std::uint32_t step) {
        if (shard_steps[step] == kNone) {
            const StepRecord& record = steps[step];
            scratch.clear();
            for (const MetadataPair& pair : record.metadata) {
                scratch.push_back({shard_text(pair.name), shard_text(pair.value)});
            }
            const std::uint32_t kernel = shard_text(record.kernel);
            const std::uint32_t operation = shard_text(record.operation);
            shard_steps[step] = shard->intern_step(record.kind, kernel, operation, scratch);
        }
        return shard_steps[step];
    }
};

PackedShardWriter::PackedShardWriter(std::unique_ptr<State> state) : state_(std::move(state)) {}
PackedShardWriter::~PackedShardWriter() = default;
PackedShardWriter::PackedShardWriter(PackedShardWriter&&) noexcept = default;
PackedShardWriter& PackedShardWriter::operator=(PackedShardWriter&&) noexcept = default;

Result<PackedShardWriter, std::string> PackedShardWriter::create(
    const std::string& directory, std::uint64_t tiles, std::uint64_t tiles_per_shard,
    std::vector<std::uint64_t> shard_samples) {
    if (tiles_per_shard == 0) {
        return Unexpected<std::string>{"a shard must hold at least one tile"};
    }
    if (auto problem = make_empty_directory(directory)) {
        return Unexpected<std::string>{*std::move(problem)};
    }
    auto state = std::make_unique<State>();
    state->directory = directory;
    state->tiles = tiles;
    state->tiles_per_shard = tiles_per_shard;
    state->shard_samples = std::move(shard_samples);
    return PackedShardWriter(std::move(state));
}

void PackedShardWriter::set_clock_hz(std::uint64_t clock_hz) {
    state_->clock_hz = clock_hz;
    if (state_->shard) {
        state_->shard->set_clock_hz(clock_hz);
    }
}

void PackedShardWriter::begin_tile(std::uint32_t physical_tile) {
    State& s = *state_;
    if (s.tiles_begun % s.tiles_per_shard == 0) {
        s.close_shard();
        if (!s.error) {
            s.open_shard();
        }
    }
    ++s.tiles_begun;
    if (s.shard) {
        s.shard->begin_tile(physical_tile);
    }
}

std::uint32_t PackedShardWriter::intern(std::string_view text) {
    State& s = *state_;
    const std::uint32_t number = s.numbering.intern(text);
    if (number == s.texts.size()) {
        s.texts.emplace_back(text);
        if (s.shard) {
            s.shard_texts.push_back(kNone);
        }
    }
    return number;
}

std::uint32_t PackedShardWriter::intern_step(ProfileStepKind kind, std::uint32_t kernel,
                                             std::uint32_t operation,
                                             std::span<const MetadataPair> metadata) {
    State& s = *state_;
    const std::uint32_t number = s.numbering.intern_step(kind, kernel, operation, metadata);
    if (number == s.steps.size()) {
        s.steps.push_back({kind, kernel, operation, {metadata.begin(), metadata.end()}});
        if (s.shard) {
            s.shard_steps.push_back(kNone);
        }
    }
    return number;
}

void PackedShardWriter::add_sample(std::uint32_t start_cycle, std::uint32_t end_cycle,
                                   std::uint32_t phase, std::uint32_t epoch,
                                   std::uint32_t local_index, std::uint32_t step) {
    State& s = *state_;
    if (s.shard) {
        s.shard->add_sample(start_cycle, end_cycle, phase, epoch, local_index, s.shard_step(step));
    }
}

Result<std::uint64_t, std::string> PackedShardWriter::finish() {
    State& s = *state_;
    if (s.tiles_begun == 0 && !s.error) {
        s.open_shard();  // a profile of no tile is one shard of none
    }
    s.close_shard();
    if (s.error) {
        return Unexpected<std::string>{*s.error};
    }
    if (s.shard_index != s.shard_samples.size()) {
        return Unexpected<std::string>{
            "wrote " + std::to_string(s.shard_index) + " shards, expected " +
            std::to_string(s.shard_samples.size()) + " (" + std::to_string(s.tiles_begun) +
            " tiles of " + std::to_string(s.tiles) + ")"};
    }
    return s.shard_index;
}

void write_columns(const ProfileColumns& columns, ColumnsSink& sink) {
    sink.set_clock_hz(columns.clock_hz);
    std::vector<std::uint32_t> texts(columns.text_count(), kNone);
    std::vector<std::uint32_t> steps(columns.step_count(), kNone);
    std::vector<MetadataPair> pairs;
    const auto text = [&](std::uint32_t number) {
        if (texts[number] == kNone) {
            texts[number] = sink.intern(columns.text(number));
        }
        return texts[number];
    };
    const auto step = [&](std::uint32_t number) {
        if (steps[number] == kNone) {
            pairs.clear();
            for (const MetadataPair& pair : columns.step_metadata(number)) {
                pairs.push_back({text(pair.name), text(pair.value)});
            }
            const std::uint32_t kernel = text(columns.step_kernel[number]);
            const std::uint32_t operation = text(columns.step_operation[number]);
            steps[number] = sink.intern_step(columns.step_kind[number], kernel, operation, pairs);
        }
        return steps[number];
    };
    for (std::uint64_t t = 0; t < columns.tile_count(); ++t) {
        sink.begin_tile(columns.tile_physical[t]);
        for (std::uint64_t i = columns.tile_sample_begin[t]; i < columns.tile_sample_begin[t + 1];
             ++i) {
            sink.add_sample(columns.start_cycle[i], columns.end_cycle[i], columns.phase[i],
                            columns.epoch[i], columns.local_index[i], step(columns.step[i]));
        }
    }
}

}  // namespace vorn_package
