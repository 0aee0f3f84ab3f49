// The exported traces read back with the schema: the Perfetto file through the classes generated
// from our .proto (and once through `protoc --decode`), the JSON through simdjson. Each must hold
// every selected step once, with its times and arguments, on the track of its tile, in lanes that
// never overlap, and counters that match the tiles active at each cycle.
#include <gtest/gtest.h>
#include <simdjson.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "options.hpp"
#include "proto/trace.pb.h"
#include "vorn_package/profile_columns.hpp"
#include "vorn_view/export_trace.hpp"

namespace {

using vorn_package::CycleSample;
using vorn_package::ProfileReport;
using vorn_package::ProfileStepKind;
using vorn_view::ExportOptions;

/// One slice as the test compares them: everything a viewer shows.
struct Slice {
    std::string track;  ///< "tile N"
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::string name;
    std::string category;
    std::string args;  ///< kernel, phase, epoch, local index, metadata in order

    auto key() const { return std::tie(track, start, end, name, category, args); }
    bool operator<(const Slice& other) const { return key() < other.key(); }
    bool operator==(const Slice& other) const { return key() == other.key(); }
};

CycleSample sample(std::uint32_t start, std::uint32_t end, ProfileStepKind kind,
                   std::string operation, std::string kernel, std::uint32_t phase,
                   std::vector<vorn_package::ProfileMetadata> metadata = {}) {
    static std::uint32_t local_index = 0;
    CycleSample s;
    s.start_cycle = start;
    s.end_cycle = end;
    s.step = {local_index++,      phase, phase / 3, std::move(operation), kind, std::move(kernel),
              std::move(metadata)};
    return s;
}

/// Overlapping steps, an empty step at the end of another, a counter wrap, a physical tile
/// recorded twice, tiles stored out of order, a metadata name given twice.
ProfileReport small_profile(std::uint64_t clock_hz) {
    using K = ProfileStepKind;
    ProfileReport profile{clock_hz, {}};
    profile.tiles.push_back(
        {7,
         {sample(1000, 1100, K::Compute, "matmul", "gemm", 0, {{"layer", "l0"}}),
          sample(1050, 1080, K::Exchange, "send", "", 0),
          sample(1100, 1100, K::Synchronization, "sync", "", 1),
          sample(1100, 1150, K::Compute, "add", "add", 2, {{"tag", "a"}, {"tag", "b"}}),
          sample(1090, 1200, K::Idle, "idle", "", 2)}});
    profile.tiles.push_back({2,
                             {sample(4294967286U, 20, K::Compute, "wrap", "gemm", 0),
                              sample(20, 40, K::Exchange, "after", "", 1)}});
    profile.tiles.push_back({7, {sample(50, 80, K::Compute, "again", "gemm", 3)}});
    return profile;
}

std::string args_text(const std::string& kernel, std::uint64_t phase, std::uint64_t epoch,
                      std::uint64_t local_index, const std::vector<std::string>& metadata) {
    std::string text = "kernel=" + kernel + " phase=" + std::to_string(phase) +
                       " epoch=" + std::to_string(epoch) +
                       " local_index=" + std::to_string(local_index);
    for (const std::string& entry : metadata) {
        text += " " + entry;
    }
    return text;
}

std::uint64_t to_ns(std::uint64_t cycles, std::uint64_t clock_hz) {
    return clock_hz == 0 ? cycles : (cycles * 1'000'000'000 + clock_hz / 2) / clock_hz;
}

/// What the trace must hold, computed straight from the records: each sample on its tile's
/// time line, clipped to [from, to).
std::vector<Slice> expected_slices(const ProfileReport& profile, std::uint64_t from = 0,
                                   std::uint64_t to = UINT64_MAX) {
    std::vector<Slice> slices;
    for (const vorn_package::TileProfile& tile : profile.tiles) {
        for (const CycleSample& s : tile.samples) {
            const std::uint64_t offset =
                static_cast<std::uint32_t>(s.start_cycle - tile.samples.front().start_cycle);
            const std::uint64_t end =
                offset + static_cast<std::uint32_t>(s.end_cycle - s.start_cycle);
            const bool inside =
                end == offset ? from <= offset && offset < to : offset < to && end > from;
            if (!inside) {
                continue;
            }
            std::vector<std::string> metadata;
            std::map<std::string, int> seen;
            for (const auto& entry : s.step.metadata) {
                const int n = ++seen[entry.name];
                // Appended piece by piece: g++ 12 misreads the sum at -O2 as overlapping copies.
                std::string& text = metadata.emplace_back(entry.name);
                if (n > 1) {
                    text.append(1, '#').append(std::to_string(n));
                }
                text.append(1, '=').append(entry.value);
            }
            const char* kinds[] = {"exchange", "compute", "synchronization", "idle"};
            slices.push_back({"tile " + std::to_string(tile.physical_tile),
                              to_ns(std::max(offset, from), profile.clock_hz),
                              to_ns(std::min(end, to), profile.clock_hz), s.step.operation,
                              kinds[static_cast<int>(s.step.kind)],
                              args_text(s.step.kernel, s.step.phase, s.step.epoch,
                                        s.step.local_index, metadata)});
        }
    }
    std::sort(slices.begin(), slices.end());
    return slices;
}

/// Slices of one lane follow each other strictly: no overlap, and an empty slice never
/// touches another, so no viewer can nest them.
void expect_lane_is_a_sequence(std::vector<std::pair<std::uint64_t, std::uint64_t>> lane,
                               const std::string& name) {
    std::sort(lane.begin(), lane.end());
    for (std::size_t i = 1; i < lane.size(); ++i) {
        const auto& [start0, end0] = lane[i - 1];
        const auto& [start1, end1] = lane[i];
        const bool empty = start0 == end0 || start1 == end1;
        EXPECT_TRUE(empty ? end0 < start1 : end0 <= start1)
            << name << ": [" << start0 << "," << end0 << ") then [" << start1 << "," << end1 << ")";
    }
}

std::string write(const ProfileReport& profile, vorn_cli::TraceFormat format,
                  const ExportOptions& options = {}) {
    const vorn_package::ProfileColumns columns = vorn_package::to_columns(profile);
    std::ostringstream out;
    if (format == vorn_cli::TraceFormat::Perfetto) {
        vorn_view::write_perfetto(out, columns, options);
    } else {
        vorn_view::write_chrome_json(out, columns, options);
    }
    return out.str();
}

/// The decoded Perfetto trace: tracks, slices and the total counter's changes.
struct Decoded {
    std::map<std::uint64_t, vorn_trace::TrackDescriptor> tracks;
    std::vector<Slice> slices;
    std::map<std::uint64_t, std::vector<std::pair<std::uint64_t, std::uint64_t>>> lanes;
    std::vector<std::pair<std::uint64_t, double>> total_counter;
};

std::string tile_of(const Decoded& trace, std::uint64_t uuid) {
    const vorn_trace::TrackDescriptor& track = trace.tracks.at(uuid);
    const vorn_trace::TrackDescriptor& parent = trace.tracks.at(track.parent_uuid());
    return parent.uuid() == 1 ? track.name() : parent.name();
}

Decoded decode_perfetto(const std::string& bytes) {
    vorn_trace::Trace trace;
    EXPECT_TRUE(trace.ParseFromString(bytes));
    Decoded out;
    std::map<std::uint64_t, std::string> names, categories, arg_names, values;
    struct Open {
        vorn_trace::TrackEvent event;
        std::uint64_t start;
    };
    std::map<std::uint64_t, std::vector<Open>> open;
    for (const vorn_trace::TracePacket& packet : trace.packet()) {
        EXPECT_EQ(packet.trusted_packet_sequence_id(), 1U);
        for (const auto& n : packet.interned_data().event_names())
            names[n.iid()] = n.name();
        for (const auto& c : packet.interned_data().event_categories())
            categories[c.iid()] = c.name();
        for (const auto& n : packet.interned_data().debug_annotation_names())
            arg_names[n.iid()] = n.name();
        for (const auto& v : packet.interned_data().debug_annotation_string_values())
            values[v.iid()] = v.str();
        if (packet.has_track_descriptor()) {
            out.tracks[packet.track_descriptor().uuid()] = packet.track_descriptor();
        }
        if (!packet.has_track_event()) {
            continue;
        }
        const vorn_trace::TrackEvent& event = packet.track_event();
        EXPECT_TRUE(out.tracks.contains(event.track_uuid())) << "event before its track";
        if (event.type() == vorn_trace::TrackEvent::TYPE_COUNTER) {
            if (out.tracks[event.track_uuid()].name() == "tiles active") {
                out.total_counter.emplace_back(packet.timestamp(), event.double_counter_value());
            }
        } else if (event.type() == vorn_trace::TrackEvent::TYPE_SLICE_BEGIN) {
            std::vector<Open>& stack = open[event.track_uuid()];
            EXPECT_TRUE(stack.empty()) << "a slice nested in another on one lane";
            stack.push_back({event, packet.timestamp()});
        } else {
            EXPECT_EQ(event.type(), vorn_trace::TrackEvent::TYPE_SLICE_END);
            std::vector<Open>& stack = open[event.track_uuid()];
            EXPECT_EQ(stack.size(), 1U);
            if (stack.empty()) {
                continue;
            }
            const Open begin = stack.back();
            stack.pop_back();
            std::string kernel;
            std::uint64_t numbers[3] = {};
            std::vector<std::string> metadata;
            for (const vorn_trace::DebugAnnotation& a : begin.event.debug_annotations()) {
                const std::string& name = arg_names.at(a.name_iid());
                if (name == "kernel")
                    kernel = values.at(a.string_value_iid());
                if (name == "phase")
                    numbers[0] = a.uint_value();
                if (name == "epoch")
                    numbers[1] = a.uint_value();
                if (name == "local_index")
                    numbers[2] = a.uint_value();
                for (const vorn_trace::DebugAnnotation& entry : a.dict_entries()) {
                    metadata.push_back(
                        (entry.has_name() ? entry.name() : arg_names.at(entry.name_iid())) + "=" +
                        values.at(entry.string_value_iid()));
                }
            }
            EXPECT_EQ(begin.event.category_iids_size(), 1);
            out.slices.push_back({tile_of(out, event.track_uuid()), begin.start, packet.timestamp(),
                                  names.at(begin.event.name_iid()),
                                  categories.at(begin.event.category_iids(0)),
                                  args_text(kernel, numbers[0], numbers[1], numbers[2], metadata)});
            out.lanes[event.track_uuid()].emplace_back(begin.start, packet.timestamp());
        }
    }
    std::sort(out.slices.begin(), out.slices.end());
    return out;
}

TEST(ExportPerfetto, EveryStepOnceOnItsTileInLanesThatNeverOverlap) {
    for (const std::uint64_t clock_hz : {0ULL, 1'000'000'000ULL, 1'330'000'000ULL}) {
        SCOPED_TRACE(clock_hz);
        const ProfileReport profile = small_profile(clock_hz);
        const Decoded trace = decode_perfetto(write(profile, vorn_cli::TraceFormat::Perfetto));
        EXPECT_EQ(trace.slices, expected_slices(profile));
        for (const auto& [uuid, lane] : trace.lanes) {
            expect_lane_is_a_sequence(lane, trace.tracks.at(uuid).name());
        }
        // The root orders its children explicitly: the counters, then tile 2, then tile 7
        // (both of its records on one track, with lanes under it for the overlaps).
        const vorn_trace::TrackDescriptor& root = trace.tracks.at(1);
        EXPECT_EQ(root.child_ordering(), vorn_trace::TrackDescriptor::EXPLICIT);
        EXPECT_EQ(root.name().find("clock unknown") != std::string::npos, clock_hz == 0);
        std::vector<std::pair<int, std::string>> children;
        std::vector<std::string> lanes_of_7;
        for (const auto& [uuid, track] : trace.tracks) {
            if (track.parent_uuid() == 1) {
                children.emplace_back(track.sibling_order_rank(), track.name());
            } else if (uuid != 1) {
                EXPECT_EQ(trace.tracks.at(track.parent_uuid()).name(), "tile 7");
                lanes_of_7.push_back(track.name());
            }
        }
        std::sort(children.begin(), children.end());
        std::vector<std::string> order;
        for (const auto& child : children)
            order.push_back(child.second);
        EXPECT_EQ(order,
                  (std::vector<std::string>{
                      "tiles active", "tiles active: compute", "tiles active: exchange",
                      "tiles active: synchronization", "tiles active: idle", "tile 2", "tile 7"}));
        // Both records start at 0; matmul overlaps send and idle, and the empty sync at
        // matmul's end may share a lane with neither: three lanes.
        EXPECT_EQ(lanes_of_7, (std::vector<std::string>{"tile 7 lane 2", "tile 7 lane 3"}));
    }
}

// With 1 ns cycles and a profile shorter than the bucket count the counter is exact: at every
// cycle it holds the number of tiles with a step running.
TEST(ExportPerfetto, TotalCounterIsTheTilesActiveAtEachCycle) {
    const ProfileReport profile = small_profile(1'000'000'000);
    const Decoded trace = decode_perfetto(write(profile, vorn_cli::TraceFormat::Perfetto));
    ASSERT_FALSE(trace.total_counter.empty());
    for (std::uint64_t t = 0; t < 200; ++t) {
        double expected = 0;
        for (const std::uint32_t physical : {2U, 7U}) {
            bool active = false;
            for (const auto& tile : profile.tiles) {
                for (const CycleSample& s : tile.samples) {
                    const std::uint64_t offset = static_cast<std::uint32_t>(
                        s.start_cycle - tile.samples.front().start_cycle);
                    const std::uint32_t duration = s.end_cycle - s.start_cycle;
                    active = active || (tile.physical_tile == physical && offset <= t &&
                                        t < offset + duration);
                }
            }
            expected += active ? 1 : 0;
        }
        const auto at = std::upper_bound(trace.total_counter.begin(), trace.total_counter.end(),
                                         std::make_pair(t, 1e300));
        ASSERT_NE(at, trace.total_counter.begin());
        EXPECT_EQ(std::prev(at)->second, expected) << "cycle " << t;
    }
    EXPECT_EQ(trace.total_counter.back(), std::make_pair(std::uint64_t{200}, 0.0));
}

TEST(ExportPerfetto, FiltersAndWindowClipEachStep) {
    const ProfileReport profile = small_profile(1'000'000'000);
    ExportOptions options;
    options.window = {60, 110};
    const Decoded clipped =
        decode_perfetto(write(profile, vorn_cli::TraceFormat::Perfetto, options));
    EXPECT_EQ(clipped.slices, expected_slices(profile, 60, 110));
    // Only the first record of tile 7 reaches the window; its empty sync at 100 is inside,
    // "add" at [100, 150) is cut to [100, 110).
    EXPECT_EQ(clipped.slices.size(), 5U);

    options.window = {};
    options.query.kind = vorn_profile::StepKind::Compute;
    options.query.tiles = {7};
    const Decoded filtered =
        decode_perfetto(write(profile, vorn_cli::TraceFormat::Perfetto, options));
    std::vector<std::string> names;
    for (const Slice& slice : filtered.slices)
        names.push_back(slice.name);
    EXPECT_EQ(names, (std::vector<std::string>{"again", "matmul", "add"}));
}

TEST(ExportPerfetto, ProtocDecodesTheFileWithOurSchemaAlone) {
    const std::filesystem::path file =
        std::filesystem::path(VORN_EXPORT_WORK_DIR) / "small.pftrace";
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary)
        << write(small_profile(1'000'000'000), vorn_cli::TraceFormat::Perfetto);
    const std::string command = std::string(VORN_PROTOC) + " --decode=vorn_trace.Trace -I " +
                                VORN_PROTO_DIR + " proto/trace.proto < " + file.string();
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string text;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
        text.append(chunk, n);
    }
    ASSERT_EQ(pclose(pipe), 0) << text;
    const auto count = [&](const std::string& needle) {
        std::size_t n = 0;
        for (std::size_t at = text.find(needle); at != std::string::npos;
             at = text.find(needle, at + 1)) {
            ++n;
        }
        return n;
    };
    EXPECT_EQ(count("type: TYPE_SLICE_BEGIN"), 8U);
    EXPECT_EQ(count("type: TYPE_SLICE_END"), 8U);
    EXPECT_EQ(count("name: \"tile 7\""), 1U);
    EXPECT_EQ(count("name: \"matmul\""), 1U);
}

/// One slice of the JSON trace (a `B` event and its `E`) as a viewer reads it: its thread, its
/// times in nanoseconds and as the doubles a JavaScript viewer parses.
struct JsonSlice {
    std::uint64_t tid = 0;
    Slice slice;
    double begin_us = 0;
    double end_us = 0;
};

/// The decoded Trace Event Format file: thread names and sort indexes, and the slices in the
/// order their events come.
struct DecodedJson {
    std::map<std::uint64_t, std::string> thread_names;
    std::map<std::uint64_t, std::int64_t> sort_index;
    std::vector<JsonSlice> slices;
};

DecodedJson decode_chrome_json(const std::string& text, simdjson::dom::parser& parser) {
    DecodedJson out;
    simdjson::dom::element root;
    EXPECT_EQ(parser.parse(text).get(root), simdjson::SUCCESS) << text;
    // Microseconds with three decimals: nanoseconds, exactly.
    const auto ns = [](double us) { return static_cast<std::uint64_t>(std::llround(us * 1000)); };
    // The name, category and arguments of a `B` or `E` event.
    const auto identity = [](simdjson::dom::element event) {
        simdjson::dom::object args = event["args"].get_object();
        std::vector<std::string> metadata;
        simdjson::dom::object entries;
        if (args["metadata"].get(entries) == simdjson::SUCCESS) {
            for (auto field : entries) {
                metadata.push_back(std::string(field.key) + "=" +
                                   std::string(field.value.get_string().value()));
            }
        }
        return Slice{
            "",
            0,
            0,
            std::string(event["name"].get_string().value()),
            std::string(event["cat"].get_string().value()),
            args_text(std::string(args["kernel"].get_string().value()), args["phase"].get_uint64(),
                      args["epoch"].get_uint64(), args["local_index"].get_uint64(), metadata)};
    };
    std::map<std::uint64_t, std::vector<JsonSlice>> open;
    for (simdjson::dom::element event : root["traceEvents"].get_array()) {
        const std::string_view ph = event["ph"].get_string();
        if (ph == "M" && event["name"].get_string().value() == "thread_name") {
            out.thread_names[event["tid"].get_uint64()] =
                std::string(event["args"]["name"].get_string().value());
        } else if (ph == "M" && event["name"].get_string().value() == "thread_sort_index") {
            out.sort_index[event["tid"].get_uint64()] = event["args"]["sort_index"].get_int64();
        } else if (ph == "B") {
            JsonSlice slice{event["tid"].get_uint64(), identity(event), event["ts"].get_double(),
                            0};
            slice.slice.start = ns(slice.begin_us);
            std::vector<JsonSlice>& stack = open[slice.tid];
            EXPECT_TRUE(stack.empty()) << "a slice nested in another on one thread";
            stack.push_back(slice);
        } else if (ph == "E") {
            std::vector<JsonSlice>& stack = open[event["tid"].get_uint64()];
            EXPECT_EQ(stack.size(), 1U) << "an end without its begin";
            if (stack.empty()) {
                continue;
            }
            JsonSlice slice = stack.back();
            stack.pop_back();
            // A viewer may match an end to its begin by name and arguments.
            const Slice end = identity(event);
            EXPECT_EQ(std::tie(end.name, end.category, end.args),
                      std::tie(slice.slice.name, slice.slice.category, slice.slice.args));
            slice.end_us = event["ts"].get_double();
            slice.slice.end = ns(slice.end_us);
            out.slices.push_back(slice);
        }
    }
    for (const auto& [tid, stack] : open) {
        EXPECT_TRUE(stack.empty()) << "thread " << tid << ": a slice that never ends";
    }
    for (JsonSlice& slice : out.slices) {
        const std::string& name = out.thread_names.at(slice.tid);
        slice.slice.track = name.substr(0, name.find(" lane"));
    }
    return out;
}

TEST(ExportChromeJson, SameEventsNamedAndOrderedThreads) {
    for (const std::uint64_t clock_hz : {0ULL, 1'330'000'000ULL}) {
        SCOPED_TRACE(clock_hz);
        const ProfileReport profile = small_profile(clock_hz);
        const std::string text = write(profile, vorn_cli::TraceFormat::ChromeJson);
        simdjson::dom::parser parser;
        const DecodedJson trace = decode_chrome_json(text, parser);
        std::map<std::uint64_t, std::vector<std::pair<std::uint64_t, std::uint64_t>>> lanes;
        std::vector<Slice> slices;
        for (const JsonSlice& slice : trace.slices) {
            lanes[slice.tid].emplace_back(slice.slice.start, slice.slice.end);
            slices.push_back(slice.slice);
        }
        std::sort(slices.begin(), slices.end());
        // Rounding each end to whole nanoseconds on its own keeps the JSON exact to the ns.
        EXPECT_EQ(slices, expected_slices(profile));
        for (const auto& [tid, lane] : lanes) {
            expect_lane_is_a_sequence(lane, trace.thread_names.at(tid));
        }
        std::vector<std::string> by_sort;
        for (const auto& [tid, name] : trace.thread_names) {
            EXPECT_EQ(trace.sort_index.at(tid), static_cast<std::int64_t>(tid));
            by_sort.push_back(name);
        }
        EXPECT_EQ(by_sort,
                  (std::vector<std::string>{"tile 2", "tile 7", "tile 7 lane 2", "tile 7 lane 3"}));
        simdjson::dom::element root;
        ASSERT_EQ(parser.parse(text).get(root), simdjson::SUCCESS);
        EXPECT_EQ(root["otherData"]["clock_hz"].get_uint64().value(), clock_hz);
    }
}

// Back-to-back steps of many lengths: where one step ends and the next begins, a viewer that
// reads the times as doubles must get the same number for both, or it sees the first step end
// after the next has begun and draws them wrongly (nested, or never ending).
TEST(ExportChromeJson, AnEndAndTheNextBeginAreTheSameNumber) {
    for (const std::uint64_t clock_hz : {0ULL, 1'000'000'000ULL, 1'330'000'000ULL}) {
        SCOPED_TRACE(clock_hz);
        ProfileReport profile{clock_hz, {}};
        for (std::uint32_t t = 0; t < 2; ++t) {
            vorn_package::TileProfile tile{t, {}};
            std::uint32_t at = 4'700 + 13 * t;
            for (std::uint32_t i = 0; i < 400; ++i) {
                const std::uint32_t length = (i * 37 + t * 11) % 1009 + 1;
                tile.samples.push_back(
                    sample(at, at + length, ProfileStepKind::Compute, "op", "k", i / 8));
                at += length;
            }
            profile.tiles.push_back(std::move(tile));
        }
        simdjson::dom::parser parser;
        const DecodedJson trace =
            decode_chrome_json(write(profile, vorn_cli::TraceFormat::ChromeJson), parser);
        ASSERT_EQ(trace.slices.size(), 800U);
        std::map<std::uint64_t, std::vector<JsonSlice>> lanes;
        for (const JsonSlice& slice : trace.slices) {
            lanes[slice.tid].push_back(slice);
        }
        ASSERT_EQ(lanes.size(), 2U);
        std::size_t mismatched = 0;
        for (auto& [tid, lane] : lanes) {
            std::sort(lane.begin(), lane.end(), [](const JsonSlice& a, const JsonSlice& b) {
                return a.slice.start < b.slice.start;
            });
            for (std::size_t i = 1; i < lane.size(); ++i) {
                ASSERT_EQ(lane[i - 1].slice.end, lane[i].slice.start);
                mismatched += lane[i - 1].end_us != lane[i].begin_us ? 1 : 0;
            }
        }
        EXPECT_EQ(mismatched, 0U) << "of 798 adjacent pairs";
    }
}

// Lanes come from an interval partition; a table of layouts and their lane counts.
TEST(AssignLanes, FewestLanesWithoutTouchingEmptySlices) {
    struct Case {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> slices;
        std::uint32_t lanes;
    };
    const Case cases[] = {
        {{}, 0},
        {{{0, 10}, {10, 20}, {20, 30}}, 1},
        {{{0, 10}, {5, 15}, {10, 20}}, 2},
        {{{0, 10}, {10, 10}}, 2},   // empty at the end of another
        {{{10, 10}, {10, 20}}, 2},  // empty at the start of another
        {{{5, 5}, {5, 5}, {6, 6}}, 2},
        {{{0, 100}, {10, 20}, {30, 40}, {50, 60}}, 2},
    };
    for (const Case& c : cases) {
        std::vector<vorn_view::LaneSlice> slices;
        for (std::size_t i = 0; i < c.slices.size(); ++i) {
            slices.push_back({i, c.slices[i].first, c.slices[i].second, 0});
        }
        EXPECT_EQ(vorn_view::assign_lanes(slices), c.lanes) << testing::PrintToString(c.slices);
        std::map<std::uint32_t, std::vector<std::pair<std::uint64_t, std::uint64_t>>> lanes;
        for (const auto& slice : slices)
            lanes[slice.lane].emplace_back(slice.start, slice.end);
        for (const auto& [lane, members] : lanes) {
            expect_lane_is_a_sequence(members, "lane " + std::to_string(lane));
        }
    }
    // Many steps all at once: one lane each, found in n log n.
    std::vector<vorn_view::LaneSlice> stacked;
    for (std::uint64_t i = 0; i < 50'000; ++i)
        stacked.push_back({i, i, 100'000, 0});
    EXPECT_EQ(vorn_view::assign_lanes(stacked), 50'000U);
}

}  // namespace
