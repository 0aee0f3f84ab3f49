// Running the same work over many indexes on a few threads that live only for the call. Each
// thread takes the next index not yet taken, so uneven pieces still keep every thread busy.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace vorn_package {

/// Calls `work(i)` for every `i` below `count`, on up to `threads` threads (the caller's
/// among them; 0 counts as 1). An exception (out of memory) is given back to the caller once
/// every thread has stopped.
template <class Work>
void parallel_for(std::size_t count, std::size_t threads, Work work) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::atomic_flag error_taken;
    const auto run = [&] {
        for (std::size_t i = next++; i < count && !failed; i = next++) {
            try {
                work(i);
            } catch (...) {
                failed = true;
                if (!error_taken.test_and_set()) {
                    error = std::current_exception();
                }
            }
        }
    };
    {
        std::vector<std::jthread> helpers;
        const std::size_t extra = std::min(std::max<std::size_t>(threads, 1), count) - 1;
        helpers.reserve(extra);
        for (std::size_t k = 0; k < extra; ++k) {
            helpers.emplace_back(run);
        }
        run();
    }
    if (error) {
        std::rethrow_exception(error);
    }
}

}  // namespace vorn_package
