// The outer scan: walks the root object and the `tiles` array byte by byte. Each tile object is
// located with the bracket scan and handed whole to a tile parser as a document of its own, so
// the structural index simdjson builds covers one tile at a time instead of the whole file (on
// a large profile that index alone would be more than half the size of the file).
#pragma once

#include <memory>

#include "vorn_package/json/cursor.hpp"
#include "vorn_package/json/input.hpp"
#include "vorn_package/json/sink.hpp"
#include "vorn_package/json/tile_parser.hpp"
#include "vorn_package/profile_json.hpp"

namespace vorn_package::json {

class DocumentReader {
public:
    DocumentReader(Input& input, ProfileSink& sink, const ReadProgress& progress);

    /// Reads the whole document into the sink; on false, `take_error` says why.
    bool run();
    ReadError take_error() { return cursor_.take_error(); }

private:
    bool read_document();
    bool read_format(const char*& p);
    bool read_version(const char*& p);
    bool read_clock(const char*& p);
    bool read_tiles(const char*& p);
    bool read_tile(const char* open, const char* close);
    void report_progress(const char* p);

    Input& input_;
    Cursor cursor_;
    ProfileSink& sink_;
    const ReadProgress& progress_;
    std::uint64_t last_progress_ = 0;
    std::unique_ptr<TileParser> parser_;
};

}  // namespace vorn_package::json
