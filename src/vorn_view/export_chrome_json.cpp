// The Trace Event Format (JSON): one process for the profile, one thread per tile lane named and
// ordered by `M` events, a `B` and an `E` event for each step and `C` events for the counters.
// Times are microseconds with three decimals, so nanoseconds stay exact. A step's end is
// written as its own `E` time, not as a duration: a viewer adding ts + dur in floating point can
// land past the next step's ts (4.733 + 0.001 is not 4.734), while an end and the next begin
// written as the same text are the same number in every viewer.
#include <algorithm>
#include <charconv>
#include <ostream>
#include <string>
#include <vector>

#include "vorn_view/export_trace.hpp"
#include "vorn_view/text_format.hpp"

namespace vorn_view {
namespace {

constexpr std::size_t kFlushBytes = 1 << 20;
constexpr int kPid = 1;

class ChromeJsonSink final : public TraceSink {
public:
    ChromeJsonSink(std::ostream& out, const vorn_package::ProfileColumns& columns)
        : out_(out), columns_(columns), quoted_(columns.text_count()) {
        // Every text quoted once, on first use.
        quoted_done_.assign(columns.text_count(), false);
    }

    void begin(const TraceHeader& header) override {
        buffer_ += "{\"displayTimeUnit\":\"ns\",\"otherData\":{\"source\":";
        buffer_ += json_string(header.source);
        buffer_ += ",\"clock_hz\":";
        number(header.clock_hz);
        buffer_ += ",\"time\":";
        buffer_ += json_string(header.time_note);
        if (header.window != Window{}) {
            buffer_ += ",\"window_from_cycles\":";
            number(header.window.from);
            buffer_ += ",\"window_to_cycles\":";
            number(header.window.to);
        }
        buffer_ += "},\"traceEvents\":[\n";
        metadata_event("process_name", 0, "\"name\":" + json_string(header.title));
        metadata_event("process_sort_index", 0, "\"sort_index\":0");
    }

    void tile(std::uint32_t physical, std::uint32_t, std::uint32_t lanes,
              std::span<const LaneSlice> slices) override {
        const std::string name = "tile " + std::to_string(physical);
        const std::uint64_t first_tid = next_tid_;
        for (std::uint32_t lane = 0; lane < std::max<std::uint32_t>(lanes, 1); ++lane) {
            const std::uint64_t tid = next_tid_++;
            const std::string lane_name =
                lane == 0 ? name : name + " lane " + std::to_string(lane + 1);
            metadata_event("thread_name", tid, "\"name\":" + json_string(lane_name));
            metadata_event("thread_sort_index", tid, "\"sort_index\":" + std::to_string(tid));
        }
        // The slices come by start, and those of one lane follow each other, so each lane's
        // events come in time order, every end before the begin that follows it.
        for (const LaneSlice& slice : slices) {
            step_events(slice, first_tid + slice.lane);
        }
    }

    void counters(const ActivityBuckets& activity) override {
        if (activity.count() == 0) {
            return;
        }
        std::vector<double> last(kKindCount + 1, -1.0);
        for (std::uint64_t b = 0; b <= activity.count(); ++b) {
            const bool end = b == activity.count();
            const std::uint64_t at = end ? activity.end() : activity.bucket_start(b);
            const auto value = [&](std::size_t series) {
                return end ? 0.0 : activity.mean_active(series, b);
            };
            bool changed = false;
            for (std::size_t k = 0; k <= kKindCount; ++k) {
                changed = changed || value(k) != last[k];
            }
            if (!changed) {
                continue;
            }
            for (std::size_t k = 0; k <= kKindCount; ++k) {
                last[k] = value(k);
            }
            // The total alone, and the kinds as the series of one stacked counter.
            counter_event("tiles active", at);
            buffer_ += "\"total\":";
            buffer_ += shortest_double(value(kKindCount));
            buffer_ += "}},\n";
            counter_event("tiles active by kind", at);
            for (std::size_t k = 0; k < kKindCount; ++k) {
                buffer_ += k == 0 ? "\"" : ",\"";
                buffer_ += kind_text(kKinds[k]);
                buffer_ += "\":";
                buffer_ += shortest_double(value(k));
            }
            buffer_ += "}},\n";
            maybe_flush();
        }
    }

    void end() override {
        // Every event line ends in ",\n"; the last one loses its comma.
        if (buffer_.size() >= 2 && buffer_[buffer_.size() - 2] == ',') {
            buffer_.erase(buffer_.size() - 2, 1);
        }
        buffer_ += "]}\n";
        flush(0);
    }

private:
    void number(std::uint64_t value) {
        char digits[24];
        const auto result = std::to_chars(digits, digits + sizeof digits, value);
        buffer_.append(digits, static_cast<std::size_t>(result.ptr - digits));
    }

    /// Nanoseconds as microseconds with three decimals.
    void microseconds(std::uint64_t ns) {
        number(ns / 1000);
        const std::uint64_t fraction = ns % 1000;
        const char decimals[] = {'.', static_cast<char>('0' + fraction / 100),
                                 static_cast<char>('0' + fraction / 10 % 10),
                                 static_cast<char>('0' + fraction % 10)};
        buffer_.append(decimals, sizeof decimals);
    }

    const std::string& quoted(std::uint32_t text) {
        if (!quoted_done_[text]) {
            quoted_done_[text] = true;
            quoted_[text] = json_string(columns_.text(text));
        }
        return quoted_[text];
    }

    void metadata_event(const char* name, std::uint64_t tid, const std::string& args) {
        buffer_ += "{\"ph\":\"M\",\"name\":\"";
        buffer_ += name;
        buffer_ += "\",\"pid\":";
        number(kPid);
        if (tid != 0) {
            buffer_ += ",\"tid\":";
            number(tid);
        }
        buffer_ += ",\"args\":{";
        buffer_ += args;
        buffer_ += "}},\n";
    }

    void counter_event(const char* name, std::uint64_t cycles) {
        buffer_ += "{\"ph\":\"C\",\"name\":\"";
        buffer_ += name;
        buffer_ += "\",\"pid\":";
        number(kPid);
        buffer_ += ",\"ts\":";
        microseconds(cycles_to_ns(cycles, columns_.clock_hz));
        buffer_ += ",\"args\":{";
    }

    /// A step as a `B` event and its `E`. Both carry the same name and arguments, as one text:
    /// some viewers match an end to its begin by them, and others merge the end's arguments
    /// into the slice.
    void step_events(const LaneSlice& slice, std::uint64_t tid) {
        const std::uint32_t step = columns_.step[slice.sample];
        buffer_ += "{\"ph\":\"B\",\"ts\":";
        microseconds(slice.start);
        const std::size_t identity_begin = buffer_.size();
        buffer_ += ",\"name\":";
        buffer_ += quoted(columns_.step_operation[step]);
        buffer_ += ",\"cat\":\"";
        buffer_ += kind_text(columns_.step_kind[step]);
        buffer_ += "\",\"pid\":";
        number(kPid);
        buffer_ += ",\"tid\":";
        number(tid);
        buffer_ += ",\"args\":{\"kernel\":";
        buffer_ += quoted(columns_.step_kernel[step]);
        buffer_ += ",\"phase\":";
        number(columns_.phase[slice.sample]);
        buffer_ += ",\"epoch\":";
        number(columns_.epoch[slice.sample]);
        buffer_ += ",\"local_index\":";
        number(columns_.local_index[slice.sample]);
        const std::span<const vorn_package::MetadataPair> entries = columns_.step_metadata(step);
        if (!entries.empty()) {
            buffer_ += ",\"metadata\":{";
            for (std::size_t i = 0; i < entries.size(); ++i) {
                if (i > 0) {
                    buffer_ += ',';
                }
                // A name that repeats within the step gets "#2", "#3", ...: object member
                // names must be unique, and every entry must stay visible.
                const std::size_t repeat =
                    std::count_if(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(i),
                                  [&](const vorn_package::MetadataPair& earlier) {
                                      return earlier.name == entries[i].name;
                                  });
                if (repeat == 0) {
                    buffer_ += quoted(entries[i].name);
                } else {
                    buffer_ += json_string(std::string(columns_.text(entries[i].name)) + "#" +
                                           std::to_string(repeat + 1));
                }
                buffer_ += ':';
                buffer_ += quoted(entries[i].value);
            }
            buffer_ += '}';
        }
        buffer_ += '}';
        identity_.assign(buffer_, identity_begin);
        buffer_ += "},\n{\"ph\":\"E\",\"ts\":";
        microseconds(slice.end);
        buffer_ += identity_;
        buffer_ += "},\n";
        maybe_flush();
    }

    void maybe_flush() {
        if (buffer_.size() >= kFlushBytes) {
            // The last two bytes stay until the end, so the final comma can still be removed.
            flush(2);
        }
    }

    void flush(std::size_t keep) {
        keep = std::min(keep, buffer_.size());
        out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size() - keep));
        buffer_.erase(0, buffer_.size() - keep);
    }

    std::ostream& out_;
    const vorn_package::ProfileColumns& columns_;
    std::string buffer_;
    std::string identity_;  // the name, category, thread and arguments of the step being written
    std::vector<std::string> quoted_;
    std::vector<bool> quoted_done_;
    std::uint64_t next_tid_ = 1;
};

}  // namespace

void write_chrome_json(std::ostream& out, const vorn_package::ProfileColumns& columns,
                       const ExportOptions& options) {
    ChromeJsonSink sink(out, columns);
    export_trace(columns, options, sink);
}

}  // namespace vorn_view
