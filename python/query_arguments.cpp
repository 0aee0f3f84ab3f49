// Keyword arguments of `Profile.query` into a `vorn_profile::Query`: the command line's texts or
// the enum members, any iterable of ints for tiles and phases, and every error naming its keyword.
#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "module.hpp"

namespace vorn_python {
namespace {

using vorn_profile::GroupBy;
using vorn_profile::SortBy;
using vorn_profile::StepKind;

// A set of tiles or phases is held in memory; no device comes near this many, and the command
// line draws the line at the same place.
constexpr std::size_t kMaxListNumbers = 1'048'576;

constexpr std::array<std::string_view, 18> kKeywords{"group_by",
                                                     "kind",
                                                     "tiles",
                                                     "phases",
                                                     "metadata",
                                                     "operation_contains",
                                                     "kernel",
                                                     "at_offset",
                                                     "metadata_key",
                                                     "sort_by",
                                                     "limit",
                                                     "sample_limit",
                                                     "epochs",
                                                     "kernel_matches",
                                                     "operation_matches",
                                                     "exclude_kinds",
                                                     "exclude_kernels",
                                                     "percentiles"};

std::string type_name(const py::handle& value) {
    return py::str(py::type::handle_of(value).attr("__name__"));
}

[[noreturn]] void type_error(std::string_view keyword, std::string_view expected,
                             const py::handle& found) {
    throw py::type_error(std::string(keyword) + ": expected " + std::string(expected) + ", found " +
                         type_name(found));
}

}  // namespace

std::uint64_t unsigned_argument(std::string_view keyword, const py::handle& value,
                                std::uint64_t maximum) {
    if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) {
        type_error(keyword, "an int", value);
    }
    const py::int_ integer = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
    if (!integer) {
        throw py::error_already_set();
    }
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
    const auto out_of_range = [&]() {
        return py::value_error(std::string(keyword) + ": " +
                               std::string(py::str(py::handle(integer))) +
                               " is out of range (0 to " + std::to_string(maximum) + ")");
    };
    if (overflow < 0 || (overflow == 0 && small < 0)) {
        throw out_of_range();
    }
    std::uint64_t result = static_cast<std::uint64_t>(small);
    if (overflow > 0) {
        result = PyLong_AsUnsignedLongLong(integer.ptr());
        if (PyErr_Occurred() != nullptr) {
            PyErr_Clear();
            throw out_of_range();
        }
    }
    if (result > maximum) {
        throw out_of_range();
    }
    return result;
}

namespace {

/// The UTF-8 bytes of a Python str.
std::string text(std::string_view keyword, const py::handle& value) {
    if (!PyUnicode_Check(value.ptr())) {
        type_error(keyword, "a str", value);
    }
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (bytes == nullptr) {
        // Only a lone surrogate has no UTF-8 form; no profile text can contain one.
        PyErr_Clear();
        throw py::value_error(std::string(keyword) + ": value is not valid UTF-8 (lone surrogate)");
    }
    return {bytes, static_cast<std::size_t>(size)};
}

template <class E>
E choice(std::string_view keyword, const py::handle& value, std::string_view enum_name,
         std::initializer_list<std::pair<std::string_view, E>> choices) {
    if (py::isinstance<E>(value)) {
        return value.cast<E>();
    }
    if (!PyUnicode_Check(value.ptr())) {
        type_error(keyword, "a str or vorn_profile." + std::string(enum_name), value);
    }
    const std::string given = text(keyword, value);
    std::string names;
    for (const auto& [name, member] : choices) {
        if (name == given) {
            return member;
        }
        names += names.empty() ? "" : ", ";
        names += name;
    }
    throw py::value_error(std::string(keyword) + ": unknown value " + std::string(py::repr(value)) +
                          " (expected one of " + names + ")");
}

StepKind step_kind(const py::handle& value) {
    return choice<StepKind>("kind", value, "StepKind",
                            {{"exchange", StepKind::Exchange},
                             {"compute", StepKind::Compute},
                             {"synchronization", StepKind::Synchronization},
                             {"idle", StepKind::Idle}});
}

std::set<std::uint32_t> number_set(std::string_view keyword, const py::handle& value) {
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) ||
        !py::isinstance<py::iterable>(value)) {
        type_error(keyword, "an iterable of ints", value);
    }
    std::set<std::uint32_t> numbers;
    for (const py::handle item : value) {
        numbers.insert(static_cast<std::uint32_t>(
            unsigned_argument(keyword, item, std::numeric_limits<std::uint32_t>::max())));
        if (numbers.size() > kMaxListNumbers) {
            throw py::value_error(std::string(keyword) + ": more than " +
                                  std::to_string(kMaxListNumbers) + " numbers");
        }
    }
    return numbers;
}

std::vector<vorn_profile::MetadataFilter> metadata_filters(const py::handle& value) {
    constexpr std::string_view kExpected = "an iterable of (name, value) pairs";
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) ||
        !py::isinstance<py::iterable>(value)) {
        type_error("metadata", kExpected, value);
    }
    std::vector<vorn_profile::MetadataFilter> filters;
    for (const py::handle item : value) {
        if (!PyTuple_Check(item.ptr()) && !PyList_Check(item.ptr())) {
            type_error("metadata", "(name, value) pairs", item);
        }
        const py::sequence pair = py::reinterpret_borrow<py::sequence>(item);
        if (pair.size() != 2) {
            throw py::value_error("metadata: expected (name, value) pairs, found " +
                                  std::string(py::repr(item)));
        }
        vorn_profile::MetadataFilter filter{text("metadata name", pair[0]), std::nullopt};
        if (!pair[1].is_none()) {
            filter.value = text("metadata value", pair[1]);
        }
        filters.push_back(std::move(filter));
    }
    return filters;
}

/// A list of items, each read by `read`; a str is one item too many to mean, so refused.
template <class Read>
auto list_of(std::string_view keyword, const py::handle& value, std::string_view expected,
             Read read) {
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) ||
        !py::isinstance<py::iterable>(value)) {
        type_error(keyword, expected, value);
    }
    std::vector<decltype(read(value))> items;
    for (const py::handle item : value) {
        items.push_back(read(item));
    }
    return items;
}

GroupBy group_key(std::string_view keyword, const py::handle& value) {
    return choice<GroupBy>(keyword, value, "GroupBy",
                           {{"kind", GroupBy::Kind},
                            {"kernel", GroupBy::Kernel},
                            {"operation", GroupBy::Operation},
                            {"phase", GroupBy::Phase},
                            {"tile", GroupBy::Tile},
                            {"metadata", GroupBy::Metadata}});
}

/// A percentile as a number from 0 to 100 with at most three decimals, in thousandths.
std::uint32_t percentile(const py::handle& value) {
    if (PyBool_Check(value.ptr()) || !(PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()))) {
        type_error("percentiles", "ints or floats", value);
    }
    const double given = value.cast<double>();
    const double thousandths = std::round(given * 1000.0);
    if (!(given >= 0.0 && given <= 100.0) || std::abs(thousandths - given * 1000.0) > 1e-6) {
        throw py::value_error("percentiles: " + std::string(py::repr(value)) +
                              " is not a percentile from 0 to 100 with at most three decimals");
    }
    return static_cast<std::uint32_t>(thousandths);
}

std::string known_keywords() {
    std::string names;
    for (const std::string_view name : kKeywords) {
        names += names.empty() ? "" : ", ";
        names += name;
    }
    return names;
}

}  // namespace

vorn_profile::Query query_from_keywords(const py::kwargs& keywords) {
    constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();
    vorn_profile::Query query;
    for (const auto& [key, value] : keywords) {
        const std::string name = py::str(key);
        if (name == "group_by") {
            if (PyUnicode_Check(value.ptr()) || py::isinstance<GroupBy>(value)) {
                query.group_by = group_key(name, value);
            } else {
                const std::vector<GroupBy> keys =
                    list_of(name, value, "a str, a GroupBy or a list of two or three",
                            [&](const py::handle& key) { return group_key(name, key); });
                if (keys.empty()) {
                    throw py::value_error("group_by: an empty list names no key");
                }
                query.group_by = keys.front();
                query.then_group_by.assign(keys.begin() + 1, keys.end());
            }
        } else if (name == "epochs") {
            query.epochs = number_set(name, value);
        } else if (name == "kernel_matches") {
            query.kernel_matches =
                value.is_none() ? std::nullopt : std::optional(text(name, value));
        } else if (name == "operation_matches") {
            query.operation_matches =
                value.is_none() ? std::nullopt : std::optional(text(name, value));
        } else if (name == "exclude_kinds") {
            query.exclude_kinds = list_of(name, value, "an iterable of kinds",
                                          [](const py::handle& kind) { return step_kind(kind); });
        } else if (name == "exclude_kernels") {
            query.exclude_kernels =
                list_of(name, value, "an iterable of str",
                        [&](const py::handle& kernel) { return text(name, kernel); });
        } else if (name == "percentiles") {
            query.percentiles = list_of(name, value, "an iterable of numbers",
                                        [](const py::handle& p) { return percentile(p); });
        } else if (name == "sort_by") {
            query.sort_by = choice<SortBy>(name, value, "SortBy",
                                           {{"phase-cycles", SortBy::PhaseCycles},
                                            {"work-cycles", SortBy::WorkCycles},
                                            {"maximum-cycles", SortBy::MaximumCycles},
                                            {"samples", SortBy::Samples},
                                            {"name", SortBy::Name}});
        } else if (name == "kind") {
            query.kind = value.is_none() ? std::nullopt : std::optional(step_kind(value));
        } else if (name == "kernel") {
            query.kernel = value.is_none() ? std::nullopt : std::optional(text(name, value));
        } else if (name == "operation_contains") {
            query.operation_contains =
                value.is_none() ? std::nullopt : std::optional(text(name, value));
        } else if (name == "metadata_key") {
            query.metadata_key = value.is_none() ? std::nullopt : std::optional(text(name, value));
        } else if (name == "tiles") {
            query.tiles = number_set(name, value);
        } else if (name == "phases") {
            query.phases = number_set(name, value);
        } else if (name == "metadata") {
            query.metadata = metadata_filters(value);
        } else if (name == "at_offset") {
            query.at_offset = value.is_none()
                                  ? std::nullopt
                                  : std::optional(unsigned_argument(name, value, kMax64));
        } else if (name == "limit") {
            query.limit = value.is_none() ? std::nullopt
                                          : std::optional(unsigned_argument(name, value, kMax64));
        } else if (name == "sample_limit") {
            query.sample_limit = unsigned_argument(name, value, kMax64);
        } else {
            throw py::type_error("query() got an unexpected keyword argument '" + name +
                                 "' (expected one of " + known_keywords() + ")");
        }
    }
    if (const auto error = vorn_profile::query_error(query)) {
        throw py::value_error(*error);
    }
    return query;
}

std::vector<std::string_view> query_keyword_names() { return {kKeywords.begin(), kKeywords.end()}; }

}  // namespace vorn_python
