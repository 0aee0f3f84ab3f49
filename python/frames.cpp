#include "frames.hpp"

#include <array>

namespace vorn_python {

py::array view_column(std::span<const std::uint32_t> values,
                      const std::shared_ptr<const void>& storage) {
    // The capsule owns one more reference to the columns' storage; numpy drops it with the
    // last array (or DataFrame column) that views the memory.
    py::capsule owner(new std::shared_ptr<const void>(storage), [](void* pointer) {
        delete static_cast<std::shared_ptr<const void>*>(pointer);
    });
    py::array column(py::dtype::of<std::uint32_t>(), {static_cast<py::ssize_t>(values.size())},
                     {static_cast<py::ssize_t>(sizeof(std::uint32_t))}, values.data(), owner);
    // The profile never changes; a write through the view would change it under every query.
    column.attr("setflags")(py::arg("write") = false);
    return column;
}

py::object data_frame(std::vector<std::pair<const char*, py::object>> columns) {
    py::dict data;
    for (auto& [name, column] : columns) {
        data[name] = std::move(column);
    }
    // With copy=False pandas keeps each array as its own block instead of copying columns of
    // one dtype into a shared two-dimensional block.
    return py::module_::import("pandas").attr("DataFrame")(data, py::arg("copy") = false);
}

py::str text_object(std::string_view text) {
    PyObject* object =
        PyUnicode_DecodeUTF8(text.data(), static_cast<py::ssize_t>(text.size()), "strict");
    if (object == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(object);
}

std::string_view kind_text(vorn_package::ProfileStepKind kind) {
    static constexpr std::array<std::string_view, 4> kNames{"exchange", "compute",
                                                            "synchronization", "idle"};
    return kNames[static_cast<std::size_t>(kind) & 3];
}

}  // namespace vorn_python
