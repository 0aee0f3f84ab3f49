// Text forms of numbers and strings shared by every rendering: fixed-point figures, the
// shortest round-tripping doubles, and JSON string literals.
#include "vorn_view/text_format.hpp"

#include <charconv>
#include <iterator>
#include <string>
#include <string_view>

namespace vorn_view {

std::string fixed(double value, int decimals) {
    // As printf's "%.*f", correctly rounded, without its locale and format parsing: a report
    // of a million groups writes a few million of these. Room for the largest double.
    char text[400];
    const std::to_chars_result written =
        std::to_chars(std::begin(text), std::end(text), value, std::chars_format::fixed, decimals);
    return {text, written.ptr};
}

void append_shortest_double(std::string& out, double value) {
    char text[32];
    const auto end = std::to_chars(std::begin(text), std::end(text), value).ptr;
    const std::string_view written(text, static_cast<std::size_t>(end - text));
    out += written;
    if (written.find_first_not_of("-0123456789") == std::string_view::npos) {
        out += ".0";
    }
}

std::string shortest_double(double value) {
    std::string text;
    append_shortest_double(text, value);
    return text;
}

void append_json_string(std::string& out, std::string_view text) {
    constexpr std::string_view kHex = "0123456789abcdef";
    out += '"';
    std::size_t plain = 0;  // start of the run of bytes that need no escape
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte != '"' && byte != '\\') {
            continue;
        }
        out.append(text, plain, i - plain);
        plain = i + 1;
        switch (byte) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += "\\u00";
                out += kHex[byte >> 4];
                out += kHex[byte & 0xf];
        }
    }
    out.append(text, plain);
    out += '"';
}

std::string json_string(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    append_json_string(out, text);
    return out;
}

}  // namespace vorn_view
