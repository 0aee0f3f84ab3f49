// Reading a directory of shards as one profile: the shards found and ordered by name, opened on
// several threads, checked to share a clock, and copied one after another into one set of
// columns (a single shard is handed out as it was read).
#include <algorithm>
#include <filesystem>
#include <optional>
#include <string_view>

#include "parallel_for.hpp"
#include "vorn_package/profile_file.hpp"
#include "vorn_package/profile_shards.hpp"

namespace vorn_package {
namespace {

bool is_shard_name(std::string_view name) {
    return name.ends_with(".packed") || name.ends_with(".json");
}

Unexpected<ReadError> fail(std::string path, std::string message) {
    return {{0, std::move(path), std::move(message)}};
}

/// The names of the shards of `directory`, in byte order.
Result<std::vector<std::string>, ReadError> shard_names(const std::string& directory) {
    std::vector<std::string> names;
    std::error_code error;
    std::filesystem::directory_iterator entry(directory, error);
    for (; !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
        std::string name = entry->path().filename().string();
        std::error_code status_error;  // an entry gone meanwhile is no shard
        if (is_shard_name(name) && entry->is_regular_file(status_error)) {
            names.push_back(std::move(name));
        }
    }
    if (error) {
        return fail("", "cannot read the directory: " + error.message());
    }
    if (names.empty()) {
        return fail("",
                    "a directory of shards without a shard: no regular file in it has a "
                    "name ending in .packed or .json");
    }
    std::sort(names.begin(), names.end());  // byte order: char_traits<char> compares unsigned
    return names;
}

}  // namespace

Result<ProfileColumns, ReadError> read_profile_shards(const std::string& directory,
                                                      std::size_t threads) {
    auto names = shard_names(directory);
    if (!names) {
        return Unexpected<ReadError>{names.error()};
    }
    const std::string base = directory.ends_with('/') ? directory : directory + "/";
    std::vector<std::optional<Result<ProfileColumns, ReadError>>> shards(names->size());
    // Threads left over from one a shard check the shards within.
    const std::size_t within = std::max<std::size_t>(threads / shards.size(), 1);
    parallel_for(shards.size(), threads, [&](std::size_t i) {
        shards[i].emplace(read_profile_columns_file(base + (*names)[i], {}, within));
    });

    std::uint64_t tiles = 0;
    std::uint64_t samples = 0;
    for (std::size_t i = 0; i < shards.size(); ++i) {
        const auto& shard = *shards[i];
        const std::string& name = (*names)[i];
        if (!shard) {
            ReadError error = shard.error();
            error.path = "shard " + name + (error.path.empty() ? "" : ", " + error.path);
            return Unexpected<ReadError>{std::move(error)};
        }
        if (shard->clock_hz != (*shards[0])->clock_hz) {
            return fail("shard " + name, "the shards have different clocks: " + (*names)[0] +
                                             " has clock_hz " +
                                             std::to_string((*shards[0])->clock_hz) + ", " + name +
                                             " has " + std::to_string(shard->clock_hz));
        }
        tiles += shard->tile_count();
        samples += shard->sample_count();
    }
    if (tiles > 0xffff'ffffULL) {
        return fail("shard " + names->back(), "the shards hold " + std::to_string(tiles) +
                                                  " tiles, more than 32-bit numbers name");
    }
    if (shards.size() == 1) {
        return std::move(*shards[0]);
    }
    ColumnsBuilder builder;
    builder.set_clock_hz((*shards[0])->clock_hz);
    builder.reserve_samples(samples);
    for (auto& shard : shards) {
        builder.append(**shard);
        shard.reset();  // a mapped shard is let go once copied: memory stays near one copy
    }
    return builder.finish();
}

}  // namespace vorn_package
