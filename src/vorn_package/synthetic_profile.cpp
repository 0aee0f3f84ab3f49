// A deterministic synthetic profile shaped like a bulk-synchronous training run.
//
// One schedule is shared by every tile: training iterations made of epochs (an embedding
// epoch, a forward and a backward epoch per layer, an optimizer epoch), each a sequence of
// compute, synchronization and exchange phases. The tiles then walk that schedule together:
// compute steps vary with each tile's share of the work and a little jitter, a synchronization
// step lasts until the slowest tile has arrived, and exchanges take nearly the same time
// everywhere. Every tile's counter starts at an unrelated value, and some start close enough
// to 2^32 to wrap during the run.
//
// Only integer arithmetic and a self-contained PRNG are used (a slowed kernel adds one IEEE
// multiplication per step, exactly rounded everywhere), so the same options give the same
// profile with every compiler and on every platform.
#include "vorn_package/synthetic_profile.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace vorn_package {
namespace {

/// splitmix64: small, fast and fully specified, unlike the standard distributions.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next() {
        state_ += 0x9e3779b97f4a7c15ULL;
        std::uint64_t z = state_;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }

    /// A value in [0, bound); 0 when `bound` is 0. The slight modulo bias does not matter here.
    std::uint64_t below(std::uint64_t bound) { return bound == 0 ? 0 : next() % bound; }

    /// A value in [low, high].
    std::uint64_t between(std::uint64_t low, std::uint64_t high) {
        return low + below(high - low + 1);
    }

private:
    std::uint64_t state_;
};

constexpr std::uint32_t kLayers = 4;
constexpr std::uint64_t kMaxTileSpan = 0xffff'ffffULL;  // every sample within 2^32 of the first

// Timing constants in cycles, before any scaling for very long schedules.
constexpr std::uint64_t kStartSkew = 64;       // tiles leave reset a few cycles apart
constexpr std::uint64_t kBarrierLatency = 40;  // from the last arrival to the release
constexpr std::uint64_t kReleaseSpread = 8;    // tiles see the release a few cycles apart
constexpr std::uint64_t kMaxGap = 400;         // an occasional stall before a compute step
constexpr std::uint64_t kGapOneIn = 32;
constexpr std::uint64_t kIdleOneIn = 8;         // tiles without a share of an elementwise step
constexpr std::uint64_t kWrapOneIn = 6;         // tiles whose counter is placed to wrap
constexpr std::uint64_t kCongestionOneIn = 64;  // exchanges slowed by contention

/// How a step of the schedule is timed on the tiles.
enum class Timing : std::uint8_t { Compute, Elementwise, Barrier, Exchange };

/// One position of the shared schedule.
struct Slot {
    ProfileStep step;
    ProfileStep idle;  ///< the same step on a tile that has no share of it (elementwise only)
    Timing timing = Timing::Compute;
    std::uint64_t cycles = 0;  ///< nominal length; the barrier's is its latency
};

using Metadata = std::vector<ProfileMetadata>;

/// Appends the slots of the schedule, epoch after epoch, until `count` are there.
class ScheduleBuilder {
public:
    explicit ScheduleBuilder(std::size_t count) : count_(count) {}

    std::vector<Slot> build() {
        slots_.reserve(count_);
        while (!full()) {
            iteration();
        }
        return std::move(slots_);
    }

    /// The slots of one whole training iteration, which holds every kind of step.
    static std::vector<Slot> one_iteration() {
        ScheduleBuilder builder(std::numeric_limits<std::size_t>::max());
        builder.iteration();
        return std::move(builder.slots_);
    }

private:
    void iteration() {
        embedding_epoch();
        for (std::uint32_t layer = 0; layer < kLayers && !full(); ++layer) {
            forward_epoch(layer);
        }
        for (std::uint32_t layer = kLayers; layer-- > 0 && !full();) {
            backward_epoch(layer);
        }
        optimizer_epoch();
    }

    bool full() const { return slots_.size() >= count_; }

    void begin_epoch() {
        if (!slots_.empty()) {
            epoch_ += 1;
        }
        phase_ = 0;
    }
    void next_phase() { phase_ += 1; }

    void add(Timing timing, ProfileStepKind kind, std::string operation, std::string kernel,
             std::uint64_t cycles, Metadata metadata) {
        if (full()) {
            return;
        }
        Slot slot;
        slot.timing = timing;
        slot.cycles = cycles;
        slot.step.local_index = static_cast<std::uint32_t>(slots_.size());
        slot.step.phase = phase_;
        slot.step.epoch = epoch_;
        slot.step.operation = std::move(operation);
        slot.step.kind = kind;
        slot.step.kernel = std::move(kernel);
        slot.step.metadata = std::move(metadata);
        if (timing == Timing::Elementwise) {
            slot.idle = slot.step;
            slot.idle.operation = "idle";
            slot.idle.kind = ProfileStepKind::Idle;
            slot.idle.kernel.clear();
        }
        slots_.push_back(std::move(slot));
    }

    void compute(std::string operation, std::string kernel, std::uint64_t cycles,
                 Metadata metadata) {
        add(Timing::Compute, ProfileStepKind::Compute, std::move(operation), std::move(kernel),
            cycles, std::move(metadata));
    }
    void elementwise(std::string operation, std::string kernel, std::uint64_t cycles,
                     Metadata metadata) {
        add(Timing::Elementwise, ProfileStepKind::Compute, std::move(operation), std::move(kernel),
            cycles, std::move(metadata));
    }
    void exchange(std::string operation, std::uint64_t cycles, Metadata metadata) {
        add(Timing::Exchange, ProfileStepKind::Exchange, std::move(operation), "", cycles,
            std::move(metadata));
    }
    /// A phase of its own: every tile waits here for the slowest one.
    void barrier() {
        next_phase();
        add(Timing::Barrier, ProfileStepKind::Synchronization, "sync", "", kBarrierLatency, {});
        next_phase();
    }

    static std::string layer_name(std::uint32_t layer) {
        return "encoder." + std::to_string(layer);
    }

    void embedding_epoch() {
        begin_epoch();
        exchange("host.load", 3200, {{"layer", "embedding"}});
        barrier();
        compute("embed.gather", "gather", 2600, {{"layer", "embedding"}, {"block", "embedding"}});
        elementwise("embed.add", "add", 320, {{"layer", "embedding"}, {"block", "embedding"}});
        barrier();
        exchange("broadcast", 2400, {{"layer", "embedding"}, {"tensor", "x"}});
    }

    void forward_epoch(std::uint32_t layer) {
        begin_epoch();
        const std::string name = layer_name(layer);
        compute("layernorm.fwd", "layernorm", 900, {{"layer", name}, {"block", "attention"}});
        barrier();
        exchange("broadcast", 2500, {{"layer", name}, {"block", "attention"}, {"tensor", "x"}});
        next_phase();
        compute("matmul.fwd", "gemm", 14000,
                {{"layer", name}, {"block", "attention"}, {"tensor", "qkv"}});
        elementwise("softmax.fwd", "softmax", 1800, {{"layer", name}, {"block", "attention"}});
        compute("matmul.fwd", "gemm", 9000,
                {{"layer", name}, {"block", "attention"}, {"tensor", "attn.v"}});
        barrier();
        exchange("allreduce", 4200, {{"layer", name}, {"block", "attention"}});
        next_phase();
        elementwise("residual.add", "add", 350, {{"layer", name}, {"block", "attention"}});
        compute("layernorm.fwd", "layernorm", 900, {{"layer", name}, {"block", "mlp"}});
        barrier();
        exchange("broadcast", 2000, {{"layer", name}, {"block", "mlp"}, {"tensor", "h"}});
        next_phase();
        compute("matmul.fwd", "gemm", 18000, {{"layer", name}, {"block", "mlp"}, {"tensor", "w1"}});
        elementwise("gelu.fwd", "gelu", 800, {{"layer", name}, {"block", "mlp"}});
        compute("matmul.fwd", "gemm", 18000, {{"layer", name}, {"block", "mlp"}, {"tensor", "w2"}});
        barrier();
        exchange("allreduce", 4200, {{"layer", name}, {"block", "mlp"}});
        next_phase();
        elementwise("residual.add", "add", 350, {{"layer", name}, {"block", "mlp"}});
        barrier();
    }

    void backward_epoch(std::uint32_t layer) {
        begin_epoch();
        const std::string name = layer_name(layer);
        exchange("broadcast", 2000, {{"layer", name}, {"block", "mlp"}, {"tensor", "grad.h"}});
        next_phase();
        compute("matmul.bwd", "gemm", 20000, {{"layer", name}, {"block", "mlp"}, {"tensor", "w2"}});
        elementwise("gelu.bwd", "gelu", 900, {{"layer", name}, {"block", "mlp"}});
        compute("matmul.bwd", "gemm", 20000, {{"layer", name}, {"block", "mlp"}, {"tensor", "w1"}});
        barrier();
        exchange("allreduce", 4800,
                 {{"layer", name}, {"block", "mlp"}, {"tensor", "grad.w1"}, {"tensor", "grad.w2"}});
        next_phase();
        compute("layernorm.bwd", "layernorm", 1400, {{"layer", name}, {"block", "attention"}});
        elementwise("softmax.bwd", "softmax", 2200, {{"layer", name}, {"block", "attention"}});
        compute("matmul.bwd", "gemm", 16000,
                {{"layer", name}, {"block", "attention"}, {"tensor", "qkv"}});
        barrier();
        exchange(
            "allreduce", 4800,
            {{"layer", name}, {"tensor", "grad.wq"}, {"tensor", "grad.wk"}, {"tensor", "grad.wv"}});
        next_phase();
        elementwise("residual.add", "add", 350, {{"layer", name}, {"block", "attention"}});
        barrier();
    }

    void optimizer_epoch() {
        begin_epoch();
        compute("adam.update", "adam", 6000, {{"block", "optimizer"}});
        barrier();
        exchange("weights.store", 3000, {{"block", "optimizer"}});
        barrier();
    }

    std::size_t count_;
    std::vector<Slot> slots_;
    std::uint32_t epoch_ = 0;
    std::uint32_t phase_ = 0;
};

/// Timing constants after scaling, so that even a very long schedule fits one counter period.
struct Timings {
    std::uint64_t divisor = 1;
    std::uint64_t start_skew = kStartSkew;
    std::uint64_t max_gap = kMaxGap;
    std::uint64_t release_spread = kReleaseSpread;
    std::uint64_t nominal_span = 0;  ///< the schedule's length without imbalance or stalls

    std::uint64_t scaled(std::uint64_t cycles) const {
        return std::max<std::uint64_t>(1, cycles / divisor);
    }
};

Timings timings_for(const std::vector<Slot>& slots) {
    // A generous bound on a tile's span: the work of the slowest tile plus every stall and
    // release delay at their maximum.
    std::uint64_t bound = kStartSkew;
    std::uint64_t nominal = 0;
    for (const Slot& slot : slots) {
        bound += slot.cycles * 3 / 2 + kMaxGap + kReleaseSpread + 1;
        nominal += slot.cycles;
    }
    Timings timings;
    if (bound > kMaxTileSpan) {
        timings.divisor = bound / kMaxTileSpan + 1;
        timings.start_skew /= timings.divisor;
        timings.max_gap /= timings.divisor;
        timings.release_spread /= timings.divisor;
    }
    timings.nominal_span = nominal / timings.divisor;
    return timings;
}

/// Where one tile stands while the schedule is walked.
struct TileState {
    Random random{0};
    std::uint32_t base = 0;  ///< counter value at time 0
    std::uint64_t time = 0;  ///< cycles since reset
    std::uint64_t first_start = 0;
    std::uint64_t work_permille = 1000;  ///< this tile's share of the work, relative
};

/// One timed step of one tile.
struct Reading {
    bool idle = false;  ///< the tile had no share of an elementwise step
    std::uint32_t start_cycle = 0;
    std::uint32_t end_cycle = 0;
};

/// Whether the options slow this compute step down on tile `tile`.
bool slowed(const SyntheticOptions& options, const ProfileStep& step, std::uint32_t tile) {
    return options.slow_kernel && step.kernel == *options.slow_kernel &&
           (options.slow_tiles.empty() || options.slow_tiles.contains(tile));
}

/// `length` times `factor`, truncated (0 for a factor that is not a positive number). A length
/// past one counter period is kept at 2^32, which no tile's time line holds, so that it stays a
/// number and the options are refused.
std::uint64_t slowed_length(std::uint64_t length, double factor) {
    const double scaled = static_cast<double>(length) * factor;
    if (scaled > static_cast<double>(kMaxTileSpan)) {
        return kMaxTileSpan + 1;
    }
    return scaled > 0 ? static_cast<std::uint64_t>(scaled) : 0;
}

/// Times the next step of a tile and advances its state. `release` is when a barrier lets the
/// tiles go; `first` marks the tile's first sample, its time base.
Reading advance(TileState& state, const Slot& slot, const Timings& timings, std::uint64_t release,
                bool first, const SyntheticOptions& options, std::uint32_t tile) {
    const std::uint64_t cycles = timings.scaled(slot.cycles);
    Reading reading;
    std::uint64_t length = 0;
    switch (slot.timing) {
        case Timing::Elementwise:
            reading.idle = state.random.below(kIdleOneIn) == 0;
            [[fallthrough]];
        case Timing::Compute:
            if (state.random.below(kGapOneIn) == 0) {
                state.time += 1 + state.random.below(timings.max_gap);
            }
            length = cycles * state.work_permille * state.random.between(970, 1030) / 1'000'000;
            if (slowed(options, reading.idle ? slot.idle : slot.step, tile)) {
                length = slowed_length(length, options.slow_factor);
            }
            break;
        case Timing::Barrier:
            length = release + state.random.below(timings.release_spread) - state.time;
            break;
        case Timing::Exchange:
            // Exchanges are compiled and nearly equal everywhere, but now and then one runs
            // into contention.
            length = cycles * state.random.between(995, 1005) / 1000;
            if (state.random.below(kCongestionOneIn) == 0) {
                length = length * state.random.between(1100, 1400) / 1000;
            }
            break;
    }
    if (first) {
        state.first_start = state.time;
    }
    reading.start_cycle = static_cast<std::uint32_t>(state.base + state.time);
    reading.end_cycle = static_cast<std::uint32_t>(state.base + state.time + length);
    state.time += length;
    return reading;
}

/// Everything a tile's samples depend on besides the tile's own state: the schedule, its
/// timings, and when each barrier releases the tiles, which depends on all of them. With the
/// release times known, each tile's samples can be made on their own, tile after tile.
struct Plan {
    SyntheticOptions options;
    std::vector<Slot> slots;
    Timings timings;
    std::vector<TileState> tiles;         ///< each tile before its first sample
    std::vector<std::uint64_t> releases;  ///< by slot; 0 but at barriers
    /// The tile whose last sample ends farthest from the start of its first, and that distance:
    /// above `kMaxTileSpan`, the readings would alias on its 32-bit counter.
    std::uint32_t longest_tile = 0;
    std::uint64_t longest_span = 0;
};

Plan make_plan(const SyntheticOptions& options) {
    Plan plan;
    plan.options = options;
    plan.slots = ScheduleBuilder(options.steps_per_tile).build();
    plan.timings = timings_for(plan.slots);
    const Timings& timings = plan.timings;

    plan.tiles.resize(options.tiles);
    Random run(options.seed);
    for (std::uint32_t i = 0; i < options.tiles; ++i) {
        TileState& state = plan.tiles[i];
        state.random = Random(run.next());
        state.time = state.random.below(timings.start_skew + 1);
        state.first_start = state.time;
        state.work_permille = state.random.between(880, 1120);
        if (i % kWrapOneIn == 1) {
            // Place the wrap somewhere in the first nine tenths of the run.
            const std::uint64_t wrap_at = state.random.below(timings.nominal_span * 9 / 10 + 1);
            state.base = static_cast<std::uint32_t>(0x1'0000'0000ULL - state.time - wrap_at);
        } else {
            state.base = static_cast<std::uint32_t>(state.random.next());
        }
    }

    // Walk the schedule with every tile at once, only to learn the release times.
    std::vector<TileState> states = plan.tiles;
    plan.releases.assign(plan.slots.size(), 0);
    for (std::size_t s = 0; s < plan.slots.size(); ++s) {
        const Slot& slot = plan.slots[s];
        if (slot.timing == Timing::Barrier) {
            std::uint64_t release = 0;
            for (const TileState& state : states) {
                release = std::max(release, state.time);
            }
            plan.releases[s] = release + timings.scaled(slot.cycles);
        }
        for (std::uint32_t i = 0; i < options.tiles; ++i) {
            TileState& state = states[i];
            advance(state, slot, timings, plan.releases[s], s == 0, options, i);
            if (state.time - state.first_start > plan.longest_span) {
                plan.longest_span = state.time - state.first_start;
                plan.longest_tile = i;
            }
        }
    }
    return plan;
}

/// A bound on how far any tile's last sample ends from the start of its first, from the
/// schedule alone: every step at the most its timing allows (a compute step at 1.1536 and an
/// exchange at 1.407 times its nominal length, both below 3/2, a slowed one that times the
/// factor), after the longest stall and release delay, from the latest start.
double span_bound(const std::vector<Slot>& slots, const Timings& timings,
                  const SyntheticOptions& options) {
    double bound = static_cast<double>(timings.start_skew);
    for (const Slot& slot : slots) {
        double longest = static_cast<double>(timings.scaled(slot.cycles) * 3 / 2);
        if (options.slow_kernel && slot.step.kernel == *options.slow_kernel) {
            longest *= std::max(1.0, options.slow_factor);
        }
        bound += longest + static_cast<double>(timings.max_gap + timings.release_spread + 1);
    }
    return bound;
}

/// Calls `emit(slot, reading)` for each sample of tile `tile`, in order.
template <class Emit>
void walk_tile(const Plan& plan, std::uint32_t tile, Emit&& emit) {
    TileState state = plan.tiles[tile];
    for (std::size_t s = 0; s < plan.slots.size(); ++s) {
        emit(plan.slots[s], advance(state, plan.slots[s], plan.timings, plan.releases[s], s == 0,
                                    plan.options, tile));
    }
}

}  // namespace

std::vector<std::string> synthetic_kernels() {
    std::vector<std::string> kernels;
    for (const Slot& slot : ScheduleBuilder::one_iteration()) {
        if (!slot.step.kernel.empty()) {
            kernels.push_back(slot.step.kernel);
        }
    }
    std::sort(kernels.begin(), kernels.end());
    kernels.erase(std::unique(kernels.begin(), kernels.end()), kernels.end());
    return kernels;
}

std::optional<std::string> synthetic_options_error(const SyntheticOptions& options) {
    const std::uint64_t samples = synthetic_sample_count(options);
    if (samples > kMaxSyntheticSamples) {
        return std::to_string(options.tiles) + " tiles of " +
               std::to_string(options.steps_per_tile) + " steps make " + std::to_string(samples) +
               " samples; a profile holds at most " + std::to_string(kMaxSyntheticSamples) +
               " (2^32 - 1), so that every group's sums stay exact";
    }
    // The bound settles every run of a sensible size at once; walking the schedule with every
    // tile, as generating does, settles the rest.
    const std::vector<Slot> slots = ScheduleBuilder(options.steps_per_tile).build();
    if (span_bound(slots, timings_for(slots), options) <= static_cast<double>(kMaxTileSpan)) {
        return std::nullopt;
    }
    const Plan plan = make_plan(options);
    if (plan.longest_span <= kMaxTileSpan) {
        return std::nullopt;
    }
    return "tile " + std::to_string(plan.longest_tile) + " would run for " +
           std::to_string(plan.longest_span) +
           " cycles from its first sample, past the 2^32 - 1 = " + std::to_string(kMaxTileSpan) +
           " that its 32-bit cycle counter can time; ask for fewer steps per tile" +
           (options.slow_kernel ? " or a smaller slow factor" : "");
}

ProfileReport synthetic_profile(const SyntheticOptions& options) {
    const Plan plan = make_plan(options);
    ProfileReport report;
    report.clock_hz = options.clock_hz;
    report.tiles.resize(options.tiles);
    for (std::uint32_t i = 0; i < options.tiles; ++i) {
        TileProfile& tile = report.tiles[i];
        tile.physical_tile = i;
        tile.samples.reserve(plan.slots.size());
        walk_tile(plan, i, [&](const Slot& slot, const Reading& reading) {
            CycleSample& sample = tile.samples.emplace_back();
            sample.step = reading.idle ? slot.idle : slot.step;
            sample.start_cycle = reading.start_cycle;
            sample.end_cycle = reading.end_cycle;
        });
    }
    return report;
}

void synthetic_samples(const SyntheticOptions& options, ColumnsSink& sink) {
    const Plan plan = make_plan(options);
    sink.set_clock_hz(options.clock_hz);

    // Each step of the schedule is interned when first used, its texts in the order
    // `ColumnsBuilder::add_sample` takes them from a record, so that the numbers come out as
    // they would from the records.
    constexpr std::uint32_t kNone = ~std::uint32_t{0};
    std::vector<std::uint32_t> numbers(plan.slots.size() * 2, kNone);
    std::vector<MetadataPair> pairs;
    const auto number_of = [&](const ProfileStep& step) {
        pairs.clear();
        for (const ProfileMetadata& entry : step.metadata) {
            pairs.push_back({sink.intern(entry.name), sink.intern(entry.value)});
        }
        const std::uint32_t kernel = sink.intern(step.kernel);
        const std::uint32_t operation = sink.intern(step.operation);
        return sink.intern_step(step.kind, kernel, operation, pairs);
    };

    for (std::uint32_t i = 0; i < options.tiles; ++i) {
        sink.begin_tile(i);
        walk_tile(plan, i, [&](const Slot& slot, const Reading& reading) {
            const auto at =
                static_cast<std::size_t>(&slot - plan.slots.data()) * 2 + (reading.idle ? 1 : 0);
            const ProfileStep& step = reading.idle ? slot.idle : slot.step;
            if (numbers[at] == kNone) {
                numbers[at] = number_of(step);
            }
            sink.add_sample(reading.start_cycle, reading.end_cycle, step.phase, step.epoch,
                            step.local_index, numbers[at]);
        });
    }
}

ProfileColumns synthetic_columns(const SyntheticOptions& options) {
    ColumnsBuilder builder;
    builder.reserve_samples(synthetic_sample_count(options));
    BuilderSink sink(builder);
    synthetic_samples(options, sink);
    return builder.finish();
}

}  // namespace vorn_package
