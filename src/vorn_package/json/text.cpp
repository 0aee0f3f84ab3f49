// Characters, numbers and strings of JSON, read byte by byte.
#include "vorn_package/json/text.hpp"

#include <limits>

namespace vorn_package::json {
namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Reads "uXXXX" at `p` (the byte after a backslash).
bool read_unicode_escape(const char* p, const char* end, std::uint32_t& value) {
    if (end - p < 5 || *p != 'u') {
        return false;
    }
    value = 0;
    for (int i = 1; i <= 4; ++i) {
        const int digit = hex_digit(p[i]);
        if (digit < 0) {
            return false;
        }
        value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    return true;
}

void append_utf8(std::string& out, std::uint32_t code_point) {
    if (code_point < 0x80) {
        out += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
        out += static_cast<char>(0xc0 | code_point >> 6);
        out += static_cast<char>(0x80 | (code_point & 0x3f));
    } else if (code_point < 0x10000) {
        out += static_cast<char>(0xe0 | code_point >> 12);
        out += static_cast<char>(0x80 | (code_point >> 6 & 0x3f));
        out += static_cast<char>(0x80 | (code_point & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | code_point >> 18);
        out += static_cast<char>(0x80 | (code_point >> 12 & 0x3f));
        out += static_cast<char>(0x80 | (code_point >> 6 & 0x3f));
        out += static_cast<char>(0x80 | (code_point & 0x3f));
    }
}

}  // namespace

std::size_t utf8_sequence_length(const char* p, const char* end) {
    const auto at = [p](std::size_t i) { return static_cast<unsigned char>(p[i]); };
    const unsigned lead = at(0);
    std::size_t length = 0;
    unsigned low = 0x80;
    unsigned high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;   // overlong
        high = lead == 0xed ? 0x9f : 0xbf;  // UTF-16 surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;   // overlong
        high = lead == 0xf4 ? 0x8f : 0xbf;  // above U+10FFFF
    } else {
        return 0;
    }
    if (static_cast<std::size_t>(end - p) < length || at(1) < low || at(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if ((at(i) & 0xc0) != 0x80) {
            return 0;
        }
    }
    return length;
}

bool is_json_number(std::string_view text) {
    std::size_t i = 0;
    const auto digit = [&text](std::size_t at) {
        return at < text.size() && text[at] >= '0' && text[at] <= '9';
    };
    if (i < text.size() && text[i] == '-') {
        ++i;
    }
    if (!digit(i)) {
        return false;
    }
    if (text[i] == '0') {
        ++i;
    } else {
        while (digit(i)) {
            ++i;
        }
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        if (!digit(i)) {
            return false;
        }
        while (digit(i)) {
            ++i;
        }
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            ++i;
        }
        if (!digit(i)) {
            return false;
        }
        while (digit(i)) {
            ++i;
        }
    }
    return i == text.size();
}

MaybeFault scan_string(const char*& p, const char* end, std::string* out, bool check_text) {
    const char* run = p;
    while (true) {
        if (p == end) {
            return Fault{p, "unexpected end of input in a string"};
        }
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"') {
            if (out != nullptr) {
                out->append(run, p);
            }
            return std::nullopt;
        }
        if (c == '\\') {
            if (out != nullptr) {
                out->append(run, p);
            }
            const char* escape = p;
            if (end - p < 2) {
                return Fault{p, "unexpected end of input in a string"};
            }
            char decoded = 0;
            switch (p[1]) {
                case '"':
                    decoded = '"';
                    break;
                case '\\':
                    decoded = '\\';
                    break;
                case '/':
                    decoded = '/';
                    break;
                case 'b':
                    decoded = '\b';
                    break;
                case 'f':
                    decoded = '\f';
                    break;
                case 'n':
                    decoded = '\n';
                    break;
                case 'r':
                    decoded = '\r';
                    break;
                case 't':
                    decoded = '\t';
                    break;
                case 'u':
                    break;
                default:
                    if (is_printable_ascii(p[1])) {
                        return Fault{p, std::string("invalid escape \\") + p[1] + " in a string"};
                    }
                    return Fault{p, "invalid escape in a string"};
            }
            if (decoded != 0) {
                if (out != nullptr) {
                    *out += decoded;
                }
                p += 2;
                run = p;
                continue;
            }
            std::uint32_t code_point = 0;
            if (!read_unicode_escape(p + 1, end, code_point)) {
                return Fault{p, "invalid \\u escape in a string"};
            }
            p += 6;
            if (code_point >= 0xd800 && code_point <= 0xdbff) {
                std::uint32_t low = 0;
                if (end - p < 2 || p[0] != '\\' || !read_unicode_escape(p + 1, end, low) ||
                    low < 0xdc00 || low > 0xdfff) {
                    return Fault{escape, "unpaired surrogate \\" + std::string(escape + 1, 5) +
                                             " in a string"};
                }
                code_point = 0x10000 + ((code_point - 0xd800) << 10) + (low - 0xdc00);
                p += 6;
            } else if (code_point >= 0xdc00 && code_point <= 0xdfff) {
                return Fault{escape,
                             "unpaired surrogate \\" + std::string(escape + 1, 5) + " in a string"};
            }
            if (out != nullptr) {
                append_utf8(*out, code_point);
            }
            run = p;
            continue;
        }
        if (check_text) {
            if (c < 0x20) {
                constexpr std::string_view kHex = "0123456789ABCDEF";
                return Fault{p, std::string("unescaped control character U+00") + kHex[c >> 4] +
                                    kHex[c & 0xf] + " in a string"};
            }
            if (c >= 0x80) {
                const std::size_t length = utf8_sequence_length(p, end);
                if (length == 0) {
                    return Fault{p, "invalid UTF-8 in a string"};
                }
                p += length;
                continue;
            }
        }
        ++p;
    }
}

}  // namespace vorn_package::json
