// `Profile.samples()`: every sample of a profile as one DataFrame row, in stored order.
#include <array>

#include "module.hpp"

namespace vorn_python {

py::object sample_frame(const vorn_package::ProfileColumns& columns) {
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

    // Steps repeat across samples: each column cell is a new reference to an object made once
    // per distinct kind, text or step.
    TextObjects texts(columns);
    std::array<py::object, 4> kinds;
    for (std::size_t k = 0; k < kinds.size(); ++k) {
        kinds[k] = text_object(kind_text(static_cast<vorn_package::ProfileStepKind>(k)));
    }
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
    const auto step_of = [&](std::size_t i) { return columns.step[i]; };
    const auto shared = [](const py::object& object) { return object.inc_ref().ptr(); };

    py::object frame = data_frame({
        {"physical_tile", physical_tile},
        {"start_cycle", view_column(columns.start_cycle, columns.storage)},
        {"end_cycle", view_column(columns.end_cycle, columns.storage)},
        {"offset", offset},
        {"duration", duration},
        {"kind", object_column(count,
                               [&](std::size_t i) {
                                   const auto kind = columns.step_kind[step_of(i)];
                                   return shared(kinds[static_cast<std::size_t>(kind) & 3]);
                               })},
        {"phase", view_column(columns.phase, columns.storage)},
        {"epoch", view_column(columns.epoch, columns.storage)},
        {"local_index", view_column(columns.local_index, columns.storage)},
        {"operation", object_column(count,
                                    [&](std::size_t i) {
                                        PyObject* text =
                                            texts.get(columns.step_operation[step_of(i)]);
                                        Py_INCREF(text);
                                        return text;
                                    })},
        {"kernel", object_column(count,
                                 [&](std::size_t i) {
                                     PyObject* text = texts.get(columns.step_kernel[step_of(i)]);
                                     Py_INCREF(text);
                                     return text;
                                 })},
        {"metadata", object_column(count,
                                   [&](std::size_t i) {
                                       // Rows of one step share its list, as the rows of a
                                       // pandas copy share their cells: a list per row would
                                       // be a million objects and most of this call's time.
                                       return metadata[step_of(i)].inc_ref().ptr();
                                   })},
    });
    frame.attr("attrs")["clock_hz"] = columns.clock_hz;
    return frame;
}

}  // namespace vorn_python
