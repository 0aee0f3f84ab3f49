// vorn_package/profile_packed.hpp
//
// The packed profile file: a profile's columns as little-endian fixed-width arrays behind a
// header and a section table, each section checksummed (docs/packed-format.md). Opening maps
// the file and returns columns that point into the mapping, with no parse and no copy, after
// checking everything a query will index: a damaged or hostile file is an error that names the
// section and the byte, never a crash or a wrong answer.
//
//     std::ofstream out("run.packed", std::ios::binary);
//     vorn_package::write_profile_packed(out, columns);
//     auto opened = vorn_package::open_profile_packed("run.packed");
//     if (!opened) { std::cerr << "error: " << to_string(opened.error()) << '\n'; }
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

#include "vorn_package/columns_sink.hpp"
#include "vorn_package/profile_columns.hpp"
#include "vorn_package/profile_json.hpp"
#include "vorn_package/result.hpp"

namespace vorn_package {

/// The version of the packed format this build writes and reads.
inline constexpr std::uint32_t kPackedFormatVersion = 1;

/// Whether `bytes` begin with the packed format's magic number (8 bytes). A JSON profile
/// never does: its first byte is ASCII.
bool is_profile_packed(std::string_view bytes);

/// Writes `columns` as one packed file.
void write_profile_packed(std::ostream& out, const ProfileColumns& columns);

/// Opens a packed file ("-" for standard input). A regular file is mapped read-only; the
/// columns point into the mapping, which their `storage` keeps alive (see
/// <vorn_package/mapped_file_guard.hpp> for a file changed by another program meanwhile).
/// Anything else is read into memory. A file that cannot be opened or read is a `ReadError` at
/// offset 0 with the system's reason.
[[nodiscard]] Result<ProfileColumns, ReadError> open_profile_packed(const std::string& path);

/// The same, the file checked on up to `threads` threads (a large one: a small one is checked
/// on one), each mapping the pages of the sections it checks in one call.
[[nodiscard]] Result<ProfileColumns, ReadError> open_profile_packed(const std::string& path,
                                                                    std::size_t threads);

/// Opens a packed file held in memory. The columns point into `bytes`, which must stay alive
/// as long as they do unless `owner` keeps it; bytes that are not 8-byte aligned are copied.
[[nodiscard]] Result<ProfileColumns, ReadError> open_profile_packed_memory(
    std::string_view bytes, std::shared_ptr<const void> owner = {});

/// Writes a packed file as its samples come, holding only the texts and steps and a buffer
/// per column: a profile far larger than memory can be written this way. The numbers of tiles
/// and samples are given up front, so that each column's place in the file is known.
class PackedFileWriter final : public ColumnsSink {
public:
    /// Starts `path` for exactly `tiles` tiles and `samples` samples. The file is written under
    /// a temporary name beside it and renamed into place by `finish` (an `OutputFile`).
    [[nodiscard]] static Result<PackedFileWriter, std::string> create(const std::string& path,
                                                                      std::uint64_t tiles,
                                                                      std::uint64_t samples);
    ~PackedFileWriter() override;
    PackedFileWriter(PackedFileWriter&&) noexcept;
    PackedFileWriter& operator=(PackedFileWriter&&) noexcept;

    void set_clock_hz(std::uint64_t clock_hz) override;
    void begin_tile(std::uint32_t physical_tile) override;
    std::uint32_t intern(std::string_view text) override;
    std::uint32_t intern_step(ProfileStepKind kind, std::uint32_t kernel, std::uint32_t operation,
                              std::span<const MetadataPair> metadata) override;
    void add_sample(std::uint32_t start_cycle, std::uint32_t end_cycle, std::uint32_t phase,
                    std::uint32_t epoch, std::uint32_t local_index, std::uint32_t step) override;

    /// Writes what is left (tiles, steps, texts, the header) and closes the file: the file's
    /// size in bytes, or why it could not be written (also when the counts given to `create`
    /// were not met). Nothing is usable before this has succeeded.
    [[nodiscard]] Result<std::uint64_t, std::string> finish();

private:
    struct State;
    explicit PackedFileWriter(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace vorn_package
