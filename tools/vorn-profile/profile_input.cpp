#include "profile_input.hpp"

#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "vorn_package/profile_file.hpp"

namespace vorn_cli {
namespace {

using vorn_package::ProfileColumns;
using vorn_package::ReadError;
using vorn_package::Result;

/// Shows a percentage on a terminal while a JSON profile is read.
class Progress {
public:
    explicit Progress(const std::string& path)
        : label_(path == "-" ? "standard input" : path), shown_(isatty(STDERR_FILENO) != 0) {}
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    ~Progress() {
        if (drawn_) {
            // Carriage return, erase to the end of the line: the terminal is left as it was.
            std::fputs("\r\x1b[K", stderr);
            std::fflush(stderr);
        }
    }

    vorn_package::ReadProgress callback() {
        if (!shown_) {
            return {};
        }
        return [this](std::uint64_t done, std::uint64_t total) { draw(done, total); };
    }

private:
    void draw(std::uint64_t done, std::uint64_t total) {
        // Redraw only when the figure changes: the reader may call often.
        const std::uint64_t figure = total == 0 ? done >> 20 : done * 100 / total;
        if (figure == figure_) {
            return;
        }
        figure_ = figure;
        drawn_ = true;
        if (total == 0) {
            std::fprintf(stderr, "\rreading %s: %llu MiB", label_.c_str(),
                         static_cast<unsigned long long>(figure));
        } else {
            std::fprintf(stderr, "\rreading %s: %3llu%%", label_.c_str(),
                         static_cast<unsigned long long>(figure));
        }
        std::fflush(stderr);
    }

    std::string label_;
    bool shown_;
    bool drawn_ = false;
    std::uint64_t figure_ = ~std::uint64_t{0};
};

}  // namespace

Result<ProfileColumns, ReadError> read_profile(const std::string& path, std::size_t threads) {
    Progress progress(path);
    return vorn_package::read_profile_columns_file(path, progress.callback(), threads);
}

}  // namespace vorn_cli
