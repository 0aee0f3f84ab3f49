// `Profile.export` and `Profile.report`: the tool's timeline trace and HTML report page,
// written by the pictures library the tool uses, so that the files are the tool's bytes.
#include <pybind11/stl.h>

#include <string>

#include "module.hpp"
#include "vorn_view/export_trace.hpp"
#include "vorn_view/report_page.hpp"

namespace vorn_python {
namespace {

/// The path the pictures name as their source: the one given, or the profile's own.
std::string source_text(const Profile& profile, const py::object& source) {
    if (source.is_none()) {
        return profile.source_path;
    }
    if (!PyUnicode_Check(source.ptr())) {
        throw py::type_error("source: expected a str, found " +
                             std::string(py::str(py::type::handle_of(source).attr("__name__"))));
    }
    return py::str(source);
}

void export_file(const Profile& profile, const py::object& path, const std::string& format,
                 const WindowArgument& window, const py::object& source,
                 const py::kwargs& keywords) {
    if (format != "perfetto" && format != "chrome-json") {
        throw py::value_error("format: unknown value '" + format +
                              "' (expected one of perfetto, chrome-json)");
    }
    vorn_view::ExportOptions options{query_from_keywords(keywords), vorn_view::Window{},
                                     source_text(profile, source)};
    if (window) {
        options.window = {window->first, window->second};
    }
    write_checked(profile, path, [&](std::ostream& out) {
        if (format == "perfetto") {
            vorn_view::write_perfetto(out, profile.columns, options);
        } else {
            vorn_view::write_chrome_json(out, profile.columns, options);
        }
    });
}

void report_file(const Profile& profile, const py::object& path, const WindowArgument& window,
                 const py::object& source, const py::kwargs& keywords) {
    vorn_view::ReportOptions options{query_from_keywords(keywords), std::nullopt,
                                     source_text(profile, source)};
    if (window) {
        options.window = vorn_profile::TimeWindow{window->first, window->second};
    }
    write_checked(profile, path, [&](std::ostream& out) {
        vorn_view::write_report_page(out, profile.columns, options);
    });
}

}  // namespace

void bind_pictures(py::class_<Profile>& profile) {
    profile
        .def("_export", &export_file, py::arg("path"), py::arg("format"), py::arg("window"),
             py::arg("source"), "Writes the tool's trace of the profile.")
        .def("_report", &report_file, py::arg("path"), py::arg("window"), py::arg("source"),
             "Writes the tool's HTML report page.");
}

}  // namespace vorn_python
