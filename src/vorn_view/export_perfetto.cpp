// The Perfetto trace: a stream of length-prefixed TracePackets, each built with the classes
// generated from proto/trace.proto and written out as soon as it is complete. Texts (operation
// names, kinds, argument names, kernels and metadata values) are interned on first use, so each
// is written once and later packets refer to it by number.
#include <algorithm>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "proto/trace.pb.h"
#include "vorn_view/export_trace.hpp"

namespace vorn_view {
namespace {

using vorn_trace::DebugAnnotation;
using vorn_trace::TracePacket;
using vorn_trace::TrackDescriptor;
using vorn_trace::TrackEvent;

constexpr std::uint32_t kSequence = 1;
constexpr std::uint64_t kRootTrack = 1;
constexpr std::uint64_t kFirstCounterTrack = 2;  // total, then one per kind
constexpr std::uint64_t kFirstTileTrack = kFirstCounterTrack + kKindCount + 1;
constexpr std::size_t kFlushBytes = 1 << 20;

// Interned argument names: the fixed ones, then metadata names by text number.
enum FixedName : std::uint64_t { kKernel = 1, kPhase, kEpoch, kLocalIndex, kMetadata, kFixedNames };
constexpr const char* kFixedNameText[] = {"",      "kernel",      "phase",
                                          "epoch", "local_index", "metadata"};

std::int32_t rank_of(std::uint64_t position) {
    return static_cast<std::int32_t>(
        std::min<std::uint64_t>(position, std::numeric_limits<std::int32_t>::max()));
}

class PerfettoSink final : public TraceSink {
public:
    PerfettoSink(std::ostream& out, const vorn_package::ProfileColumns& columns)
        : out_(out),
          columns_(columns),
          name_sent_(columns.text_count(), false),
          metadata_name_sent_(columns.text_count(), false),
          value_sent_(columns.text_count(), false) {}

    void begin(const TraceHeader& header) override {
        TracePacket& packet = start_packet();
        packet.set_sequence_flags(TracePacket::SEQ_INCREMENTAL_STATE_CLEARED |
                                  TracePacket::SEQ_NEEDS_INCREMENTAL_STATE);
        TrackDescriptor& root = *packet.mutable_track_descriptor();
        root.set_uuid(kRootTrack);
        root.set_name(header.title);
        root.set_child_ordering(TrackDescriptor::EXPLICIT);
        vorn_trace::InternedData& interned = *packet.mutable_interned_data();
        for (std::size_t k = 0; k < kKindCount; ++k) {
            vorn_trace::EventCategory& category = *interned.add_event_categories();
            category.set_iid(k + 1);
            category.set_name(std::string(kind_text(kKinds[k])));
        }
        for (std::uint64_t n = kKernel; n < kFixedNames; ++n) {
            vorn_trace::DebugAnnotationName& name = *interned.add_debug_annotation_names();
            name.set_iid(n);
            name.set_name(kFixedNameText[n]);
        }
        emit();
        // The counters first, above the tiles: the total, then one per kind.
        for (std::size_t k = 0; k <= kKindCount; ++k) {
            const std::size_t series = k == 0 ? kKindCount : k - 1;
            TracePacket& counter = start_packet();
            TrackDescriptor& track = *counter.mutable_track_descriptor();
            track.set_uuid(counter_track(series));
            track.set_parent_uuid(kRootTrack);
            track.set_name(counter_name(series));
            track.set_sibling_order_rank(static_cast<std::int32_t>(k));
            track.mutable_counter()->set_unit(vorn_trace::CounterDescriptor::UNIT_COUNT);
            track.mutable_counter()->set_unit_name("tiles");
            emit();
        }
    }

    void tile(std::uint32_t physical, std::uint32_t rank, std::uint32_t lanes,
              std::span<const LaneSlice> slices) override {
        const std::string name = "tile " + std::to_string(physical);
        const std::uint64_t tile_track = next_track_;
        lane_tracks_.assign(std::max<std::uint32_t>(lanes, 1), 0);
        lane_tracks_[0] = next_track_++;
        {
            TracePacket& packet = start_packet();
            TrackDescriptor& track = *packet.mutable_track_descriptor();
            track.set_uuid(tile_track);
            track.set_parent_uuid(kRootTrack);
            track.set_name(name);
            track.set_sibling_order_rank(rank_of(std::uint64_t{rank} + kKindCount + 1));
            if (lanes > 1) {
                track.set_child_ordering(TrackDescriptor::EXPLICIT);
            }
            emit();
        }
        for (std::uint32_t lane = 1; lane < lanes; ++lane) {
            lane_tracks_[lane] = next_track_++;
            TracePacket& packet = start_packet();
            TrackDescriptor& track = *packet.mutable_track_descriptor();
            track.set_uuid(lane_tracks_[lane]);
            track.set_parent_uuid(tile_track);
            track.set_name(name + " lane " + std::to_string(lane + 1));
            track.set_sibling_order_rank(rank_of(lane));
            emit();
        }
        for (const LaneSlice& slice : slices) {
            slice_begin(slice);
            TracePacket& packet = start_packet();
            packet.set_timestamp(slice.end);
            TrackEvent& event = *packet.mutable_track_event();
            event.set_type(TrackEvent::TYPE_SLICE_END);
            event.set_track_uuid(lane_tracks_[slice.lane]);
            emit();
        }
    }

    void counters(const ActivityBuckets& activity) override {
        if (activity.count() == 0) {
            return;
        }
        for (std::size_t series = 0; series <= kKindCount; ++series) {
            double last = -1.0;
            for (std::uint64_t b = 0; b < activity.count(); ++b) {
                const double value = activity.mean_active(series, b);
                if (value != last) {
                    counter_value(series, activity.bucket_start(b), value);
                    last = value;
                }
            }
            counter_value(series, activity.end(), 0.0);
        }
    }

    void end() override { flush(); }

private:
    static std::uint64_t counter_track(std::size_t series) {
        // The total is the first counter track, then the kinds in order.
        return series == kKindCount ? kFirstCounterTrack : kFirstCounterTrack + 1 + series;
    }

    TracePacket& start_packet() {
        packet_.Clear();
        packet_.set_trusted_packet_sequence_id(kSequence);
        return packet_;
    }

    void emit() {
        const std::size_t size = packet_.ByteSizeLong();
        // Trace.packet is field 1, length-delimited: tag byte 0x0a, then the varint length.
        buffer_.push_back('\x0a');
        std::size_t length = size;
        while (length >= 0x80) {
            buffer_.push_back(static_cast<char>((length & 0x7f) | 0x80));
            length >>= 7;
        }
        buffer_.push_back(static_cast<char>(length));
        const std::size_t at = buffer_.size();
        buffer_.resize(at + size);
        packet_.SerializeWithCachedSizesToArray(reinterpret_cast<std::uint8_t*>(&buffer_[at]));
        if (buffer_.size() >= kFlushBytes) {
            flush();
        }
    }

    void flush() {
        out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
        buffer_.clear();
    }

    vorn_trace::InternedData& interned() { return *packet_.mutable_interned_data(); }

    std::uint64_t event_name(std::uint32_t text) {
        if (!name_sent_[text]) {
            name_sent_[text] = true;
            vorn_trace::EventName& name = *interned().add_event_names();
            name.set_iid(text + 1);
            name.set_name(std::string(columns_.text(text)));
        }
        return text + 1;
    }

    std::uint64_t metadata_name(std::uint32_t text) {
        const std::uint64_t iid = kFixedNames + text;
        if (!metadata_name_sent_[text]) {
            metadata_name_sent_[text] = true;
            vorn_trace::DebugAnnotationName& name = *interned().add_debug_annotation_names();
            name.set_iid(iid);
            name.set_name(std::string(columns_.text(text)));
        }
        return iid;
    }

    std::uint64_t string_value(std::uint32_t text) {
        if (!value_sent_[text]) {
            value_sent_[text] = true;
            vorn_trace::InternedString& value = *interned().add_debug_annotation_string_values();
            value.set_iid(text + 1);
            value.set_str(std::string(columns_.text(text)));
        }
        return text + 1;
    }

    void slice_begin(const LaneSlice& slice) {
        const std::uint32_t step = columns_.step[slice.sample];
        TracePacket& packet = start_packet();
        packet.set_timestamp(slice.start);
        packet.set_sequence_flags(TracePacket::SEQ_NEEDS_INCREMENTAL_STATE);
        TrackEvent& event = *packet.mutable_track_event();
        event.set_type(TrackEvent::TYPE_SLICE_BEGIN);
        event.set_track_uuid(lane_tracks_[slice.lane]);
        event.set_name_iid(event_name(columns_.step_operation[step]));
        event.add_category_iids(kind_slot(columns_.step_kind[step]) + 1);

        DebugAnnotation& kernel = *event.add_debug_annotations();
        kernel.set_name_iid(kKernel);
        kernel.set_string_value_iid(string_value(columns_.step_kernel[step]));
        const std::pair<FixedName, std::uint32_t> numbers[] = {
            {kPhase, columns_.phase[slice.sample]},
            {kEpoch, columns_.epoch[slice.sample]},
            {kLocalIndex, columns_.local_index[slice.sample]}};
        for (const auto& [name, value] : numbers) {
            DebugAnnotation& annotation = *event.add_debug_annotations();
            annotation.set_name_iid(name);
            annotation.set_uint_value(value);
        }
        const std::span<const vorn_package::MetadataPair> entries = columns_.step_metadata(step);
        if (entries.empty()) {
            emit();
            return;
        }
        DebugAnnotation& metadata = *event.add_debug_annotations();
        metadata.set_name_iid(kMetadata);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            DebugAnnotation& entry = *metadata.add_dict_entries();
            // A name that repeats within the step gets "#2", "#3", ...: the viewers key the
            // arguments by name, and every entry must stay visible.
            const std::size_t repeat =
                std::count_if(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(i),
                              [&](const vorn_package::MetadataPair& earlier) {
                                  return earlier.name == entries[i].name;
                              });
            if (repeat == 0) {
                entry.set_name_iid(metadata_name(entries[i].name));
            } else {
                entry.set_name(std::string(columns_.text(entries[i].name)) + "#" +
                               std::to_string(repeat + 1));
            }
            entry.set_string_value_iid(string_value(entries[i].value));
        }
        emit();
    }

    void counter_value(std::size_t series, std::uint64_t cycles, double value) {
        TracePacket& packet = start_packet();
        packet.set_timestamp(cycles_to_ns(cycles, columns_.clock_hz));
        TrackEvent& event = *packet.mutable_track_event();
        event.set_type(TrackEvent::TYPE_COUNTER);
        event.set_track_uuid(counter_track(series));
        event.set_double_counter_value(value);
        emit();
    }

    std::ostream& out_;
    const vorn_package::ProfileColumns& columns_;
    TracePacket packet_;
    std::string buffer_;
    std::vector<bool> name_sent_;
    std::vector<bool> metadata_name_sent_;
    std::vector<bool> value_sent_;
    std::vector<std::uint64_t> lane_tracks_;
    std::uint64_t next_track_ = kFirstTileTrack;
};

}  // namespace

void write_perfetto(std::ostream& out, const vorn_package::ProfileColumns& columns,
                    const ExportOptions& options) {
    PerfettoSink sink(out, columns);
    export_trace(columns, options, sink);
}

}  // namespace vorn_view
