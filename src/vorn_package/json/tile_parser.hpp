// Reading one tile object with simdjson's On-Demand parser. The parser is compiled once per
// simdjson kernel (AVX2 and portable); `make_tile_parser` picks the one this machine runs.
#pragma once

#include <memory>
#include <string_view>

#include "vorn_package/json/cursor.hpp"
#include "vorn_package/json/plain_tile.hpp"
#include "vorn_package/json/sink.hpp"

namespace vorn_package::json {

class TileParser {
public:
    virtual ~TileParser() = default;
    /// Reads the tile object from `open` to its closing brace `close` into `sink`. Memory is
    /// readable up to `cursor.readable_end()`, at least `kPadding` bytes past `close`.
    virtual bool read(Cursor& cursor, const char* open, const char* close, ProfileSink& sink) = 0;

    /// Tried first: most tiles are written the usual way, and read much faster by it.
    PlainTileReader plain_tiles;
};

/// Reads the tile object from `open` to `close` with `parser`, or with its plain-tile reader
/// when the tile is written the usual way. A tile that ends too near the end
/// of readable memory for simdjson is read from a padded copy of the input's tail.
bool read_tile(Cursor& cursor, TileParser& parser, const char* open, const char* close,
               ProfileSink& sink);

/// The parser of the fastest kernel that the machine runs and simdjson has chosen.
std::unique_ptr<TileParser> make_tile_parser();

/// The name of that kernel: "haswell" (AVX2) or "fallback".
std::string_view tile_parser_kernel();

}  // namespace vorn_package::json
