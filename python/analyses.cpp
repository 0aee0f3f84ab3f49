// The questions a profile answers, each asked of the same library code as the tool and answered
// with the tool's own `--format json` text (a query, a difference of two runs, supersteps), or,
// for `info`, with the figures the tool's table shows.
#include <pybind11/stl.h>

#include <sstream>
#include <string>
#include <utility>

#include "info.hpp"
#include "listed_samples.hpp"
#include "module.hpp"
#include "output.hpp"
#include "profile_file.hpp"
#include "vorn_profile/partial.hpp"

namespace vorn_python {
namespace {

using vorn_profile::TimeWindow;

std::optional<TimeWindow> time_window(const WindowArgument& window) {
    if (!window) {
        return std::nullopt;
    }
    return TimeWindow{window->first, window->second};
}

/// What `write` prints, as Python bytes; `write` runs with the interpreter lock released.
template <class Write>
py::bytes json_text(Write write) {
    std::string text;
    {
        py::gil_scoped_release unlocked;
        std::ostringstream out;
        write(out);
        text = std::move(out).str();
    }
    return py::bytes(text);
}

py::bytes query_json(const Profile& profile, const WindowArgument& window_argument,
                     const py::kwargs& keywords) {
    const std::optional<TimeWindow> window = time_window(window_argument);
    const vorn_profile::Query query = query_from_keywords(keywords);
    return json_text([&](std::ostream& out) {
        const vorn_profile::ListedReport answer =
            window ? vorn_profile::query_window_listed(profile.columns, query, *window,
                                                       query_threads())
                   : vorn_profile::query_listed(profile.columns, query, query_threads());
        const vorn_cli::ListedSamples samples(profile.columns, answer.listed);
        vorn_cli::write_json(out, answer.report, samples, window);
    });
}

py::bytes diff_json(const Profile& base, const Profile& next, const WindowArgument& window,
                    const py::kwargs& keywords) {
    const vorn_profile::Query query = query_from_keywords(keywords);
    return json_text([&](std::ostream& out) {
        const TimeWindow whole = time_window(window).value_or(TimeWindow{});
        const vorn_profile::DiffReport report =
            vorn_profile::diff(base.columns, next.columns, query, whole);
        vorn_cli::write_diff_json(out, report, whole);
    });
}

py::bytes supersteps_json(const Profile& profile, bool by_tile, const WindowArgument& window,
                          const py::kwargs& keywords) {
    const vorn_profile::Query query = query_from_keywords(keywords);
    return json_text([&](std::ostream& out) {
        const vorn_profile::SuperstepReport report = vorn_profile::supersteps(
            profile.columns, query, time_window(window).value_or(TimeWindow{}));
        vorn_cli::write_supersteps_json(
            out, report,
            by_tile ? vorn_cli::SuperstepRows::Tile : vorn_cli::SuperstepRows::Occurrence,
            query.limit);
    });
}

template <class Key, class Counts, class Value>
py::dict counts_dict(const Counts& counts, Value value) {
    py::dict out;
    for (const auto& [key, count] : counts) {
        if constexpr (std::is_same_v<Key, std::string_view>) {
            out[text_object(key)] = value(count);
        } else {
            out[py::int_(key)] = value(count);
        }
    }
    return out;
}

py::dict info_dict(const Profile& profile) {
    vorn_cli::ProfileInfo info;
    {
        py::gil_scoped_release unlocked;
        info = vorn_cli::profile_info(profile.columns);
    }
    const auto same = [](std::uint64_t count) { return count; };
    py::dict out;
    out["clock_hz"] = info.clock_hz;
    out["tile_count"] = info.tile_count;
    out["sample_count"] = info.sample_count;
    out["profile_span_cycles"] = info.span_cycles;
    out["profile_span_ms"] = info.span_ms;
    py::dict kinds;
    for (const auto& [kind, samples] : info.kinds) {
        kinds[text_object(kind)] = samples;
    }
    out["kinds"] = kinds;
    out["kernels"] = counts_dict<std::string_view>(info.kernels, same);
    out["phases"] = counts_dict<std::uint32_t>(info.phases, same);
    out["epochs"] = counts_dict<std::uint32_t>(info.epochs, same);
    out["metadata"] = counts_dict<std::string_view>(info.metadata,
                                                    [](const vorn_cli::MetadataNameCounts& counts) {
                                                        py::dict entry;
                                                        entry["entries"] = counts.entries;
                                                        entry["steps"] = counts.steps;
                                                        entry["values"] = counts.values;
                                                        return entry;
                                                    });
    return out;
}

}  // namespace

py::object report_object(const vorn_profile::QueryReport& report) {
    const py::bytes text = json_text([&](std::ostream& out) { vorn_cli::write_json(out, report); });
    return py::module_::import("vorn_profile").attr("Report")(text);
}

void bind_analyses(py::module_& module, py::class_<Profile>& profile) {
    profile
        .def("_query", &query_json, py::arg("window"),
             "The tool's JSON report of a query over an optional (from, to) window.")
        .def("_supersteps", &supersteps_json, py::arg("by_tile"), py::arg("window"),
             "The tool's JSON superstep report.")
        .def("_info", &info_dict, "The figures of `vorn-profile info` as a dict.");
    module.def("_diff", &diff_json, py::arg("base"), py::arg("new"), py::arg("window"),
               "The tool's JSON comparison of two profiles.");
}

}  // namespace vorn_python
