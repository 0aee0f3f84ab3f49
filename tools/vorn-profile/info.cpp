#include "info.hpp"

#include <algorithm>
#include <cstdio>
#include <map>
#include <ostream>
#include <set>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "output.hpp"
#include "text_table.hpp"
#include "vorn_profile/partial.hpp"
#include "vorn_profile/query.hpp"

namespace vorn_cli {
namespace {

std::string number(std::uint64_t value) { return std::to_string(value); }

/// The first column of a table of counted values: its title says how many, `--columns` calls
/// it `name`.
Column counted(const std::string& title, std::size_t count) {
    return {title + " (" + number(count) + ")", Align::Left, "name"};
}

/// The columns of the table of metadata names.
std::vector<Column> metadata_columns(std::size_t count) {
    return {counted("metadata names", count),
            {"entries", Align::Right},
            {"steps", Align::Right},
            {"values", Align::Right}};
}

template <class Key, class Name>
void write_counts(std::ostream& out, const std::string& title,
                  const std::map<Key, std::uint64_t>& counts, Name name_of) {
    TextTable table({counted(title, counts.size()), {"samples", Align::Right}});
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

    void add(const ValueCounts& other) {
        if (dense_.size() < other.dense_.size()) {
            dense_.resize(other.dense_.size());
        }
        for (std::size_t value = 0; value < other.dense_.size(); ++value) {
            dense_[value] += other.dense_[value];
        }
        for (const auto& [value, count] : other.sparse_) {
            sparse_[value] += count;
        }
    }

private:
    static constexpr std::uint32_t kDense = 1 << 20;
    std::vector<std::uint64_t> dense_;
    std::map<std::uint32_t, std::uint64_t> sparse_;
};

/// Samples per step, phase and epoch over a stretch of a profile's samples.
struct SampleCounts {
    std::vector<std::uint64_t> steps;
    ValueCounts phases;
    ValueCounts epochs;

    void count(const vorn_package::ProfileColumns& profile, std::uint64_t first,
               std::uint64_t last) {
        steps.assign(profile.step_count(), 0);
        for (std::uint64_t s = first; s < last; ++s) {
            steps[profile.step[s]] += 1;
            phases.add(profile.phase[s]);
            epochs.add(profile.epoch[s]);
        }
    }
    void add(const SampleCounts& other) {
        for (std::size_t step = 0; step < steps.size(); ++step) {
            steps[step] += other.steps[step];
        }
        phases.add(other.phases);
        epochs.add(other.epochs);
    }
};

}  // namespace

ProfileInfo profile_info(const vorn_package::ProfileColumns& profile, std::size_t threads) {
    ProfileInfo info;
    info.clock_hz = profile.clock_hz;
    // Kinds and the span come from the engine itself, so they agree with every query.
    vorn_profile::Query by_kind;
    by_kind.group_by = vorn_profile::GroupBy::Kind;
    by_kind.sort_by = vorn_profile::SortBy::Name;
    const vorn_profile::QueryReport totals = vorn_profile::query(profile, by_kind, threads);
    info.tile_count = totals.tile_count;
    info.sample_count = totals.sample_count;
    info.span_cycles = totals.profile_span_cycles;
    info.span_ms = totals.profile_span_ms;
    for (const vorn_profile::GroupSummary& group : totals.groups) {
        info.kinds.emplace_back(group.name, group.sample_count);
    }
    // Samples are counted per step; kernels and metadata follow from the steps' counts.
    // Each thread counts an equal stretch of the samples; the counts are then added up.
    const std::uint64_t sample_count = profile.sample_count();
    const std::size_t parts = static_cast<std::size_t>(
        std::clamp<std::uint64_t>(threads, 1, std::max<std::uint64_t>(sample_count / 65536, 1)));
    std::vector<SampleCounts> counted(parts);
    {
        std::vector<std::jthread> workers;
        for (std::size_t part = 0; part < parts; ++part) {
            const auto count = [&, part] {
                counted[part].count(profile, sample_count * part / parts,
                                    sample_count * (part + 1) / parts);
            };
            if (part + 1 < parts) {
                workers.emplace_back(count);
            } else {
                count();
            }
        }
    }
    for (std::size_t part = 1; part < parts; ++part) {
        counted[0].add(counted[part]);
    }
    const std::vector<std::uint64_t>& step_samples = counted[0].steps;
    const ValueCounts& phase_counts = counted[0].phases;
    const ValueCounts& epoch_counts = counted[0].epochs;
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
                const vorn_package::ProfileColumns& profile, OutputFormat format,
                std::size_t threads) {
    const ProfileInfo info = profile_info(profile, threads);
    if (format == OutputFormat::Json) {
        std::string text = "{\n  \"profile\": ";
        append_json_string(text, path);
        const auto member = [&](std::string_view name, std::uint64_t value) {
            text += ",\n  \"";
            text += name;
            text += "\": " + number(value);
        };
        member("clock_hz", profile.clock_hz);
        member("tile_count", info.tile_count);
        member("sample_count", info.sample_count);
        member("profile_span_cycles", info.span_cycles);
        text += ",\n  \"profile_span_ms\": ";
        append_shortest_double(text, info.span_ms);
        const auto list = [&](std::string_view name, auto&& rows) {
            text += ",\n  \"";
            text += name;
            text += "\": [";
            bool first = true;
            rows([&](const std::string& row) {
                text += first ? "\n    " : ",\n    ";
                first = false;
                text += row;
            });
            text += first ? "]" : "\n  ]";
        };
        const auto named = [](std::string_view key, std::string_view name, std::uint64_t samples) {
            return "{\"" + std::string(key) + "\": " + json_string(name) +
                   ", \"samples\": " + number(samples) + "}";
        };
        list("kinds", [&](auto row) {
            for (const auto& [kind, samples] : info.kinds) {
                row(named("kind", kind, samples));
            }
        });
        list("kernels", [&](auto row) {
            for (const auto& [kernel, count] : info.kernels) {
                row(named("kernel", kernel, count));
            }
        });
        list("phases", [&](auto row) {
            for (const auto& [phase, count] : info.phases) {
                row("{\"phase\": " + number(phase) + ", \"samples\": " + number(count) + "}");
            }
        });
        list("epochs", [&](auto row) {
            for (const auto& [epoch, count] : info.epochs) {
                row("{\"epoch\": " + number(epoch) + ", \"samples\": " + number(count) + "}");
            }
        });
        list("metadata_names", [&](auto row) {
            for (const auto& [name, counts] : info.metadata) {
                row("{\"name\": " + json_string(name) + ", \"entries\": " + number(counts.entries) +
                    ", \"steps\": " + number(counts.steps) +
                    ", \"values\": " + number(counts.values) + "}");
            }
        });
        text += "\n}\n";
        out << text;
        return;
    }
    if (format == OutputFormat::Csv) {
        // One row per counted value; the totals are the JSON's and the table's.
        std::string line = "section,name,samples,steps,values\r\n";
        const auto row = [&](std::string_view section, std::string_view name, std::uint64_t samples,
                             std::string_view steps, std::string_view values) {
            csv_field(line, section, true);
            csv_field(line, name);
            csv_field(line, number(samples));
            csv_field(line, steps);
            csv_field(line, values);
            line += "\r\n";
            out << line;
            line.clear();
        };
        for (const auto& [kind, samples] : info.kinds) {
            row("kind", kind, samples, "", "");
        }
        for (const auto& [kernel, count] : info.kernels) {
            row("kernel", kernel, count, "", "");
        }
        for (const auto& [phase, count] : info.phases) {
            row("phase", number(phase), count, "", "");
        }
        for (const auto& [epoch, count] : info.epochs) {
            row("epoch", number(epoch), count, "", "");
        }
        for (const auto& [name, counts] : info.metadata) {
            row("metadata", name, counts.entries, number(counts.steps), number(counts.values));
        }
        out << line;
        return;
    }

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
    write_rows(out, {counted("kinds", info.kinds.size()), {"samples", Align::Right}}, kinds);
    out << '\n';
    write_counts(out, "kernels", info.kernels, [](std::string_view kernel) {
        return kernel.empty() ? std::string("(no kernel)") : std::string(kernel);
    });
    out << '\n';
    write_counts(out, "phases", info.phases, [](std::uint32_t n) { return number(n); });
    out << '\n';
    write_counts(out, "epochs", info.epochs, [](std::uint32_t n) { return number(n); });
    out << '\n';

    TextTable names(metadata_columns(info.metadata.size()));
    std::vector<std::string> cells;
    names.write(out, [&](auto emit) {
        for (const auto& [name, counts] : info.metadata) {
            cells = {name.empty() ? "\"\"" : std::string(name), number(counts.entries),
                     number(counts.steps), number(counts.values)};
            emit(cells);
        }
    });
}

std::vector<std::string> info_table_columns() {
    std::vector<Column> columns = metadata_columns(0);
    columns.insert(columns.begin() + 1, {"samples", Align::Right});
    return column_names(columns);
}

}  // namespace vorn_cli
