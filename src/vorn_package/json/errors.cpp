// Error paths and messages.
#include "vorn_package/json/errors.hpp"

#include <algorithm>

#include "vorn_package/json/text.hpp"

namespace vorn_package::json {
namespace {

// The text of the member name at `key` as written, escapes and all.
std::string_view raw_name(const char* key, const char* end) {
    const char* q = key;
    while (q < end && *q != '"') {
        q += *q == '\\' ? 2 : 1;
    }
    return {key, static_cast<std::size_t>(std::min(q, end) - key)};
}

bool is_plain_name(std::string_view key) {
    return !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-';
    });
}

}  // namespace

void PathStack::grow() { parts_.resize(parts_.size() * 2 + 16); }

std::string quote_text(std::string_view text) {
    constexpr std::size_t kShown = 40;
    constexpr std::string_view kHex = "0123456789abcdef";
    std::string out = "\"";
    std::size_t i = 0;
    while (i < text.size() && i < kShown) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xf];
        } else if (c >= 0x80) {
            const std::size_t n = utf8_sequence_length(text.data() + i, text.data() + text.size());
            if (n == 0) {
                out += "\\x";
                out += kHex[c >> 4];
                out += kHex[c & 0xf];
            } else {
                out.append(text.substr(i, n));
                i += n;
                continue;
            }
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    if (i < text.size()) {
        out += "...";
    }
    out += '"';
    return out;
}

std::string describe(const char* p, const char* end) {
    if (p >= end) {
        return "end of input";
    }
    switch (*p) {
        case '{':
            return "an object";
        case '[':
            return "an array";
        case '"': {
            const char* close = p + 1;
            while (close != end && *close != '"' && *close != '\\' && close - p <= 40) {
                ++close;
            }
            if (close != end && *close == '"') {
                return "the string " + quote_text({p + 1, static_cast<std::size_t>(close - p - 1)});
            }
            return "a string";
        }
        default:
            break;
    }
    const char* stop = token_end(p, end);
    if (stop == p) {
        return std::string("'") + *p + "'";
    }
    constexpr std::size_t kShown = 32;
    const std::string_view text(p, std::min<std::size_t>(stop - p, kShown));
    if (!std::all_of(text.begin(), text.end(), is_printable_ascii)) {
        return "an invalid character";
    }
    return std::string(text) + (static_cast<std::size_t>(stop - p) > kShown ? "..." : "");
}

std::string render_path(std::span<const PathPart> parts,
                        const std::function<const char*(const char*)>& end_of) {
    constexpr std::size_t kEnds = 16;
    constexpr std::size_t kLongestName = 64;
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (parts.size() > 2 * kEnds && i == kEnds) {
            out += "...";
            i = parts.size() - kEnds;
        }
        const PathPart& part = parts[i];
        if (part.key == nullptr) {
            out += '[';
            out += std::to_string(part.index);
            out += ']';
            continue;
        }
        std::string_view name = raw_name(part.key, end_of(part.key));
        const bool cut = name.size() > kLongestName;
        if (cut) {
            std::size_t keep = kLongestName;
            while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xc0) == 0x80) {
                --keep;
            }
            name = name.substr(0, keep);
        }
        if (is_plain_name(name)) {
            if (!out.empty()) {
                out += '.';
            }
            out.append(name);
            out += cut ? "..." : "";
        } else {
            out += "[\"";
            out.append(name);
            out += cut ? "...\"]" : "\"]";
        }
    }
    return out;
}

}  // namespace vorn_package::json
