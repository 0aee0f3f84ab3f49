// The outer scan: walks the root object and the `tiles` array byte by byte. Each tile object is
// located with the bracket scan and handed whole to a tile parser as a document of its own, so
// the structural index simdjson builds covers one tile at a time instead of the whole file (on
// a large profile that index alone would be more than half the size of the file).
//
// With several threads and an input that is loaded whole, the scan only locates the tiles, a
// window of them at a time, and runs of consecutive tiles are parsed on the threads into sinks of
// their own, then handed to the sink in file order (json/tile_pieces.cpp). The outcome, and the
// first error in file order, are the same for every number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "vorn_package/json/cursor.hpp"
#include "vorn_package/json/input.hpp"
#include "vorn_package/json/sink.hpp"
#include "vorn_package/json/tile_parser.hpp"
#include "vorn_package/profile_json.hpp"

namespace vorn_package::json {

/// A tile object located by the outer scan.
struct TileSpan {
    const char* open = nullptr;
    const char* close = nullptr;   ///< its closing brace
    std::size_t sample_bound = 0;  ///< for `ProfileSink::begin_tile`
    std::uint64_t index = 0;       ///< in the `tiles` array
};

class DocumentReader {
public:
    /// Tiles are parsed on up to `threads` threads when the input is loaded whole and the sink
    /// makes pieces; otherwise on the calling thread.
    DocumentReader(Input& input, ProfileSink& sink, const ReadProgress& progress,
                   std::size_t threads = 1);

    /// Reads the whole document into the sink; on false, `take_error` says why.
    bool run();
    ReadError take_error() {
        return piece_error_ ? *std::move(piece_error_) : cursor_.take_error();
    }

private:
    enum class Next { Tile, End, Failed };

    bool read_document();
    bool read_format(const char*& p);
    bool read_version(const char*& p);
    bool read_clock(const char*& p);
    bool read_tiles(const char*& p, std::string_view key);
    /// Locates the tile object that starts at or after `p` and leaves `p` at it.
    bool scan_tile(const char*& p, TileSpan& tile);
    /// After the tile closing at `close`: a ',' (another tile follows) or the closing ']'.
    Next next_tile(const char*& p, const char* close);
    /// The tiles parsed on several threads; `key` is the `tiles` member's name as written.
    bool read_tiles_in_pieces(const char*& p, std::string_view key);
    void report_progress(const char* p);

    Input& input_;
    Cursor cursor_;
    ProfileSink& sink_;
    const ReadProgress& progress_;
    std::size_t threads_;
    std::uint64_t last_progress_ = 0;
    std::unique_ptr<TileParser> parser_;
    // The first error of a tile parsed on another thread; it comes before any error of the
    // scan, which has gone further.
    std::optional<ReadError> piece_error_;
};

}  // namespace vorn_package::json
