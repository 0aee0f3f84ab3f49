// Error paths and messages: the JSON path of the value being read, and the texts that say what
// was expected and what was found.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vorn_package::json {

/// `text` as a JSON string for a message: escaped, and cut short (on a character boundary) if
/// long.
std::string quote_text(std::string_view text);

/// What the value at `p` looks like, for "expected X, found Y" messages. Reads at most a few
/// dozen bytes past `p`.
std::string describe(const char* p, const char* end);

/// One level of a JSON path: a member name or an array index.
struct PathPart {
    const char* key = nullptr;  ///< the member name in the input, just past its opening quote
    std::uint64_t index = 0;    ///< when `key` is null
};

/// The path of the value being read, one part per level of nesting.
class PathStack {
public:
    void push(PathPart part) {
        if (size_ == parts_.size()) [[unlikely]] {
            grow();
        }
        parts_[size_++] = part;
    }
    void pop() { --size_; }
    PathPart& back() { return parts_[size_ - 1]; }
    std::size_t size() const { return size_; }
    void truncate(std::size_t size) { size_ = size; }
    std::span<const PathPart> parts() const { return {parts_.data(), size_}; }

private:
    void grow();

    std::vector<PathPart> parts_;
    std::size_t size_ = 0;
};

/// Renders a path like `tiles[3].samples[17].start_cycle`. `end_of(key)` says where the text
/// holding a member name ends. Very deep paths keep their two ends around a "...", and very long
/// member names are cut short, so that a message stays readable.
std::string render_path(std::span<const PathPart> parts,
                        const std::function<const char*(const char*)>& end_of);

}  // namespace vorn_package::json
