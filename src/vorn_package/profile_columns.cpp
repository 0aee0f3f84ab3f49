// Building columns: texts and steps are interned through open-addressing tables of numbers that
// compare against the arrays themselves, so nothing is stored twice while a profile is built.
#include "vorn_package/profile_columns.hpp"

#include <xxhash.h>

#include <algorithm>
#include <random>
#include <utility>

namespace vorn_package {
namespace {

/// The arrays behind columns built in memory.
struct OwnedColumns {
    std::vector<std::uint32_t> tile_physical;
    std::vector<std::uint64_t> tile_sample_begin{0};
    std::vector<std::uint32_t> sample_tile;
    std::vector<std::uint32_t> start_cycle;
    std::vector<std::uint32_t> end_cycle;
    std::vector<std::uint32_t> phase;
    std::vector<std::uint32_t> epoch;
    std::vector<std::uint32_t> local_index;
    std::vector<std::uint32_t> step;
    std::vector<ProfileStepKind> step_kind;
    std::vector<std::uint32_t> step_kernel;
    std::vector<std::uint32_t> step_operation;
    std::vector<std::uint64_t> step_metadata_begin{0};
    std::vector<MetadataPair> metadata;
    std::vector<std::uint64_t> text_begin{0};
    std::vector<char> text_bytes;
};

std::uint64_t mix(std::uint64_t value) {
    value ^= value >> 33;
    value *= 0xff51afd7ed558ccdULL;
    value ^= value >> 33;
    return value;
}

/// Numbers kept in open addressing; the caller says how to hash and compare a number, so the
/// keys themselves stay in the column arrays.
class NumberTable {
public:
    template <class Equal>
    std::pair<std::uint32_t, bool> find_or_add(std::uint64_t hash, std::uint32_t candidate,
                                               Equal&& equal) {
        if ((count_ + 1) * 2 > slots_.size()) {
            grow();
        }
        std::size_t at = hash & (slots_.size() - 1);
        while (true) {
            const Slot& slot = slots_[at];
            if (slot.number == kEmpty) {
                slots_[at] = {hash, candidate};
                count_ += 1;
                return {candidate, true};
            }
            if (slot.hash == hash && equal(slot.number)) {
                return {slot.number, false};
            }
            at = (at + 1) & (slots_.size() - 1);
        }
    }

private:
    static constexpr std::uint32_t kEmpty = ~std::uint32_t{0};
    struct Slot {
        std::uint64_t hash = 0;
        std::uint32_t number = kEmpty;
    };

    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{});
        for (const Slot& slot : old) {
            if (slot.number != kEmpty) {
                std::size_t at = slot.hash & (slots_.size() - 1);
                while (slots_[at].number != kEmpty) {
                    at = (at + 1) & (slots_.size() - 1);
                }
                slots_[at] = slot;
            }
        }
    }

    std::vector<Slot> slots_;
    std::size_t count_ = 0;
};

template <class T>
std::span<const T> view(const std::vector<T>& values) {
    return {values.data(), values.size()};
}

}  // namespace

struct ColumnsBuilder::State {
    // The tables' hashes are keyed by a secret of this builder: no stored profile can be made
    // whose texts or steps all fall into one bucket (which would make reading it quadratic).
    // Numbers are given in order of first appearance, so the key never shows in the columns.
    std::uint64_t key = std::random_device{}() * 0x9e3779b97f4a7c15ULL ^ std::random_device{}();
    std::uint64_t clock_hz = 0;
    OwnedColumns columns;
    NumberTable texts;
    NumberTable steps;
    std::vector<MetadataPair> scratch;

    std::string_view text(std::uint32_t number) const {
        const std::uint64_t begin = columns.text_begin[number];
        return {columns.text_bytes.data() + begin,
                static_cast<std::size_t>(columns.text_begin[number + 1] - begin)};
    }
};

ColumnsBuilder::ColumnsBuilder() : state_(std::make_unique<State>()) {}
ColumnsBuilder::~ColumnsBuilder() = default;
ColumnsBuilder::ColumnsBuilder(ColumnsBuilder&&) noexcept = default;
ColumnsBuilder& ColumnsBuilder::operator=(ColumnsBuilder&&) noexcept = default;

void ColumnsBuilder::set_clock_hz(std::uint64_t clock_hz) { state_->clock_hz = clock_hz; }

void ColumnsBuilder::reserve_samples(std::uint64_t samples) {
    OwnedColumns& c = state_->columns;
    for (auto* column : {&c.sample_tile, &c.start_cycle, &c.end_cycle, &c.phase, &c.epoch,
                         &c.local_index, &c.step}) {
        column->reserve(samples);
    }
}

void ColumnsBuilder::begin_tile(std::uint32_t physical_tile) {
    OwnedColumns& c = state_->columns;
    c.tile_physical.push_back(physical_tile);
    c.tile_sample_begin.push_back(c.start_cycle.size());
}

std::uint32_t ColumnsBuilder::intern(std::string_view text) {
    State& s = *state_;
    OwnedColumns& c = s.columns;
    const auto number = static_cast<std::uint32_t>(c.text_begin.size() - 1);
    const auto [found, added] =
        s.texts.find_or_add(XXH3_64bits_withSeed(text.data(), text.size(), s.key), number,
                            [&](std::uint32_t at) { return s.text(at) == text; });
    if (added) {
        c.text_bytes.insert(c.text_bytes.end(), text.begin(), text.end());
        c.text_begin.push_back(c.text_bytes.size());
    }
    return found;
}

std::uint32_t ColumnsBuilder::intern_step(ProfileStepKind kind, std::uint32_t kernel,
                                          std::uint32_t operation,
                                          std::span<const MetadataPair> metadata) {
    OwnedColumns& c = state_->columns;
    std::uint64_t hash = mix(state_->key ^ mix((std::uint64_t{kernel} << 32 | operation) ^
                                               (static_cast<std::uint64_t>(kind) << 61)));
    for (const MetadataPair& pair : metadata) {
        hash = mix(hash ^ (std::uint64_t{pair.name} << 32 | pair.value));
    }
    const auto number = static_cast<std::uint32_t>(c.step_kind.size());
    const auto equal = [&](std::uint32_t at) {
        if (c.step_kind[at] != kind || c.step_kernel[at] != kernel ||
            c.step_operation[at] != operation) {
            return false;
        }
        const std::uint64_t begin = c.step_metadata_begin[at];
        const std::uint64_t end = c.step_metadata_begin[at + 1];
        return std::equal(c.metadata.begin() + static_cast<std::ptrdiff_t>(begin),
                          c.metadata.begin() + static_cast<std::ptrdiff_t>(end), metadata.begin(),
                          metadata.end());
    };
    const auto [found, added] = state_->steps.find_or_add(hash, number, equal);
    if (added) {
        c.step_kind.push_back(kind);
        c.step_kernel.push_back(kernel);
        c.step_operation.push_back(operation);
        c.metadata.insert(c.metadata.end(), metadata.begin(), metadata.end());
        c.step_metadata_begin.push_back(c.metadata.size());
    }
    return found;
}

void ColumnsBuilder::add_sample(std::uint32_t start_cycle, std::uint32_t end_cycle,
                                std::uint32_t phase, std::uint32_t epoch, std::uint32_t local_index,
                                std::uint32_t step) {
    OwnedColumns& c = state_->columns;
    c.sample_tile.push_back(static_cast<std::uint32_t>(c.tile_physical.size() - 1));
    c.start_cycle.push_back(start_cycle);
    c.end_cycle.push_back(end_cycle);
    c.phase.push_back(phase);
    c.epoch.push_back(epoch);
    c.local_index.push_back(local_index);
    c.step.push_back(step);
    c.tile_sample_begin.back() = c.start_cycle.size();
}

void ColumnsBuilder::add_sample(const CycleSample& sample) {
    std::vector<MetadataPair>& pairs = state_->scratch;
    pairs.clear();
    for (const ProfileMetadata& entry : sample.step.metadata) {
        pairs.push_back({intern(entry.name), intern(entry.value)});
    }
    const std::uint32_t kernel = intern(sample.step.kernel);
    const std::uint32_t operation = intern(sample.step.operation);
    const std::uint32_t step = intern_step(sample.step.kind, kernel, operation, pairs);
    add_sample(sample.start_cycle, sample.end_cycle, sample.step.phase, sample.step.epoch,
               sample.step.local_index, step);
}

void ColumnsBuilder::append(const ProfileColumns& part) {
    std::vector<std::uint32_t> texts(part.text_count());
    for (std::uint64_t t = 0; t < texts.size(); ++t) {
        texts[t] = intern(part.text(static_cast<std::uint32_t>(t)));
    }
    std::vector<std::uint32_t> steps(part.step_count());
    std::vector<MetadataPair> pairs;
    bool renumbered = false;
    for (std::uint64_t s = 0; s < steps.size(); ++s) {
        const auto number = static_cast<std::uint32_t>(s);
        pairs.clear();
        for (const MetadataPair& pair : part.step_metadata(number)) {
            pairs.push_back({texts[pair.name], texts[pair.value]});
        }
        steps[s] = intern_step(part.step_kind[s], texts[part.step_kernel[s]],
                               texts[part.step_operation[s]], pairs);
        renumbered |= steps[s] != number;
    }

    OwnedColumns& c = state_->columns;
    const auto tile_base = static_cast<std::uint32_t>(c.tile_physical.size());
    const std::uint64_t sample_base = c.start_cycle.size();
    c.tile_physical.insert(c.tile_physical.end(), part.tile_physical.begin(),
                           part.tile_physical.end());
    for (std::uint64_t t = 1; t < part.tile_sample_begin.size(); ++t) {
        c.tile_sample_begin.push_back(sample_base + part.tile_sample_begin[t]);
    }
    const auto copy = [](std::vector<std::uint32_t>& into, std::span<const std::uint32_t> from) {
        into.insert(into.end(), from.begin(), from.end());
    };
    copy(c.start_cycle, part.start_cycle);
    copy(c.end_cycle, part.end_cycle);
    copy(c.phase, part.phase);
    copy(c.epoch, part.epoch);
    copy(c.local_index, part.local_index);
    // Renumbered in place after a resize, which grows the arrays geometrically as the inserts
    // do: a profile appended in many parts is still copied a bounded number of times.
    const auto renumber = [](std::vector<std::uint32_t>& into, std::span<const std::uint32_t> from,
                             auto&& number) {
        const std::size_t at = into.size();
        into.resize(at + from.size());
        std::transform(from.begin(), from.end(), into.begin() + static_cast<std::ptrdiff_t>(at),
                       number);
    };
    renumber(c.sample_tile, part.sample_tile, [&](std::uint32_t tile) { return tile + tile_base; });
    if (!renumbered) {
        copy(c.step, part.step);
        return;
    }
    renumber(c.step, part.step, [&](std::uint32_t step) { return steps[step]; });
}

std::uint64_t ColumnsBuilder::sample_count() const { return state_->columns.start_cycle.size(); }

ProfileColumns ColumnsBuilder::finish() {
    auto owned = std::make_shared<OwnedColumns>(std::move(state_->columns));
    const std::uint64_t clock_hz = state_->clock_hz;
    state_ = std::make_unique<State>();

    ProfileColumns columns;
    columns.clock_hz = clock_hz;
    columns.tile_physical = view(owned->tile_physical);
    columns.tile_sample_begin = view(owned->tile_sample_begin);
    columns.sample_tile = view(owned->sample_tile);
    columns.start_cycle = view(owned->start_cycle);
    columns.end_cycle = view(owned->end_cycle);
    columns.phase = view(owned->phase);
    columns.epoch = view(owned->epoch);
    columns.local_index = view(owned->local_index);
    columns.step = view(owned->step);
    columns.step_kind = view(owned->step_kind);
    columns.step_kernel = view(owned->step_kernel);
    columns.step_operation = view(owned->step_operation);
    columns.step_metadata_begin = view(owned->step_metadata_begin);
    columns.metadata = view(owned->metadata);
    columns.text_begin = view(owned->text_begin);
    columns.text_bytes = view(owned->text_bytes);
    columns.storage = std::move(owned);
    return columns;
}

ProfileColumns to_columns(const ProfileReport& report) {
    ColumnsBuilder builder;
    builder.set_clock_hz(report.clock_hz);
    std::uint64_t samples = 0;
    for (const TileProfile& tile : report.tiles) {
        samples += tile.samples.size();
    }
    builder.reserve_samples(samples);
    for (const TileProfile& tile : report.tiles) {
        builder.begin_tile(tile.physical_tile);
        for (const CycleSample& sample : tile.samples) {
            builder.add_sample(sample);
        }
    }
    return builder.finish();
}

CycleSample sample_record(const ProfileColumns& columns, std::uint64_t sample) {
    CycleSample record;
    record.start_cycle = columns.start_cycle[sample];
    record.end_cycle = columns.end_cycle[sample];
    ProfileStep& step = record.step;
    step.local_index = columns.local_index[sample];
    step.phase = columns.phase[sample];
    step.epoch = columns.epoch[sample];
    const std::uint32_t number = columns.step[sample];
    step.kind = columns.step_kind[number];
    step.kernel = columns.text(columns.step_kernel[number]);
    step.operation = columns.text(columns.step_operation[number]);
    for (const MetadataPair& pair : columns.step_metadata(number)) {
        step.metadata.push_back(
            {std::string(columns.text(pair.name)), std::string(columns.text(pair.value))});
    }
    return record;
}

ProfileReport to_report(const ProfileColumns& columns) {
    ProfileReport report;
    report.clock_hz = columns.clock_hz;
    report.tiles.reserve(columns.tile_count());
    for (std::uint64_t t = 0; t < columns.tile_count(); ++t) {
        TileProfile& tile = report.tiles.emplace_back();
        tile.physical_tile = columns.tile_physical[t];
        const std::uint64_t begin = columns.tile_sample_begin[t];
        const std::uint64_t end = columns.tile_sample_begin[t + 1];
        tile.samples.reserve(end - begin);
        for (std::uint64_t i = begin; i < end; ++i) {
            tile.samples.push_back(sample_record(columns, i));
        }
    }
    return report;
}

}  // namespace vorn_package
