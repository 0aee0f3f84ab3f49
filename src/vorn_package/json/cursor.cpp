// The state of one read: the text, loading a stream as it is read, and the first error with its
// path.
#include "vorn_package/json/cursor.hpp"

#include <algorithm>
#include <functional>
#include <utility>

#include "vorn_package/json/bracket_scan.hpp"

namespace vorn_package::json {
namespace {

// Bytes kept loaded after a position that a message may describe.
constexpr std::size_t kLookahead = 64;

// Where the value at `p` ends (one past it), or nullptr if it runs to `end` and may go on.
const char* value_end(const char* p, const char* end, const char* readable_end) {
    if (p == end) {
        return nullptr;
    }
    if (*p == '{' || *p == '[') {
        std::size_t grandchildren = 0;
        const char* close = find_container_end(p, end, readable_end, grandchildren);
        return close == nullptr ? nullptr : close + 1;
    }
    if (*p == '"') {
        for (const char* q = p + 1; q < end; ++q) {
            if (*q == '\\') {
                ++q;
            } else if (*q == '"') {
                return q + 1;
            }
        }
        return nullptr;
    }
    const char* stop = token_end(p, end);
    return stop == end ? nullptr : stop;
}

}  // namespace

Cursor::Cursor(Input& input)
    : input_(input),
      begin_(input.begin()),
      end_(input.end()),
      readable_end_(input.readable_end()) {}

void Cursor::sync() {
    end_ = input_.end();
    readable_end_ = input_.readable_end();
}

void Cursor::read_copy(const char* from) {
    copy_.assign(from, input_.end());
    copy_.append(kPadding, '\0');
    base_ = static_cast<std::uint64_t>(from - input_.begin());
    begin_ = copy_.data();
    end_ = begin_ + (input_.end() - from);
    readable_end_ = end_ + kPadding;
}

void Cursor::read_input() {
    base_ = 0;
    begin_ = input_.begin();
    sync();
}

bool Cursor::load(std::size_t bytes) {
    const bool grew = input_.load_more(bytes);
    sync();
    return grew;
}

const char* Cursor::skip(const char* p) {
    p = skip_space(p, end_);
    if (input_.complete()) [[likely]] {
        return p;
    }
    while (p == end_ && load(0)) {
        p = skip_space(p, end_);
    }
    while (static_cast<std::size_t>(end_ - p) < kLookahead && load(0)) {
    }
    return p;
}

void Cursor::need_value(const char* p) {
    std::size_t want = 0;
    while (!input_.complete()) {
        const char* stop = value_end(p, end_, readable_end_);
        if (stop != nullptr && static_cast<std::size_t>(end_ - stop) >= kLookahead) {
            return;
        }
        // Each try asks for as much again as is loaded after `p`, so that rescanning a long
        // value costs no more than twice its length.
        want = std::max(want, static_cast<std::size_t>(end_ - p));
        load(want);
    }
}

ReadError Cursor::take_error() {
    if (input_.error()) {
        return *input_.error();
    }
    return std::move(error_);
}

bool Cursor::fail(const char* at, std::string message) {
    if (!failed_) {
        failed_ = true;
        const char* clamped = std::clamp(at, begin_, end_);
        // A name on the path lies in the text being read, in the copy of a root member's
        // name, or (while a copy is read) in the input.
        const auto end_of = [this](const char* key) -> const char* {
            const std::less_equal<const char*> before;
            if (before(root_key_.data(), key) && before(key, root_key_.data() + root_key_.size())) {
                return root_key_.data() + root_key_.size();
            }
            return before(begin_, key) && before(key, end_) ? end_ : input_.end();
        };
        error_ = {offset(clamped), render_path(path_.parts(), end_of), std::move(message)};
    }
    return false;
}

bool Cursor::expected(const char* at, std::string_view what) {
    return fail(at, "expected " + std::string(what) + ", found " + describe(at, end_));
}

bool Cursor::duplicate(const Key& key) {
    return fail(key.at, "duplicate member " + quote_text(key.name));
}

bool Cursor::missing(const char* object, std::string_view name) {
    return fail(object, "missing required member \"" + std::string(name) + "\"");
}

void Cursor::push_root_key(std::string_view raw) {
    root_key_.assign(raw);
    root_key_ += '"';
    push_key(root_key_.data());
}

}  // namespace vorn_package::json
