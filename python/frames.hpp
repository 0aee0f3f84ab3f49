// What the parts of the module share: the profile object, numpy columns (fresh, gathered or
// viewing profile memory) and DataFrames built from them without copies.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vorn_package/profile_columns.hpp"

namespace vorn_python {

namespace py = pybind11;

/// The profile behind a Python `Profile`. It never changes once built, so any number of
/// threads may query it at once with the interpreter lock released.
struct Profile {
    vorn_package::ProfileColumns columns;
    /// The device and inode of the file it was read from, when it was read from one: a write
    /// over that file is refused, whether or not the profile maps it.
    std::optional<std::pair<std::uint64_t, std::uint64_t>> source;
    /// The path it was read from as given ("-" for standard input; empty when built from a
    /// DataFrame): the tool's pictures name their source.
    std::string source_path;
};

/// A numpy array of `values.size()` elements of `T`, element `i` being `get(values[i])`.
template <class T, class Items, class Get>
py::array_t<T> column_of(const Items& values, Get get) {
    py::array_t<T> column(static_cast<py::ssize_t>(values.size()));
    T* out = column.mutable_data();
    for (const auto& value : values) {
        *out++ = static_cast<T>(get(value));
    }
    return column;
}

/// A read-only numpy array over profile memory; the array keeps `storage` alive.
py::array view_column(std::span<const std::uint32_t> values,
                      const std::shared_ptr<const void>& storage);

/// A numpy object array of `size` elements; `fill(i)` returns a new reference for element `i`
/// (null with a Python error set when it failed).
template <class Fill>
py::array object_column(std::size_t size, Fill fill) {
    py::array column =
        py::module_::import("numpy").attr("empty")(size, py::arg("dtype") = "object");
    auto** slots = static_cast<PyObject**>(column.mutable_data());
    for (std::size_t i = 0; i < size; ++i) {
        PyObject* value = fill(i);
        if (value == nullptr) {
            throw py::error_already_set();
        }
        Py_XDECREF(slots[i]);
        slots[i] = value;
    }
    return column;
}

/// A pandas DataFrame with these columns in this order; the arrays become its columns as they
/// are, without a copy.
py::object data_frame(std::vector<std::pair<const char*, py::object>> columns);

/// Python text of UTF-8 bytes (every profile text is UTF-8).
py::str text_object(std::string_view text);

/// "exchange", "compute", "synchronization" or "idle".
std::string_view kind_text(vorn_package::ProfileStepKind kind);

/// One Python str per text of a profile, made the first time it is asked for, so that a
/// column of a million cells holds as many references to a few shared objects.
class TextObjects {
public:
    explicit TextObjects(const vorn_package::ProfileColumns& columns)
        : columns_(columns), objects_(columns.text_count()) {}

    /// A borrowed reference, alive as long as this table.
    PyObject* get(std::uint32_t number) {
        py::object& object = objects_[number];
        if (!object) {
            object = text_object(columns_.text(number));
        }
        return object.ptr();
    }

private:
    const vorn_package::ProfileColumns& columns_;
    std::vector<py::object> objects_;
};

}  // namespace vorn_python
