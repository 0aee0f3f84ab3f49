#include "vorn_package/profile_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <optional>
#include <utility>

#include "vorn_package/profile_packed.hpp"

namespace vorn_package {
namespace {

/// For a regular file, whether it begins like a packed profile; nothing for anything else,
/// whose first bytes cannot be read twice. A file that cannot be opened is left to the JSON
/// reader to report.
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
        packed = got > 0 && is_profile_packed({first.data(), static_cast<std::size_t>(got)});
    }
    ::close(fd);
    return packed;
}

}  // namespace

Result<ProfileColumns, ReadError> read_profile_columns_file(const std::string& path,
                                                            const ReadProgress& progress) {
    if (path != "-") {
        if (const std::optional<bool> packed = regular_file_is_packed(path)) {
            return *packed ? open_profile_packed(path)
                           : read_profile_columns_json_file(path, progress);
        }
    }
    auto input = read_input_bytes(path);
    if (!input) {
        return Unexpected<ReadError>{input.error()};
    }
    if (is_profile_packed(input->bytes)) {
        return open_profile_packed_memory(input->bytes, std::move(input->owner));
    }
    return read_profile_columns_json(input->bytes, progress);
}

}  // namespace vorn_package
