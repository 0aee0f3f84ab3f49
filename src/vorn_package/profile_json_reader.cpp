// Reads the stored profile format into records or into columns: one reader (json/outer_scan,
// json/tile_parser, json/checker) and a sink for each shape of result.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "file_input.hpp"
#include "vorn_package/json/input.hpp"
#include "vorn_package/json/outer_scan.hpp"
#include "vorn_package/json/sink.hpp"
#include "vorn_package/json/tile_parser.hpp"
#include "vorn_package/profile_json.hpp"

namespace vorn_package {
namespace {

class RecordSink final : public json::ProfileSink {
public:
    void set_clock_hz(std::uint64_t clock_hz) override { report_.clock_hz = clock_hz; }

    void begin_tile(std::size_t sample_bound) override {
        tile_ = &report_.tiles.emplace_back();
        tile_->samples.reserve(sample_bound);
    }

    void set_physical_tile(std::uint32_t physical_tile) override {
        tile_->physical_tile = physical_tile;
    }

    void add_sample(const json::SampleFields& fields) override {
        CycleSample& sample = tile_->samples.emplace_back();
        sample.start_cycle = fields.start_cycle;
        sample.end_cycle = fields.end_cycle;
        ProfileStep& step = sample.step;
        step.local_index = fields.local_index;
        step.phase = fields.phase;
        step.epoch = fields.epoch;
        step.kind = fields.kind;
        step.operation.assign(fields.operation);
        step.kernel.assign(fields.kernel);
        step.metadata.reserve(fields.metadata.size());
        for (const MetadataText& entry : fields.metadata) {
            step.metadata.push_back({std::string(entry.name), std::string(entry.value)});
        }
    }

    void end_tile() override {
        auto& samples = tile_->samples;
        if (samples.capacity() - samples.size() > samples.size() / 8) {
            samples.shrink_to_fit();
        }
    }

    ProfileReport take() { return std::move(report_); }

private:
    ProfileReport report_;
    TileProfile* tile_ = nullptr;
};

// Samples go straight into the builder once their tile's number is known; those that come
// before it (a tile may name itself after its samples) wait in `pending_` until the tile ends.
class ColumnsSink final : public json::ProfileSink {
public:
    void set_clock_hz(std::uint64_t clock_hz) override { builder_.set_clock_hz(clock_hz); }

    void begin_tile(std::size_t) override {
        place_ = 0;
        have_physical_ = false;
        begun_ = false;
        pending_.clear();
    }

    void set_physical_tile(std::uint32_t physical_tile) override {
        physical_ = physical_tile;
        have_physical_ = true;
    }

    void add_sample(const json::SampleFields& fields) override {
        const Pending sample{fields.start_cycle, fields.end_cycle,   fields.phase,
                             fields.epoch,       fields.local_index, step_of(fields)};
        if (!have_physical_) {
            pending_.push_back(sample);
            return;
        }
        start_tile();
        add(sample);
    }

    void end_tile() override {
        start_tile();
        for (const Pending& sample : pending_) {
            add(sample);
        }
        pending_.clear();
    }

    std::unique_ptr<json::ProfileSink> make_piece(std::size_t sample_bound) override {
        auto piece = std::make_unique<ColumnsSink>();
        piece->builder_.reserve_samples(sample_bound);
        return piece;
    }

    // The piece's texts and steps are numbered here in the order they first occur in it, which
    // is the order they would have had if its tiles had come to this sink.
    void append_piece(json::ProfileSink& piece) override {
        builder_.append(static_cast<ColumnsSink&>(piece).take());
    }

    ProfileColumns take() { return builder_.finish(); }

private:
    struct Pending {
        std::uint32_t start_cycle, end_cycle, phase, epoch, local_index, step;
    };

    // The number of the sample's step. Tiles mostly run the same steps in the same order, so
    // the step last seen at each place in a tile is kept with its kind and texts: a sample that
    // matches it takes its number without interning anything.
    std::uint32_t step_of(const json::SampleFields& fields) {
        const std::size_t place = place_++;
        if (place < recent_steps_.size() && recent_steps_[place].matches(fields)) {
            return recent_steps_[place].step;
        }
        pairs_.clear();
        for (const MetadataText& entry : fields.metadata) {
            pairs_.push_back({builder_.intern(entry.name), builder_.intern(entry.value)});
        }
        const std::uint32_t kernel = builder_.intern(fields.kernel);
        const std::uint32_t operation = builder_.intern(fields.operation);
        const std::uint32_t step = builder_.intern_step(fields.kind, kernel, operation, pairs_);
        if (place < kRecentPlaces) {
            if (place == recent_steps_.size()) {
                recent_steps_.emplace_back();
            }
            recent_steps_[place].keep(fields, step);
        }
        return step;
    }

    void start_tile() {
        if (!std::exchange(begun_, true)) {
            builder_.begin_tile(physical_);
        }
    }
    void add(const Pending& s) {
        builder_.add_sample(s.start_cycle, s.end_cycle, s.phase, s.epoch, s.local_index, s.step);
    }

    ColumnsBuilder builder_;
    std::uint32_t physical_ = 0;
    bool have_physical_ = false;
    bool begun_ = false;
    std::vector<Pending> pending_;
    std::vector<MetadataPair> pairs_;

    // A step with its kind and texts: operation, kernel, then each metadata name and value.
    class RecentStep {
    public:
        bool matches(const json::SampleFields& fields) const {
            if (kind_ != fields.kind || ends_.size() != 2 + 2 * fields.metadata.size() ||
                text(0) != fields.operation || text(1) != fields.kernel) {
                return false;
            }
            std::size_t at = 2;
            for (const MetadataText& entry : fields.metadata) {
                if (text(at) != entry.name || text(at + 1) != entry.value) {
                    return false;
                }
                at += 2;
            }
            return true;
        }

        void keep(const json::SampleFields& fields, std::uint32_t number) {
            step = number;
            kind_ = fields.kind;
            texts_.clear();
            ends_.clear();
            add(fields.operation);
            add(fields.kernel);
            for (const MetadataText& entry : fields.metadata) {
                add(entry.name);
                add(entry.value);
            }
        }

        std::uint32_t step = 0;

    private:
        std::string_view text(std::size_t at) const {
            const std::size_t begin = at == 0 ? 0 : ends_[at - 1];
            return std::string_view(texts_).substr(begin, ends_[at] - begin);
        }
        void add(std::string_view text) {
            texts_.append(text);
            ends_.push_back(texts_.size());
        }

        ProfileStepKind kind_ = ProfileStepKind::Exchange;
        std::string texts_;
        std::vector<std::size_t> ends_;
    };
    // Places in a tile whose steps are kept: the steps of longer tiles past these are interned.
    static constexpr std::size_t kRecentPlaces = 1 << 14;
    std::vector<RecentStep> recent_steps_;
    std::size_t place_ = 0;
};

template <class Sink>
auto read_from(json::Input& input, const ReadProgress& progress, std::size_t threads = 1)
    -> Result<decltype(std::declval<Sink&>().take()), ReadError> {
    Sink sink;
    json::DocumentReader reader(input, sink, progress, threads);
    if (!reader.run()) {
        return Unexpected<ReadError>{reader.take_error()};
    }
    return sink.take();
}

template <class Sink>
auto read_file(const std::string& path, const ReadProgress& progress)
    -> Result<decltype(std::declval<Sink&>().take()), ReadError> {
    ReadError error;
    const std::unique_ptr<json::Input> input = json::open_input(path, error);
    if (input == nullptr) {
        return Unexpected<ReadError>{std::move(error)};
    }
    return read_from<Sink>(*input, progress);
}

}  // namespace

std::string to_string(const ReadError& error) {
    std::string out = "at byte " + std::to_string(error.offset);
    if (!error.path.empty()) {
        out += " (" + error.path + ")";
    }
    out += ": ";
    out += error.message;
    return out;
}

Result<ProfileReport, ReadError> read_profile_json(std::string_view text,
                                                   const ReadProgress& progress) {
    json::MemoryInput input(text);
    return read_from<RecordSink>(input, progress);
}

Result<ProfileReport, ReadError> read_profile_json_file(const std::string& path,
                                                        const ReadProgress& progress) {
    return read_file<RecordSink>(path, progress);
}

Result<ProfileColumns, ReadError> read_profile_columns_json(std::string_view text,
                                                            const ReadProgress& progress) {
    json::MemoryInput input(text);
    return read_from<ColumnsSink>(input, progress);
}

Result<ProfileColumns, ReadError> read_profile_columns_json(json::Input& input,
                                                            const ReadProgress& progress,
                                                            std::size_t threads) {
    return read_from<ColumnsSink>(input, progress, threads);
}

Result<ProfileColumns, ReadError> read_profile_columns_json_file(const std::string& path,
                                                                 const ReadProgress& progress) {
    return read_file<ColumnsSink>(path, progress);
}

std::string_view profile_json_kernel() { return json::tile_parser_kernel(); }

}  // namespace vorn_package
