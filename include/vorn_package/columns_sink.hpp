// vorn_package/columns_sink.hpp
//
// Where a profile goes while it is made sample by sample, tile after tile: columns in memory
// (`BuilderSink` over a `ColumnsBuilder`) or a packed file written as it comes
// (`PackedFileWriter`, <vorn_package/profile_packed.hpp>). A producer written against the sink
// makes either without building records.
//
//     vorn_package::ColumnsBuilder builder;
//     vorn_package::BuilderSink sink(builder);
//     vorn_package::synthetic_samples(options, sink);
//     vorn_package::ProfileColumns columns = builder.finish();
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "vorn_package/profile_columns.hpp"

namespace vorn_package {

/// The calls of `ColumnsBuilder` that make a profile, behind an interface.
class ColumnsSink {
public:
    virtual ~ColumnsSink() = default;

    virtual void set_clock_hz(std::uint64_t clock_hz) = 0;
    /// Starts a tile; the samples added next belong to it.
    virtual void begin_tile(std::uint32_t physical_tile) = 0;
    /// The number of a text, adding it when it is new.
    virtual std::uint32_t intern(std::string_view text) = 0;
    /// The number of a step, adding it when it is new. Texts are numbers from `intern`.
    virtual std::uint32_t intern_step(ProfileStepKind kind, std::uint32_t kernel,
                                      std::uint32_t operation,
                                      std::span<const MetadataPair> metadata) = 0;
    /// Appends a sample to the current tile.
    virtual void add_sample(std::uint32_t start_cycle, std::uint32_t end_cycle, std::uint32_t phase,
                            std::uint32_t epoch, std::uint32_t local_index, std::uint32_t step) = 0;

protected:
    ColumnsSink() = default;
    ColumnsSink(const ColumnsSink&) = default;
    ColumnsSink& operator=(const ColumnsSink&) = default;
};

/// A sink that hands everything to a `ColumnsBuilder`, which the caller finishes.
class BuilderSink final : public ColumnsSink {
public:
    explicit BuilderSink(ColumnsBuilder& builder) : builder_(&builder) {}

    void set_clock_hz(std::uint64_t clock_hz) override { builder_->set_clock_hz(clock_hz); }
    void begin_tile(std::uint32_t physical_tile) override { builder_->begin_tile(physical_tile); }
    std::uint32_t intern(std::string_view text) override { return builder_->intern(text); }
    std::uint32_t intern_step(ProfileStepKind kind, std::uint32_t kernel, std::uint32_t operation,
                              std::span<const MetadataPair> metadata) override {
        return builder_->intern_step(kind, kernel, operation, metadata);
    }
    void add_sample(std::uint32_t start_cycle, std::uint32_t end_cycle, std::uint32_t phase,
                    std::uint32_t epoch, std::uint32_t local_index, std::uint32_t step) override {
        builder_->add_sample(start_cycle, end_cycle, phase, epoch, local_index, step);
    }

private:
    ColumnsBuilder* builder_;
};

}  // namespace vorn_package
