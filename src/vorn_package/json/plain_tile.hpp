// A quick reader for tiles written the usual way: members in the order the format lists them,
// every member present, plain ASCII texts without escapes, numbers as plain digits, 16 MiB at
// most. A tile that departs from that in any way is left to the general tile parser, which reads
// it from the start (nothing reaches the sink until the whole tile has been read), so every
// fault is reported by the general parser alone.
#pragma once

#include <cstddef>
#include <vector>

#include "vorn_package/json/sink.hpp"

namespace vorn_package::json {

class PlainTileReader {
public:
    /// Reads the tile object from `open` to its closing brace `close` into `sink` and returns
    /// true, or returns false without touching `sink` when the tile is not written the usual way.
    bool read(const char* open, const char* close, ProfileSink& sink);

private:
    std::vector<SampleFields> samples_;
    std::vector<MetadataText> metadata_;
    std::vector<std::size_t> metadata_begin_;  // per sample, where its entries start
};

}  // namespace vorn_package::json
