// The outer scan of a profile document.
#include "vorn_package/json/outer_scan.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "vorn_package/json/bracket_scan.hpp"
#include "vorn_package/json/text.hpp"

namespace vorn_package::json {
namespace {

constexpr std::size_t kTileDepth = 3;  // root object, `tiles` array, tile
static_assert(kPadding >= kScanBlock, "the bracket scan reads whole blocks");
// Fewer bytes than any valid sample: {"start_cycle":0,"end_cycle":0,"step":{...}} and more.
constexpr std::size_t kSmallestSample = 64;
constexpr std::uint64_t kProgressStep = std::uint64_t{1} << 20;

}  // namespace

DocumentReader::DocumentReader(Input& input, ProfileSink& sink, const ReadProgress& progress,
                               std::size_t threads)
    : input_(input), cursor_(input), sink_(sink), progress_(progress), threads_(threads) {}

bool DocumentReader::run() {
    if (auto problem = profile_reader_environment_error()) {
        return cursor_.fail(input_.begin(), *std::move(problem));
    }
    parser_ = make_tile_parser();
    if (!read_document()) {
        return false;
    }
    if (input_.error()) {
        return false;  // the stream broke off; what was read may look complete
    }
    if (progress_) {
        const auto size = static_cast<std::uint64_t>(input_.end() - input_.begin());
        progress_(size, size);
    }
    return true;
}

bool DocumentReader::read_document() {
    Cursor& c = cursor_;
    const char* p = c.skip(input_.begin());
    if (p == c.end()) {
        return c.fail(p, "empty document");
    }
    if (*p != '{') {
        return c.expected(p, "an object");
    }
    const char* root = p;
    bool have_format = false;
    bool have_version = false;
    bool have_clock = false;
    bool have_tiles = false;
    NameSet& unknown = c.names_at(1);
    unknown.clear();
    p = c.skip(p + 1);
    if (p != c.end() && *p == '}') {
        ++p;
    } else {
        while (true) {
            p = c.skip(p);
            if (p == c.end() || *p != '"') {
                return c.expected(p, "a member name");
            }
            c.need_value(p);
            c.push_key(p + 1);  // on the path while it is read, so that a fault in it names it
            Key key;
            if (!c.read_key_text(p, key, true)) {
                return false;
            }
            c.pop();
            if (!c.expect_colon(p)) {
                return false;
            }
            c.push_root_key(key.raw);
            bool ok = false;
            if (key.name == "tiles") {
                ok = !std::exchange(have_tiles, true) ? read_tiles(p, key.raw) : c.duplicate(key);
            } else {
                c.need_value(p);
                if (key.name == "format") {
                    ok = !std::exchange(have_format, true) ? read_format(p) : c.duplicate(key);
                } else if (key.name == "version") {
                    ok = !std::exchange(have_version, true) ? read_version(p) : c.duplicate(key);
                } else if (key.name == "clock_hz") {
                    ok = !std::exchange(have_clock, true) ? read_clock(p) : c.duplicate(key);
                } else {
                    ok = unknown.insert(key.name) ? c.check_value(p, 2) : c.duplicate(key);
                }
            }
            if (!ok) {
                return false;
            }
            c.pop();
            if (!c.next_member(p)) {
                return false;
            }
            if (p[-1] == '}') {
                break;
            }
        }
    }
    p = c.skip(p);
    if (p != c.end()) {
        return c.fail(p, "unexpected content after the document");
    }
    if (!have_clock) {
        return c.fail(root, "missing required member \"clock_hz\"");
    }
    if (!have_tiles) {
        return c.fail(root, "missing required member \"tiles\"");
    }
    return true;
}

bool DocumentReader::read_format(const char*& p) {
    Cursor& c = cursor_;
    if (p == c.end() || *p != '"') {
        return c.expected(p, "the string \"vorn-profile\"");
    }
    const char* at = p;
    std::string value;
    ++p;
    if (auto fault = scan_string(p, c.end(), &value, true)) {
        return c.fail(std::move(*fault));
    }
    ++p;
    if (value != "vorn-profile") {
        return c.fail(at, "unknown format " + quote_text(value) + ", expected \"vorn-profile\"");
    }
    return true;
}

bool DocumentReader::read_version(const char*& p) {
    Cursor& c = cursor_;
    const char* stop = token_end(p, c.end());
    const std::string_view text(p, static_cast<std::size_t>(stop - p));
    std::uint64_t version = 0;
    if (parse_plain_unsigned(text, std::numeric_limits<std::uint64_t>::max(), version) &&
        version == 1) {
        p = stop;
        return true;
    }
    if (is_json_number(text)) {
        return c.fail(p, "unsupported version " + describe(p, c.end()));
    }
    return c.expected(p, "the integer 1");
}

bool DocumentReader::read_clock(const char*& p) {
    const char* stop = token_end(p, cursor_.end());
    std::uint64_t value = 0;
    if (!parse_plain_unsigned({p, static_cast<std::size_t>(stop - p)},
                              std::numeric_limits<std::uint64_t>::max(), value)) {
        return cursor_.expected(p, "an unsigned 64-bit integer");
    }
    sink_.set_clock_hz(value);
    p = stop;
    return true;
}

bool DocumentReader::read_tiles(const char*& p, std::string_view key) {
    Cursor& c = cursor_;
    if (p == c.end() || *p != '[') {
        return c.expected(p, "an array of tiles");
    }
    p = c.skip(p + 1);
    if (p != c.end() && *p == ']') {
        ++p;
        return true;
    }
    c.push_index();
    if (threads_ > 1 && input_.complete() && sink_.make_piece(0) != nullptr) {
        return read_tiles_in_pieces(p, key);
    }
    while (true) {
        TileSpan tile;
        if (!scan_tile(p, tile)) {
            return false;
        }
        sink_.begin_tile(tile.sample_bound);
        if (!read_tile(c, *parser_, tile.open, tile.close, sink_)) {
            return false;
        }
        sink_.end_tile();
        const Next next = next_tile(p, tile.close);
        report_progress(p);
        c.release_before(tile.close + 1);
        if (next != Next::Tile) {
            return next == Next::End;
        }
    }
}

bool DocumentReader::scan_tile(const char*& p, TileSpan& tile) {
    Cursor& c = cursor_;
    p = c.skip(p);
    if (p == c.end() || *p != '{') {
        return c.expected(p, "a tile object");
    }
    c.need_value(p);
    std::size_t samples_bound = 0;
    const char* close = find_container_end(p, c.end(), c.readable_end(), samples_bound);
    if (close == nullptr) {
        // Not balanced: the checker says where it goes wrong.
        const char* q = p;
        if (!c.check_value(q, kTileDepth)) {
            return false;
        }
        return c.fail(p, "unterminated object");
    }
    // Counted in the input, not claimed by it, and capped by the size of the smallest valid
    // sample, so that a reservation stays within a few times the tile's size.
    tile = {p, close,
            std::min(samples_bound, static_cast<std::size_t>(close - p) / kSmallestSample),
            c.back().index};
    return true;
}

DocumentReader::Next DocumentReader::next_tile(const char*& p, const char* close) {
    Cursor& c = cursor_;
    p = c.skip(close + 1);
    if (p != c.end() && *p == ',') {
        ++p;
        ++c.back().index;
        return Next::Tile;
    }
    if (p != c.end() && *p == ']') {
        ++p;
        c.pop();
        return Next::End;
    }
    c.expected(p, "',' or ']' after a tile");
    return Next::Failed;
}

void DocumentReader::report_progress(const char* p) {
    const auto done = static_cast<std::uint64_t>(p - input_.begin());
    if (progress_ && done - last_progress_ >= kProgressStep) {
        last_progress_ = done;
        progress_(done, input_.total());
    }
}

}  // namespace vorn_package::json
