#include "vorn_package/buffered_output.hpp"

#include <unistd.h>

#include <cerrno>

namespace vorn_package {

BufferedOutput::BufferedOutput(int fd, std::size_t capacity)
    : fd_(fd), capacity_(capacity), buffer_(new char[capacity]) {
    setp(buffer_.get(), buffer_.get() + capacity_);
}

BufferedOutput::~BufferedOutput() { drain(); }

int BufferedOutput::finish() {
    drain();
    return error_;
}

bool BufferedOutput::write_all(const char* text, std::size_t count) {
    while (count > 0 && error_ == 0) {
        const ssize_t written = ::write(fd_, text, count);
        if (written < 0) {
            if (errno != EINTR) {
                error_ = errno;
            }
            continue;
        }
        text += written;
        count -= static_cast<std::size_t>(written);
    }
    return error_ == 0;
}

bool BufferedOutput::drain() {
    const bool written = write_all(pbase(), static_cast<std::size_t>(pptr() - pbase()));
    setp(buffer_.get(), buffer_.get() + capacity_);
    return written;
}

BufferedOutput::int_type BufferedOutput::overflow(int_type c) {
    if (!drain()) {
        return traits_type::eof();
    }
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

std::streamsize BufferedOutput::xsputn(const char* text, std::streamsize count) {
    const auto size = static_cast<std::size_t>(count);
    if (size <= static_cast<std::size_t>(epptr() - pptr())) {
        traits_type::copy(pptr(), text, size);
        pbump(static_cast<int>(count));
        return count;
    }
    // A piece larger than the room left: write out the buffer, then the piece itself if it
    // would not fit an empty buffer either.
    if (!drain()) {
        return 0;
    }
    if (size >= capacity_) {
        return write_all(text, size) ? count : 0;
    }
    traits_type::copy(pptr(), text, size);
    pbump(static_cast<int>(count));
    return count;
}

int BufferedOutput::sync() { return drain() ? 0 : -1; }

}  // namespace vorn_package
