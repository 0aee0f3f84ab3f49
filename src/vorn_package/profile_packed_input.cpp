// Getting a packed file's bytes: a regular file is mapped read-only, anything else (standard
// input, a pipe) is read whole into an aligned buffer.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

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

/// A read-only mapping of a whole file, unmapped with its last owner.
struct Mapping {
    void* address = nullptr;
    std::size_t size = 0;
    ~Mapping() { ::munmap(address, size); }
};

/// A buffer from malloc (aligned for any scalar), freed with its last owner.
struct Buffer {
    char* data = nullptr;
    ~Buffer() { std::free(data); }
};

Result<InputBytes, ReadError> read_all(int fd) {
    auto buffer = std::make_shared<Buffer>();
    std::size_t size = 0;
    std::size_t capacity = 0;
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
        capacity = static_cast<std::size_t>(status.st_size) + 1;  // +1 to see the end at once
    }
    while (true) {
        if (size == capacity) {
            const std::size_t grown = capacity < 65536 ? 65536 : capacity * 2;
            char* data = static_cast<char*>(std::realloc(buffer->data, grown));
            if (data == nullptr) {
                return Unexpected<ReadError>{{0, "", "out of memory"}};
            }
            buffer->data = data;
            capacity = grown;
        } else if (buffer->data == nullptr) {
            buffer->data = static_cast<char*>(std::malloc(capacity));
            if (buffer->data == nullptr) {
                return Unexpected<ReadError>{{0, "", "out of memory"}};
            }
        }
        const ssize_t got = ::read(fd, buffer->data + size, capacity - size);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Unexpected<ReadError>{system_error("read", errno)};
        }
        if (got == 0) {
            break;
        }
        size += static_cast<std::size_t>(got);
    }
    InputBytes input;
    input.bytes = {buffer->data, size};
    input.owner = std::move(buffer);
    return input;
}

}  // namespace

Result<InputBytes, ReadError> read_input_bytes(const std::string& path) {
    const bool standard_input = path == "-";
    const int fd = standard_input ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return Unexpected<ReadError>{system_error("open", errno)};
    }
    const FdCloser closer{fd, !standard_input};
    return read_all(fd);
}

Result<ProfileColumns, ReadError> open_profile_packed(const std::string& path) {
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
    if (!S_ISREG(status.st_mode) || status.st_size == 0) {
        auto read = read_all(fd);
        if (!read) {
            return Unexpected<ReadError>{read.error()};
        }
        return open_profile_packed_memory(read->bytes, std::move(read->owner));
    }
    auto mapping = std::make_shared<Mapping>();
    mapping->size = static_cast<std::size_t>(status.st_size);
    // Every byte is read while the file is checked, so the pages are faulted in at once.
    void* address = ::mmap(nullptr, mapping->size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (address == MAP_FAILED) {
        return Unexpected<ReadError>{system_error("map the file", errno)};
    }
    mapping->address = address;
    const std::string_view bytes(static_cast<const char*>(address), mapping->size);
    return open_profile_packed_memory(bytes, std::move(mapping));
}

}  // namespace vorn_package
