// Reads the stored profile format.
//
// The document is read in two layers. The outer layer walks the root object and the `tiles`
// array byte by byte. Each tile object is located with a quick bracket scan and handed whole to
// simdjson's On-Demand parser as a document of its own, so the structural index simdjson builds
// covers one tile at a time instead of the whole file (on a large profile that index alone would
// be more than half the size of the file).
//
// Members the format does not name, and any tile that simdjson finds malformed, go through a
// small byte-level JSON checker. It is slow next to simdjson but runs only on such members and on
// the error path, and it knows the exact JSON path and byte of a fault, which simdjson's stage-one
// errors (bad UTF-8, raw control characters) do not give.
#include <fcntl.h>
#include <simdjson.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_set>
#include <utility>
#include <vector>

#include "vorn_package/profile_json.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorn_package {
namespace {

namespace ondemand = simdjson::ondemand;

constexpr std::size_t kMaxDepth = 1024;
constexpr std::size_t kTileDepth = 3;  // root object, `tiles` array, tile
constexpr std::size_t kPadding = simdjson::SIMDJSON_PADDING;
static_assert(kPadding >= 64, "the bracket scan reads whole 64-byte blocks");
// Fewer bytes than any valid sample: {"start_cycle":0,"end_cycle":0,"step":{...}} and more.
constexpr std::size_t kSmallestSample = 64;
constexpr std::uint64_t kProgressStep = std::uint64_t{1} << 20;

// ---------------------------------------------------------------------------------------------
// Characters, tokens and messages

constexpr bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

constexpr bool is_delimiter(char c) {
    return is_space(c) || c == ',' || c == ':' || c == '[' || c == ']' || c == '{' || c == '}' ||
           c == '"';
}

constexpr bool is_printable_ascii(char c) { return c >= 0x20 && c < 0x7f; }

const char* skip_space(const char* p, const char* end) {
    while (p != end && is_space(*p)) {
        ++p;
    }
    return p;
}

// End of the bare token (number or literal) starting at `p`.
const char* token_end(const char* p, const char* end) {
    while (p != end && !is_delimiter(*p)) {
        ++p;
    }
    return p;
}

std::string_view trim_space(std::string_view text) {
    while (!text.empty() && is_space(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Length of the well-formed UTF-8 sequence at `p` (a byte >= 0x80), or 0 if there is none.
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

// `text` as a JSON string for a message: escaped, and cut short (on a character boundary) if long.
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

// What the value at `p` looks like, for "expected X, found Y" messages.
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

// Whether `text` is a number under JSON's grammar.
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

// A plain unsigned integer (digits only, no leading zero) no larger than `max`.
bool parse_plain_unsigned(std::string_view text, std::uint64_t max, std::uint64_t& value) {
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

// ---------------------------------------------------------------------------------------------
// Strings

struct Fault {
    const char* at;
    std::string message;
};
using MaybeFault = std::optional<Fault>;

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

// Reads the body of a string from `p` (just past the opening quote) and leaves `p` on the closing
// quote. Decodes into `out` when given. `check_text` also rejects raw control characters and bad
// UTF-8; inside a tile simdjson has already checked both.
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

// ---------------------------------------------------------------------------------------------
// Bracket scan: where does the object or array opening at `p` close? Strings and escapes are
// followed 64 bytes at a time with bit masks; nothing is validated here.

struct BlockMasks {
    std::uint64_t quote = 0;
    std::uint64_t backslash = 0;
    std::uint64_t open = 0;
    std::uint64_t close = 0;
};

[[gnu::always_inline]] inline BlockMasks classify_block(const char* block) {
    BlockMasks masks;
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i fold = _mm_set1_epi8(0x20);  // '[' | 0x20 == '{', ']' | 0x20 == '}'
    const __m128i open = _mm_set1_epi8('{');
    const __m128i close = _mm_set1_epi8('}');
    for (int i = 0; i < 4; ++i) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i));
        const __m128i folded = _mm_or_si128(bytes, fold);
        const auto bits = [&](__m128i a, __m128i b) {
            return static_cast<std::uint64_t>(
                       static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, b))))
                   << (16 * i);
        };
        masks.quote |= bits(bytes, quote);
        masks.backslash |= bits(bytes, backslash);
        masks.open |= bits(folded, open);
        masks.close |= bits(folded, close);
    }
#else
    for (int i = 0; i < 64; ++i) {
        const std::uint64_t bit = std::uint64_t{1} << i;
        switch (block[i]) {
            case '"':
                masks.quote |= bit;
                break;
            case '\\':
                masks.backslash |= bit;
                break;
            case '{':
            case '[':
                masks.open |= bit;
                break;
            case '}':
            case ']':
                masks.close |= bit;
                break;
            default:
                break;
        }
    }
#endif
    return masks;
}

// Bits of the characters escaped by a backslash; `carry` says the block starts escaped.
std::uint64_t escaped_bits(std::uint64_t backslash, bool& carry) {
    std::uint64_t escaped = carry ? 1 : 0;
    backslash &= ~escaped;
    carry = false;
    while (backslash != 0) {
        const int at = std::countr_zero(backslash);
        if (at == 63) {
            carry = true;
            break;
        }
        const std::uint64_t next = std::uint64_t{1} << (at + 1);
        escaped |= next;
        backslash &= ~((std::uint64_t{1} << at) | next);
    }
    return escaped;
}

std::uint64_t prefix_xor(std::uint64_t bits) {
    bits ^= bits << 1;
    bits ^= bits << 2;
    bits ^= bits << 4;
    bits ^= bits << 8;
    bits ^= bits << 16;
    bits ^= bits << 32;
    return bits;
}

// The matching close of the container opening at `p`, or nullptr if it does not close before
// `end`. Whole blocks are read where `readable_end` allows, the last one from a copy.
// `grandchildren` counts the containers two levels in: for a tile, its samples (plus any containers
// held by members the format does not name), so an upper bound that costs nothing to take.
const char* find_container_end(const char* p, const char* end, const char* readable_end,
                               std::size_t& grandchildren) {
    grandchildren = 0;
    std::uint64_t in_string = 0;  // all ones when the previous block ended inside a string
    bool carry = false;
    std::int64_t depth = 0;
    for (const char* block = p; block < end; block += 64) {
        BlockMasks masks;
        if (readable_end - block >= 64) {
            masks = classify_block(block);
        } else {
            std::array<char, 64> last{};
            std::memcpy(last.data(), block, static_cast<std::size_t>(end - block));
            masks = classify_block(last.data());
        }
        if (end - block < 64) {
            const std::uint64_t valid = (std::uint64_t{1} << (end - block)) - 1;
            masks.quote &= valid;
            masks.backslash &= valid;
            masks.open &= valid;
            masks.close &= valid;
        }
        const std::uint64_t quotes = masks.quote & ~escaped_bits(masks.backslash, carry);
        const std::uint64_t string_bits = prefix_xor(quotes) ^ in_string;
        in_string = static_cast<std::uint64_t>(static_cast<std::int64_t>(string_bits) >> 63);
        const std::uint64_t open = masks.open & ~string_bits;
        const std::uint64_t close = masks.close & ~string_bits;
        // A bit loop rather than popcounts: brackets are sparse, and std::popcount is a library
        // call on baseline x86-64.
        for (std::uint64_t brackets = open | close; brackets != 0; brackets &= brackets - 1) {
            const int at = std::countr_zero(brackets);
            if ((open >> at & 1) != 0) {
                grandchildren += ++depth == 3 ? 1 : 0;
                continue;
            }
            if (--depth == 0) {
                return block + at;
            }
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// JSON paths

struct PathPart {
    const char* key = nullptr;  // the member name in the input, just past its opening quote
    std::uint64_t index = 0;    // when `key` is null
};

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

// The path of the value being read, one part per level of nesting.
class PathStack {
public:
    void push(PathPart part) {
        if (size_ == parts_.size()) [[unlikely]] {
            grow();
        }
        parts_[size_++] = part;
    }
    void pop() { --size_; }
    PathPart& back() { return parts_[size_ - 1]; }
    std::size_t size() const { return size_; }
    void truncate(std::size_t size) { size_ = size; }
    std::span<const PathPart> parts() const { return {parts_.data(), size_}; }

private:
    [[gnu::noinline]] void grow() { parts_.resize(parts_.size() * 2 + 16); }

    std::vector<PathPart> parts_;
    std::size_t size_ = 0;
};

// Renders a path like `tiles[3].samples[17].start_cycle`. Very deep paths keep their two ends
// around a "...", and very long member names are cut short, so that a message stays readable.
template <class EndOf>
std::string render_path(std::span<const PathPart> parts, const EndOf& end_of) {
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

// ---------------------------------------------------------------------------------------------
// The reader

// A member name inside a tile. It is compared with the format's names as written, without
// decoding; only a name that matches none of them is decoded (escapes may still spell one).
class MemberName {
public:
    explicit MemberName(const char* raw) : raw_(raw) {}

    template <std::size_t N>
    bool is(const char (&name)[N]) const {
        if (decoded_ != nullptr) {
            return *decoded_ == std::string_view(name, N - 1);
        }
        // The name's last letter is no backslash, so a quote after it closes the string.
        return std::memcmp(raw_, name, N - 1) == 0 && raw_[N - 1] == '"';
    }

    const char* raw() const { return raw_; }
    void set_decoded(const std::string* decoded) { decoded_ = decoded; }

private:
    const char* raw_;  // just past the opening quote
    const std::string* decoded_ = nullptr;
};

// The names of one object's members that the format does not define, to catch duplicates among
// them. Such members are rare, so a short list is searched; past a few names a hash set takes
// over, so that an object with a great many members still reads in linear time.
class NameSet {
public:
    // Adds `name`; false if it is already there.
    bool insert(std::string_view name) {
        if (set_ != nullptr) {
            return set_->emplace(name).second;
        }
        if (std::find(list_.begin(), list_.end(), name) != list_.end()) {
            return false;
        }
        list_.emplace_back(name);
        if (list_.size() > kListed) {
            set_ = std::make_unique<std::unordered_set<std::string>>(
                std::make_move_iterator(list_.begin()), std::make_move_iterator(list_.end()));
            list_.clear();
        }
        return true;
    }

    void clear() {
        list_.clear();
        set_.reset();
    }

private:
    static constexpr std::size_t kListed = 16;
    std::vector<std::string> list_;
    std::unique_ptr<std::unordered_set<std::string>> set_;
};

// A member name as read: `raw` is its text in the input, `name` the decoded name.
struct Key {
    const char* at = nullptr;  // the opening quote
    std::string_view raw;
    std::string_view name;
};

// Reads one document. `readable_end` is where readable memory ends (the input's end, or past
// the padding of a buffer made for it); a tile that ends too close to it for simdjson is read
// from a padded copy of the input's tail.
class Reader {
public:
    Reader(const char* begin, const char* end, const char* readable_end,
           const ReadProgress& progress)
        : input_begin_(begin),
          input_end_(end),
          readable_end_(readable_end),
          begin_(begin),
          end_(end),
          progress_(progress) {}

    Result<ProfileReport, ReadError> run() {
        if (!read_document()) {
            return Unexpected<ReadError>{std::move(error_)};
        }
        if (progress_) {
            progress_(size(), size());
        }
        return std::move(report_);
    }

private:
    // -- errors and paths ----------------------------------------------------------------------

    std::uint64_t size() const { return static_cast<std::uint64_t>(input_end_ - input_begin_); }

    bool fail(const char* at, std::string message) {
        if (!failed_) {
            failed_ = true;
            const char* clamped = std::clamp(at, begin_, end_);
            error_ = {base_ + static_cast<std::uint64_t>(clamped - begin_), render_path(),
                      std::move(message)};
        }
        return false;
    }

    // Path parts point into the input or into the tail copy being read.
    std::string render_path() const {
        const std::less_equal<const char*> before;
        return vorn_package::render_path(path_.parts(), [&](const char* key) {
            return before(begin_, key) && before(key, end_) ? end_ : input_end_;
        });
    }
    bool fail(Fault fault) { return fail(fault.at, std::move(fault.message)); }

    bool expected(const char* at, std::string_view what) {
        return fail(at, "expected " + std::string(what) + ", found " + describe(at, end_));
    }

    // The names met so far in the object being read at `depth`; nested objects each have
    // their own, so every object is checked for duplicates in one pass.
    NameSet& names_at(std::size_t depth) {
        if (depth >= name_sets_.size()) [[unlikely]] {
            name_sets_.resize(depth + 1);
        }
        return name_sets_[depth];
    }

    void push_key(const char* raw) { path_.push({raw, 0}); }
    void push_index() { path_.push({nullptr, 0}); }
    void pop() { path_.pop(); }

    // A syntax error that simdjson found inside a tile; `read_tile` turns it into a ReadError.
    bool broken(simdjson::error_code code) {
        simdjson_error_ = code;
        return false;
    }

    // -- byte-level layer ----------------------------------------------------------------------

    // Reads a member name at `p` (a quote) and leaves `p` past its closing quote.
    bool read_key_text(const char*& p, Key& key, bool check_text) {
        key.at = p;
        const char* body = ++p;
        const char* q = body;
        while (q != end_ && *q != '"' && *q != '\\' && static_cast<unsigned char>(*q) >= 0x20 &&
               static_cast<unsigned char>(*q) < 0x80) {
            ++q;
        }
        if (q != end_ && *q == '"') {
            key.raw = key.name = {body, static_cast<std::size_t>(q - body)};
            p = q + 1;
            return true;
        }
        key_buffer_.clear();
        if (auto fault = scan_string(p, end_, &key_buffer_, check_text)) {
            return fail(std::move(*fault));
        }
        key.raw = {body, static_cast<std::size_t>(p - body)};
        key.name = key_buffer_;
        ++p;
        return true;
    }

    // Checks that the value at `p` is well-formed JSON nested at `depth`; leaves `p` past it.
    bool check_value(const char*& p, std::size_t depth) {
        if (p == end_) {
            return fail(p, "unexpected end of input");
        }
        if (*p == '{' || *p == '[') {
            if (depth > kMaxDepth) {
                return fail(p, "nesting deeper than " + std::to_string(kMaxDepth) + " levels");
            }
            return *p == '{' ? check_object(p, depth) : check_array(p, depth);
        }
        if (*p == '"') {
            ++p;
            if (auto fault = scan_string(p, end_, nullptr, true)) {
                return fail(std::move(*fault));
            }
            ++p;
            return true;
        }
        const char* stop = token_end(p, end_);
        const std::string_view text(p, static_cast<std::size_t>(stop - p));
        if (text == "true" || text == "false" || text == "null" || is_json_number(text)) {
            p = stop;
            return true;
        }
        return expected(p, "a JSON value");
    }

    bool check_object(const char*& p, std::size_t depth) {
        p = skip_space(p + 1, end_);
        if (p != end_ && *p == '}') {
            ++p;
            return true;
        }
        NameSet& names = names_at(depth);
        names.clear();
        while (true) {
            p = skip_space(p, end_);
            if (p == end_ || *p != '"') {
                return expected(p, "a member name");
            }
            // The name is on the path before it is read, so that a fault in it names it.
            push_key(p + 1);
            Key key;
            if (!read_key_text(p, key, true)) {
                return false;
            }
            if (!names.insert(key.name)) {
                return duplicate(key);
            }
            pop();
            if (!expect_colon(p)) {
                return false;
            }
            push_key(key.raw.data());
            if (!check_value(p, depth + 1)) {
                return false;
            }
            pop();
            if (!next_member(p)) {
                return false;
            }
            if (p[-1] == '}') {
                return true;
            }
        }
    }

    bool check_array(const char*& p, std::size_t depth) {
        p = skip_space(p + 1, end_);
        if (p != end_ && *p == ']') {
            ++p;
            return true;
        }
        push_index();
        while (true) {
            p = skip_space(p, end_);
            if (!check_value(p, depth + 1)) {
                return false;
            }
            p = skip_space(p, end_);
            if (p != end_ && *p == ',') {
                ++p;
                ++path_.back().index;
                continue;
            }
            if (p != end_ && *p == ']') {
                ++p;
                pop();
                return true;
            }
            pop();
            return expected(p, "',' or ']' after an array element");
        }
    }

    // After a member name: skips the colon and the space around it.
    bool expect_colon(const char*& p) {
        p = skip_space(p, end_);
        if (p == end_ || *p != ':') {
            return expected(p, "':' after a member name");
        }
        p = skip_space(p + 1, end_);
        return true;
    }

    // After a member value: skips a ',' or the closing '}' (then `p[-1]` says which).
    bool next_member(const char*& p) {
        p = skip_space(p, end_);
        if (p != end_ && (*p == ',' || *p == '}')) {
            ++p;
            return true;
        }
        return expected(p, "',' or '}' after an object member");
    }

    bool read_document() {
        const char* p = skip_space(input_begin_, input_end_);
        if (p == end_) {
            return fail(p, "empty document");
        }
        if (*p != '{') {
            return expected(p, "an object");
        }
        const char* root = p;
        bool have_format = false;
        bool have_version = false;
        bool have_clock = false;
        bool have_tiles = false;
        NameSet& unknown = names_at(1);
        unknown.clear();
        p = skip_space(p + 1, end_);
        if (p != end_ && *p == '}') {
            ++p;
        } else {
            while (true) {
                p = skip_space(p, end_);
                if (p == end_ || *p != '"') {
                    return expected(p, "a member name");
                }
                push_key(p + 1);
                Key key;
                if (!read_key_text(p, key, true)) {
                    return false;
                }
                pop();
                if (!expect_colon(p)) {
                    return false;
                }
                push_key(key.raw.data());
                bool ok = false;
                if (key.name == "format") {
                    ok = !std::exchange(have_format, true) ? read_format(p) : duplicate(key);
                } else if (key.name == "version") {
                    ok = !std::exchange(have_version, true) ? read_version(p) : duplicate(key);
                } else if (key.name == "clock_hz") {
                    ok = !std::exchange(have_clock, true) ? read_clock(p) : duplicate(key);
                } else if (key.name == "tiles") {
                    ok = !std::exchange(have_tiles, true) ? read_tiles(p) : duplicate(key);
                } else {
                    ok = unknown.insert(key.name) ? check_value(p, 2) : duplicate(key);
                }
                if (!ok) {
                    return false;
                }
                pop();
                if (!next_member(p)) {
                    return false;
                }
                if (p[-1] == '}') {
                    break;
                }
            }
        }
        p = skip_space(p, end_);
        if (p != end_) {
            return fail(p, "unexpected content after the document");
        }
        if (!have_clock) {
            return fail(root, "missing required member \"clock_hz\"");
        }
        if (!have_tiles) {
            return fail(root, "missing required member \"tiles\"");
        }
        return true;
    }

    bool duplicate(const Key& key) {
        return fail(key.at, "duplicate member " + quote_text(key.name));
    }

    bool read_format(const char*& p) {
        if (p == end_ || *p != '"') {
            return expected(p, "the string \"vorn-profile\"");
        }
        const char* at = p;
        std::string value;
        ++p;
        if (auto fault = scan_string(p, end_, &value, true)) {
            return fail(std::move(*fault));
        }
        ++p;
        if (value != "vorn-profile") {
            return fail(at, "unknown format " + quote_text(value) + ", expected \"vorn-profile\"");
        }
        return true;
    }

    bool read_version(const char*& p) {
        const char* stop = token_end(p, end_);
        const std::string_view text(p, static_cast<std::size_t>(stop - p));
        std::uint64_t version = 0;
        if (parse_plain_unsigned(text, std::numeric_limits<std::uint64_t>::max(), version) &&
            version == 1) {
            p = stop;
            return true;
        }
        if (is_json_number(text)) {
            return fail(p, "unsupported version " + describe(p, end_));
        }
        return expected(p, "the integer 1");
    }

    bool read_clock(const char*& p) {
        const char* stop = token_end(p, end_);
        std::uint64_t value = 0;
        if (!parse_plain_unsigned({p, static_cast<std::size_t>(stop - p)},
                                  std::numeric_limits<std::uint64_t>::max(), value)) {
            return expected(p, "an unsigned 64-bit integer");
        }
        report_.clock_hz = value;
        p = stop;
        return true;
    }

    bool read_tiles(const char*& p) {
        if (p == end_ || *p != '[') {
            return expected(p, "an array of tiles");
        }
        p = skip_space(p + 1, end_);
        if (p != end_ && *p == ']') {
            ++p;
            return true;
        }
        push_index();
        while (true) {
            p = skip_space(p, end_);
            if (p == end_ || *p != '{') {
                return expected(p, "a tile object");
            }
            std::size_t samples_bound = 0;
            const char* close = find_container_end(p, end_, readable_end_, samples_bound);
            if (close == nullptr) {
                // Not balanced: the checker says where it goes wrong.
                const char* q = p;
                if (!check_value(q, kTileDepth)) {
                    return false;
                }
                return fail(p, "unterminated object");
            }
            TileProfile& tile = report_.tiles.emplace_back();
            // Counted in the input, not claimed by it, and capped by the size of the smallest
            // valid sample, so that the reservation stays within a few times the tile's size.
            tile.samples.reserve(
                std::min(samples_bound, static_cast<std::size_t>(close - p) / kSmallestSample));
            if (!read_tile(p, close, tile)) {
                return false;
            }
            p = skip_space(close + 1, end_);
            report_progress(p);
            if (p != end_ && *p == ',') {
                ++p;
                ++path_.back().index;
                continue;
            }
            if (p != end_ && *p == ']') {
                ++p;
                pop();
                return true;
            }
            return expected(p, "',' or ']' after a tile");
        }
    }

    void report_progress(const char* p) {
        const auto done = static_cast<std::uint64_t>(p - input_begin_);
        if (progress_ && done - last_progress_ >= kProgressStep) {
            last_progress_ = done;
            progress_(done, size());
        }
    }

    // -- one tile, through simdjson ------------------------------------------------------------

    bool read_tile(const char* open, const char* close, TileProfile& tile) {
        if (readable_end_ - (close + 1) >= static_cast<std::ptrdiff_t>(kPadding)) {
            return read_tile_in(open, close, readable_end_, tile);
        }
        // The rest of the input, padded; `begin_`, `end_` and `base_` follow it for a while.
        tail_.assign(open, input_end_);
        tail_.append(kPadding, '\0');
        begin_ = tail_.data();
        end_ = tail_.data() + (input_end_ - open);
        base_ = static_cast<std::uint64_t>(open - input_begin_);
        const bool ok = read_tile_in(begin_, begin_ + (close - open), end_ + kPadding, tile);
        begin_ = input_begin_;
        end_ = input_end_;
        base_ = 0;
        return ok;
    }

    bool read_tile_in(const char* open, const char* close, const char* readable_end,
                      TileProfile& tile) {
        const std::size_t base = path_.size();
        simdjson_error_ = simdjson::SUCCESS;
        const auto length = static_cast<std::size_t>(close + 1 - open);
        const auto capacity = static_cast<std::size_t>(readable_end - open);
        bool ok = false;
        ondemand::document document;
        if (auto error = parser_.iterate(open, length, capacity).get(document); error) {
            ok = broken(error);
        } else {
            ondemand::object object;
            if (auto error = document.get_object().get(object); error) {
                ok = broken(error);
            } else {
                ok = read_tile_members(object, open, tile);
                if (ok && document.current_location().error() != simdjson::OUT_OF_BOUNDS) {
                    ok = broken(simdjson::TRAILING_CONTENT);
                }
            }
        }
        if (ok || failed_) {
            return ok;
        }
        // simdjson stopped on malformed JSON; let the checker find and name the fault.
        path_.truncate(base);
        const char* p = open;
        if (!check_value(p, kTileDepth)) {
            return false;
        }
        path_.truncate(base);
        return fail(
            open, std::string("malformed tile (") + simdjson::error_message(simdjson_error_) + ")");
    }

    // Duplicate check for a member name the format does not define, then the value check.
    bool skip_unknown(const Key& key, ondemand::value& value, NameSet& names, std::size_t depth) {
        if (!names.insert(key.name)) {
            return duplicate(key);
        }
        const char* p = value.raw_json_token().data();
        return check_value(p, depth);
    }

    // Marks a known member as seen; a second one is an error.
    bool first_time(bool& seen, const MemberName& name) {
        if (!std::exchange(seen, true)) {
            return true;
        }
        const char* p = name.raw() - 1;
        Key key;
        return read_key_text(p, key, false) && duplicate(key);
    }

    bool missing(const char* object, std::string_view name) {
        return fail(object, "missing required member \"" + std::string(name) + "\"");
    }

    template <class ReadMember>
    bool for_each_member(ondemand::value& value, std::string_view what, std::size_t depth,
                         const char*& at, ReadMember&& read_member) {
        at = value.raw_json_token().data();
        if (*at != '{') {
            return expected(at, what);
        }
        ondemand::object object;
        if (auto error = value.get_object().get(object); error) {
            return broken(error);
        }
        return members(object, depth, read_member);
    }

    template <class ReadMember>
    bool members(ondemand::object& object, std::size_t depth, ReadMember& read_member) {
        NameSet& unknown = names_at(depth);
        unknown.clear();
        for (auto result : object) {
            ondemand::field field;
            if (auto error = std::move(result).get(field); error) {
                return broken(error);
            }
            MemberName name(field.key().raw());
            push_key(name.raw());
            ondemand::value& value = field.value();
            int known = read_member(name, value);
            if (known == 0) {
                const char* p = name.raw() - 1;
                Key key;
                if (!read_key_text(p, key, false)) {
                    return false;
                }
                if (key.name.data() != key.raw.data()) {
                    const std::string decoded(key.name);
                    name.set_decoded(&decoded);
                    known = read_member(name, value);
                }
                if (known == 0 && !skip_unknown(key, value, unknown, depth + 1)) {
                    return false;
                }
            }
            if (known < 0) {
                return false;
            }
            pop();
        }
        return true;
    }

    bool read_tile_members(ondemand::object& object, const char* at, TileProfile& tile) {
        bool have_physical = false;
        bool have_samples = false;
        auto member = [&](const MemberName& key, ondemand::value& value) -> int {
            if (key.is("physical_tile")) {
                return first_time(have_physical, key) && read_u32(value, tile.physical_tile) ? 1
                                                                                             : -1;
            }
            if (key.is("samples")) {
                return first_time(have_samples, key) && read_samples(value, tile) ? 1 : -1;
            }
            return 0;
        };
        if (!members(object, kTileDepth, member)) {
            return false;
        }
        if (!have_physical) {
            return missing(at, "physical_tile");
        }
        if (!have_samples) {
            return missing(at, "samples");
        }
        return true;
    }

    template <class ReadElement>
    bool for_each_element(ondemand::value& value, std::string_view what,
                          ReadElement&& read_element) {
        const char* at = value.raw_json_token().data();
        if (*at != '[') {
            return expected(at, what);
        }
        ondemand::array array;
        if (auto error = value.get_array().get(array); error) {
            return broken(error);
        }
        push_index();
        for (auto result : array) {
            ondemand::value element;
            if (auto error = std::move(result).get(element); error) {
                return broken(error);
            }
            if (!read_element(element)) {
                return false;
            }
            ++path_.back().index;
        }
        pop();
        return true;
    }

    bool read_samples(ondemand::value& value, TileProfile& tile) {
        auto& samples = tile.samples;
        const bool ok = for_each_element(
            value, "an array of samples",
            [&](ondemand::value& element) { return read_sample(element, samples.emplace_back()); });
        if (ok && samples.capacity() - samples.size() > samples.size() / 8) {
            samples.shrink_to_fit();
        }
        return ok;
    }

    bool read_sample(ondemand::value& value, CycleSample& sample) {
        bool have_start = false;
        bool have_end = false;
        bool have_step = false;
        auto member = [&](const MemberName& key, ondemand::value& member_value) -> int {
            if (key.is("start_cycle")) {
                return first_time(have_start, key) && read_u32(member_value, sample.start_cycle)
                           ? 1
                           : -1;
            }
            if (key.is("end_cycle")) {
                return first_time(have_end, key) && read_u32(member_value, sample.end_cycle) ? 1
                                                                                             : -1;
            }
            if (key.is("step")) {
                return first_time(have_step, key) && read_step(member_value, sample.step) ? 1 : -1;
            }
            return 0;
        };
        const char* at = nullptr;
        if (!for_each_member(value, "a sample object", kTileDepth + 2, at, member)) {
            return false;
        }
        if (!have_start) {
            return missing(at, "start_cycle");
        }
        if (!have_end) {
            return missing(at, "end_cycle");
        }
        if (!have_step) {
            return missing(at, "step");
        }
        return true;
    }

    bool read_step(ondemand::value& value, ProfileStep& step) {
        bool have_local = false;
        bool have_phase = false;
        bool have_epoch = false;
        bool have_operation = false;
        bool have_kind = false;
        bool have_kernel = false;
        bool have_metadata = false;
        auto member = [&](const MemberName& key, ondemand::value& member_value) -> int {
            bool ok = false;
            if (key.is("local_index")) {
                ok = first_time(have_local, key) && read_u32(member_value, step.local_index);
            } else if (key.is("phase")) {
                ok = first_time(have_phase, key) && read_u32(member_value, step.phase);
            } else if (key.is("epoch")) {
                ok = first_time(have_epoch, key) && read_u32(member_value, step.epoch);
            } else if (key.is("operation")) {
                ok = first_time(have_operation, key) && read_string(member_value, step.operation);
            } else if (key.is("kind")) {
                ok = first_time(have_kind, key) && read_kind(member_value, step.kind);
            } else if (key.is("kernel")) {
                ok = first_time(have_kernel, key) && read_string(member_value, step.kernel);
            } else if (key.is("metadata")) {
                ok = first_time(have_metadata, key) && read_metadata(member_value, step.metadata);
            } else {
                return 0;
            }
            return ok ? 1 : -1;
        };
        const char* at = nullptr;
        if (!for_each_member(value, "a step object", kTileDepth + 3, at, member)) {
            return false;
        }
        if (!have_phase) {
            return missing(at, "phase");
        }
        if (!have_operation) {
            return missing(at, "operation");
        }
        if (!have_kind) {
            return missing(at, "kind");
        }
        return true;
    }

    bool read_metadata(ondemand::value& value, std::vector<ProfileMetadata>& metadata) {
        // Entries are gathered in a reused buffer so that the step's vector is allocated once,
        // at its final size.
        metadata_buffer_.clear();
        const bool ok =
            for_each_element(value, "an array of metadata entries", [&](ondemand::value& element) {
                ProfileMetadata& entry = metadata_buffer_.emplace_back();
                bool have_name = false;
                bool have_value = false;
                auto member = [&](const MemberName& key, ondemand::value& member_value) -> int {
                    if (key.is("name")) {
                        return first_time(have_name, key) && read_string(member_value, entry.name)
                                   ? 1
                                   : -1;
                    }
                    if (key.is("value")) {
                        return first_time(have_value, key) && read_string(member_value, entry.value)
                                   ? 1
                                   : -1;
                    }
                    return 0;
                };
                const char* at = nullptr;
                if (!for_each_member(element, "a metadata object", kTileDepth + 5, at, member)) {
                    return false;
                }
                if (!have_name) {
                    return missing(at, "name");
                }
                return have_value || missing(at, "value");
            });
        if (ok) {
            metadata.assign(std::make_move_iterator(metadata_buffer_.begin()),
                            std::make_move_iterator(metadata_buffer_.end()));
        }
        metadata_buffer_.clear();
        return ok;
    }

    bool read_u32(ondemand::value& value, std::uint32_t& out) {
        const std::string_view token = trim_space(value.raw_json_token());
        std::uint64_t number = 0;
        if (!parse_plain_unsigned(token, std::numeric_limits<std::uint32_t>::max(), number)) {
            return expected(token.data(), "an unsigned 32-bit integer");
        }
        out = static_cast<std::uint32_t>(number);
        return true;
    }

    // The decoded text of a string value: a view of the input when it holds no escapes,
    // otherwise of `string_buffer_`.
    bool read_string_view(ondemand::value& value, std::string_view& out) {
        const std::string_view token = trim_space(value.raw_json_token());
        if (token.size() < 2 || token.front() != '"' || token.back() != '"') {
            return token.empty() || token.front() != '"' ? expected(token.data(), "a string")
                                                         : broken(simdjson::STRING_ERROR);
        }
        const std::string_view body = token.substr(1, token.size() - 2);
        // Most strings are short; a plain loop beats a call to memchr here.
        if (std::find(body.begin(), body.end(), '\\') == body.end()) {
            out = body;
            return true;
        }
        string_buffer_.clear();
        const char* p = body.data();
        if (auto fault = scan_string(p, end_, &string_buffer_, false)) {
            return fail(std::move(*fault));
        }
        if (p != body.data() + body.size()) {
            return broken(simdjson::STRING_ERROR);
        }
        out = string_buffer_;
        return true;
    }

    bool read_string(ondemand::value& value, std::string& out) {
        std::string_view text;
        if (!read_string_view(value, text)) {
            return false;
        }
        out.assign(text);
        return true;
    }

    bool read_kind(ondemand::value& value, ProfileStepKind& kind) {
        const char* at = value.raw_json_token().data();
        std::string_view text;
        if (!read_string_view(value, text)) {
            return false;
        }
        if (text == "exchange") {
            kind = ProfileStepKind::Exchange;
        } else if (text == "compute") {
            kind = ProfileStepKind::Compute;
        } else if (text == "synchronization") {
            kind = ProfileStepKind::Synchronization;
        } else if (text == "idle") {
            kind = ProfileStepKind::Idle;
        } else {
            return fail(at, "unknown kind " + quote_text(text) +
                                ", expected \"exchange\", \"compute\", \"synchronization\" or "
                                "\"idle\"");
        }
        return true;
    }

    const char* input_begin_;
    const char* input_end_;
    const char* readable_end_;
    // The text being read: the input, or `tail_` for a tile near its end.
    const char* begin_;
    const char* end_;
    std::uint64_t base_ = 0;  // offset of `begin_` in the input
    std::string tail_;
    const ReadProgress& progress_;
    std::uint64_t last_progress_ = 0;

    ProfileReport report_;
    bool failed_ = false;
    ReadError error_;
    simdjson::error_code simdjson_error_ = simdjson::SUCCESS;
    PathStack path_;

    ondemand::parser parser_;
    // By the depth of the object, for its unknown members; a deque, so that growing it keeps
    // the sets of the enclosing objects in place.
    std::deque<NameSet> name_sets_;
    std::vector<ProfileMetadata> metadata_buffer_;
    std::string key_buffer_;
    std::string string_buffer_;
};

// ---------------------------------------------------------------------------------------------
// Input buffers

// File contents followed by simdjson's padding, read in place. Memory comes from operator new,
// like simdjson's own buffers, so that heap accounting sees it.
class PaddedBuffer {
public:
    // Room for `bytes` more before the padding; false if memory ran out.
    bool reserve_more(std::size_t bytes) {
        if (data_ != nullptr && capacity_ - size_ >= bytes) {
            return true;
        }
        if (bytes > std::numeric_limits<std::size_t>::max() / 2 - size_ - kPadding) {
            return false;
        }
        const std::size_t wanted = std::max(size_ + bytes, capacity_ + capacity_ / 2);
        std::unique_ptr<char[]> grown(new (std::nothrow) char[wanted + kPadding]);
        if (grown == nullptr) {
            return false;
        }
        if (size_ != 0) {
            std::memcpy(grown.get(), data_.get(), size_);
        }
        data_ = std::move(grown);
        capacity_ = wanted;
        return true;
    }

    char* tail() { return data_.get() + size_; }
    std::size_t room() const { return capacity_ - size_; }
    void grow(std::size_t bytes) { size_ += bytes; }

    // The contents, with the padding cleared; nullptr if memory ran out.
    const char* begin() {
        if (!reserve_more(0)) {
            return nullptr;
        }
        std::memset(data_.get() + size_, 0, kPadding);
        return data_.get();
    }
    const char* end() const { return data_.get() + size_; }

private:
    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

ReadError system_error(const char* action, int code) {
    return {0, "",
            std::string("cannot ") + action + ": " +
                std::error_code(code, std::generic_category()).message()};
}

}  // namespace

std::string to_string(const ReadError& error) {
    std::string out = "at byte " + std::to_string(error.offset);
    if (!error.path.empty()) {
        out += " (" + error.path + ")";
    }
    out += ": ";
    out += error.message;
    return out;
}

Result<ProfileReport, ReadError> read_profile_json(std::string_view text,
                                                   const ReadProgress& progress) {
    // Read in place: only a tile that ends too near the end of `text` is copied.
    const char* end = text.data() + text.size();
    return Reader(text.data(), end, end, progress).run();
}

Result<ProfileReport, ReadError> read_profile_json_file(const std::string& path,
                                                        const ReadProgress& progress) {
    const bool standard_input = path == "-";
    const int fd = standard_input ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return Unexpected<ReadError>{system_error("open", errno)};
    }
    struct FdCloser {
        int fd;
        bool owned;
        ~FdCloser() {
            if (owned) {
                ::close(fd);
            }
        }
    } closer{fd, !standard_input};

    PaddedBuffer buffer;
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0 &&
        !buffer.reserve_more(static_cast<std::size_t>(status.st_size))) {
        return Unexpected<ReadError>{{0, "", "out of memory"}};
    }
    // Reads straight into the buffer; when it is full (a regular file read to its size), a
    // small side chunk detects the end without growing a large buffer for nothing.
    std::vector<char> chunk(64 * 1024);
    while (true) {
        const bool full = buffer.room() == 0;
        char* into = full ? chunk.data() : buffer.tail();
        const ssize_t got = ::read(fd, into, full ? chunk.size() : buffer.room());
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Unexpected<ReadError>{system_error("read", errno)};
        }
        if (got == 0) {
            break;
        }
        const auto bytes = static_cast<std::size_t>(got);
        if (full) {
            if (!buffer.reserve_more(bytes)) {
                return Unexpected<ReadError>{{0, "", "out of memory"}};
            }
            std::memcpy(buffer.tail(), chunk.data(), bytes);
        }
        buffer.grow(bytes);
    }
    const char* begin = buffer.begin();
    if (begin == nullptr) {
        return Unexpected<ReadError>{{0, "", "out of memory"}};
    }
    return Reader(begin, buffer.end(), buffer.end() + kPadding, progress).run();
}

}  // namespace vorn_package
