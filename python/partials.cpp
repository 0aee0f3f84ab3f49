// Partial reports in Python: made from a profile, written as bytes and read back, merged and
// finished. vorn_profile.distributed sends them between Dask workers as bytes.
#include <optional>
#include <string>
#include <utility>

#include "module.hpp"
#include "vorn_profile/partial_bytes.hpp"

namespace vorn_python {
namespace {

constexpr const char* kPartialDoc = R"(A query's exact, mergeable state over part of a profile.

Made by Profile.partial(**query_keywords) or Partial.from_bytes(); the partials of consecutive
parts of a profile (its shards, in order) merged with merge() and finished with finish() give
the report Profile.query() gives over the whole profile, doubles bit for bit. merge() and
finish() use the partials they are given: each Partial serves once.

    parts = [vp.read(path).partial(group_by="phase") for path in shard_paths]
    merged = parts[0]
    for part in parts[1:]:
        merged = merged.merge(part)
    report = merged.finish())";

/// A Python `Partial`: the partial until merge() or finish() takes it.
struct PythonPartial {
    std::optional<vorn_profile::QueryPartial> partial;
};

vorn_profile::QueryPartial take(PythonPartial& holder) {
    if (!holder.partial) {
        throw py::value_error("this Partial was used by merge() or finish() already");
    }
    vorn_profile::QueryPartial partial = *std::move(holder.partial);
    holder.partial.reset();
    return partial;
}

const vorn_profile::QueryPartial& peek(const PythonPartial& holder) {
    if (!holder.partial) {
        throw py::value_error("this Partial was used by merge() or finish() already");
    }
    return *holder.partial;
}

PythonPartial from_bytes(const py::bytes& data, const py::object& name) {
    char* bytes = nullptr;
    py::ssize_t size = 0;
    if (PyBytes_AsStringAndSize(data.ptr(), &bytes, &size) != 0) {
        throw py::error_already_set();
    }
    auto read = [&] {
        py::gil_scoped_release unlocked;
        return vorn_profile::partial_from_bytes({bytes, static_cast<std::size_t>(size)});
    }();
    if (!read) {
        raise_profile_error(py::str(name), read.error());
    }
    return PythonPartial{*std::move(read)};
}

py::bytes to_bytes(const PythonPartial& holder) {
    const vorn_profile::QueryPartial& partial = peek(holder);
    if (!vorn_profile::partial_query(partial).then_group_by.empty()) {
        throw py::value_error(
            "to_bytes: a partial of a query grouped by several keys names its groups by the "
            "profile's own steps and cannot be written; group by one key");
    }
    std::string bytes;
    {
        py::gil_scoped_release unlocked;
        bytes = vorn_profile::partial_bytes(partial);
    }
    return py::bytes(bytes);
}

PythonPartial merge_partials(PythonPartial& first, PythonPartial& next) {
    if (&first == &next) {
        throw py::value_error("a Partial cannot be merged with itself");
    }
    if (const auto conflict = vorn_profile::merge_conflict(peek(first), peek(next))) {
        throw py::value_error(*conflict);
    }
    vorn_profile::QueryPartial a = take(first);
    vorn_profile::QueryPartial b = take(next);
    py::gil_scoped_release unlocked;
    return PythonPartial{vorn_profile::merge(std::move(a), std::move(b))};
}

py::object finish_partial(PythonPartial& holder) {
    vorn_profile::QueryPartial partial = take(holder);
    vorn_profile::QueryReport report;
    {
        py::gil_scoped_release unlocked;
        report = vorn_profile::finish(std::move(partial));
    }
    return report_object(std::move(report));
}

}  // namespace

py::object profile_partial(const Profile& profile, const py::kwargs& keywords) {
    py::kwargs query_keywords;
    bool closed = false;
    for (const auto& [key, value] : keywords) {
        if (py::str(key).cast<std::string>() != "closed") {
            query_keywords[key] = value;
        } else if (PyBool_Check(value.ptr())) {
            closed = value.cast<bool>();
        } else {
            throw py::type_error("closed: expected a bool");
        }
    }
    const vorn_profile::Query query = query_from_keywords(query_keywords);
    PythonPartial made;
    {
        py::gil_scoped_release unlocked;
        made.partial.emplace(closed ? vorn_profile::closed_partial(profile.columns, query)
                                    : vorn_profile::partial(profile.columns, query));
    }
    return py::cast(std::move(made));
}

void bind_partial(py::module_& module) {
    py::class_<PythonPartial>(module, "Partial", kPartialDoc)
        .def_static(
            "from_bytes", &from_bytes, py::arg("data"), py::kw_only(), py::arg("name") = "partial",
            R"(The partial that to_bytes() wrote. Raises ProfileError, its message starting with
name, for bytes that are damaged, truncated or not a partial.)")
        .def("to_bytes", &to_bytes,
             "The partial as bytes (versioned and checksummed), to send or store.")
        .def(
            "merge", &merge_partials, py::arg("next"),
            R"(The partial of this one's tiles followed by next's. Raises ValueError saying why when
they were made with different queries or clocks, or cover tiles of one profile out of order.)")
        .def("finish", &finish_partial, "The Report of the partial.")
        .def_property_readonly(
            "clock_hz",
            [](const PythonPartial& self) { return vorn_profile::partial_clock_hz(peek(self)); },
            "Cycles per second of the profile the partial was made from.");
}

}  // namespace vorn_python
