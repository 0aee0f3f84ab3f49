// Reading partial reports from files and merging them in order.
#include "partial_files.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "vorn_profile/partial_bytes.hpp"

namespace vorn_cli {
namespace {

constexpr int kBadFile = 1;
constexpr int kUsage = 2;

struct ReadPart {
    std::optional<vorn_profile::QueryPartial> part;
    std::string error;
};

ReadPart read_part(const std::string& path) {
    std::string bytes;
    if (path == "-") {
        std::ostringstream in;
        in << std::cin.rdbuf();
        bytes = std::move(in).str();
    } else {
        std::error_code code;
        if (std::filesystem::is_directory(path, code)) {
            return {std::nullopt, path + ": is a directory, not a partial report"};
        }
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            return {std::nullopt, path + ": cannot open: " + std::strerror(errno)};
        }
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (in.bad()) {
            return {std::nullopt, path + ": cannot read: " + std::strerror(errno)};
        }
    }
    auto read = vorn_profile::partial_from_bytes(bytes);
    if (!read) {
        return {std::nullopt, path + ": not a usable partial report: " + to_string(read.error())};
    }
    return {*std::move(read), {}};
}

/// Merges parts [first, last) in a balanced tree; a conflict names the two files at the
/// boundary where it was found.
std::optional<vorn_profile::QueryPartial> merge_range(
    std::vector<std::optional<vorn_profile::QueryPartial>>& parts,
    const std::vector<std::string>& paths, std::size_t first, std::size_t last,
    std::string& error) {
    if (last - first == 1) {
        return std::move(parts[first]);
    }
    const std::size_t middle = first + (last - first) / 2;
    auto left = merge_range(parts, paths, first, middle, error);
    if (!left) {
        return std::nullopt;
    }
    auto right = merge_range(parts, paths, middle, last, error);
    if (!right) {
        return std::nullopt;
    }
    if (const auto conflict = vorn_profile::merge_conflict(*left, *right)) {
        error = paths[middle] + ": cannot be merged after " + paths[middle - 1] + ": " + *conflict;
        return std::nullopt;
    }
    return vorn_profile::merge(*std::move(left), *std::move(right));
}

}  // namespace

MergedParts merge_part_files(const std::vector<std::string>& paths,
                             std::optional<std::uint64_t> limit,
                             std::optional<std::uint64_t> sample_limit) {
    std::vector<std::optional<vorn_profile::QueryPartial>> parts;
    parts.reserve(paths.size());
    for (const std::string& path : paths) {
        ReadPart read = read_part(path);
        if (!read.part) {
            return {std::nullopt, std::move(read.error), kBadFile};
        }
        parts.push_back(std::move(read.part));
    }
    MergedParts result;
    result.merged = merge_range(parts, paths, 0, parts.size(), result.error);
    if (!result.merged) {
        result.status = kBadFile;
        return result;
    }
    const vorn_profile::Query& query = vorn_profile::partial_query(*result.merged);
    const auto refuse = [&](std::string message) {
        return MergedParts{std::nullopt, std::move(message), kUsage};
    };
    if (limit) {
        if (query.limit) {
            return refuse("--limit: the parts were made with --limit " +
                          std::to_string(*query.limit) + "; give it to the parts or to merge");
        }
        result.merged = vorn_profile::with_limit(*std::move(result.merged), limit);
    }
    if (sample_limit) {
        if (query.sample_limit > 0) {
            return refuse("--sample-limit: the parts were made with --sample-limit " +
                          std::to_string(query.sample_limit) +
                          "; give it to the parts or to merge");
        }
        if (*sample_limit > 0) {
            // A part made without a listing keeps no candidates to choose from.
            return refuse(
                "--sample-limit: the parts keep no samples to list (they were made "
                "without --sample-limit); make them with --sample-limit " +
                std::to_string(*sample_limit));
        }
    }
    return result;
}

}  // namespace vorn_cli
