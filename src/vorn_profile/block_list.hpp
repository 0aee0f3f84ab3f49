// A list that grows by fixed blocks: appending never moves what is there, and memory is
// touched once, where a doubling vector copies everything on each growth and briefly holds
// both copies.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace vorn_profile::detail {

template <class T>
class BlockList {
public:
    T& operator[](std::uint32_t at) { return blocks_[at >> kShift][at & kMask]; }
    const T& operator[](std::uint32_t at) const { return blocks_[at >> kShift][at & kMask]; }

    std::uint32_t size() const { return size_; }

    T& push_back(T value) {
        if ((size_ & kMask) == 0 && (size_ >> kShift) == blocks_.size()) {
            blocks_.push_back(std::make_unique_for_overwrite<T[]>(kBlock));
        }
        T& slot = blocks_[size_ >> kShift][size_ & kMask];
        slot = std::move(value);
        size_ += 1;
        return slot;
    }

    /// Forgets every element, keeping the blocks for the next ones.
    void forget() { size_ = 0; }

    void clear() {
        blocks_.clear();
        blocks_.shrink_to_fit();
        size_ = 0;
    }

private:
    static constexpr std::uint32_t kShift = 14;
    static constexpr std::uint32_t kBlock = std::uint32_t{1} << kShift;
    static constexpr std::uint32_t kMask = kBlock - 1;

    std::vector<std::unique_ptr<T[]>> blocks_;
    std::uint32_t size_ = 0;
};

}  // namespace vorn_profile::detail
