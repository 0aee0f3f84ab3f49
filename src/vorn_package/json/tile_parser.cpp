// Picks the tile parser of the kernel that simdjson runs on this machine.
#include "vorn_package/json/tile_parser.hpp"

#include <simdjson.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "vorn_package/profile_json.hpp"

namespace vorn_package::json {

namespace fallback {
std::unique_ptr<TileParser> make_tile_parser();
}
#if VORN_JSON_HASWELL
namespace haswell {
std::unique_ptr<TileParser> make_tile_parser();
}
#endif

namespace {

// simdjson chooses its kernel from the CPU's features (or SIMDJSON_FORCE_IMPLEMENTATION); a
// machine that runs the AVX-512 kernel runs the AVX2 one too.
bool use_haswell() {
#if VORN_JSON_HASWELL
    static const bool chosen = [] {
        const std::string& name = simdjson::get_active_implementation()->name();
        return name == "haswell" || name == "icelake";
    }();
    return chosen;
#else
    return false;
#endif
}

}  // namespace

bool read_tile(Cursor& cursor, TileParser& parser, const char* open, const char* close,
               ProfileSink& sink) {
    if (parser.plain_tiles.read(open, close, sink)) {
        return true;
    }
    if (cursor.readable_end() - (close + 1) >= static_cast<std::ptrdiff_t>(kPadding)) {
        return parser.read(cursor, open, close, sink);
    }
    cursor.read_copy(open);
    const bool ok = parser.read(cursor, cursor.begin(), cursor.begin() + (close - open), sink);
    cursor.read_input();
    return ok;
}

std::unique_ptr<TileParser> make_tile_parser() {
#if VORN_JSON_HASWELL
    if (use_haswell()) {
        return haswell::make_tile_parser();
    }
#endif
    return fallback::make_tile_parser();
}

std::string_view tile_parser_kernel() { return use_haswell() ? "haswell" : "fallback"; }

}  // namespace vorn_package::json

namespace vorn_package {

std::optional<std::string> profile_reader_environment_error() {
    // simdjson runs no kernel at all when SIMDJSON_FORCE_IMPLEMENTATION names one it does not
    // have or this machine cannot run: every parse and UTF-8 check would fail.
    if (simdjson::get_active_implementation()->name() != "unsupported") {
        return std::nullopt;
    }
    const char* forced = std::getenv("SIMDJSON_FORCE_IMPLEMENTATION");
    std::string message = "SIMDJSON_FORCE_IMPLEMENTATION=" + std::string(forced ? forced : "") +
                          " names no simdjson kernel that this machine runs (it runs:";
    for (const simdjson::implementation* kernel : simdjson::get_available_implementations()) {
        if (kernel->supported_by_runtime_system()) {
            message += " " + kernel->name();
        }
    }
    return message + ")";
}

}  // namespace vorn_package
