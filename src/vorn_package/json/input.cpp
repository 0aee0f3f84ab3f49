// Input sources. A regular file is mapped read-only, with an anonymous page after its end so that
// simdjson's padding can be read in place; the pages behind the reader are dropped with
// MADV_DONTNEED, so that they leave the process's resident set (they stay in the page cache, and
// the file is not read twice). A stream is read into a reserved span of address space in chunks,
// and the chunks behind the reader are given back the same way.
#include "vorn_package/json/input.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace vorn_package::json {
namespace {

// Memory behind the reader is given back in steps of this many bytes.
constexpr std::size_t kReleaseStep = std::size_t{8} << 20;
constexpr std::size_t kChunk = std::size_t{1} << 20;

ReadError system_error(const char* action, int code) {
    return {0, "",
            std::string("cannot ") + action + ": " +
                std::error_code(code, std::generic_category()).message()};
}

std::size_t page_size() {
    static const auto size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

// A span of address space owned by an input, given back page by page from its start.
class Region {
public:
    Region() = default;
    Region(const Region&) = delete;
    Region& operator=(const Region&) = delete;
    ~Region() { reset(nullptr, 0); }

    void reset(char* base, std::size_t size) {
        if (base_ != nullptr) {
            ::munmap(base_, size_);
        }
        base_ = released_ = base;
        size_ = size;
    }

    char* base() const { return base_; }
    std::size_t size() const { return size_; }

    void release_before(const char* p) {
        const std::size_t page = page_size();
        char* const done = base_ + static_cast<std::size_t>(p - base_) / page * page;
        if (done - released_ >= static_cast<std::ptrdiff_t>(kReleaseStep)) {
            ::madvise(released_, static_cast<std::size_t>(done - released_), MADV_DONTNEED);
            released_ = done;
        }
    }

private:
    char* base_ = nullptr;
    std::size_t size_ = 0;
    char* released_ = nullptr;
};

class MappedInput final : public Input {
public:
    // Maps `size` bytes of `fd`; false if the system refuses (the caller then reads a stream).
    bool map(int fd, std::size_t size) {
        const std::size_t page = page_size();
        const std::size_t span = (size + page - 1) / page * page + page;
        void* reserved = ::mmap(nullptr, span, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (reserved == MAP_FAILED) {
            return false;
        }
        region_.reset(static_cast<char*>(reserved), span);
        if (::mmap(reserved, size, PROT_READ, MAP_PRIVATE | MAP_FIXED, fd, 0) == MAP_FAILED) {
            return false;
        }
        ::madvise(reserved, size, MADV_SEQUENTIAL);
        begin_ = region_.base();
        end_ = begin_ + size;
        readable_end_ = region_.base() + span;
        return true;
    }

    void release_before(const char* p) override { region_.release_before(p); }

private:
    Region region_;
};

class StreamInput final : public Input {
public:
    StreamInput(int fd, bool owned) : fd_(fd), owned_(owned) { complete_ = false; }
    StreamInput(const StreamInput&) = delete;
    StreamInput& operator=(const StreamInput&) = delete;
    ~StreamInput() override {
        if (owned_) {
            ::close(fd_);
        }
    }

    // Reserves address space for the stream, holding `first`, the bytes already taken from it;
    // nothing more is committed until it is read.
    bool reserve(std::string_view first) {
        for (std::size_t size = std::size_t{1} << 40; size >= (std::size_t{1} << 30); size /= 4) {
            void* reserved = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            if (reserved != MAP_FAILED) {
                region_.reset(static_cast<char*>(reserved), size);
                std::copy(first.begin(), first.end(), region_.base());
                begin_ = region_.base();
                end_ = begin_ + first.size();
                readable_end_ = end_ + kPadding;
                return true;
            }
        }
        return false;
    }

    bool load_more(std::size_t bytes) override {
        if (complete_) {
            return false;
        }
        char* const limit = region_.base() + region_.size() - kPadding;
        char* const goal = std::min(const_cast<char*>(end_) + std::max(bytes, kChunk), limit);
        // Reading stops once what was asked for is here: a stream that has sent the start of
        // a document and waits (or never ends) is judged on what it has sent.
        char* const needed =
            std::min(const_cast<char*>(end_) + std::max<std::size_t>(bytes, 1), goal);
        char* into = const_cast<char*>(end_);
        bool ended = false;
        while (into < needed) {
            const ssize_t got = ::read(fd_, into, static_cast<std::size_t>(goal - into));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                error_ = system_error("read", errno);
                break;
            }
            if (got == 0) {
                ended = true;
                break;
            }
            into += got;
        }
        if (into == limit && !error_) {
            error_ = ReadError{0, "",
                               "cannot read: the input is larger than " +
                                   std::to_string(region_.size() - kPadding) + " bytes"};
        }
        const bool grew = into != end_;
        end_ = into;
        readable_end_ = end_ + kPadding;
        complete_ = ended || error_.has_value();
        return grew;
    }

    void release_before(const char* p) override { region_.release_before(p); }

private:
    int fd_;
    bool owned_;
    Region region_;
};

}  // namespace

bool Input::load_more(std::size_t) { return false; }

void Input::release_before(const char*) {}

MemoryInput::MemoryInput(std::string_view text) {
    begin_ = text.data();
    end_ = readable_end_ = text.data() + text.size();
}

SharedInput::SharedInput(const Input& whole) {
    begin_ = whole.begin();
    end_ = whole.end();
    readable_end_ = whole.readable_end();
}

std::unique_ptr<Input> open_input(const std::string& path, ReadError& error) {
    const bool standard_input = path == "-";
    const int fd = standard_input ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = system_error("open", errno);
        return nullptr;
    }
    return open_input(fd, !standard_input, {}, error);
}

std::unique_ptr<Input> open_input(int fd, bool owned, std::string_view first, ReadError& error) {
    struct stat status {};
    // A regular file is mapped whole, unless its first bytes were already taken from it or it
    // is standard input left at another place than its start.
    if (first.empty() && ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
        status.st_size > 0 && ::lseek(fd, 0, SEEK_CUR) == 0) {
        auto mapped = std::make_unique<MappedInput>();
        if (mapped->map(fd, static_cast<std::size_t>(status.st_size))) {
            if (owned) {
                ::close(fd);  // the mapping keeps the file
            }
            return mapped;
        }
    }
    auto stream = std::make_unique<StreamInput>(fd, owned);
    if (!stream->reserve(first)) {
        error = system_error("read", ENOMEM);
        return nullptr;
    }
    return stream;
}

}  // namespace vorn_package::json
