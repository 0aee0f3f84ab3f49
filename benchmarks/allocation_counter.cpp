// Replaces the global operator new and delete with counting versions. Each block carries its
// size in a header, so that the unsized delete can subtract it.
#include "allocation_counter.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace vorn_bench {
namespace {

std::atomic<std::size_t> g_live{0};
std::atomic<std::size_t> g_peak{0};
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* allocate(std::size_t size) {
    void* block = std::malloc(size + kHeader);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    *static_cast<std::size_t*>(block) = size;
    const std::size_t live = g_live.fetch_add(size, std::memory_order_relaxed) + size;
    std::size_t peak = g_peak.load(std::memory_order_relaxed);
    while (live > peak && !g_peak.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
    }
    return static_cast<char*>(block) + kHeader;
}

void release(void* pointer) {
    if (pointer == nullptr) {
        return;
    }
    char* block = static_cast<char*>(pointer) - kHeader;
    g_live.fetch_sub(*reinterpret_cast<std::size_t*>(block), std::memory_order_relaxed);
    std::free(block);
}

}  // namespace

std::size_t live_bytes() { return g_live.load(std::memory_order_relaxed); }
std::size_t peak_bytes() { return g_peak.load(std::memory_order_relaxed); }
void reset_peak() {
    g_peak.store(g_live.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

}  // namespace vorn_bench

void* operator new(std::size_t size) { return vorn_bench::allocate(size); }
void* operator new[](std::size_t size) { return vorn_bench::allocate(size); }
void operator delete(void* pointer) noexcept { vorn_bench::release(pointer); }
void operator delete[](void* pointer) noexcept { vorn_bench::release(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { vorn_bench::release(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { vorn_bench::release(pointer); }
