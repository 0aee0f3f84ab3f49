#include "info.hpp"

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

}  // namespace

void write_info(std::ostream& out, const std::string& path,
                const vorn_package::ProfileReport& profile) {
    // Kinds and the span come from the engine itself, so they agree with every query.
    vorn_profile::Query by_kind;
    by_kind.group_by = vorn_profile::GroupBy::Kind;
    by_kind.sort_by = vorn_profile::SortBy::Name;
    const vorn_profile::QueryReport totals = vorn_profile::query(profile, by_kind);

    std::map<std::string_view, std::uint64_t> kernels;
    std::map<std::uint32_t, std::uint64_t> phases;
    std::map<std::uint32_t, std::uint64_t> epochs;
    std::map<std::string_view, MetadataCounts> metadata;
    for (const vorn_package::TileProfile& tile : profile.tiles) {
        for (const vorn_package::CycleSample& sample : tile.samples) {
            const vorn_package::ProfileStep& step = sample.step;
            kernels[step.kernel] += 1;
            phases[step.phase] += 1;
            epochs[step.epoch] += 1;
            for (std::size_t i = 0; i < step.metadata.size(); ++i) {
                MetadataCounts& counts = metadata[step.metadata[i].name];
                counts.entries += 1;
                counts.values.insert(step.metadata[i].value);
                // A name repeated within one step counts that step once.
                bool earlier = false;
                for (std::size_t j = 0; j < i && !earlier; ++j) {
                    earlier = step.metadata[j].name == step.metadata[i].name;
                }
                counts.steps += earlier ? 0 : 1;
            }
        }
    }

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
    write_counts(out, "kernels", kernels, [](std::string_view kernel) {
        return kernel.empty() ? std::string("(no kernel)") : std::string(kernel);
    });
    out << '\n';
    write_counts(out, "phases", phases, [](std::uint32_t n) { return number(n); });
    out << '\n';
    write_counts(out, "epochs", epochs, [](std::uint32_t n) { return number(n); });
    out << '\n';

    TextTable names({{"metadata names (" + number(metadata.size()) + ")"},
                     {"entries", Align::Right},
                     {"steps", Align::Right},
                     {"values", Align::Right}});
    std::vector<std::string> cells;
    names.write(out, [&](auto emit) {
        for (const auto& [name, counts] : metadata) {
            cells = {name.empty() ? "\"\"" : std::string(name), number(counts.entries),
                     number(counts.steps), number(counts.values.size())};
            emit(cells);
        }
    });
}

}  // namespace vorn_cli
