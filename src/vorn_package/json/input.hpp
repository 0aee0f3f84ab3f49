// Where the reader's bytes come from: text already in memory, a regular file mapped into memory,
// or a stream (a pipe, standard input) read in chunks. In every case the bytes sit at addresses
// that do not change while a document is read, so the reader may keep pointers into them; what
// lies behind the reader can be released, so that a large file is never held whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "vorn_package/profile_json.hpp"

namespace vorn_package::json {

/// Bytes simdjson may read past what it parses.
constexpr std::size_t kPadding = 64;

class Input {
public:
    virtual ~Input() = default;

    const char* begin() const { return begin_; }
    /// The end of the bytes loaded so far.
    const char* end() const { return end_; }
    /// How far memory may be read: `end()`, or past it by at least `kPadding`.
    const char* readable_end() const { return readable_end_; }
    /// Whether every byte of the input is loaded.
    bool complete() const { return complete_; }
    /// The size of the input when known, otherwise 0.
    std::uint64_t total() const {
        return complete_ ? static_cast<std::uint64_t>(end_ - begin_) : 0;
    }

    /// Loads at least `bytes` more, or up to the end of the input; false if nothing more came.
    virtual bool load_more(std::size_t bytes);
    /// The bytes before `p` will not be read again; their memory may be given back.
    virtual void release_before(const char* p);

    /// Why reading stopped short, when the system failed.
    const std::optional<ReadError>& error() const { return error_; }

protected:
    const char* begin_ = nullptr;
    const char* end_ = nullptr;
    const char* readable_end_ = nullptr;
    bool complete_ = true;
    std::optional<ReadError> error_;
};

/// Text held by the caller, read in place.
class MemoryInput final : public Input {
public:
    explicit MemoryInput(std::string_view text);
};

/// The bytes of a complete input, seen at the same addresses by a reader on another thread.
/// Nothing is loaded or released through it.
class SharedInput final : public Input {
public:
    explicit SharedInput(const Input& whole);
};

/// Opens a file for reading ("-" is standard input): mapped when it is a regular file, read in
/// chunks otherwise. A file that cannot be opened gives a `ReadError` in `error`.
std::unique_ptr<Input> open_input(const std::string& path, ReadError& error);

/// The same for a file already open: `fd` is closed with the input when `owned`. `first` holds
/// bytes already read from it, which come before the rest; a regular file is mapped only when
/// none were, and when it is read from its start.
std::unique_ptr<Input> open_input(int fd, bool owned, std::string_view first, ReadError& error);

}  // namespace vorn_package::json
