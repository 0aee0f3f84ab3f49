#include "vorn_package/profile_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>

#include "file_input.hpp"
#include "vorn_package/profile_packed.hpp"
#include "vorn_package/profile_shards.hpp"

namespace vorn_package {
namespace {

ReadError system_error(const char* action, int code) {
    return {0, "",
            std::string("cannot ") + action + ": " +
                std::error_code(code, std::generic_category()).message()};
}

/// Reads the first bytes of a stream, as many as it gives up to `into`'s size.
Result<std::size_t, ReadError> read_first(int fd, std::array<char, 8>& into) {
    std::size_t got = 0;
    while (got < into.size()) {
        const ssize_t more = ::read(fd, into.data() + got, into.size() - got);
        if (more < 0 && errno == EINTR) {
            continue;
        }
        if (more < 0) {
            return Unexpected<ReadError>{system_error("read", errno)};
        }
        if (more == 0) {
            break;
        }
        got += static_cast<std::size_t>(more);
    }
    return got;
}

/// Reads the file open as `fd`, which the reading owns when `owned`.
Result<ProfileColumns, ReadError> read_open_file(int fd, bool owned, const std::string& path,
                                                 const ReadProgress& progress,
                                                 std::size_t threads) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        const int code = errno;
        if (owned) {
            ::close(fd);
        }
        return Unexpected<ReadError>{system_error("read", code)};
    }
    std::array<char, 8> first{};
    std::string_view taken;
    if (S_ISREG(status.st_mode) && status.st_size > 0 && ::lseek(fd, 0, SEEK_CUR) == 0) {
        // A regular file is looked at in place, and then mapped.
        const ssize_t got = ::pread(fd, first.data(), first.size(), 0);
        if (got > 0 && is_profile_packed({first.data(), static_cast<std::size_t>(got)})) {
            auto opened =
                map_profile_packed(fd, static_cast<std::uint64_t>(status.st_size), path, threads);
            if (owned) {
                ::close(fd);
            }
            return opened;
        }
    } else {
        // A stream's first bytes are gone once read: they are handed on to the reader.
        const auto got = read_first(fd, first);
        if (!got) {
            if (owned) {
                ::close(fd);
            }
            return Unexpected<ReadError>{got.error()};
        }
        taken = {first.data(), *got};
        if (is_profile_packed(taken)) {
            auto opened = read_profile_packed_stream(fd, taken);
            if (owned) {
                ::close(fd);
            }
            return opened;
        }
    }
    ReadError error;
    const std::unique_ptr<json::Input> input = json::open_input(fd, owned, taken, error);
    if (input == nullptr) {
        return Unexpected<ReadError>{std::move(error)};
    }
    return read_profile_columns_json(*input, progress, threads);
}

}  // namespace

Result<ProfileColumns, ReadError> read_profile_columns_file(const std::string& path,
                                                            const ReadProgress& progress) {
    return read_profile_columns_file(path, progress, 1);
}

Result<ProfileColumns, ReadError> read_profile_columns_file(const std::string& path,
                                                            const ReadProgress& progress,
                                                            std::size_t threads) {
    if (path == "-") {
        return read_open_file(STDIN_FILENO, false, path, progress, threads);
    }
    // Opened once: a named pipe cannot be opened a second time after its writer is gone.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return Unexpected<ReadError>{system_error("open", errno)};
    }
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
        ::close(fd);
        return read_profile_shards(path, threads);
    }
    return read_open_file(fd, true, path, progress, threads);
}

}  // namespace vorn_package
