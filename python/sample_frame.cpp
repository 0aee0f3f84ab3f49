// `Profile.samples()`: every sample of a profile as one DataFrame row, in stored order.
#include <array>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "module.hpp"

namespace vorn_python {
namespace {

using vorn_package::ProfileColumns;

/// A pandas Categorical with one code per sample: the code of its step, -1 for a missing value.
py::object categorical(const ProfileColumns& columns, const std::vector<std::int32_t>& step_codes,
                       const py::list& categories) {
    py::array_t<std::int32_t> codes(static_cast<py::ssize_t>(columns.sample_count()));
    {
        std::int32_t* out = codes.mutable_data();
        py::gil_scoped_release unlocked;
        for (std::uint64_t i = 0; i < columns.sample_count(); ++i) {
            out[i] = step_codes[columns.step[i]];
        }
    }
    return py::module_::import("pandas").attr("Categorical").attr("from_codes")(codes, categories);
}

/// Gives distinct texts their codes in the order they are first met; equal texts share one.
class Categories {
public:
    Categories(const ProfileColumns& columns, TextObjects& texts)
        : columns_(columns), texts_(texts), code_of_number_(columns.text_count(), -1) {}

    std::int32_t code(std::uint32_t number) {
        std::int32_t& code = code_of_number_[number];
        if (code < 0) {
            const auto [found, added] = code_of_text_.emplace(
                columns_.text(number), static_cast<std::int32_t>(code_of_text_.size()));
            if (added) {
                categories_.append(py::handle(texts_.get(number)));
            }
            code = found->second;
        }
        return code;
    }

    const py::list& categories() const { return categories_; }

private:
    const ProfileColumns& columns_;
    TextObjects& texts_;
    std::vector<std::int32_t> code_of_number_;
    std::unordered_map<std::string_view, std::int32_t> code_of_text_;
    py::list categories_;
};

/// A text column of the steps, `step_text` holding each step's text number.
py::object text_column(const ProfileColumns& columns, TextObjects& texts,
                       std::span<const std::uint32_t> step_text) {
    Categories categories(columns, texts);
    std::vector<std::int32_t> step_codes(columns.step_count());
    for (std::uint32_t s = 0; s < step_codes.size(); ++s) {
        step_codes[s] = categories.code(step_text[s]);
    }
    return categorical(columns, step_codes, categories.categories());
}

py::object kind_column(const ProfileColumns& columns) {
    py::list categories;
    for (std::size_t k = 0; k < 4; ++k) {
        categories.append(text_object(kind_text(static_cast<vorn_package::ProfileStepKind>(k))));
    }
    std::vector<std::int32_t> step_codes(columns.step_count());
    for (std::uint32_t s = 0; s < step_codes.size(); ++s) {
        step_codes[s] = static_cast<std::int32_t>(columns.step_kind[s]) & 3;
    }
    return categorical(columns, step_codes, categories);
}

/// One column per metadata name, in the order names are first met: the value of the step's
/// first entry of that name, missing where it has none.
void metadata_value_columns(const ProfileColumns& columns, TextObjects& texts,
                            std::vector<std::string>& names, std::vector<py::object>& values) {
    std::unordered_map<std::string_view, std::size_t> column_of_name;
    std::vector<std::vector<std::int32_t>> step_codes;
    std::vector<Categories> categories;
    for (std::uint32_t s = 0; s < columns.step_count(); ++s) {
        for (const vorn_package::MetadataPair& pair : columns.step_metadata(s)) {
            const std::string_view name = columns.text(pair.name);
            const auto [found, added] = column_of_name.emplace(name, names.size());
            if (added) {
                names.emplace_back(name);
                step_codes.emplace_back(columns.step_count(), -1);
                categories.emplace_back(columns, texts);
            }
            std::int32_t& code = step_codes[found->second][s];
            if (code < 0) {
                code = categories[found->second].code(pair.value);
            }
        }
    }
    for (std::size_t c = 0; c < names.size(); ++c) {
        values.push_back(categorical(columns, step_codes[c], categories[c].categories()));
    }
}

}  // namespace

py::object sample_frame(const vorn_package::ProfileColumns& columns, bool metadata_columns) {
    const std::size_t count = columns.sample_count();

    py::array_t<std::uint32_t> physical_tile(static_cast<py::ssize_t>(count));
    py::array_t<std::uint64_t> offset(static_cast<py::ssize_t>(count));
    py::array_t<std::uint32_t> duration(static_cast<py::ssize_t>(count));
    {
        std::uint32_t* tiles = physical_tile.mutable_data();
        std::uint64_t* offsets = offset.mutable_data();
        std::uint32_t* durations = duration.mutable_data();
        py::gil_scoped_release unlocked;
        for (std::uint64_t t = 0; t < columns.tile_count(); ++t) {
            const std::uint64_t begin = columns.tile_sample_begin[t];
            const std::uint64_t end = columns.tile_sample_begin[t + 1];
            const std::uint32_t base = begin < end ? columns.start_cycle[begin] : 0;
            for (std::uint64_t i = begin; i < end; ++i) {
                tiles[i] = columns.tile_physical[t];
                // The tile's own time line, wrapping with its 32-bit counter, as the queries
                // see it.
                offsets[i] = static_cast<std::uint32_t>(columns.start_cycle[i] - base);
                durations[i] = columns.end_cycle[i] - columns.start_cycle[i];
            }
        }
    }

    // Texts are interned: a text column is a Categorical whose codes are made per step and
    // whose categories are the distinct texts the column uses, each made into a str once.
    TextObjects texts(columns);
    std::vector<py::object> metadata(columns.step_count());
    for (std::uint32_t s = 0; s < columns.step_count(); ++s) {
        const auto pairs = columns.step_metadata(s);
        py::list entries(pairs.size());
        for (std::size_t e = 0; e < pairs.size(); ++e) {
            entries[e] = py::make_tuple(py::handle(texts.get(pairs[e].name)),
                                        py::handle(texts.get(pairs[e].value)));
        }
        metadata[s] = std::move(entries);
    }

    std::vector<std::pair<const char*, py::object>> frame_columns{
        {"physical_tile", physical_tile},
        {"start_cycle", view_column(columns.start_cycle, columns.storage)},
        {"end_cycle", view_column(columns.end_cycle, columns.storage)},
        {"offset", offset},
        {"duration", duration},
        {"kind", kind_column(columns)},
        {"phase", view_column(columns.phase, columns.storage)},
        {"epoch", view_column(columns.epoch, columns.storage)},
        {"local_index", view_column(columns.local_index, columns.storage)},
        {"operation", text_column(columns, texts, columns.step_operation)},
        {"kernel", text_column(columns, texts, columns.step_kernel)},
        {"metadata", object_column(count,
                                   [&](std::size_t i) {
                                       // Rows of one step share its list, as the rows of a
                                       // pandas copy share their cells: a list per row would
                                       // be a million objects and most of this call's time.
                                       return metadata[columns.step[i]].inc_ref().ptr();
                                   })},
    };
    std::vector<std::string> names;
    std::vector<py::object> values;
    if (metadata_columns) {
        metadata_value_columns(columns, texts, names, values);
        for (std::size_t c = 0; c < names.size(); ++c) {
            for (const auto& [taken, column] : frame_columns) {
                if (names[c] == taken) {
                    names[c] = "metadata:" + names[c];
                    break;
                }
            }
        }
        for (std::size_t c = 0; c < names.size(); ++c) {
            frame_columns.emplace_back(names[c].c_str(), values[c]);
        }
    }
    py::object frame = data_frame(std::move(frame_columns));
    frame.attr("attrs")["clock_hz"] = columns.clock_hz;
    return frame;
}

}  // namespace vorn_python
