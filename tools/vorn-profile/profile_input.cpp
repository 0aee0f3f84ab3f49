#include "profile_input.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "vorn_package/profile_packed.hpp"

namespace vorn_cli {
namespace {

using vorn_package::ProfileColumns;
using vorn_package::ReadError;
using vorn_package::Result;
using vorn_package::Unexpected;

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

/// For a regular file, whether it begins like a packed profile; nothing for anything else,
/// whose first bytes cannot be read twice. A file that cannot be opened is left to the reader
/// to report.
std::optional<bool> regular_file_is_packed(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::optional<bool> packed;
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        std::array<char, 8> first{};
        const ssize_t got = ::pread(fd, first.data(), first.size(), 0);
        packed = got > 0 &&
                 vorn_package::is_profile_packed({first.data(), static_cast<std::size_t>(got)});
    }
    ::close(fd);
    return packed;
}

}  // namespace

Result<ProfileColumns, ReadError> read_profile(const std::string& path) {
    Progress progress(path);
    if (path != "-") {
        if (const std::optional<bool> packed = regular_file_is_packed(path)) {
            if (*packed) {
                return vorn_package::open_profile_packed(path);
            }
            return vorn_package::read_profile_columns_json_file(path, progress.callback());
        }
    }
    // Standard input or a pipe: read it whole, then look at its first bytes.
    auto input = vorn_package::read_input_bytes(path);
    if (!input) {
        return Unexpected<ReadError>{input.error()};
    }
    if (vorn_package::is_profile_packed(input->bytes)) {
        return vorn_package::open_profile_packed_memory(input->bytes, std::move(input->owner));
    }
    return vorn_package::read_profile_columns_json(input->bytes, progress.callback());
}

}  // namespace vorn_cli
