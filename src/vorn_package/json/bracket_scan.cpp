// The bracket scan.
#include "vorn_package/json/bracket_scan.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorn_package::json {
namespace {

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

}  // namespace

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

}  // namespace vorn_package::json
