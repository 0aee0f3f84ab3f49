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
#include "vorn_view/json_writer.hpp"

namespace vorn_cli {
namespace {

struct MetadataCounts {
    std::uint64_t entries = 0;
    std::uint64_t steps = 0;
    std::set<std::string_view> values;
};

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

/// Everything `info` shows, gathered once for either rendering.
struct InfoFigures {
    vorn_profile::QueryReport totals;  // grouped by kind, in name order
    std::map<std::string_view, std::uint64_t> kernels;
    std::map<std::string_view, MetadataCounts> metadata;
    std::map<std::uint32_t, std::uint64_t> phases;
    std::map<std::uint32_t, std::uint64_t> epochs;
};

InfoFigures info_figures(const vorn_package::ProfileColumns& profile) {
    InfoFigures figures;
    // Kinds and the span come from the engine itself, so they agree with every query.
    vorn_profile::Query by_kind;
    by_kind.group_by = vorn_profile::GroupBy::Kind;
    by_kind.sort_by = vorn_profile::SortBy::Name;
    figures.totals = vorn_profile::query(profile, by_kind);

    // Samples are counted per step; kernels and metadata follow from the steps' counts.
    std::vector<std::uint64_t> step_samples(profile.step_count());
    ValueCounts phase_counts;
    ValueCounts epoch_counts;
    for (std::uint64_t s = 0; s < profile.sample_count(); ++s) {
        step_samples[profile.step[s]] += 1;
        phase_counts.add(profile.phase[s]);
        epoch_counts.add(profile.epoch[s]);
    }
    for (std::uint32_t step = 0; step < step_samples.size(); ++step) {
        const std::uint64_t samples = step_samples[step];
        if (samples == 0) {
            continue;
        }
        figures.kernels[profile.text(profile.step_kernel[step])] += samples;
        const auto entries = profile.step_metadata(step);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            MetadataCounts& counts = figures.metadata[profile.text(entries[i].name)];
            counts.entries += samples;
            counts.values.insert(profile.text(entries[i].value));
            // A name repeated within one step counts that step once. Texts are stored once,
            // so equal names have equal numbers.
            bool earlier = false;
            for (std::size_t j = 0; j < i && !earlier; ++j) {
                earlier = entries[j].name == entries[i].name;
            }
            counts.steps += earlier ? 0 : samples;
        }
    }
    figures.phases = phase_counts.sorted();
    figures.epochs = epoch_counts.sorted();
    return figures;
}

/// `"name": [{"<key>": ..., "samples": n}, ...]` for one of the counted lists.
template <class Key, class Write>
void counts_member(vorn_view::ObjectWriter& object, std::string& out, std::string_view name,
                   const std::map<Key, std::uint64_t>& counts, int indent, Write write_key) {
    object.field(name);
    vorn_view::array(out, counts, indent + 2, [&](const auto& entry, int item_indent) {
        vorn_view::ObjectWriter item(out, item_indent);
        write_key(item, entry.first);
        item.member("samples", entry.second);
        item.close();
    });
}

}  // namespace

void write_info(std::ostream& out, const std::string& path,
                const vorn_package::ProfileColumns& profile) {
    const InfoFigures figures = info_figures(profile);
    const vorn_profile::QueryReport& totals = figures.totals;

    char span[96];
    std::snprintf(span, sizeof span, "%llu cycles (%.6f ms)",
                  static_cast<unsigned long long>(totals.profile_span_cycles),
                  totals.profile_span_ms);
    write_rows(out, {{"profile"}, {path == "-" ? "standard input" : path}},
               {{"clock", number(profile.clock_hz) + " Hz"},
                {"tiles", number(totals.tile_count)},
                {"samples", number(totals.sample_count)},
                {"span", span}});
    out << '\n';

    std::vector<std::vector<std::string>> kinds;
    for (const vorn_profile::GroupSummary& group : totals.groups) {
        kinds.push_back({group.name, number(group.sample_count)});
    }
    write_rows(out, {{"kinds (" + number(totals.groups.size()) + ")"}, {"samples", Align::Right}},
               kinds);
    out << '\n';
    write_counts(out, "kernels", figures.kernels, [](std::string_view kernel) {
        return kernel.empty() ? std::string("(no kernel)") : std::string(kernel);
    });
    out << '\n';
    write_counts(out, "phases", figures.phases, [](std::uint32_t n) { return number(n); });
    out << '\n';
    write_counts(out, "epochs", figures.epochs, [](std::uint32_t n) { return number(n); });
    out << '\n';

    TextTable names({{"metadata names (" + number(figures.metadata.size()) + ")"},
                     {"entries", Align::Right},
                     {"steps", Align::Right},
                     {"values", Align::Right}});
    std::vector<std::string> cells;
    names.write(out, [&](auto emit) {
        for (const auto& [name, counts] : figures.metadata) {
            cells = {name.empty() ? "\"\"" : std::string(name), number(counts.entries),
                     number(counts.steps), number(counts.values.size())};
            emit(cells);
        }
    });
}

void write_info_json(std::ostream& out, const std::string& path,
                     const vorn_package::ProfileColumns& profile) {
    const InfoFigures figures = info_figures(profile);
    const vorn_profile::QueryReport& totals = figures.totals;
    std::string text;
    vorn_view::ObjectWriter object(text, 0);
    object.member("profile", std::string_view(path));
    object.member("clock_hz", profile.clock_hz);
    object.member("tile_count", totals.tile_count);
    object.member("sample_count", totals.sample_count);
    object.member("profile_span_cycles", totals.profile_span_cycles);
    object.member("profile_span_ms", totals.profile_span_ms);
    object.field("kinds");
    vorn_view::array(text, totals.groups, 2,
                     [&](const vorn_profile::GroupSummary& group, int indent) {
                         vorn_view::ObjectWriter item(text, indent);
                         item.member("kind", std::string_view(group.name));
                         item.member("samples", group.sample_count);
                         item.close();
                     });
    counts_member(object, text, "kernels", figures.kernels, 0,
                  [](vorn_view::ObjectWriter& item, std::string_view kernel) {
                      item.member("kernel", kernel);
                  });
    const auto numbered = [](std::string_view key) {
        return [key](vorn_view::ObjectWriter& item, std::uint32_t value) {
            item.member(key, std::uint64_t{value});
        };
    };
    counts_member(object, text, "phases", figures.phases, 0, numbered("phase"));
    counts_member(object, text, "epochs", figures.epochs, 0, numbered("epoch"));
    object.field("metadata_names");
    vorn_view::array(text, figures.metadata, 2, [&](const auto& entry, int indent) {
        vorn_view::ObjectWriter item(text, indent);
        item.member("name", entry.first);
        item.member("entries", entry.second.entries);
        item.member("steps", entry.second.steps);
        item.member("values", std::uint64_t{entry.second.values.size()});
        item.close();
    });
    object.close();
    text += '\n';
    out << text;
}

}  // namespace vorn_cli
