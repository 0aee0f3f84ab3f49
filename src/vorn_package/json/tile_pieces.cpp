// The tiles of a document loaded whole, parsed on several threads, in three stages that overlap:
// while the threads parse the runs of one window of tiles (each run into a sink of its own, with
// a cursor of its own that gives the same paths and offsets as the reader's), one of them locates
// the tiles of the next window and one hands the runs of the window before to the sink, in file
// order. Once a window's runs are all read, the first that failed, if any, holds the document's
// first error: every tile before it was read whole, and the scan has not gone past the window
// after it.
#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "vorn_package/json/outer_scan.hpp"
#include "vorn_package/parallel_for.hpp"

namespace vorn_package::json {
namespace {

// The windows are about a sixteenth of the document each (so a small document still goes in
// several), within bounds that keep the threads starting rarely and the memory in use small.
constexpr std::uint64_t kWindowsPerDocument = 16;
constexpr std::uint64_t kSmallestWindow = std::uint64_t{4} << 10;
constexpr std::uint64_t kLargestWindow = std::uint64_t{32} << 20;
// A window of many tiny tiles (hostile, or simply empty tiles) ends sooner, so that the list of
// them stays small next to the document.
constexpr std::size_t kMostTilesPerWindow = std::size_t{1} << 16;
// Runs a thread takes from one window: enough that the threads end a window together.
constexpr std::size_t kRunsPerThread = 8;

struct Window {
    std::vector<TileSpan> tiles;
    bool ended = false;   // the `tiles` array closed after the last of them
    bool failed = false;  // the scan stopped on an error after the last of them
};

struct Run {
    std::span<const TileSpan> tiles;
    std::unique_ptr<ProfileSink> sink;
    std::optional<ReadError> error;
};

// One tile parser per thread at work, kept for the windows that follow.
class ParserPool {
public:
    std::unique_ptr<TileParser> take() {
        const std::lock_guard lock(mutex_);
        if (idle_.empty()) {
            return make_tile_parser();
        }
        std::unique_ptr<TileParser> parser = std::move(idle_.back());
        idle_.pop_back();
        return parser;
    }
    void give_back(std::unique_ptr<TileParser> parser) {
        const std::lock_guard lock(mutex_);
        idle_.push_back(std::move(parser));
    }

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<TileParser>> idle_;
};

// Cuts `tiles` into up to `count` runs of consecutive tiles of about equal bytes.
std::vector<Run> cut_runs(const std::vector<TileSpan>& tiles, std::size_t count) {
    std::vector<Run> runs;
    if (tiles.empty()) {
        return runs;
    }
    count = std::min(count, tiles.size());
    const auto bytes = static_cast<std::uint64_t>(tiles.back().close - tiles.front().open);
    std::size_t first = 0;
    for (std::size_t t = 0; t < tiles.size(); ++t) {
        const auto done = static_cast<std::uint64_t>(tiles[t].close - tiles.front().open);
        const bool last = t + 1 == tiles.size();
        if (last || done * count >= bytes * (runs.size() + 1)) {
            runs.push_back({std::span(tiles).subspan(first, t + 1 - first), nullptr, {}});
            first = t + 1;
        }
    }
    return runs;
}

}  // namespace

bool DocumentReader::read_tiles_in_pieces(const char*& p, std::string_view key) {
    const std::uint64_t window_bytes =
        std::clamp(input_.total() / kWindowsPerDocument, kSmallestWindow, kLargestWindow);
    // Locates tiles from `p` on until the window holds `window_bytes` of them (or the most
    // tiles), the array ends or the scan fails.
    const auto scan = [&](Window& window) {
        window.tiles.clear();
        const char* const start = p;
        while (true) {
            TileSpan& tile = window.tiles.emplace_back();
            if (!scan_tile(p, tile)) {
                window.tiles.pop_back();
                window.failed = true;
                return;
            }
            const Next next = next_tile(p, tile.close);
            if (next != Next::Tile) {
                (next == Next::End ? window.ended : window.failed) = true;
                return;
            }
            if (static_cast<std::uint64_t>(tile.close - start) >= window_bytes ||
                window.tiles.size() == kMostTilesPerWindow) {
                return;
            }
        }
    };
    ParserPool parsers;
    const auto read_run = [&](Run& run) {
        // Room for every sample at once: a run's columns never grow by copying.
        std::size_t samples = 0;
        for (const TileSpan& tile : run.tiles) {
            samples += tile.sample_bound;
        }
        run.sink = sink_.make_piece(samples);
        SharedInput input(input_);
        Cursor cursor(input);
        cursor.push_root_key(key);
        cursor.push_index();
        std::unique_ptr<TileParser> parser = parsers.take();
        for (const TileSpan& tile : run.tiles) {
            cursor.back().index = tile.index;
            run.sink->begin_tile(tile.sample_bound);
            if (!read_tile(cursor, *parser, tile.open, tile.close, *run.sink)) {
                run.error = cursor.take_error();
                break;
            }
            run.sink->end_tile();
        }
        parsers.give_back(std::move(parser));
    };
    // The runs of the window before, read whole, handed to the sink in file order.
    std::vector<Run> done;
    const auto hand_over = [&] {
        for (Run& run : done) {
            sink_.append_piece(*run.sink);
        }
        done.clear();
    };

    Window window;
    Window ahead;
    scan(window);
    while (true) {
        std::vector<Run> runs = cut_runs(window.tiles, threads_ * kRunsPerThread);
        if (runs.empty()) {
            return false;  // the scan failed at the window's first tile
        }
        // The first tasks, taken first, scan the next window and hand the last one's runs to the
        // sink while the others read this window's runs.
        const std::size_t scans = window.ended || window.failed ? 0 : 1;
        const std::size_t hand_overs = done.empty() ? 0 : 1;
        parallel_for(scans + hand_overs + runs.size(), threads_, [&](std::size_t task) {
            if (task < scans) {
                scan(ahead);
            } else if (task < scans + hand_overs) {
                hand_over();
            } else {
                read_run(runs[task - scans - hand_overs]);
            }
        });
        for (Run& run : runs) {
            if (run.error) {
                piece_error_ = std::move(run.error);
                return false;
            }
            run.tiles = {};  // the window's list of tiles goes
        }
        done = std::move(runs);
        report_progress(window.tiles.back().close + 1);
        cursor_.release_before(window.tiles.back().close + 1);
        if (window.ended || window.failed) {
            hand_over();
            return window.ended;
        }
        std::swap(window, ahead);
        ahead = {};
    }
}

}  // namespace vorn_package::json
