// Profiles crafted against hash tables: their steps, or their texts, all share one hash value
// under a fixed, unseeded hash, so that a check of distinctness that puts them in such a table
// walks one chain for every insertion. Used by the packed reader's tests and its benchmark of
// opening files, which must open these in time proportional to their size.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "vorn_package/profile_columns.hpp"

namespace vorn_package::colliding {

/// The arrays of a profile without samples, and the columns over them.
struct Owned {
    std::vector<std::uint64_t> tile_sample_begin{0};
    std::vector<ProfileStepKind> step_kind;
    std::vector<std::uint32_t> step_kernel;
    std::vector<std::uint32_t> step_operation;
    std::vector<std::uint64_t> step_metadata_begin{0};
    std::vector<MetadataPair> metadata;
    std::vector<std::uint64_t> text_begin{0};
    std::vector<char> text_bytes;

    void add_text(const std::string& text) {
        text_bytes.insert(text_bytes.end(), text.begin(), text.end());
        text_begin.push_back(text_bytes.size());
    }
};

inline ProfileColumns columns_of(std::shared_ptr<Owned> owned) {
    ProfileColumns c;
    c.tile_sample_begin = owned->tile_sample_begin;
    c.step_kind = owned->step_kind;
    c.step_kernel = owned->step_kernel;
    c.step_operation = owned->step_operation;
    c.step_metadata_begin = owned->step_metadata_begin;
    c.metadata = owned->metadata;
    c.text_begin = owned->text_begin;
    c.text_bytes = owned->text_bytes;
    c.storage = std::move(owned);
    return c;
}

/// The most steps `steps` makes.
inline constexpr std::uint32_t kMaxSteps = 132 * 132 * 4;

/// `count` distinct steps (at most `kMaxSteps`) that all hash alike under
///     h = ((kernel << 32 | operation) * 31 + kind), then h = (h ^ (name << 32 | value)) * odd
/// for each metadata entry: with 4096 texts, kernel k, operation o and kind d,
/// 31k << 32 | (31o + d) differs from one constant only in its low 12 bits of each half, and
/// the step's one metadata entry (name, value) is those bits, so the xor gives the constant.
inline ProfileColumns steps(std::uint32_t count) {
    constexpr std::uint32_t kTexts = 4096;  // 12 bits
    auto owned = std::make_shared<Owned>();
    for (std::uint32_t t = 0; t < kTexts; ++t) {
        owned->add_text(std::to_string(t));
    }
    // 31k in [4096, 8192): k in [133, 264]; the same for 31o + d.
    std::uint32_t made = 0;
    for (std::uint32_t k = 133; k <= 264 && made < count; ++k) {
        for (std::uint32_t o = 133; o <= 264 && made < count; ++o) {
            for (std::uint32_t d = 0; d < 4 && made < count; ++d, ++made) {
                owned->step_kind.push_back(static_cast<ProfileStepKind>(d));
                owned->step_kernel.push_back(k);
                owned->step_operation.push_back(o);
                owned->metadata.push_back({(31 * k) % kTexts, (31 * o + d) % kTexts});
                owned->step_metadata_begin.push_back(owned->metadata.size());
            }
        }
    }
    return columns_of(std::move(owned));
}

/// `count` distinct 16-byte ASCII texts that share one value of the standard library's
/// std::hash<std::string_view> (GNU libstdc++: MurmurHash64A-like, 8-byte blocks, fixed seed).
/// Each block b enters the state as h = (h ^ g(b)) * m, with g invertible; the second block
/// is worked back from the state the first one leaves, and kept when it comes out ASCII.
inline ProfileColumns texts(std::uint32_t count) {
    constexpr std::uint64_t kMul = 0xc6a4a7935bd1e995ULL;
    constexpr std::uint64_t kSeed = 0xc70f6907ULL;
    std::uint64_t inverse = kMul;  // Newton's iteration for the inverse modulo 2^64
    for (int i = 0; i < 6; ++i) {
        inverse *= 2 - kMul * inverse;
    }
    const auto shift_mix = [](std::uint64_t v) { return v ^ (v >> 47); };
    const auto block = [&](std::uint64_t v) { return shift_mix(v * kMul) * kMul; };
    const auto unblock = [&](std::uint64_t v) { return shift_mix(v * inverse) * inverse; };
    const std::uint64_t start = kSeed ^ (16 * kMul);
    constexpr std::uint64_t kTarget = 0x0123456789abcdefULL;

    auto owned = std::make_shared<Owned>();
    for (std::uint64_t n = 0; owned->text_begin.size() <= count; ++n) {
        std::uint64_t first = 0;
        for (int i = 0; i < 8; ++i) {
            first |= (0x30 + ((n >> (6 * i)) & 63)) << (8 * i);  // printable ASCII
        }
        const std::uint64_t second = unblock(kTarget ^ ((start ^ block(first)) * kMul));
        if ((second & 0x8080808080808080ULL) != 0) {
            continue;
        }
        char text[16];
        std::memcpy(text, &first, 8);
        std::memcpy(text + 8, &second, 8);
        owned->add_text(std::string(text, 16));
    }
    return columns_of(std::move(owned));
}

}  // namespace vorn_package::colliding
