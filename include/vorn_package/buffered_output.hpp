// vorn_package/buffered_output.hpp
//
// A file descriptor (standard output, an `OutputFile`) through one large buffer, so that a
// report or a profile is written as it is produced instead of being held whole in memory first.
#pragma once

#include <cstddef>
#include <memory>
#include <streambuf>

namespace vorn_package {

/// A stream buffer that writes to a file descriptor in blocks of `capacity` bytes. The first
/// failed write is remembered and everything after it is dropped, so that the failure can be
/// reported once, at the end.
class BufferedOutput : public std::streambuf {
public:
    static constexpr std::size_t kDefaultCapacity = std::size_t{1} << 20;

    explicit BufferedOutput(int fd, std::size_t capacity = kDefaultCapacity);
    BufferedOutput(const BufferedOutput&) = delete;
    BufferedOutput& operator=(const BufferedOutput&) = delete;
    /// Writes what is still buffered; a failure here is lost, so call `finish` first.
    ~BufferedOutput() override;

    /// Writes what is buffered. Returns 0, or the `errno` of the first write that failed.
    int finish();

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;
    int sync() override;

private:
    /// Writes `count` bytes unless a write has failed; false once one has.
    bool write_all(const char* text, std::size_t count);
    bool drain();

    int fd_;
    std::size_t capacity_;
    std::unique_ptr<char[]> buffer_;
    int error_ = 0;
};

}  // namespace vorn_package
