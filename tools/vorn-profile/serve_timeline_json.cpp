// The timeline's JSON answer (docs/serve-api.md): per tile its steps or its pixels, and the
// texts of the steps listed, once each.
#include <algorithm>

#include "serve_parts.hpp"
#include "serve_timeline.hpp"
#include "vorn_view/json_writer.hpp"
#include "vorn_view/text_format.hpp"

namespace vorn_cli {

void TimelineIndex::write_tile(std::string& out, std::vector<std::uint32_t>& listed,
                               std::vector<Placed>& steps, std::vector<Pixel>& pixels,
                               const Tile& tile, const TimelineRequest& request,
                               const vorn_view::SampleFilter& filter, bool plain) const {
    using vorn_view::append_number;
    const vorn_package::ProfileColumns& columns = *columns_;
    const std::uint64_t width = request.width;
    out += "{\"tile\":";
    append_number(out, tile.physical);

    if (candidates(tile, request.from, request.to) <= width) {
        // A pixel holds a step or less: the steps themselves, in start order.
        collect_steps(steps, tile, request, filter);
        out += ",\"steps\":[";
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const Placed& placed = steps[i];
            const std::uint32_t step = columns.step[placed.sample];
            out += i == 0 ? "[" : ",[";
            append_number(out, placed.offset);
            out += ',';
            append_number(out, placed.duration);
            out += ',';
            append_number(out, vorn_view::kind_slot(columns.step_kind[step]));
            out += ',';
            append_number(out, kernel_of_text_[columns.step_kernel[step]]);
            out += ',';
            append_number(out, step);
            out += ',';
            append_number(out, columns.phase[placed.sample]);
            out += ',';
            append_number(out, columns.epoch[placed.sample]);
            out += ']';
            listed.push_back(step);
        }
        out += "]}";
        return;
    }

    pixels.resize(width);
    summarise(pixels.data(), tile, request, filter, plain);
    // About what a busy pixel takes, so that the text is seldom moved as it grows.
    out.reserve(out.size() + 40 * width);
    out += ",\"pixels\":[";
    bool first = true;
    for (std::uint64_t i = 0; i < width; ++i) {
        const Pixel& pixel = pixels[i];
        const bool empty = pixel.steps == 0 && pixel.busy[0] == 0 && pixel.busy[1] == 0 &&
                           pixel.busy[2] == 0 && pixel.busy[3] == 0;
        if (empty) {
            continue;
        }
        out += first ? "[" : ",[";
        first = false;
        append_number(out, i);
        for (const std::uint64_t busy : pixel.busy) {
            out += ',';
            append_number(out, busy);
        }
        out += ',';
        append_number(out, pixel.steps);
        out += ',';
        if (pixel.kernel_cycles > 0) {
            append_number(out, pixel.kernel);
        } else {
            out += "null";
        }
        out += ']';
    }
    out += "]}";
}

std::string TimelineIndex::answer(const TimelineRequest& request, std::size_t threads) const {
    using vorn_view::append_number;
    const vorn_view::SampleFilter filter(*columns_, request.filters);
    const bool plain = plain_filters(request.filters);
    std::vector<const Tile*> shown;
    for (const Tile& tile : tiles_) {
        if (filter.keeps_tile(tile.physical)) {
            shown.push_back(&tile);
        }
    }
    std::vector<std::string> parts(shown.size());
    std::vector<std::vector<std::uint32_t>> listed(shown.size());
    in_parts(shown.size(), threads, [&](std::size_t first, std::size_t last) {
        std::vector<Placed> steps;
        std::vector<Pixel> pixels;
        for (std::size_t t = first; t < last; ++t) {
            write_tile(parts[t], listed[t], steps, pixels, *shown[t], request, filter, plain);
            std::sort(listed[t].begin(), listed[t].end());
            listed[t].erase(std::unique(listed[t].begin(), listed[t].end()), listed[t].end());
        }
    });
    std::vector<std::uint32_t> steps;
    for (const std::vector<std::uint32_t>& some : listed) {
        steps.insert(steps.end(), some.begin(), some.end());
    }
    std::sort(steps.begin(), steps.end());
    steps.erase(std::unique(steps.begin(), steps.end()), steps.end());

    std::string out = "{\"from\":";
    append_number(out, request.from);
    out += ",\"to\":";
    append_number(out, request.to);
    out += ",\"width\":";
    append_number(out, request.width);
    out += ",\"cycles_per_pixel\":";
    vorn_view::append_shortest_double(
        out, static_cast<double>(request.to - request.from) / request.width);
    out += ",\"clock_hz\":";
    append_number(out, columns_->clock_hz);
    out += ",\"bucket_cycles\":";
    append_number(out, bucket_cycles());
    out += ",\"kinds\":[";
    for (std::size_t k = 0; k < vorn_view::kKindCount; ++k) {
        out += k == 0 ? "" : ",";
        vorn_view::append_json_string(out, vorn_view::kind_text(vorn_view::kKinds[k]));
    }
    out += "],\"kernels\":[";
    for (std::size_t k = 0; k < kernel_names_.size(); ++k) {
        out += k == 0 ? "" : ",";
        vorn_view::append_json_string(out, kernel_names_[k]);
    }
    // The texts of the steps listed, once each: their operation and metadata.
    out += "],\"steps\":{";
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const std::uint32_t step = steps[i];
        out += i == 0 ? "\n\"" : ",\n\"";
        append_number(out, step);
        out += "\":[";
        vorn_view::append_json_string(out, columns_->text(columns_->step_operation[step]));
        out += ",[";
        bool first = true;
        for (const vorn_package::MetadataPair& pair : columns_->step_metadata(step)) {
            out += first ? "[" : ",[";
            first = false;
            vorn_view::append_json_string(out, columns_->text(pair.name));
            out += ',';
            vorn_view::append_json_string(out, columns_->text(pair.value));
            out += ']';
        }
        out += "]]";
    }
    out += "},\"tiles\":[";
    std::size_t size = out.size() + 4;
    for (const std::string& part : parts) {
        size += part.size() + 2;
    }
    out.reserve(size);
    for (std::size_t t = 0; t < parts.size(); ++t) {
        out += t == 0 ? "\n" : ",\n";
        out += parts[t];
    }
    out += "]}\n";
    return out;
}

}  // namespace vorn_cli
