// The state of one read: the text being read, the JSON path of the value at hand, and the first
// error. It also holds the byte-level checker, which validates what simdjson does not read (the
// members the format does not name, and any tile that simdjson finds malformed) and knows the
// exact path and byte of a fault.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "vorn_package/json/errors.hpp"
#include "vorn_package/json/input.hpp"
#include "vorn_package/json/text.hpp"
#include "vorn_package/profile_json.hpp"

namespace vorn_package::json {

constexpr std::size_t kMaxDepth = 1024;

/// The names of one object's members that the format does not define, to catch duplicates among
/// them. Such members are rare, so a short list is searched; past a few names a hash set takes
/// over, so that an object with a great many members still reads in linear time.
class NameSet {
public:
    NameSet();
    ~NameSet();
    NameSet(NameSet&&) noexcept;
    NameSet& operator=(NameSet&&) noexcept;

    /// Adds `name`; false if it is already there.
    bool insert(std::string_view name);
    void clear();

private:
    static constexpr std::size_t kListed = 16;
    std::vector<std::string> list_;
    std::unique_ptr<std::unordered_set<std::string>> set_;
};

/// A member name as read: `raw` is its text in the input, `name` the decoded name.
struct Key {
    const char* at = nullptr;  ///< the opening quote
    std::string_view raw;
    std::string_view name;
};

class Cursor {
public:
    explicit Cursor(Input& input);

    // -- the text being read: the input, or a padded copy of its tail -------------------------

    const char* begin() const { return begin_; }
    const char* end() const { return end_; }
    const char* readable_end() const { return readable_end_; }
    /// Offset in the input of the byte at `p` of the text being read.
    std::uint64_t offset(const char* p) const {
        return base_ + static_cast<std::uint64_t>(p - begin_);
    }

    /// Reads from a padded copy of the input from `from` on, until `read_input`.
    void read_copy(const char* from);
    void read_input();

    // -- a stream loaded as it is read --------------------------------------------------------

    /// Skips white space from `p`, loading more of a stream when it runs out, and keeps a few
    /// dozen bytes after it loaded for a message about what is there.
    const char* skip(const char* p);
    /// Loads a stream up to the end of the value that starts at `p` and a little beyond.
    void need_value(const char* p);
    /// Loads at least `bytes` more of a stream; false at its end.
    bool load(std::size_t bytes);
    /// The input before `p` will not be read again.
    void release_before(const char* p) { input_.release_before(p); }

    // -- errors --------------------------------------------------------------------------------

    bool failed() const { return failed_; }
    /// The first error, or the system's reason when the input could not be read whole.
    ReadError take_error();

    bool fail(const char* at, std::string message);
    bool fail(Fault fault) { return fail(fault.at, std::move(fault.message)); }
    bool expected(const char* at, std::string_view what);
    bool duplicate(const Key& key);
    bool missing(const char* object, std::string_view name);

    // -- the path ------------------------------------------------------------------------------

    void push_key(const char* raw) { path_.push({raw, 0}); }
    /// A member of the root object: its name is kept in a copy, since the input behind the
    /// reader may be released.
    void push_root_key(std::string_view raw);
    void push_index() { path_.push({nullptr, 0}); }
    void pop() { path_.pop(); }
    PathPart& back() { return path_.back(); }
    std::size_t depth() const { return path_.size(); }
    void truncate(std::size_t size) { path_.truncate(size); }

    // -- the byte-level checker ----------------------------------------------------------------

    /// Reads a member name at `p` (a quote) and leaves `p` past its closing quote.
    bool read_key_text(const char*& p, Key& key, bool check_text);
    /// Checks that the value at `p` is well-formed JSON nested at `depth`; leaves `p` past it.
    bool check_value(const char*& p, std::size_t depth);
    /// After a member name: skips the colon and the space around it.
    bool expect_colon(const char*& p);
    /// After a member value: skips a ',' or the closing '}' (then `p[-1]` says which).
    bool next_member(const char*& p);
    /// The names met so far in the object being read at `depth`. Nested objects each have
    /// their own, so every object is checked for duplicates in one pass.
    NameSet& names_at(std::size_t depth);

private:
    bool check_object(const char*& p, std::size_t depth);
    bool check_array(const char*& p, std::size_t depth);
    void sync();

    Input& input_;
    const char* begin_;
    const char* end_;
    const char* readable_end_;
    std::uint64_t base_ = 0;  // offset of `begin_` in the input
    std::string copy_;
    std::string root_key_;

    bool failed_ = false;
    ReadError error_;
    PathStack path_;
    // By the depth of the object; a deque, so that growing it keeps the sets of the enclosing
    // objects in place.
    std::deque<NameSet> name_sets_;
    std::string key_buffer_;
};

}  // namespace vorn_package::json
