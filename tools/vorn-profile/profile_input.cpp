#include "profile_input.hpp"

#include <unistd.h>

#include <cstdint>
#include <cstdio>

namespace vorn_cli {

vorn_package::Result<vorn_package::ProfileReport, vorn_package::ReadError> read_profile(
    const std::string& path) {
    if (isatty(STDERR_FILENO) == 0) {
        return vorn_package::read_profile_json_file(path);
    }
    const std::string label = path == "-" ? "standard input" : path;
    std::uint64_t shown = ~std::uint64_t{0};
    bool drawn = false;
    const auto progress = [&](std::uint64_t done, std::uint64_t total) {
        // Redraw only when the figure changes: the reader may call often.
        const std::uint64_t figure = total == 0 ? done >> 20 : done * 100 / total;
        if (figure == shown) {
            return;
        }
        shown = figure;
        drawn = true;
        if (total == 0) {
            std::fprintf(stderr, "\rreading %s: %llu MiB", label.c_str(),
                         static_cast<unsigned long long>(figure));
        } else {
            std::fprintf(stderr, "\rreading %s: %3llu%%", label.c_str(),
                         static_cast<unsigned long long>(figure));
        }
        std::fflush(stderr);
    };
    auto result = vorn_package::read_profile_json_file(path, progress);
    if (drawn) {
        // Carriage return, erase to the end of the line: the terminal is left as it was.
        std::fputs("\r\x1b[K", stderr);
        std::fflush(stderr);
    }
    return result;
}

}  // namespace vorn_cli
