// The Python module `vorn_profile`: profiles read from files or built from DataFrames, queries
// with keyword arguments, and reports as DataFrames.
#include "module.hpp"

#include <cerrno>
#include <limits>
#include <string>
#include <utility>

#include "profile_file.hpp"
#include "vorn_package/mapped_file_guard.hpp"

namespace vorn_python {
namespace {

using vorn_profile::GroupBy;
using vorn_profile::SortBy;
using vorn_profile::StepKind;

constexpr const char* kModuleDoc = R"(Cycle profiles of a tiled accelerator, queried from Python.

    import vorn_profile as vp

    profile = vp.read("run.json")
    report = profile.query(group_by="phase", kind="compute", limit=10)
    report.groups.plot.bar(x="name", y="phase_ms")

read() opens a stored profile, Profile.query() answers one question about it, and the Report
holds the answer as pandas DataFrames (groups, samples) and totals. Profile.samples() gives
every sample as a DataFrame; from_dataframe() builds a Profile from one.)";

constexpr const char* kQueryDoc = R"(query(**keywords) -> Report

Filters, groups and summarises the samples. Every keyword is optional; one left out keeps the
default of the command line (group by kernel, sort by phase cycles, no filter, no listing).

    group_by            "kind", "kernel", "operation", "phase", "tile", "metadata" or GroupBy,
                        or a list of two or three of them: one group per combination
    metadata_key        str: the entry name grouped by with group_by="metadata"
    sort_by             "phase-cycles", "work-cycles", "maximum-cycles", "samples", "name" or SortBy
    kind                "exchange", "compute", "synchronization", "idle", StepKind or None
    kernel              str (exact; "" keeps steps without a kernel) or None
    operation_contains  str (case-sensitive substring) or None
    tiles               iterable of physical tile numbers
    phases              iterable of phase numbers (any epoch)
    metadata            iterable of (name, value) pairs; value None asks only that the entry exists
    at_offset           int: keep samples running at this cycle of their tile's time line, or None
    limit               int: groups kept after ordering, or None for all
    sample_limit        int: also list this many of the longest matched samples
    epochs              iterable of epoch numbers (any phase)
    kernel_matches      str: RE2 pattern the kernel must contain a match of, or None
    operation_matches   str: RE2 pattern the operation must contain a match of, or None
    exclude_kinds       iterable of kinds left out
    exclude_kernels     iterable of kernels left out ("" leaves out steps without a kernel)
    percentiles         iterable of numbers 0 to 100 (at most three decimals): one pN_cycles
                        column each

A keyword that is unknown or of the wrong type raises TypeError, a bad text or number raises
ValueError; both name the keyword. The interpreter lock is released while the query runs, so
queries on other threads run at the same time.

    report = profile.query(group_by="phase", kind="compute", tiles=[0, 5, 7], phases=range(3, 9),
                           metadata=[("layer", "encoder.0")], sort_by="name", sample_limit=5))";

PyObject* profile_error_type = nullptr;

/// What a path argument names: its bytes for the file system and its text for messages.
struct PathArgument {
    std::string bytes;
    py::str shown;
};

PathArgument path_argument(const py::object& path) {
    const py::module_ os = py::module_::import("os");
    // os.fsencode takes str, bytes and os.PathLike, and raises TypeError for anything else.
    const py::bytes encoded = os.attr("fsencode")(path);
    std::string bytes(encoded);
    if (bytes.find('\0') != std::string::npos) {
        // The system would take the path only up to the NUL: another file than the one named.
        throw py::value_error("embedded null byte");
    }
    return {std::move(bytes), os.attr("fsdecode")(path)};
}

}  // namespace

void raise_profile_error(const py::str& path, const vorn_package::ReadError& error) {
    const std::string detail = vorn_package::to_string(error);
    const auto decoded = [](const std::string& text) {
        return py::reinterpret_steal<py::str>(PyUnicode_DecodeUTF8(
            text.data(), static_cast<py::ssize_t>(text.size()), "backslashreplace"));
    };
    const py::str message = py::str("{}: {}").format(path, decoded(detail));
    const py::object exception = py::handle(profile_error_type)(message);
    exception.attr("path") = path;
    exception.attr("offset") = error.offset;
    exception.attr("location") = decoded(error.path);
    exception.attr("reason") = decoded(error.message);
    PyErr_SetObject(profile_error_type, exception.ptr());
    throw py::error_already_set();
}

namespace {

Profile read_file(const py::object& path) {
    const PathArgument file = path_argument(path);
    auto read = [&] {
        py::gil_scoped_release unlocked;
        return read_profile_file(file.bytes);
    }();
    if (!read) {
        raise_profile_error(file.shown, read.error());
    }
    return Profile{std::move(*read)};
}

void write_file(const Profile& profile, const py::object& path, const py::object& format) {
    if (!PyUnicode_Check(format.ptr())) {
        throw py::type_error("format: expected a str, found " +
                             std::string(py::str(py::type::handle_of(format).attr("__name__"))));
    }
    const std::string format_text = py::str(format);
    if (format_text != "json" && format_text != "packed") {
        throw py::value_error("format: unknown value " + std::string(py::repr(format)) +
                              " (expected one of json, packed)");
    }
    const ProfileFormat stored =
        format_text == "json" ? ProfileFormat::Json : ProfileFormat::Packed;
    const PathArgument file = path_argument(path);
    if (vorn_package::is_mapped(file.bytes)) {
        // Replacing it would be safe for the profiles that map it, but it is almost always a
        // slip: the source of a profile still in use.
        raise_profile_error(file.shown,
                            {0, "", "is mapped by a profile being read; write to another file"});
    }
    if (file.bytes == "-") {
        // What Python has buffered goes first, so that the two stay in order.
        py::module_::import("sys").attr("stdout").attr("flush")();
    }
    int failure = 0;
    {
        py::gil_scoped_release unlocked;
        failure = write_profile_file(file.bytes, profile.columns, stored);
    }
    if (failure != 0) {
        errno = failure;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, file.shown.ptr());
        throw py::error_already_set();
    }
}

py::object run_query(const Profile& profile, const py::kwargs& keywords) {
    const vorn_profile::Query query = query_from_keywords(keywords);
    vorn_profile::QueryReport report;
    {
        py::gil_scoped_release unlocked;
        report = vorn_profile::query(profile.columns, query);
    }
    return report_object(std::move(report));
}

Profile from_dataframe(const py::object& frame, const py::object& clock_hz) {
    std::optional<std::uint64_t> clock;
    if (!clock_hz.is_none()) {
        clock = unsigned_argument("clock_hz", clock_hz, std::numeric_limits<std::uint64_t>::max());
    }
    return Profile{columns_from_frame(frame, clock)};
}

void bind_enums(py::module_& m) {
    py::enum_<GroupBy>(m, "GroupBy", "How Profile.query groups the matched samples.")
        .value("KIND", GroupBy::Kind)
        .value("KERNEL", GroupBy::Kernel)
        .value("OPERATION", GroupBy::Operation)
        .value("PHASE", GroupBy::Phase)
        .value("TILE", GroupBy::Tile)
        .value("METADATA", GroupBy::Metadata);
    py::enum_<SortBy>(m, "SortBy",
                      "Group order: the larger value first, except NAME (ascending by bytes).")
        .value("PHASE_CYCLES", SortBy::PhaseCycles)
        .value("WORK_CYCLES", SortBy::WorkCycles)
        .value("MAXIMUM_CYCLES", SortBy::MaximumCycles)
        .value("SAMPLES", SortBy::Samples)
        .value("NAME", SortBy::Name);
    py::enum_<StepKind>(m, "StepKind", "The kind of a step, for the kind filter of Profile.query.")
        .value("EXCHANGE", StepKind::Exchange)
        .value("COMPUTE", StepKind::Compute)
        .value("SYNCHRONIZATION", StepKind::Synchronization)
        .value("IDLE", StepKind::Idle);
}

void bind_profile(py::module_& m) {
    py::class_<Profile>(m, "Profile", R"(A cycle profile: every tile's timed steps.

Made by read() or from_dataframe(); it never changes, so it may be queried from several threads
at once.)")
        .def_property_readonly(
            "clock_hz", [](const Profile& self) { return self.columns.clock_hz; },
            "Cycles per second of the profiled device.")
        .def_property_readonly(
            "tile_count", [](const Profile& self) { return self.columns.tile_count(); },
            "Tiles in the profile.")
        .def_property_readonly(
            "sample_count", [](const Profile& self) { return self.columns.sample_count(); },
            "Samples in the profile, all tiles together.")
        .def("query", &run_query, kQueryDoc)
        .def("partial", &profile_partial,
             R"(partial(**keywords) -> Partial

The query's partial report over the whole profile, with the keywords of query(): merged with
the partials of the profiles whose tiles follow (the shards of one profile, in order) and
finished, it gives the report of the query over all of them.)")
        .def(
            "samples", [](const Profile& self) { return sample_frame(self.columns); },
            R"(Every sample, one row each, tile after tile in stored order. Columns: physical_tile,
start_cycle, end_cycle, offset, duration, phase, epoch, local_index (uint32; offset uint64:
the start on the tile's own time line, 0 at its first sample), kind, operation, kernel (str),
metadata (a list of (name, value) tuples; rows of the same step share one list object, so
treat the lists as read-only). attrs["clock_hz"] holds the clock, so
from_dataframe(profile.samples()) gives the profile back.

start_cycle, end_cycle, phase, epoch and local_index view the profile's memory without a copy
and are read-only; use .copy() on the frame to change them.)")
        .def("write", &write_file, py::arg("path"), py::kw_only(), py::arg("format") = "json",
             R"(Writes the profile to a file (str or os.PathLike; "-" for standard output), as JSON
or, with format="packed", as a packed profile (binary; read() maps it without parsing).
The file is written beside the destination and renamed into place when complete, so a failed
write leaves the old file as it was. Raises OSError when the file cannot be written, ValueError
for a path with an embedded null byte, and ProfileError for a file that a profile of this
process maps (read() of a packed file).)")
        .def("__repr__", [](const Profile& self) {
            return "<vorn_profile.Profile: " + std::to_string(self.columns.tile_count()) +
                   " tiles, " + std::to_string(self.columns.sample_count()) + " samples, " +
                   std::to_string(self.columns.clock_hz) + " Hz>";
        });
}

}  // namespace
}  // namespace vorn_python

PYBIND11_MODULE(vorn_profile, m) {
    using namespace vorn_python;
    m.doc() = kModuleDoc;
    // A packed file that another program truncates or rewrites under a query cannot be read
    // on: the process ends with an error line naming the file, not with a bare signal.
    vorn_package::guard_mapped_files(1);

    profile_error_type = PyErr_NewExceptionWithDoc(
        "vorn_profile.ProfileError",
        "A profile file that cannot be read or is invalid. The message is the command line's: "
        "'PATH: at byte N (json.path): what is wrong'; the attributes path, offset, location "
        "and reason hold its parts.",
        PyExc_ValueError, nullptr);
    if (profile_error_type == nullptr) {
        throw py::error_already_set();
    }
    m.add_object("ProfileError", py::handle(profile_error_type));

    bind_enums(m);
    bind_profile(m);
    bind_report(m);
    bind_partial(m);
    // The query over a Dask cluster; Dask itself is imported only when it is used.
    m.attr("distributed") = py::module_::import("_vorn_profile_distributed");

    m.def(
        "read", &read_file, py::arg("path"),
        R"(Reads a stored profile, JSON or packed (str or os.PathLike; "-" reads standard input). Raises ProfileError
(a ValueError) with the command line's message, e.g.
"run.json: at byte 18342 (tiles[3].samples[17].start_cycle): expected an unsigned 32-bit
integer, found -5". The interpreter lock is released while the file is read.)");
    m.def(
        "from_dataframe", &from_dataframe, py::arg("frame"), py::kw_only(),
        py::arg("clock_hz") = py::none(),
        R"(A profile from a DataFrame with the columns of Profile.samples(): physical_tile, start_cycle,
end_cycle, phase, epoch, local_index (integers 0 to 2**32-1), kind ("exchange", "compute",
"synchronization" or "idle"), operation, kernel (str) and metadata (a list of (name, value)
pairs of str per row); offset and duration are not needed. Rows of one physical tile form one
tile, in row order; tiles come in the order of their first row. clock_hz defaults to
frame.attrs["clock_hz"].

Raises ValueError naming the column and row of the first bad value (a missing column, a wrong
dtype, a negative or too large number, an unknown kind, a cell that is not text); nothing is
built then.)");
}
