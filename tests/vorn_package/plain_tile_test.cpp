#include "vorn_package/json/plain_tile.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vorn_package::json {
namespace {

// Keeps what reaches it, texts copied.
struct Received {
    std::uint32_t physical = 0;
    bool have_physical = false;
    std::vector<std::string> samples;
};

class RecordingSink final : public ProfileSink {
public:
    explicit RecordingSink(Received& received) : received_(received) {}
    void set_clock_hz(std::uint64_t) override {}
    void begin_tile(std::size_t) override {}
    void set_physical_tile(std::uint32_t physical) override {
        received_.physical = physical;
        received_.have_physical = true;
    }
    void add_sample(const SampleFields& f) override {
        std::string line = std::to_string(f.start_cycle) + " " + std::to_string(f.end_cycle) + " " +
                           std::to_string(f.local_index) + " " + std::to_string(f.phase) + " " +
                           std::to_string(f.epoch) + " " + std::string(f.operation) + " " +
                           std::to_string(static_cast<int>(f.kind)) + " " + std::string(f.kernel);
        for (const MetadataText& entry : f.metadata) {
            line += " " + std::string(entry.name) + "=" + std::string(entry.value);
        }
        received_.samples.push_back(line);
    }
    void end_tile() override {}

private:
    Received& received_;
};

std::string sample(const std::string& start, const std::string& operation, const std::string& kind,
                   const std::string& metadata) {
    return R"({"start_cycle": )" + start + R"(, "end_cycle": 9, "step": {"local_index": 1, )" +
           R"("phase": 2, "epoch": 3, "operation": )" + operation + R"(, "kind": )" + kind +
           R"(, "kernel": "k", "metadata": )" + metadata + "}}";
}

std::string tile(const std::string& samples) {
    return "{\n  \"physical_tile\": 4,\n\t\"samples\": [" + samples + "]\r\n}";
}

// Reads `text` as one tile.
bool read_plain(const std::string& text, Received& received) {
    PlainTileReader reader;
    RecordingSink sink(received);
    return reader.read(text.data(), text.data() + text.size() - 1, sink);
}

TEST(PlainTile, ReadsTilesWrittenTheUsualWay) {
    const std::string metadata = R"([{"name": "a", "value": "b"}, {"name": "", "value": "c d"}])";
    Received received;
    ASSERT_TRUE(read_plain(tile(sample("4294967295", R"("op")", R"("idle")", metadata) + ",\n" +
                                sample("0", R"("")", R"("exchange")", "[ ]")),
                           received));
    EXPECT_EQ(received.physical, 4u);
    EXPECT_EQ(received.samples,
              (std::vector<std::string>{"4294967295 9 1 2 3 op 3 k a=b =c d", "0 9 1 2 3  0 k"}));

    Received empty;
    ASSERT_TRUE(read_plain(R"({"physical_tile": 0, "samples": []})", empty));
    EXPECT_TRUE(empty.have_physical);
    EXPECT_TRUE(empty.samples.empty());
}

// Anything unusual is left to the general parser, and nothing reaches the sink before.
TEST(PlainTile, LeavesEveryOtherTileUntouched) {
    const std::string good = sample("1", R"("op")", R"("compute")", "[]");
    const std::vector<std::string> unusual = {
        tile(good + "," + sample("4294967296", R"("op")", R"("compute")", "[]")),
        tile(good + "," + sample("01", R"("op")", R"("compute")", "[]")),
        tile(good + "," + sample("-1", R"("op")", R"("compute")", "[]")),
        tile(good + "," + sample("1.0", R"("op")", R"("compute")", "[]")),
        tile(good + "," + sample("1", R"("o\"p")", R"("compute")", "[]")),
        tile(good + "," + sample("1", "\"caf\xc3\xa9\"", R"("compute")", "[]")),
        tile(good + "," + sample("1", "\"tab\there\"", R"("compute")", "[]")),
        tile(good + "," + sample("1", R"("op")", R"("other")", "[]")),
        tile(good + "," +
             sample("1", R"("op")", R"("compute")", R"([{"value": "v", "name": "n"}])")),
        tile(good + "," + sample("1", R"("op")", R"("compute")", R"([{"name": "n"}])")),
        tile(good + "," + sample("1", "7", R"("compute")", "[]")),
        tile(good + ","),
        tile(good + "," + good + "]"),
        tile(good + "\v"),
        R"({"samples": [], "physical_tile": 0})",
        R"({"physical_tile": 0, "samples": [], "extra": 1})",
        R"({"physical_tile": 0, "physical_tile": 0, "samples": []})",
        R"({"physical_tile": 0, "samples": [{"start_cycle": 1, "end_cycle": 2, )"
        R"("step": {"phase": 0, "operation": "o", "kind": "idle"}}]})",
    };
    for (const std::string& text : unusual) {
        SCOPED_TRACE(text);
        Received received;
        EXPECT_FALSE(read_plain(text, received));
        EXPECT_FALSE(received.have_physical);
        EXPECT_TRUE(received.samples.empty());
    }
}

}  // namespace
}  // namespace vorn_package::json
