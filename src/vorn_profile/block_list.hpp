// A list that grows by fixed blocks: appending never moves what is there, and memory is
// touched once, where a doubling vector copies everything on each growth and briefly holds
// both copies. A block's elements are made only as they are appended, so that a list of a few
// elements touches a few bytes of its first block, not all of it.
#pragma once

#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

namespace vorn_profile::detail {

template <class T>
class BlockList {
public:
    BlockList() = default;
    BlockList(const BlockList&) = delete;
    BlockList& operator=(const BlockList&) = delete;
    BlockList(BlockList&& other) noexcept
        : blocks_(std::move(other.blocks_)), size_(std::exchange(other.size_, 0)) {}
    BlockList& operator=(BlockList&& other) noexcept {
        if (this != &other) {
            clear();
            blocks_ = std::move(other.blocks_);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    ~BlockList() { clear(); }

    T& operator[](std::uint32_t at) { return blocks_[at >> kShift][at & kMask]; }
    const T& operator[](std::uint32_t at) const { return blocks_[at >> kShift][at & kMask]; }

    std::uint32_t size() const { return size_; }

    T& push_back(T value) {
        if ((size_ & kMask) == 0 && (size_ >> kShift) == blocks_.size()) {
            blocks_.push_back(std::allocator<T>().allocate(kBlock));
        }
        T* slot = std::construct_at(&blocks_[size_ >> kShift][size_ & kMask], std::move(value));
        size_ += 1;
        return *slot;
    }

    /// Forgets every element, keeping the blocks for the next ones.
    void forget() {
        destroy_elements();
        size_ = 0;
    }

    void clear() {
        destroy_elements();
        for (T* block : blocks_) {
            std::allocator<T>().deallocate(block, kBlock);
        }
        blocks_.clear();
        blocks_.shrink_to_fit();
        size_ = 0;
    }

private:
    static constexpr std::uint32_t kShift = 14;
    static constexpr std::uint32_t kBlock = std::uint32_t{1} << kShift;
    static constexpr std::uint32_t kMask = kBlock - 1;

    void destroy_elements() {
        if constexpr (!std::is_trivially_destructible_v<T>) {
            for (std::uint32_t at = 0; at < size_; ++at) {
                std::destroy_at(&(*this)[at]);
            }
        }
    }

    std::vector<T*> blocks_;
    std::uint32_t size_ = 0;
};

}  // namespace vorn_profile::detail
