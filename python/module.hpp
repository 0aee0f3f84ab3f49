// The parts of the Python module `vorn_profile`, one file each: reading keyword arguments into
// a query, reports and profiles as DataFrames, and profiles built from a DataFrame.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string_view>
#include <vector>

#include "frames.hpp"
#include "vorn_package/profile_json.hpp"
#include "vorn_profile/query.hpp"

namespace vorn_python {

/// The query that the keyword arguments of `Profile.query` ask for. Raises TypeError for an
/// unknown keyword or a value of the wrong type, ValueError for a bad text or number; both
/// name the keyword.
vorn_profile::Query query_from_keywords(const py::kwargs& keywords);

/// The keywords `query_from_keywords` takes, in the order `Profile.query` documents them.
std::vector<std::string_view> query_keyword_names();

/// A Python int (or anything with __index__, but not a bool) within 0 .. maximum; TypeError or
/// ValueError naming `keyword` otherwise.
std::uint64_t unsigned_argument(std::string_view keyword, const py::handle& value,
                                std::uint64_t maximum);

/// A time window as the Python layer hands it over: (from, to), checked already, or None.
using WindowArgument = std::optional<std::pair<std::uint64_t, std::uint64_t>>;

/// Writes what `write` produces to `path` (str, bytes or os.PathLike; "-" for standard output)
/// with the interpreter lock released. Raises ProfileError for the file `profile` was read
/// from or a file that a profile maps, OSError when the file cannot be written.
void write_checked(const Profile& profile, const py::object& path,
                   const std::function<void(std::ostream&)>& write);

/// Adds `Profile._export` and `Profile._report`: the tool's trace and HTML page, written by
/// the same library.
void bind_pictures(py::class_<Profile>& profile);

/// Adds the analyses to `Profile` (query, supersteps, info) and the module (diff); each
/// answers with what the tool prints for it.
void bind_analyses(py::module_& module, py::class_<Profile>& profile);

/// Every sample of the profile, in stored order, as a DataFrame; text columns are pandas
/// Categoricals over the profile's texts. With `metadata_columns`, each metadata name is a
/// column of its own too (the value of the step's first entry of that name, or missing).
py::object sample_frame(const vorn_package::ProfileColumns& columns, bool metadata_columns);

/// The columns of a profile built from the rows of a DataFrame, each tile's rows in stored
/// order. Raises ValueError naming the column and the index label of the first bad value
/// (and, unless `any_order`, of a row that starts before the row above it on its tile's time
/// line); nothing is built then.
vorn_package::ProfileColumns columns_from_frame(const py::object& frame,
                                                std::optional<std::uint64_t> clock_hz,
                                                bool any_order);

/// Raises `ProfileError` for `error` in the file (or part) `path`: "PATH: at byte N (...): ...",
/// with the attributes path, offset, location and reason.
[[noreturn]] void raise_profile_error(const py::str& path, const vorn_package::ReadError& error);

/// The Python `vorn_profile.Report` of `report`: what the tool's JSON writer prints for it.
py::object report_object(const vorn_profile::QueryReport& report);

/// Registers `Partial`, a query's mergeable state over part of a profile.
void bind_partial(py::module_& module);

/// `Profile.partial(**keywords)`: the partial of the query over the whole profile.
py::object profile_partial(const Profile& profile, const py::kwargs& keywords);

}  // namespace vorn_python
