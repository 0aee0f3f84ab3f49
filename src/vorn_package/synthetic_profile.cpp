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
    explicit ScheduleBuilder(std::size_t count) : count_(count) { slots_.reserve(count); }

    std::vector<Slot> build() {
        while (!full()) {
            embedding_epoch();
            for (std::uint32_t layer = 0; layer < kLayers && !full(); ++layer) {
                forward_epoch(layer);
            }
            for (std::uint32_t layer = kLayers; layer-- > 0 && !full();) {
                backward_epoch(layer);
            }
            optimizer_epoch();
        }
        return std::move(slots_);
    }

private:
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

/// `length` times `factor`, truncated, and kept within one counter period (0 for a factor that
/// is not a positive number).
std::uint64_t slowed_length(std::uint64_t length, double factor) {
    const double scaled = static_cast<double>(length) * factor;
    if (scaled >= static_cast<double>(kMaxTileSpan)) {
        return kMaxTileSpan;
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
    // Keep every reading within one counter period of the tile's first sample; only a schedule
    // far longer than any real run could reach this.
    const std::uint64_t offset = state.time - state.first_start;
    length = std::min(length, kMaxTileSpan - std::min(offset, kMaxTileSpan));

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
            advance(states[i], slot, timings, plan.releases[s], s == 0, options, i);
        }
    }
    return plan;
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
