// Getting a packed file's bytes: a regular file is mapped read-only, anything else (standard
// input, a pipe) is read into an aligned buffer, up to the size its header gives.
#include "profile_packed_input.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "file_input.hpp"
#include "profile_packed_layout.hpp"
#include "vorn_package/mapped_file_guard.hpp"
#include "vorn_package/profile_packed.hpp"

namespace vorn_package {
namespace {

ReadError system_error(const char* action, int code) {
    return {0, "",
            std::string("cannot ") + action + ": " +
                std::error_code(code, std::generic_category()).message()};
}

struct FdCloser {
    int fd;
    bool owned;
    ~FdCloser() {
        if (owned) {
            ::close(fd);
        }
    }
};

/// A read-only mapping of a whole file, guarded while it lives and unmapped with its last owner.
struct Mapping {
    void* address = nullptr;
    std::size_t size = 0;
    int guard = -1;
    ~Mapping() {
        detail::release_mapping(guard);
        ::munmap(address, size);
    }
};

/// A buffer from malloc (aligned for any scalar), freed with its last owner.
struct Buffer {
    char* data = nullptr;
    ~Buffer() { std::free(data); }
};

}  // namespace

Result<ProfileColumns, ReadError> read_profile_packed_stream(int fd, std::string_view first) {
    auto buffer = std::make_shared<Buffer>();
    std::size_t size = 0;
    std::size_t capacity = 0;
    std::uint64_t limit = ~std::uint64_t{0};
    const auto append = [&](const char* data, std::size_t count) -> bool {
        if (size + count > capacity) {
            const std::size_t grown = std::max({size + count, capacity * 2, std::size_t{65536}});
            char* more = static_cast<char*>(std::realloc(buffer->data, grown));
            if (more == nullptr) {
                return false;
            }
            buffer->data = more;
            capacity = grown;
        }
        std::memcpy(buffer->data + size, data, count);
        size += count;
        return true;
    };
    if (!append(first.data(), first.size())) {
        return Unexpected<ReadError>{{0, "", "out of memory"}};
    }
    char chunk[65536];
    while (size < limit) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(sizeof chunk, limit - size));
        const ssize_t got = ::read(fd, chunk, want);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Unexpected<ReadError>{system_error("read", errno)};
        }
        if (got == 0) {
            break;
        }
        if (!append(chunk, static_cast<std::size_t>(got))) {
            return Unexpected<ReadError>{{size, "", "out of memory"}};
        }
        if (limit == ~std::uint64_t{0} && size >= packed::kFileSizeAt + 8) {
            // One byte past the size the header gives shows a stream that goes on too long.
            std::uint64_t declared = 0;
            std::memcpy(&declared, buffer->data + packed::kFileSizeAt, sizeof declared);
            limit = std::max<std::uint64_t>(declared, size - 1) + 1;
        }
    }
    const std::string_view bytes(buffer->data, size);
    return open_profile_packed_memory(bytes, std::move(buffer));
}

Result<ProfileColumns, ReadError> map_profile_packed(int fd, std::uint64_t size,
                                                     const std::string& path, std::size_t threads) {
    auto mapping = std::make_shared<Mapping>();
    mapping->size = static_cast<std::size_t>(size);
    // Every byte is read while the file is checked: the file is read ahead from the start, and
    // the threads that check the sections map each section's pages in one call.
    void* address = ::mmap(nullptr, mapping->size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (address == MAP_FAILED) {
        return Unexpected<ReadError>{system_error("map the file", errno)};
    }
    ::madvise(address, mapping->size, MADV_WILLNEED);
    mapping->address = address;
    const int guarded = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (guarded >= 0) {
        mapping->guard = detail::guard_mapping(guarded, path);
    }
    const std::string_view bytes(static_cast<const char*>(address), mapping->size);
    return open_packed_bytes(bytes, std::move(mapping), {threads, true});
}

Result<ProfileColumns, ReadError> open_profile_packed(const std::string& path) {
    return open_profile_packed(path, 1);
}

Result<ProfileColumns, ReadError> open_profile_packed(const std::string& path,
                                                      std::size_t threads) {
    const bool standard_input = path == "-";
    const int fd = standard_input ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return Unexpected<ReadError>{system_error("open", errno)};
    }
    const FdCloser closer{fd, !standard_input};
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return Unexpected<ReadError>{system_error("read", errno)};
    }
    if (S_ISREG(status.st_mode) && status.st_size > 0 && ::lseek(fd, 0, SEEK_CUR) == 0) {
        return map_profile_packed(fd, static_cast<std::uint64_t>(status.st_size), path, threads);
    }
    return read_profile_packed_stream(fd, {});
}

}  // namespace vorn_package
