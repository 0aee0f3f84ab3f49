#include "profile_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <fstream>
#include <iostream>
#include <optional>
#include <utility>

#include "vorn_package/profile_packed.hpp"

namespace vorn_python {
namespace {

using vorn_package::ProfileColumns;
using vorn_package::ReadError;
using vorn_package::Result;
using vorn_package::Unexpected;

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

Result<ProfileColumns, ReadError> read_profile_file(const std::string& path) {
    if (path != "-") {
        if (const std::optional<bool> packed = regular_file_is_packed(path)) {
            return *packed ? vorn_package::open_profile_packed(path)
                           : vorn_package::read_profile_columns_json_file(path);
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
    return vorn_package::read_profile_columns_json(input->bytes);
}

int write_profile_file(const std::string& path, const ProfileColumns& columns,
                       ProfileFormat format) {
    const auto write = [&](std::ostream& out) {
        if (format == ProfileFormat::Packed) {
            vorn_package::write_profile_packed(out, columns);
        } else {
            vorn_package::write_profile_json(out, vorn_package::to_report(columns));
        }
    };
    if (path == "-") {
        write(std::cout);
        std::cout.flush();
        return std::cout ? 0 : EIO;
    }
    errno = 0;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        return errno != 0 ? errno : EIO;
    }
    write(file);
    file.close();
    if (!file) {
        return errno != 0 ? errno : EIO;
    }
    return 0;
}

}  // namespace vorn_python
