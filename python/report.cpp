// `Report`: one query's answer, with its groups and listed samples as DataFrames and the whole
// report as the plain values that `vorn-profile query --format json` prints.
#include <string>
#include <utility>

#include "module.hpp"

namespace vorn_python {
namespace {

using vorn_profile::GroupSummary;
using vorn_profile::QueryReport;
using vorn_profile::SampleRecord;

struct Report {
    QueryReport report;
    // The DataFrames, built when first asked for and then handed out again.
    py::object groups;
    py::object samples;
};

py::dict dimensions_object(const GroupSummary& group) {
    py::dict dimensions;
    for (const auto& [name, value] : group.dimensions) {
        dimensions[text_object(name)] = text_object(value);
    }
    return dimensions;
}

/// "p99.9_cycles" and so on: the report's further percentiles as column names.
std::vector<std::string> percentile_columns(const QueryReport& report) {
    std::vector<std::string> names;
    for (const std::uint32_t thousandths : report.percentiles) {
        names.push_back(vorn_profile::percentile_name(thousandths) + "_cycles");
    }
    return names;
}

py::object groups_frame(const QueryReport& report) {
    const std::vector<GroupSummary>& groups = report.groups;
    const auto field = [&](auto member) {
        using Value = std::remove_cvref_t<decltype(groups.front().*member)>;
        return column_of<Value>(groups, [&](const GroupSummary& g) { return g.*member; });
    };
    const std::vector<std::string> names = percentile_columns(report);
    std::vector<std::pair<const char*, py::object>> columns({
        {"name",
         object_column(groups.size(),
                       [&](std::size_t i) { return text_object(groups[i].name).release().ptr(); })},
        {"dimensions", object_column(groups.size(),
                                     [&](std::size_t i) {
                                         return dimensions_object(groups[i]).release().ptr();
                                     })},
        {"sample_count", field(&GroupSummary::sample_count)},
        {"tile_count", field(&GroupSummary::tile_count)},
        {"phase_count", field(&GroupSummary::phase_count)},
        {"phase_cycles", field(&GroupSummary::phase_cycles)},
        {"phase_ms", field(&GroupSummary::phase_ms)},
        {"work_cycles", field(&GroupSummary::work_cycles)},
        {"average_active_tiles", field(&GroupSummary::average_active_tiles)},
        {"mean_cycles", field(&GroupSummary::mean_cycles)},
        {"p50_cycles", field(&GroupSummary::p50_cycles)},
        {"p95_cycles", field(&GroupSummary::p95_cycles)},
        {"maximum_cycles", field(&GroupSummary::maximum_cycles)},
        {"first_offset", field(&GroupSummary::first_offset)},
        {"last_offset", field(&GroupSummary::last_offset)},
        {"minimum_cycles", field(&GroupSummary::minimum_cycles)},
        {"stddev_cycles", field(&GroupSummary::stddev_cycles)},
        {"share", field(&GroupSummary::share)},
    });
    for (std::size_t p = 0; p < names.size(); ++p) {
        columns.emplace_back(names[p].c_str(),
                             column_of<std::uint32_t>(groups, [&](const GroupSummary& g) {
                                 return g.percentile_cycles[p];
                             }));
    }
    return data_frame(std::move(columns));
}

py::list metadata_pairs(const SampleRecord& sample) {
    py::list pairs;
    for (const auto& entry : sample.metadata) {
        pairs.append(py::make_tuple(text_object(entry.name), text_object(entry.value)));
    }
    return pairs;
}

py::object samples_frame(const std::vector<SampleRecord>& samples) {
    const auto field = [&](auto member) {
        using Value = std::remove_cvref_t<decltype(samples.front().*member)>;
        return column_of<Value>(samples, [&](const SampleRecord& s) { return s.*member; });
    };
    const auto texts = [&](auto member) {
        return object_column(samples.size(), [&](std::size_t i) {
            return text_object(samples[i].*member).release().ptr();
        });
    };
    return data_frame({
        {"physical_tile", field(&SampleRecord::physical_tile)},
        {"offset", field(&SampleRecord::offset)},
        {"duration", field(&SampleRecord::duration)},
        {"phase", field(&SampleRecord::phase)},
        {"epoch", field(&SampleRecord::epoch)},
        {"kind", texts(&SampleRecord::kind)},
        {"operation", texts(&SampleRecord::operation)},
        {"kernel", texts(&SampleRecord::kernel)},
        {"metadata",
         object_column(samples.size(),
                       [&](std::size_t i) { return metadata_pairs(samples[i]).release().ptr(); })},
    });
}

py::dict group_dict(const GroupSummary& group, const std::vector<std::string>& percentiles) {
    py::dict out;
    out["name"] = text_object(group.name);
    out["dimensions"] = dimensions_object(group);
    out["sample_count"] = group.sample_count;
    out["tile_count"] = group.tile_count;
    out["phase_count"] = group.phase_count;
    out["phase_cycles"] = group.phase_cycles;
    out["phase_ms"] = group.phase_ms;
    out["work_cycles"] = group.work_cycles;
    out["average_active_tiles"] = group.average_active_tiles;
    out["mean_cycles"] = group.mean_cycles;
    out["p50_cycles"] = group.p50_cycles;
    out["p95_cycles"] = group.p95_cycles;
    out["maximum_cycles"] = group.maximum_cycles;
    out["first_offset"] = group.first_offset;
    out["last_offset"] = group.last_offset;
    out["minimum_cycles"] = group.minimum_cycles;
    out["stddev_cycles"] = group.stddev_cycles;
    out["share"] = group.share;
    for (std::size_t p = 0; p < percentiles.size(); ++p) {
        out[py::str(percentiles[p])] = group.percentile_cycles[p];
    }
    if (!group.keys.empty()) {
        py::list keys;
        for (const std::string& key : group.keys) {
            keys.append(text_object(key));
        }
        out["keys"] = std::move(keys);
    }
    return out;
}

py::dict sample_dict(const SampleRecord& sample) {
    py::dict out;
    out["physical_tile"] = sample.physical_tile;
    out["offset"] = sample.offset;
    out["duration"] = sample.duration;
    out["phase"] = sample.phase;
    out["epoch"] = sample.epoch;
    out["kind"] = text_object(sample.kind);
    out["operation"] = text_object(sample.operation);
    out["kernel"] = text_object(sample.kernel);
    py::list metadata;
    for (const auto& entry : sample.metadata) {
        py::dict pair;
        pair["name"] = text_object(entry.name);
        pair["value"] = text_object(entry.value);
        metadata.append(std::move(pair));
    }
    out["metadata"] = std::move(metadata);
    return out;
}

py::dict report_dict(const QueryReport& report) {
    py::dict out;
    out["clock_hz"] = report.clock_hz;
    out["tile_count"] = report.tile_count;
    out["sample_count"] = report.sample_count;
    out["matched_sample_count"] = report.matched_sample_count;
    out["profile_span_cycles"] = report.profile_span_cycles;
    out["profile_span_ms"] = report.profile_span_ms;
    out["at_offset"] = report.at_offset ? py::int_(*report.at_offset) : py::object(py::none());
    py::list groups;
    const std::vector<std::string> percentiles = percentile_columns(report);
    for (const GroupSummary& group : report.groups) {
        groups.append(group_dict(group, percentiles));
    }
    out["groups"] = std::move(groups);
    py::list samples;
    for (const SampleRecord& sample : report.samples) {
        samples.append(sample_dict(sample));
    }
    out["samples"] = std::move(samples);
    return out;
}

}  // namespace

void bind_report(py::module_& module) {
    py::class_<Report>(module, "Report", R"(The answer to one query (made by Profile.query).

groups and samples are pandas DataFrames; the other attributes are the report's totals.
to_dict() gives the same object that `vorn-profile query --format json` prints.)")
        .def_property_readonly(
            "groups",
            [](Report& self) {
                if (!self.groups) {
                    self.groups = groups_frame(self.report);
                }
                return self.groups;
            },
            R"(One row per group, in report order (sorted, then limited).

Columns: name (str), dimensions (dict of str to str), sample_count, tile_count, phase_count,
phase_cycles, work_cycles, first_offset, last_offset (uint64), p50_cycles, p95_cycles,
maximum_cycles, minimum_cycles (uint32), phase_ms, average_active_tiles, mean_cycles,
stddev_cycles, share (float64, the engine's doubles exactly), and one pN_cycles column (uint32)
per percentile the query asked for (p90_cycles, p99.9_cycles, ...).)")
        .def_property_readonly(
            "samples",
            [](Report& self) {
                if (!self.samples) {
                    self.samples = samples_frame(self.report.samples);
                }
                return self.samples;
            },
            R"(The longest matched samples (at most sample_limit rows), longest first.

Columns: physical_tile, duration, phase, epoch (uint32), offset (uint64), kind, operation,
kernel (str), metadata (a list of (name, value) tuples).)")
        .def_property_readonly(
            "clock_hz", [](const Report& self) { return self.report.clock_hz; },
            "Cycles per second of the profiled device.")
        .def_property_readonly(
            "tile_count", [](const Report& self) { return self.report.tile_count; },
            "Tiles in the profile.")
        .def_property_readonly(
            "sample_count", [](const Report& self) { return self.report.sample_count; },
            "Samples in the profile.")
        .def_property_readonly(
            "matched_sample_count",
            [](const Report& self) { return self.report.matched_sample_count; },
            "Samples that passed every filter of the query.")
        .def_property_readonly(
            "profile_span_cycles",
            [](const Report& self) { return self.report.profile_span_cycles; },
            "The longest tile time line, in cycles.")
        .def_property_readonly(
            "profile_span_ms", [](const Report& self) { return self.report.profile_span_ms; },
            "profile_span_cycles in milliseconds.")
        .def_property_readonly(
            "at_offset",
            [](const Report& self) -> py::object {
                return self.report.at_offset ? py::int_(*self.report.at_offset)
                                             : py::object(py::none());
            },
            "The query's at_offset, or None.")
        .def(
            "to_dict", [](const Report& self) { return report_dict(self.report); },
            R"(The whole report as plain Python values: the object that
`vorn-profile query --format json` prints, member for member (dimensions as dicts,
at_offset None when absent, each sample's metadata a list of {"name", "value"} dicts).)")
        .def("__repr__", [](const Report& self) {
            const QueryReport& r = self.report;
            return "<vorn_profile.Report: " + std::to_string(r.groups.size()) + " groups, " +
                   std::to_string(r.matched_sample_count) + " of " +
                   std::to_string(r.sample_count) + " samples matched, " +
                   std::to_string(r.samples.size()) + " listed>";
        });
}

py::object report_object(vorn_profile::QueryReport report) {
    return py::cast(Report{std::move(report), {}, {}});
}

}  // namespace vorn_python
