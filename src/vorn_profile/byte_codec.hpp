// Little-endian bytes written and read back with every read checked against the end of the
// input: the building blocks of the serialized partial report.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace vorn_profile::detail {

/// Appends fixed-width little-endian numbers and length-prefixed texts to a string.
class ByteWriter {
public:
    explicit ByteWriter(std::string& out) : out_(out) {}

    void u8(std::uint8_t value) { out_.push_back(static_cast<char>(value)); }
    void u16(std::uint16_t value) { put(value, 2); }
    void u32(std::uint32_t value) { put(value, 4); }
    void u64(std::uint64_t value) { put(value, 8); }
    /// `value` in 7-bit groups, lowest first, the high bit of each byte set when another
    /// follows (LEB128): small numbers take one byte.
    void varint(std::uint64_t value) {
        char bytes[10];
        std::size_t size = 0;
        while (value >= 0x80) {
            bytes[size++] = static_cast<char>((value & 0x7f) | 0x80);
            value >>= 7;
        }
        bytes[size++] = static_cast<char>(value);
        out_.append(bytes, size);
    }
    void text(std::string_view value) {
        u64(value.size());
        out_.append(value);
    }
    std::size_t size() const { return out_.size(); }
    /// Overwrites the 8 bytes at `at` with `value`, for a length known only afterwards.
    void patch_u64(std::size_t at, std::uint64_t value) {
        for (int i = 0; i < 8; ++i) {
            out_[at + static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
        }
    }

private:
    void put(std::uint64_t value, int bytes) {
        char little[8];
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(little, &value, sizeof little);
        } else {
            for (int i = 0; i < 8; ++i) {
                little[i] = static_cast<char>(value >> (8 * i));
            }
        }
        out_.append(little, static_cast<std::size_t>(bytes));
    }

    std::string& out_;
};

/// Reads what `ByteWriter` writes. The first failure is kept (its byte and message); after it
/// every read gives 0 or an empty text, so that a caller checks `failed()` once a record is read.
class ByteReader {
public:
    /// `bytes` are the whole input; reading starts at `at`, and errors name bytes of the whole.
    ByteReader(std::string_view bytes, std::uint64_t at, std::uint64_t end)
        : bytes_(bytes), at_(at), end_(end) {}

    std::uint8_t u8() { return static_cast<std::uint8_t>(get(1, "a 1-byte number")); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(get(2, "a 2-byte number")); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(get(4, "a 4-byte number")); }
    std::uint64_t u64() { return get(8, "an 8-byte number"); }
    /// A number written by `ByteWriter::varint`, in as few bytes as it needs (so that each
    /// number has one encoding).
    std::uint64_t varint() {
        // Most numbers of a partial fit in one byte.
        if (!failed_ && at_ != end_ && static_cast<unsigned char>(bytes_[at_]) < 0x80) {
            return static_cast<unsigned char>(bytes_[at_++]);
        }
        return longer_varint();
    }

    /// A text of at most the bytes left, viewed in the input.
    std::string_view text() {
        const std::uint64_t at = at_;
        const std::uint64_t size = u64();
        if (failed()) {
            return {};
        }
        if (size > left()) {
            fail(at, "a text of " + std::to_string(size) + " bytes runs past the end (" +
                         std::to_string(left()) + " bytes left)");
            return {};
        }
        const std::string_view text = bytes_.substr(at_, size);
        at_ += size;
        return text;
    }
    /// A count of items of at least `item_size` bytes each, checked against the bytes left, so
    /// that no count makes a reader reserve more than the input could hold.
    std::uint64_t count(std::uint64_t item_size, const char* what) {
        const std::uint64_t at = at_;
        const std::uint64_t value = u64();
        return counted(at, value, item_size, what);
    }
    /// The same for a count written as a varint.
    std::uint64_t varint_count(std::uint64_t item_size, const char* what) {
        const std::uint64_t at = at_;
        const std::uint64_t value = varint();
        return counted(at, value, item_size, what);
    }
    std::uint64_t counted(std::uint64_t at, std::uint64_t value, std::uint64_t item_size,
                          const char* what) {
        if (!failed() && item_size > 0 && value > left() / item_size) {
            fail(at, std::to_string(value) + " " + what + " cannot fit in the " +
                         std::to_string(left()) + " bytes left");
            return 0;
        }
        return failed() ? 0 : value;
    }

    /// Passes over `size` bytes, at most those left.
    void skip(std::uint64_t size) {
        if (size > left()) {
            fail(at_, "a field of " + std::to_string(size) + " bytes runs past the end (" +
                          std::to_string(left()) + " bytes left)");
            return;
        }
        at_ += size;
    }

    std::uint64_t position() const { return at_; }
    std::string_view input() const { return bytes_; }
    std::uint64_t left() const { return end_ - at_; }
    bool failed() const { return failed_; }
    std::uint64_t error_offset() const { return error_offset_; }
    const std::string& error() const { return error_; }

    /// Records a failure at byte `at` (the first one only); returns false.
    bool fail(std::uint64_t at, std::string message) {
        if (!failed_) {
            failed_ = true;
            error_offset_ = at;
            error_ = std::move(message);
            at_ = end_;
        }
        return false;
    }

private:
    /// `varint` when its first byte does not end it.
    std::uint64_t longer_varint() {
        if (failed_) {
            return 0;
        }
        const std::uint64_t at = at_;
        std::uint64_t value = 0;
        for (int shift = 0;; shift += 7) {
            if (at_ == end_) {
                fail(at, "the input ends inside a number");
                return 0;
            }
            const auto byte = static_cast<unsigned char>(bytes_[at_++]);
            if (shift == 63 && byte > 1) {
                fail(at, "a number past 64 bits");
                return 0;
            }
            value |= std::uint64_t{byte & 0x7fU} << shift;
            if ((byte & 0x80) == 0) {
                if (byte == 0 && shift > 0) {
                    fail(at, "a number written with more bytes than it needs");
                    return 0;
                }
                return value;
            }
        }
    }

    std::uint64_t get(int size, const char* what) {
        if (failed_) {
            return 0;
        }
        if (left() < static_cast<std::uint64_t>(size)) {
            fail(at_, std::string("the input ends where ") + what + " was expected");
            return 0;
        }
        std::uint64_t value = 0;
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(&value, bytes_.data() + at_, static_cast<std::size_t>(size));
        } else {
            for (int i = 0; i < size; ++i) {
                value |= std::uint64_t{static_cast<unsigned char>(bytes_[at_ + i])} << (8 * i);
            }
        }
        at_ += static_cast<std::uint64_t>(size);
        return value;
    }

    std::string_view bytes_;
    std::uint64_t at_;
    std::uint64_t end_;
    bool failed_ = false;
    std::uint64_t error_offset_ = 0;
    std::string error_;
};

}  // namespace vorn_profile::detail
