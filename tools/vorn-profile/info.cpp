#include "info.hpp"

#include <algorithm>
#include <cstdio>
#include <map>
#include <ostream>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "text_table.hpp"
#include "vorn_profile/query.hpp"

namespace vorn_cli {
namespace {

std::string number(std::uint64_t value) { return std::to_string(value); }

template <class Key, class Name>
void write_counts(std::ostream& out, const std::string& title,
                  const std::map<Key, std::uint64_t>& counts, Name name_of) {
    TextTable table({{title + " (" + number(counts.size()) + ")"}, {"samples", Align::Right}});
    std::vector<std::string> cells;
    table.write(out, [&](auto emit) {
        for (const auto& [key, count] : counts) {
            cells = {name_of(key), number(count)};
            emit(cells);
        }
    });
}

/// Writes a table of the few `rows` given.
void write_rows(std::ostream& out, std::vector<Column> columns,
                const std::vector<std::vector<std::string>>& rows) {
    TextTable table(std::move(columns));
    table.write(out, [&](auto emit) {
        for (const std::vector<std::string>& row : rows) {
            emit(row);
        }
    });
}

/// How many samples have each value of a sample field; dense for the small values that phases
/// and epochs usually are, a map for the rest.
class ValueCounts {
public:
    void add(std::uint32_t value) {
        if (value < kDense) {
            if (value >= dense_.size()) {
                dense_.resize(std::max<std::size_t>(value + 1, dense_.size() * 2));
            }
            dense_[value] += 1;
        } else {
            sparse_[value] += 1;
        }
    }

    std::map<std::uint32_t, std::uint64_t> sorted() const {
        std::map<std::uint32_t, std::uint64_t> counts = sparse_;
        for (std::size_t value = 0; value < dense_.size(); ++value) {
            if (dense_[value] != 0) {
                counts.emplace(static_cast<std::uint32_t>(value), dense_[value]);
            }
        }
        return counts;
    }

private:
    static constexpr std::uint32_t kDense = 1 << 20;
    std::vector<std::uint64_t> dense_;
    std::map<std::uint32_t, std::uint64_t> sparse_;
};

}  // namespace

ProfileInfo profile_info(const vorn_package::ProfileColumns& profile) {
    ProfileInfo info;
    info.clock_hz = profile.clock_hz;
    // Kinds and the span come from the engine itself, so they agree with every query.
    vorn_profile::Query by_kind;
    by_kind.group_by = vorn_profile::GroupBy::Kind;
    by_kind.sort_by = vorn_profile::SortBy::Name;
    const vorn_profile::QueryReport totals = vorn_profile::query(profile, by_kind);
    info.tile_count = totals.tile_count;
    info.sample_count = totals.sample_count;
    info.span_cycles = totals.profile_span_cycles;
    info.span_ms = totals.profile_span_ms;
    for (const vorn_profile::GroupSummary& group : totals.groups) {
        info.kinds.emplace_back(group.name, group.sample_count);
    }
    // Samples are counted per step; kernels and metadata follow from the steps' counts.
    std::vector<std::uint64_t> step_samples(profile.step_count());
    ValueCounts phase_counts;
    ValueCounts epoch_counts;
    for (std::uint64_t s = 0; s < profile.sample_count(); ++s) {
        step_samples[profile.step[s]] += 1;
        phase_counts.add(profile.phase[s]);
        epoch_counts.add(profile.epoch[s]);
    }
    std::map<std::string_view, std::set<std::string_view>> values;
    for (std::uint32_t step = 0; step < step_samples.size(); ++step) {
        const std::uint64_t samples = step_samples[step];
        if (samples == 0) {
            continue;
        }
        info.kernels[profile.text(profile.step_kernel[step])] += samples;
        const auto entries = profile.step_metadata(step);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const std::string_view name = profile.text(entries[i].name);
            MetadataNameCounts& counts = info.metadata[name];
            counts.entries += samples;
            values[name].insert(profile.text(entries[i].value));
            // A name repeated within one step counts that step once. Texts are stored once,
            // so equal names have equal numbers.
            bool earlier = false;
            for (std::size_t j = 0; j < i && !earlier; ++j) {
                earlier = entries[j].name == entries[i].name;
            }
            counts.steps += earlier ? 0 : samples;
        }
    }
    for (auto& [name, counts] : info.metadata) {
        counts.values = values[name].size();
    }
    info.phases = phase_counts.sorted();
    info.epochs = epoch_counts.sorted();
    return info;
}

void write_info(std::ostream& out, const std::string& path,
                const vorn_package::ProfileColumns& profile) {
    const ProfileInfo info = profile_info(profile);

    char span[96];
    std::snprintf(span, sizeof span, "%llu cycles (%.6f ms)",
                  static_cast<unsigned long long>(info.span_cycles), info.span_ms);
    write_rows(out, {{"profile"}, {path == "-" ? "standard input" : path}},
               {{"clock", number(profile.clock_hz) + " Hz"},
                {"tiles", number(info.tile_count)},
                {"samples", number(info.sample_count)},
                {"span", span}});
    out << '\n';

    std::vector<std::vector<std::string>> kinds;
    for (const auto& [kind, samples] : info.kinds) {
        kinds.push_back({kind, number(samples)});
    }
    write_rows(out, {{"kinds (" + number(info.kinds.size()) + ")"}, {"samples", Align::Right}},
               kinds);
    out << '\n';
    write_counts(out, "kernels", info.kernels, [](std::string_view kernel) {
        return kernel.empty() ? std::string("(no kernel)") : std::string(kernel);
    });
    out << '\n';
    write_counts(out, "phases", info.phases, [](std::uint32_t n) { return number(n); });
    out << '\n';
    write_counts(out, "epochs", info.epochs, [](std::uint32_t n) { return number(n); });
    out << '\n';

    TextTable names({{"metadata names (" + number(info.metadata.size()) + ")"},
                     {"entries", Align::Right},
                     {"steps", Align::Right},
                     {"values", Align::Right}});
    std::vector<std::string> cells;
    names.write(out, [&](auto emit) {
        for (const auto& [name, counts] : info.metadata) {
            cells = {name.empty() ? "\"\"" : std::string(name), number(counts.entries),
                     number(counts.steps), number(counts.values)};
            emit(cells);
        }
    });
}

}  // namespace vorn_cli
