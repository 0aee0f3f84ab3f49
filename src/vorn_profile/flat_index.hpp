// An open-addressing hash index for the walk's per-sample lookups.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace vorn_profile::detail {

/// Maps 64-bit hashes to positions in a list that the caller keeps. Linear probing, at most
/// half full; items are never removed. An entry is 8 bytes: the position and the low half of
/// the hash, which picks the bucket and, compared first, spares the caller's comparison (and
/// the cache miss of reaching the item) for nearly every other entry met on the way.
class FlatIndex {
public:
    static constexpr std::uint32_t kNone = UINT32_MAX;

    /// The position of the item whose hash is `hash` and for which `same(position)` holds; when
    /// there is none, records `next` (the position the caller will give the new item) and
    /// returns it with `true`.
    template <class Same>
    std::pair<std::uint32_t, bool> find_or_add(std::uint64_t hash, std::uint32_t next, Same same) {
        if (entries_.empty()) {
            entries_.resize(kInitialCapacity);
        }
        const auto tag = static_cast<std::uint32_t>(hash);
        const std::size_t mask = entries_.size() - 1;
        for (std::size_t at = tag & mask;; at = (at + 1) & mask) {
            Entry& entry = entries_[at];
            if (entry.position == kNone) {
                entry = {tag, next};
                if (2 * ++size_ > entries_.size()) {
                    grow();
                }
                return {next, true};
            }
            if (entry.tag == tag && same(entry.position)) {
                return {entry.position, false};
            }
        }
    }

    /// Asks for the bucket of `hash` to be brought into the cache ahead of its look-up.
    void prefetch(std::uint64_t hash) const {
        if (!entries_.empty()) {
            __builtin_prefetch(&entries_[static_cast<std::uint32_t>(hash) & (entries_.size() - 1)]);
        }
    }

    std::size_t size() const { return size_; }

    /// Spreads the bits of a 64-bit key over all bits (the finaliser of MurmurHash3), so that
    /// keys differing only in their high half still fall into different low slots.
    static std::uint64_t mix(std::uint64_t key) {
        key ^= key >> 33;
        key *= 0xff51afd7ed558ccdULL;
        key ^= key >> 33;
        key *= 0xc4ceb9fe1a85ec53ULL;
        key ^= key >> 33;
        return key;
    }

private:
    static constexpr std::size_t kInitialCapacity = 8;

    struct Entry {
        std::uint32_t tag = 0;
        std::uint32_t position = kNone;
    };

    /// Doubles the table; the tags place the entries again without reaching the items.
    void grow() {
        std::vector<Entry> old(entries_.size() * 2);
        old.swap(entries_);
        const std::size_t mask = entries_.size() - 1;
        for (const Entry& entry : old) {
            if (entry.position == kNone) {
                continue;
            }
            std::size_t at = entry.tag & mask;
            while (entries_[at].position != kNone) {
                at = (at + 1) & mask;
            }
            entries_[at] = entry;
        }
    }

    std::vector<Entry> entries_;
    std::size_t size_ = 0;
};

}  // namespace vorn_profile::detail
