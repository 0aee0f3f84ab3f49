#include "info.hpp"

#include <cstdio>
#include <map>
#include <ostream>
#include <set>
#include <string_view>

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
std::string count_table(const std::string& title, const std::map<Key, std::uint64_t>& counts,
                        Name name_of) {
    TextTable table({{title + " (" + number(counts.size()) + ")"}, {"samples", Align::Right}});
    for (const auto& [key, count] : counts) {
        table.add_row({name_of(key), number(count)});
    }
    return table.render();
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

    TextTable head({{"profile"}, {path == "-" ? "standard input" : path}});
    head.add_row({"clock", number(profile.clock_hz) + " Hz"});
    head.add_row({"tiles", number(totals.tile_count)});
    head.add_row({"samples", number(totals.sample_count)});
    char span[96];
    std::snprintf(span, sizeof span, "%llu cycles (%.6f ms)",
                  static_cast<unsigned long long>(totals.profile_span_cycles),
                  totals.profile_span_ms);
    head.add_row({"span", span});

    TextTable kinds({{"kinds (" + number(totals.groups.size()) + ")"}, {"samples", Align::Right}});
    for (const vorn_profile::GroupSummary& group : totals.groups) {
        kinds.add_row({group.name, number(group.sample_count)});
    }

    TextTable names({{"metadata names (" + number(metadata.size()) + ")"},
                     {"entries", Align::Right},
                     {"steps", Align::Right},
                     {"values", Align::Right}});
    for (const auto& [name, counts] : metadata) {
        names.add_row({name.empty() ? "\"\"" : std::string(name), number(counts.entries),
                       number(counts.steps), number(counts.values.size())});
    }

    const std::string sections[] = {
        head.render(),
        kinds.render(),
        count_table("kernels", kernels,
                    [](std::string_view kernel) {
                        return kernel.empty() ? std::string("(no kernel)") : std::string(kernel);
                    }),
        count_table("phases", phases, [](std::uint32_t n) { return number(n); }),
        count_table("epochs", epochs, [](std::uint32_t n) { return number(n); }),
        names.render(),
    };
    std::string text;
    for (const std::string& section : sections) {
        if (!text.empty()) {
            text += '\n';
        }
        text += section;
    }
    out << text;
}

}  // namespace vorn_cli
