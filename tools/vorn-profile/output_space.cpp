// A generated profile that its file system cannot hold is refused before anything is written:
// a run of 10^10 samples would otherwise write for hours and then fail with a full disk.
#include "output_space.hpp"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "vorn_package/profile_json.hpp"
#include "vorn_package/profile_packed.hpp"
#include "vorn_package/synthetic_profile.hpp"

namespace vorn_cli {
namespace {

// Tiles of this many steps are written to measure a tile's bytes; longer tiles are counted at
// the same bytes per step.
constexpr std::uint32_t kMeasuredSteps = 1024;

/// Bytes the writer of `format` spends on one tile of `options`' kind with `steps` steps: the
/// file of two such tiles less that of one, which leaves out the header and the texts.
double tile_bytes(vorn_package::SyntheticOptions options, ProfileFormat format,
                  std::uint32_t steps) {
    options.steps_per_tile = steps;
    const auto file_size = [&](std::uint32_t tiles) {
        options.tiles = tiles;
        std::ostringstream out;
        if (format == ProfileFormat::Json) {
            vorn_package::write_profile_json(out, vorn_package::synthetic_profile(options));
        } else {
            vorn_package::write_profile_packed(out, vorn_package::synthetic_columns(options));
        }
        return static_cast<double>(out.tellp());
    };
    return file_size(2) - file_size(1);
}

}  // namespace

double generated_profile_bytes(const CommandLine& line) {
    const vorn_package::SyntheticOptions& options = line.synthetic;
    const std::uint32_t measured = std::min(options.steps_per_tile, kMeasuredSteps);
    if (measured == 0 || options.tiles == 0) {
        return 0;
    }
    const double per_step = tile_bytes(options, line.generate_format, measured) / measured;
    return per_step * options.steps_per_tile * options.tiles;
}

namespace {

std::string in_gigabytes(double bytes) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f GB (%.0f bytes)", bytes / 1e9, bytes);
    return text;
}

}  // namespace

std::optional<std::string> generated_profile_exceeds_space(const CommandLine& line) {
    struct statvfs space {};
    std::string destination;
    if (!line.output || *line.output == "-") {
        struct stat out {};
        if (::fstat(STDOUT_FILENO, &out) != 0 || !S_ISREG(out.st_mode) ||
            ::fstatvfs(STDOUT_FILENO, &space) != 0) {
            return std::nullopt;  // a terminal or a pipe holds anything
        }
        destination = "standard output";
    } else {
        // The file need not exist yet: its directory's file system will hold it.
        std::filesystem::path target(*line.output);
        if (!target.has_filename()) {
            target = target.parent_path();  // "run/", a directory of shards to make
        }
        const std::filesystem::path directory = target.parent_path();
        if (::statvfs(directory.empty() ? "." : directory.c_str(), &space) != 0) {
            return std::nullopt;  // opening the file will say what is wrong
        }
        destination = *line.output;
    }
    const double free_bytes = static_cast<double>(space.f_bavail) * space.f_frsize;
    const double needed = generated_profile_bytes(line);
    if (needed <= free_bytes) {
        return std::nullopt;
    }
    return destination + ": the profile would take about " + in_gigabytes(needed) +
           ", more than the " + in_gigabytes(free_bytes) + " free on its file system";
}

}  // namespace vorn_cli
