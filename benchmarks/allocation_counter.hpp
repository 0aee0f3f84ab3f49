// Counts the bytes the process holds on the heap, so that a benchmark can report how much
// memory one operation needs beyond its input.
#pragma once

#include <cstddef>

namespace vorn_bench {

/// Bytes currently allocated through operator new.
std::size_t live_bytes();
/// The largest `live_bytes` since the last `reset_peak`.
std::size_t peak_bytes();
void reset_peak();

}  // namespace vorn_bench
