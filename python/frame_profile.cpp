// `from_dataframe`: a profile from the rows of a DataFrame with the columns of
// `Profile.samples()`. Every value is checked before anything is built; the first bad one is
// reported with its column and the frame's index label of its row.
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>

#include "module.hpp"

namespace vorn_python {
namespace {

using vorn_package::ProfileStepKind;

constexpr std::uint64_t kMax32 = std::numeric_limits<std::uint32_t>::max();

/// A bad cell, by position; turned into a ValueError that names the row's index label.
struct BadCell {
    std::string column;
    std::size_t row;
    std::string what;
};

[[noreturn]] void bad_value(std::string_view column, std::size_t row, const std::string& what) {
    throw BadCell{std::string(column), row, what};
}

/// How an error names a row: the frame's index label, and the position too when they differ.
std::string row_name(const py::object& frame, std::size_t row) {
    const py::object label = frame.attr("index")[py::int_(row)];
    std::string name = "row " + std::string(py::str(label));
    if (!(PyLong_Check(label.ptr()) && py::cast<py::int_>(label).equal(py::int_(row)))) {
        name += " (position " + std::to_string(row) + ")";
    }
    return name;
}

std::string type_name(const py::handle& value) {
    return py::str(py::type::handle_of(value).attr("__name__"));
}

/// The values of one column as a numpy array (a Categorical gives its values).
py::array column_values(const py::object& frame, std::string_view name) {
    const py::object columns = frame.attr("columns");
    const py::str key{std::string(name)};
    if (!columns.contains(key)) {
        throw py::value_error("missing column '" + std::string(name) + "'");
    }
    // Two columns of one name would be read as a frame, not a column: which one is meant?
    const auto count = py::cast<std::size_t>(columns.attr("tolist")().attr("count")(key));
    if (count > 1) {
        throw py::value_error("column '" + std::string(name) + "' appears " +
                              std::to_string(count) + " times");
    }
    return frame[key].attr("to_numpy")();
}

/// The cells of a column as a contiguous numpy object array, one reference per cell.
py::array object_cells(const py::array& values) {
    return py::module_::import("numpy").attr("ascontiguousarray")(values,
                                                                  py::arg("dtype") = "object");
}

py::handle cell(const py::array& cells, std::size_t row) {
    return static_cast<PyObject* const*>(cells.data())[row];
}

/// An integer column of values 0 .. 2^32-1: any integer dtype, or objects that are ints.
std::vector<std::uint32_t> counter_column(const py::object& frame, std::string_view name) {
    const py::array values = column_values(frame, name);
    const char kind = values.dtype().kind();
    const auto size = static_cast<std::size_t>(values.size());
    std::vector<std::uint32_t> out(size);
    const auto check = [&](std::size_t row, auto value) {
        if constexpr (std::is_signed_v<decltype(value)>) {
            if (value < 0) {
                bad_value(name, row, std::to_string(value) + " is negative");
            }
        }
        if (static_cast<std::uint64_t>(value) > kMax32) {
            bad_value(name, row, std::to_string(value) + " is out of range (at most 4294967295)");
        }
        out[row] = static_cast<std::uint32_t>(value);
    };
    if (kind == 'i') {
        const auto wide =
            py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(values);
        const std::int64_t* data = wide.data();
        for (std::size_t row = 0; row < size; ++row) {
            check(row, data[row]);
        }
    } else if (kind == 'u') {
        const auto wide =
            py::array_t<std::uint64_t, py::array::c_style | py::array::forcecast>::ensure(values);
        const std::uint64_t* data = wide.data();
        for (std::size_t row = 0; row < size; ++row) {
            check(row, data[row]);
        }
    } else if (kind == 'O') {
        // Nullable integer columns and plain Python lists of ints arrive as objects.
        const py::array cells = object_cells(values);
        for (std::size_t row = 0; row < size; ++row) {
            const py::handle value = cell(cells, row);
            if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr())) {
                bad_value(name, row,
                          "expected an int, found " + type_name(value) + " " +
                              std::string(py::repr(value)));
            }
            int overflow = 0;
            const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
            if (overflow != 0) {
                bad_value(
                    name, row,
                    std::string(py::str(value)) +
                        (overflow < 0 ? " is negative" : " is out of range (at most 4294967295)"));
            }
            check(row, number);
        }
    } else {
        throw py::value_error("column '" + std::string(name) + "' has dtype " +
                              std::string(py::str(values.dtype())) +
                              "; expected an integer dtype (values 0 to 4294967295)");
    }
    return out;
}

/// Interns the text of a str cell; cells that are the same object are looked up once.
class TextColumn {
public:
    TextColumn(vorn_package::ColumnsBuilder& builder, std::string_view column)
        : builder_(builder), column_(column) {}

    std::uint32_t number(std::size_t row, const py::handle& value) {
        if (value.ptr() == last_object_) {
            return last_number_;
        }
        const auto found = seen_.find(value.ptr());
        if (found != seen_.end()) {
            return found->second;
        }
        const std::uint32_t number = builder_.intern(utf8(row, value));
        seen_.emplace(value.ptr(), number);
        last_object_ = value.ptr();
        last_number_ = number;
        return number;
    }

    std::string_view utf8(std::size_t row, const py::handle& value) const {
        if (!PyUnicode_Check(value.ptr())) {
            bad_value(
                column_, row,
                "expected a str, found " + type_name(value) + " " + std::string(py::repr(value)));
        }
        Py_ssize_t size = 0;
        const char* bytes = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
        if (bytes == nullptr) {
            PyErr_Clear();
            bad_value(column_, row, "text is not valid UTF-8 (lone surrogate)");
        }
        return {bytes, static_cast<std::size_t>(size)};
    }

private:
    vorn_package::ColumnsBuilder& builder_;
    std::string_view column_;
    // The cells stay alive while the frame does, which outlives this call.
    std::unordered_map<PyObject*, std::uint32_t> seen_;
    PyObject* last_object_ = nullptr;
    std::uint32_t last_number_ = 0;
};

ProfileStepKind step_kind(std::size_t row, const py::handle& value) {
    if (!PyUnicode_Check(value.ptr())) {
        bad_value("kind", row,
                  "expected a str, found " + type_name(value) + " " + std::string(py::repr(value)));
    }
    const std::string text = py::str(value);
    constexpr std::pair<std::string_view, ProfileStepKind> kKinds[] = {
        {"exchange", ProfileStepKind::Exchange},
        {"compute", ProfileStepKind::Compute},
        {"synchronization", ProfileStepKind::Synchronization},
        {"idle", ProfileStepKind::Idle}};
    for (const auto& [name, kind] : kKinds) {
        if (name == text) {
            return kind;
        }
    }
    bad_value("kind", row,
              "unknown kind " + std::string(py::repr(value)) +
                  " (expected exchange, compute, synchronization or idle)");
}

void metadata_pairs(std::size_t row, const py::handle& value, TextColumn& texts,
                    std::vector<vorn_package::MetadataPair>& pairs) {
    pairs.clear();
    if (!PyList_Check(value.ptr()) && !PyTuple_Check(value.ptr())) {
        bad_value("metadata", row,
                  "expected a list of (name, value) pairs, found " + type_name(value));
    }
    for (const py::handle entry : py::reinterpret_borrow<py::sequence>(value)) {
        if ((!PyTuple_Check(entry.ptr()) && !PyList_Check(entry.ptr())) ||
            PySequence_Size(entry.ptr()) != 2) {
            bad_value("metadata", row,
                      "expected (name, value) pairs, found " + std::string(py::repr(entry)));
        }
        const py::sequence pair = py::reinterpret_borrow<py::sequence>(entry);
        pairs.push_back({texts.number(row, pair[0]), texts.number(row, pair[1])});
    }
}

}  // namespace

/// Stops at the first row that starts before the row above it on its tile's time line: the
/// signed distance, modulo the 32-bit counter, is negative. A counter that wraps between two
/// rows still moves forward by this measure; a frame sorted by another column does not.
void check_time_order(const std::vector<std::size_t>& order,
                      const std::vector<std::uint32_t>& tile_of_row,
                      const std::vector<std::uint32_t>& start_cycle,
                      const std::vector<std::uint32_t>& physical_tile) {
    for (std::size_t i = 1; i < order.size(); ++i) {
        const std::size_t row = order[i];
        const std::size_t above = order[i - 1];
        if (tile_of_row[row] != tile_of_row[above]) {
            continue;
        }
        const auto step = static_cast<std::int32_t>(start_cycle[row] - start_cycle[above]);
        if (step < 0) {
            bad_value(
                "start_cycle", row,
                std::to_string(start_cycle[row]) +
                    " is before the start of the previous row "
                    "of physical tile " +
                    std::to_string(physical_tile[row]) + " (" + std::to_string(start_cycle[above]) +
                    "): a tile's rows must be in time order (sort by physical_tile and offset, "
                    "or pass any_order=True to take them as stored)");
        }
    }
}

vorn_package::ProfileColumns build_columns(const py::object& frame, std::uint64_t clock_hz,
                                           bool any_order) {
    const std::vector<std::uint32_t> physical_tile = counter_column(frame, "physical_tile");
    const std::vector<std::uint32_t> start_cycle = counter_column(frame, "start_cycle");
    const std::vector<std::uint32_t> end_cycle = counter_column(frame, "end_cycle");
    const std::vector<std::uint32_t> phase = counter_column(frame, "phase");
    const std::vector<std::uint32_t> epoch = counter_column(frame, "epoch");
    const std::vector<std::uint32_t> local_index = counter_column(frame, "local_index");
    const py::array kinds = column_values(frame, "kind");
    const py::array operations = column_values(frame, "operation");
    const py::array kernels = column_values(frame, "kernel");
    const py::array metadata = column_values(frame, "metadata");
    const std::size_t rows = physical_tile.size();

    vorn_package::ColumnsBuilder builder;
    builder.set_clock_hz(clock_hz);
    builder.reserve_samples(rows);
    TextColumn operation_texts(builder, "operation");
    TextColumn kernel_texts(builder, "kernel");
    TextColumn metadata_texts(builder, "metadata");
    std::vector<vorn_package::MetadataPair> pairs;
    std::vector<std::uint32_t> steps(rows);
    const py::array kind_cells = object_cells(kinds);
    const py::array operation_cells = object_cells(operations);
    const py::array kernel_cells = object_cells(kernels);
    const py::array metadata_cells = object_cells(metadata);
    for (std::size_t row = 0; row < rows; ++row) {
        const ProfileStepKind kind = step_kind(row, cell(kind_cells, row));
        const std::uint32_t operation = operation_texts.number(row, cell(operation_cells, row));
        const std::uint32_t kernel = kernel_texts.number(row, cell(kernel_cells, row));
        metadata_pairs(row, cell(metadata_cells, row), metadata_texts, pairs);
        steps[row] = builder.intern_step(kind, kernel, operation, pairs);
    }

    // Rows of one physical tile form one tile, in row order; tiles come in the order in which
    // their first row does. A frame sorted by another column still gives each tile its own
    // time line.
    std::unordered_map<std::uint32_t, std::uint32_t> tile_number;
    std::vector<std::uint32_t> tile_of_row(rows);
    std::vector<std::uint64_t> tile_rows;
    for (std::size_t row = 0; row < rows; ++row) {
        const auto [found, added] =
            tile_number.emplace(physical_tile[row], static_cast<std::uint32_t>(tile_rows.size()));
        if (added) {
            tile_rows.push_back(0);
        }
        tile_of_row[row] = found->second;
        tile_rows[found->second] += 1;
    }
    std::vector<std::uint64_t> next(tile_rows.size() + 1, 0);
    for (std::size_t t = 0; t < tile_rows.size(); ++t) {
        next[t + 1] = next[t] + tile_rows[t];
    }
    std::vector<std::size_t> order(rows);
    for (std::size_t row = 0; row < rows; ++row) {
        order[next[tile_of_row[row]]++] = row;
    }
    if (!any_order) {
        check_time_order(order, tile_of_row, start_cycle, physical_tile);
    }
    std::uint32_t current_tile = std::numeric_limits<std::uint32_t>::max();
    for (const std::size_t row : order) {
        if (tile_of_row[row] != current_tile) {
            current_tile = tile_of_row[row];
            builder.begin_tile(physical_tile[row]);
        }
        builder.add_sample(start_cycle[row], end_cycle[row], phase[row], epoch[row],
                           local_index[row], steps[row]);
    }
    return builder.finish();
}

vorn_package::ProfileColumns columns_from_frame(const py::object& frame,
                                                std::optional<std::uint64_t> clock_hz,
                                                bool any_order) {
    if (!py::hasattr(frame, "columns") || !py::hasattr(frame, "to_numpy")) {
        throw py::type_error("from_dataframe: expected a pandas DataFrame, found " +
                             type_name(frame));
    }
    if (!clock_hz) {
        const py::object attrs = frame.attr("attrs");
        if (!attrs.contains("clock_hz")) {
            throw py::type_error(
                "from_dataframe: clock_hz is required (the DataFrame's attrs have none)");
        }
        clock_hz = unsigned_argument("clock_hz", attrs["clock_hz"],
                                     std::numeric_limits<std::uint64_t>::max());
    }
    try {
        return build_columns(frame, *clock_hz, any_order);
    } catch (const BadCell& bad) {
        throw py::value_error("column '" + bad.column + "', " + row_name(frame, bad.row) + ": " +
                              bad.what);
    }
}

}  // namespace vorn_python
