// The bracket scan: where the object or array opening at a byte closes, found 64 bytes at a time
// with bit masks. Strings and escapes are followed; nothing is validated.
#pragma once

#include <cstddef>

namespace vorn_package::json {

/// Bytes the scan may read past what it scans, in whole blocks.
constexpr std::size_t kScanBlock = 64;

// The matching close of the container opening at `p`, or nullptr if it does not close before
// `end`. Whole blocks are read where `readable_end` allows, the last one from a copy.
// `grandchildren` counts the containers two levels in: for a tile, its samples (plus any containers
// held by members the format does not name), so an upper bound that costs nothing to take.
const char* find_container_end(const char* p, const char* end, const char* readable_end,
                               std::size_t& grandchildren);

}  // namespace vorn_package::json
