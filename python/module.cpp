// The Python module `vorn_profile`: profiles read from files or built from DataFrames, queries
// with keyword arguments, and reports as DataFrames.
#include "module.hpp"

#include <pybind11/stl.h>
#include <sys/stat.h>

#include <cerrno>
#include <limits>
#include <string>
#include <utility>

#include "profile_file.hpp"
#include "vorn_package/mapped_file_guard.hpp"
#include "vorn_package/profile_json.hpp"
#include "vorn_package/profile_packed.hpp"

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

/// ProfileError "PATH: reason" for a destination that must not be written, as the tool says it.
[[noreturn]] void refuse_write(const py::str& path, const char* reason) {
    const py::object exception =
        py::handle(profile_error_type)(py::str("{}: {}").format(path, reason));
    exception.attr("path") = path;
    exception.attr("offset") = 0;
    exception.attr("location") = "";
    exception.attr("reason") = reason;
    PyErr_SetObject(profile_error_type, exception.ptr());
    throw py::error_already_set();
}

Profile read_file(const py::object& path) {
    const PathArgument file = path_argument(path);
    auto read = [&] {
        py::gil_scoped_release unlocked;
        return read_profile_file(file.bytes);
    }();
    if (!read) {
        raise_profile_error(file.shown, read.error());
    }
    Profile profile{std::move(*read), std::nullopt, file.bytes};
    struct stat status {};
    if (file.bytes != "-" && ::stat(file.bytes.c_str(), &status) == 0) {
        profile.source = {{status.st_dev, status.st_ino}};
    }
    return profile;
}

/// Whether `path` names (through any link) the file `profile` was read from.
bool is_source(const Profile& profile, const std::string& path) {
    struct stat status {};
    return profile.source && ::stat(path.c_str(), &status) == 0 &&
           profile.source->first == status.st_dev && profile.source->second == status.st_ino;
}

}  // namespace

void write_checked(const Profile& profile, const py::object& path,
                   const std::function<void(std::ostream&)>& write) {
    const PathArgument file = path_argument(path);
    if (vorn_package::is_mapped(file.bytes)) {
        // Replacing it would be safe for the profiles that map it, but it is almost always a
        // slip: the source of a profile still in use.
        refuse_write(file.shown, "is mapped by a profile being read; write to another file");
    }
    if (is_source(profile, file.bytes)) {
        refuse_write(file.shown, "is the profile being read; write to another file");
    }
    if (file.bytes == "-") {
        // What Python has buffered goes first, so that the two stay in order.
        py::module_::import("sys").attr("stdout").attr("flush")();
    }
    int failure = 0;
    {
        py::gil_scoped_release unlocked;
        failure = write_output_file(file.bytes, write);
    }
    if (failure != 0) {
        errno = failure;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, file.shown.ptr());
        throw py::error_already_set();
    }
}

namespace {

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
    const bool packed = format_text == "packed";
    write_checked(profile, path, [&](std::ostream& out) {
        if (packed) {
            vorn_package::write_profile_packed(out, profile.columns);
        } else {
            vorn_package::write_profile_json(out, vorn_package::to_report(profile.columns));
        }
    });
}

Profile from_dataframe(const py::object& frame, const py::object& clock_hz, bool any_order) {
    std::optional<std::uint64_t> clock;
    if (!clock_hz.is_none()) {
        clock = unsigned_argument("clock_hz", clock_hz, std::numeric_limits<std::uint64_t>::max());
    }
    return Profile{columns_from_frame(frame, clock, any_order), std::nullopt, {}};
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

py::class_<Profile> bind_profile(py::module_& m) {
    return py::class_<Profile>(m, "Profile", R"(A cycle profile: every tile's timed steps.

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
        .def("partial", &profile_partial,
             R"(partial(closed=False, **keywords) -> Partial

The query's partial report over the whole profile, with the keywords of query(): merged with
the partials of the profiles whose tiles follow (the shards of one profile, in order) and
finished, it gives the report of the query over all of them. With closed=True, a query grouped
by tile keeps each tile group's phase occurrences summed up (a partial as small as the tiles,
not the phase occurrences): it then merges only with partials that do not meet its tiles
again, and merge() raises ValueError naming the tile otherwise.)")
        .def(
            "samples",
            [](const Profile& self, bool metadata_columns) {
                return sample_frame(self.columns, metadata_columns);
            },
            py::kw_only(), py::arg("metadata_columns") = false,
            R"(Every sample, one row each, tile after tile in stored order. Columns: physical_tile,
start_cycle, end_cycle, offset, duration, phase, epoch, local_index (uint32; offset uint64:
the start on the tile's own time line, 0 at its first sample), kind, operation, kernel
(pandas Categorical of str: the profile's texts, each made once), metadata (a list of
(name, value) tuples; rows of the same step share one list object, so treat the lists as
read-only). With metadata_columns=True, each metadata name also gets a column of its own
(Categorical; the value of the step's first entry of that name, missing where it has none),
after the others. attrs["clock_hz"] holds the clock, so from_dataframe(profile.samples())
gives the profile back.

start_cycle, end_cycle, phase, epoch and local_index view the profile's memory without a copy
and are read-only; use .copy() on the frame to change them.)")
        .def("write", &write_file, py::arg("path"), py::kw_only(), py::arg("format") = "json",
             R"(Writes the profile to a file (str or os.PathLike; "-" for standard output), as JSON
or, with format="packed", as a packed profile (binary; read() maps it without parsing).
The file is written beside the destination and renamed into place when complete, so a failed
write leaves the old file as it was. Raises OSError when the file cannot be written, ValueError
for a path with an embedded null byte, and ProfileError for the file this profile was read
from or a file that any profile of this process maps (read() of a packed file).)")
        .def("__repr__", [](const Profile& self) {
            return "<vorn_profile.Profile: " + std::to_string(self.columns.tile_count()) +
                   " tiles, " + std::to_string(self.columns.sample_count()) + " samples, " +
                   std::to_string(self.columns.clock_hz) + " Hz>";
        });
}

}  // namespace
}  // namespace vorn_python

PYBIND11_MODULE(_vorn_profile, m) {
    using namespace vorn_python;
    m.doc() = kModuleDoc;
    m.attr("__version__") = VORN_PROFILE_VERSION;
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
    py::class_<Profile> profile = bind_profile(m);
    bind_analyses(m, profile);
    bind_pictures(profile);
    bind_partial(m);

    m.attr("_QUERY_KEYWORDS") = py::cast(query_keyword_names());
    m.def(
        "read", &read_file, py::arg("path"),
        R"(Reads a stored profile, JSON or packed (str or os.PathLike; "-" reads standard input). Raises ProfileError
(a ValueError) with the command line's message, e.g.
"run.json: at byte 18342 (tiles[3].samples[17].start_cycle): expected an unsigned 32-bit
integer, found -5". The interpreter lock is released while the file is read.)");
    m.def(
        "from_dataframe", &from_dataframe, py::arg("frame"), py::kw_only(),
        py::arg("clock_hz") = py::none(), py::arg("any_order") = false,
        R"(A profile from a DataFrame with the columns of Profile.samples(): physical_tile, start_cycle,
end_cycle, phase, epoch, local_index (integers 0 to 2**32-1), kind ("exchange", "compute",
"synchronization" or "idle"), operation, kernel (str) and metadata (a list of (name, value)
pairs of str per row); offset and duration are not needed. clock_hz defaults to
frame.attrs["clock_hz"].

Row order is stored order: the rows of one physical tile form one tile, in row order, and the
first of them is the tile's time base (cycle 0 of its time line); tiles come in the order of
their first row. A frame sorted by another column (say duration) would thus describe another
time line, so a row that starts before the row above it on its tile's time line is an error;
sort such a frame by physical_tile and offset (or restore it with sort_index()) first.
any_order=True takes the rows as they come all the same.

Raises ValueError naming the column and the index label of the first bad value (a missing or
repeated column, a wrong dtype, a negative or too large number, an unknown kind, a cell that
is not text); nothing is built then.)");
}
