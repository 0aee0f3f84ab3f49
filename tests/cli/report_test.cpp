// The report page's figures and labels read back from its HTML: the tile map's axis labels
// against the tile each cell shows, the activity stack against the tiles active, the captions
// and the milliseconds columns against the profile's clock.
#include <gtest/gtest.h>
#include <simdjson.h>

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "vorn_package/profile_columns.hpp"
#include "vorn_view/report_page.hpp"
#include "vorn_view/report_tile_map.hpp"

namespace {

using vorn_package::CycleSample;
using vorn_package::ProfileReport;
using vorn_package::ProfileStepKind;

struct Cell {
    int x = 0;
    int y = 0;
    int size = 0;
    std::uint32_t tile = 0;
};

struct Label {
    int at = 0;  ///< y of a row label, x of a column label
    std::uint64_t first = 0;
    std::uint64_t last = 0;  ///< a row label "tile 3–17" names its first and last tile
};

struct TileMapText {
    std::vector<Cell> cells;
    std::vector<Label> rows;
    std::vector<Label> columns;
};

/// One element of the SVG text: its opening tag and the text that follows it.
struct Element {
    std::string tag;
    std::string text;
};

/// Every element whose opening tag starts with `opening`, in order.
std::vector<Element> elements(const std::string& svg, std::string_view opening) {
    std::vector<Element> out;
    for (std::size_t at = svg.find(opening); at != std::string::npos;
         at = svg.find(opening, at + 1)) {
        const std::size_t tag_end = svg.find('>', at);
        const std::size_t text_end = svg.find('<', tag_end);
        out.push_back(
            {svg.substr(at, tag_end - at), svg.substr(tag_end + 1, text_end - tag_end - 1)});
    }
    return out;
}

/// The value of an attribute in an opening tag; empty when it has none.
std::string attribute(const std::string& tag, const std::string& name) {
    const std::string key = " " + name + "=\"";
    const std::size_t at = tag.find(key);
    if (at == std::string::npos) {
        return "";
    }
    const std::size_t begin = at + key.size();
    return tag.substr(begin, tag.find('"', begin) - begin);
}

TileMapText read_tile_map(const std::string& svg) {
    TileMapText out;
    for (const Element& cell : elements(svg, "<rect class=\"mark tile\"")) {
        out.cells.push_back(
            {std::stoi(attribute(cell.tag, "x")), std::stoi(attribute(cell.tag, "y")),
             std::stoi(attribute(cell.tag, "width")) + 2,
             static_cast<std::uint32_t>(std::stoul(attribute(cell.tag, "data-tile")))});
    }
    const std::string dash = "\u2013";
    for (const Element& label : elements(svg, "<text class=\"tick-label\"")) {
        const std::string anchor = attribute(label.tag, "text-anchor");
        if (anchor == "end" && label.text.starts_with("tile ")) {
            // "tile 40", or "tile 3-17" (an en dash) for a row's first and last tile.
            const std::string numbers = label.text.substr(5);
            const std::size_t split = numbers.find(dash);
            const std::uint64_t first = std::stoull(numbers.substr(0, split));
            out.rows.push_back({std::stoi(attribute(label.tag, "y")), first,
                                split == std::string::npos
                                    ? first
                                    : std::stoull(numbers.substr(split + dash.size()))});
        } else if (anchor == "middle" && label.text.starts_with("+")) {
            const std::uint64_t step = std::stoull(label.text.substr(1));
            out.columns.push_back({std::stoi(attribute(label.tag, "x")), step, step});
        }
    }
    return out;
}

std::vector<vorn_view::TileFigures> figures_of(const std::vector<std::uint32_t>& numbers) {
    std::vector<vorn_view::TileFigures> tiles;
    for (const std::uint32_t physical : numbers) {
        vorn_view::TileFigures tile;
        tile.physical = physical;
        tile.cycles.busy = physical % 7;
        tiles.push_back(tile);
    }
    return tiles;
}

// Whatever gaps the tile numbers have, the labels of a cell's row and column name the tile the
// cell shows: "tile R" and "+C" make tile R + C; where the numbering is too sparse for a grid
// by number, the row's label names its first and last tile.
TEST(ReportTileMap, LabelsNameTheTileEachCellShows) {
    std::vector<std::uint32_t> gaps_3_and_9;
    for (std::uint32_t t = 0; t < 40; ++t) {
        if (t != 3 && t != 9) {
            gaps_3_and_9.push_back(t);
        }
    }
    const std::vector<std::vector<std::uint32_t>> layouts = {
        gaps_3_and_9,
        {100, 101, 105, 106, 107, 110, 111, 112, 113, 120, 121, 122, 123, 124, 125},
        {0, 1000, 2000, 3000, 4000, 5000, 6000, 7000, 8000, 9000, 10000, 11000},
    };
    for (const std::vector<std::uint32_t>& numbers : layouts) {
        SCOPED_TRACE(testing::PrintToString(numbers));
        const TileMapText map =
            read_tile_map(vorn_view::tile_map(figures_of(numbers), 100, 0, "the span", 1160));
        ASSERT_EQ(map.cells.size(), numbers.size());
        ASSERT_FALSE(map.rows.empty());
        std::map<int, std::vector<std::uint32_t>> tiles_by_row;
        for (const Cell& cell : map.cells) {
            const Label* row = nullptr;
            for (const Label& label : map.rows) {
                row = label.at > cell.y && label.at <= cell.y + cell.size ? &label : row;
            }
            ASSERT_NE(row, nullptr) << "no row label for tile " << cell.tile;
            tiles_by_row[cell.y].push_back(cell.tile);
            if (map.columns.empty()) {
                EXPECT_LE(row->first, cell.tile);
                EXPECT_GE(row->last, cell.tile);
                continue;
            }
            const Label* column = nullptr;
            for (const Label& label : map.columns) {
                column = label.at > cell.x && label.at < cell.x + cell.size ? &label : column;
            }
            ASSERT_NE(column, nullptr) << "no column label for tile " << cell.tile;
            EXPECT_EQ(row->first + column->first, cell.tile)
                << "row label tile " << row->first << ", column +" << column->first;
        }
        if (map.columns.empty()) {
            for (const Label& label : map.rows) {
                bool found = false;
                for (const auto& [y, tiles] : tiles_by_row) {
                    if (label.at > y && label.at <= y + map.cells.front().size) {
                        EXPECT_EQ(label.first, tiles.front());
                        EXPECT_EQ(label.last, tiles.back());
                        found = true;
                    }
                }
                EXPECT_TRUE(found) << "a row label without tiles";
            }
        }
    }
}

CycleSample step(std::uint32_t start, std::uint32_t end, ProfileStepKind kind,
                 const std::string& kernel) {
    CycleSample s;
    s.start_cycle = start;
    s.end_cycle = end;
    s.step.kind = kind;
    s.step.kernel = kernel;
    s.step.operation = kernel + ".op";
    return s;
}

/// Three tiles that exchange while they compute, each for a little longer than the last, with
/// one of three kernels each, and a fourth that only idles for half of the time.
ProfileReport overlapping_profile(std::uint64_t clock_hz) {
    using K = ProfileStepKind;
    ProfileReport profile{clock_hz, {}};
    for (std::uint32_t t = 0; t < 3; ++t) {
        const std::string kernel = "kernel" + std::to_string(t);
        profile.tiles.push_back(
            {t, {step(0, 2000 + 100 * t, K::Compute, kernel), step(0, 2000, K::Exchange, "")}});
    }
    profile.tiles.push_back({3, {step(0, 1000, K::Idle, "")}});
    return profile;
}

std::string page_of(const ProfileReport& profile) {
    const vorn_package::ProfileColumns columns = vorn_package::to_columns(profile);
    std::ostringstream out;
    vorn_view::write_report_page(out, columns, {{}, std::nullopt, "run.json"});
    return out.str();
}

// Stacked by kind, the activity chart adds up to the tiles active: a tile running two kinds at
// once counts once.
TEST(ReportPage, ActivityStackIsTheTilesActive) {
    const std::string page = page_of(overlapping_profile(1'000'000'000));
    const std::string open = "<script type=\"application/json\" id=\"report-data\">";
    const std::size_t begin = page.find(open);
    ASSERT_NE(begin, std::string::npos);
    const std::size_t end = page.find("</script>", begin);
    const std::string json = page.substr(begin + open.size(), end - begin - open.size());
    simdjson::dom::parser parser;
    simdjson::dom::element data;
    ASSERT_EQ(parser.parse(json).get(data), simdjson::SUCCESS) << json;
    simdjson::dom::array series = data["activity"]["series"].get_array();
    const std::uint64_t width = data["activity"]["width"].get_uint64();
    std::vector<double> stack;
    for (simdjson::dom::element kind : series) {
        std::size_t b = 0;
        for (simdjson::dom::element value : kind.get_array()) {
            stack.resize(std::max(stack.size(), b + 1), 0.0);
            stack[b++] += value.get_double();
        }
    }
    ASSERT_FALSE(stack.empty());
    for (std::size_t b = 0; b < stack.size(); ++b) {
        // Buckets inside [0, 1000) see all four tiles, those from 1000 to 2000 the three that
        // compute; a bucket across a change of count holds a mean between the two.
        const std::uint64_t start = b * width;
        const double active = start + width <= 1000                    ? 4.0
                              : start >= 1000 && start + width <= 2000 ? 3.0
                                                                       : -1;
        EXPECT_LE(stack[b], 4.0 + 1e-9) << "bucket " << b;
        if (active > 0) {
            EXPECT_NEAR(stack[b], active, 0.006) << "bucket " << b;
        }
    }
}

std::string kernels_note(const std::string& page) {
    const std::string heading = "<h2>Top kernels</h2><p class=\"note\">";
    const std::size_t at = page.find(heading);
    return at == std::string::npos
               ? std::string()
               : page.substr(at + heading.size(), page.find("</p>", at) - at - heading.size());
}

// The captions and columns say what the page holds: the number of kernels shown, and
// milliseconds only where a clock gives them.
TEST(ReportPage, CaptionsAndColumnsFollowTheProfile) {
    const std::string timed = page_of(overlapping_profile(1'000'000'000));
    // Three kernels and "(no kernel)" for the exchange and idle steps.
    EXPECT_EQ(kernels_note(timed), "All 4 kernels, by the phase cycles they cover.");
    EXPECT_NE(timed.find("<th>phase ms</th>"), std::string::npos);
    EXPECT_NE(timed.find("<th>lost ms</th>"), std::string::npos);

    const std::string untimed = page_of(overlapping_profile(0));
    EXPECT_NE(untimed.find("clock unknown"), std::string::npos);
    for (const std::string_view absent : {" ms</th>", "<td>0.000</td>", " ms<"}) {
        EXPECT_EQ(untimed.find(absent), std::string::npos) << absent;
    }
    // The same tables, one column fewer each.
    EXPECT_NE(untimed.find("id=\"stragglers-table\""), std::string::npos);
    EXPECT_NE(untimed.find("<th>phase cycles</th><th>work cycles</th>"), std::string::npos);
}

}  // namespace
