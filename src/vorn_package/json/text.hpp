// Characters, tokens, numbers and strings of JSON, read byte by byte. Shared by the outer scan,
// the byte-level checker and the tile parsers.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace vorn_package::json {

constexpr bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

constexpr bool is_delimiter(char c) {
    return is_space(c) || c == ',' || c == ':' || c == '[' || c == ']' || c == '{' || c == '}' ||
           c == '"';
}

constexpr bool is_printable_ascii(char c) { return c >= 0x20 && c < 0x7f; }

inline const char* skip_space(const char* p, const char* end) {
    while (p != end && is_space(*p)) {
        ++p;
    }
    return p;
}

/// End of the bare token (number or literal) starting at `p`.
inline const char* token_end(const char* p, const char* end) {
    while (p != end && !is_delimiter(*p)) {
        ++p;
    }
    return p;
}

inline std::string_view trim_space(std::string_view text) {
    while (!text.empty() && is_space(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

/// Length of the well-formed UTF-8 sequence at `p` (a byte >= 0x80), or 0 if there is none.
std::size_t utf8_sequence_length(const char* p, const char* end);

/// Whether `text` is a number under JSON's grammar.
bool is_json_number(std::string_view text);

/// A plain unsigned integer (digits only, no leading zero) no larger than `max`. Inline: the
/// tile parsers read every number of a sample with it.
inline bool parse_plain_unsigned(std::string_view text, std::uint64_t max, std::uint64_t& value) {
    constexpr std::uint64_t kLimit = std::numeric_limits<std::uint64_t>::max();
    if (text.empty() || text.size() > 20 || (text[0] == '0' && text.size() > 1)) {
        return false;
    }
    std::uint64_t result = 0;
    for (const char c : text) {
        const auto digit = static_cast<unsigned>(c - '0');
        if (digit > 9 || result > kLimit / 10 || (result == kLimit / 10 && digit > kLimit % 10)) {
            return false;
        }
        result = result * 10 + digit;
    }
    if (result > max) {
        return false;
    }
    value = result;
    return true;
}

/// What is wrong, and the byte where it is.
struct Fault {
    const char* at;
    std::string message;
};
using MaybeFault = std::optional<Fault>;

/// Reads the body of a string from `p` (just past the opening quote) and leaves `p` on the
/// closing quote. Decodes into `out` when given. `check_text` also rejects raw control
/// characters and bad UTF-8; inside a tile simdjson has already checked both.
MaybeFault scan_string(const char*& p, const char* end, std::string* out, bool check_text);

}  // namespace vorn_package::json
