// The parts of the Python module `vorn_profile`, one file each: reading keyword arguments into
// a query, reports and profiles as DataFrames, and profiles built from a DataFrame.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "frames.hpp"
#include "vorn_package/profile_json.hpp"
#include "vorn_profile/query.hpp"

namespace vorn_python {

/// The query that the keyword arguments of `Profile.query` ask for. Raises TypeError for an
/// unknown keyword or a value of the wrong type, ValueError for a bad text or number; both
/// name the keyword.
vorn_profile::Query query_from_keywords(const py::kwargs& keywords);

/// A Python int (or anything with __index__, but not a bool) within 0 .. maximum; TypeError or
/// ValueError naming `keyword` otherwise.
std::uint64_t unsigned_argument(std::string_view keyword, const py::handle& value,
                                std::uint64_t maximum);

/// Registers `Report`, the answer to one query.
void bind_report(py::module_& module);

/// A Python `Report` holding `report`.
py::object report_object(vorn_profile::QueryReport report);

/// Every sample of the profile, in stored order, as a DataFrame.
py::object sample_frame(const vorn_package::ProfileColumns& columns);

/// The columns of a profile built from the rows of a DataFrame. Raises ValueError naming the
/// column and row of the first bad value; nothing is built then.
vorn_package::ProfileColumns columns_from_frame(const py::object& frame,
                                                std::optional<std::uint64_t> clock_hz);

/// Raises `ProfileError` for `error` in the file (or part) `path`: "PATH: at byte N (...): ...",
/// with the attributes path, offset, location and reason.
[[noreturn]] void raise_profile_error(const py::str& path, const vorn_package::ReadError& error);

/// Registers `Partial`, a query's mergeable state over part of a profile.
void bind_partial(py::module_& module);

/// `Profile.partial(**keywords)`: the partial of the query over the whole profile.
py::object profile_partial(const Profile& profile, const py::kwargs& keywords);

}  // namespace vorn_python
