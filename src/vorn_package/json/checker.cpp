// The byte-level checker: well-formed JSON, UTF-8 and escapes, nesting depth and duplicate
// member names, each fault with its path and byte. It is slow next to simdjson but runs only on
// members the format does not name and on the error path.
#include <algorithm>
#include <iterator>

#include "vorn_package/json/cursor.hpp"

namespace vorn_package::json {

NameSet::NameSet() = default;
NameSet::~NameSet() = default;
NameSet::NameSet(NameSet&&) noexcept = default;
NameSet& NameSet::operator=(NameSet&&) noexcept = default;

bool NameSet::insert(std::string_view name) {
    if (set_ != nullptr) {
        return set_->emplace(name).second;
    }
    if (std::find(list_.begin(), list_.end(), name) != list_.end()) {
        return false;
    }
    list_.emplace_back(name);
    if (list_.size() > kListed) {
        set_ = std::make_unique<std::unordered_set<std::string>>(
            std::make_move_iterator(list_.begin()), std::make_move_iterator(list_.end()));
        list_.clear();
    }
    return true;
}

void NameSet::clear() {
    list_.clear();
    set_.reset();
}

NameSet& Cursor::names_at(std::size_t depth) {
    if (depth >= name_sets_.size()) [[unlikely]] {
        name_sets_.resize(depth + 1);
    }
    return name_sets_[depth];
}

bool Cursor::read_key_text(const char*& p, Key& key, bool check_text) {
    key.at = p;
    const char* body = ++p;
    const char* q = body;
    while (q != end_ && *q != '"' && *q != '\\' && static_cast<unsigned char>(*q) >= 0x20 &&
           static_cast<unsigned char>(*q) < 0x80) {
        ++q;
    }
    if (q != end_ && *q == '"') {
        key.raw = key.name = {body, static_cast<std::size_t>(q - body)};
        p = q + 1;
        return true;
    }
    key_buffer_.clear();
    if (auto fault = scan_string(p, end_, &key_buffer_, check_text)) {
        return fail(std::move(*fault));
    }
    key.raw = {body, static_cast<std::size_t>(p - body)};
    key.name = key_buffer_;
    ++p;
    return true;
}

bool Cursor::check_value(const char*& p, std::size_t depth) {
    if (p == end_) {
        return fail(p, "unexpected end of input");
    }
    if (*p == '{' || *p == '[') {
        if (depth > kMaxDepth) {
            return fail(p, "nesting deeper than " + std::to_string(kMaxDepth) + " levels");
        }
        return *p == '{' ? check_object(p, depth) : check_array(p, depth);
    }
    if (*p == '"') {
        ++p;
        if (auto fault = scan_string(p, end_, nullptr, true)) {
            return fail(std::move(*fault));
        }
        ++p;
        return true;
    }
    const char* stop = token_end(p, end_);
    const std::string_view text(p, static_cast<std::size_t>(stop - p));
    if (text == "true" || text == "false" || text == "null" || is_json_number(text)) {
        p = stop;
        return true;
    }
    return expected(p, "a JSON value");
}

bool Cursor::check_object(const char*& p, std::size_t depth) {
    p = skip(p + 1);
    if (p != end_ && *p == '}') {
        ++p;
        return true;
    }
    NameSet& names = names_at(depth);
    names.clear();
    while (true) {
        p = skip(p);
        if (p == end_ || *p != '"') {
            return expected(p, "a member name");
        }
        // The name is on the path before it is read, so that a fault in it names it.
        push_key(p + 1);
        Key key;
        if (!read_key_text(p, key, true)) {
            return false;
        }
        if (!names.insert(key.name)) {
            return duplicate(key);
        }
        pop();
        if (!expect_colon(p)) {
            return false;
        }
        push_key(key.raw.data());
        if (!check_value(p, depth + 1)) {
            return false;
        }
        pop();
        if (!next_member(p)) {
            return false;
        }
        if (p[-1] == '}') {
            return true;
        }
    }
}

bool Cursor::check_array(const char*& p, std::size_t depth) {
    p = skip(p + 1);
    if (p != end_ && *p == ']') {
        ++p;
        return true;
    }
    push_index();
    while (true) {
        p = skip(p);
        if (!check_value(p, depth + 1)) {
            return false;
        }
        p = skip(p);
        if (p != end_ && *p == ',') {
            ++p;
            ++back().index;
            continue;
        }
        if (p != end_ && *p == ']') {
            ++p;
            pop();
            return true;
        }
        pop();
        return expected(p, "',' or ']' after an array element");
    }
}

bool Cursor::expect_colon(const char*& p) {
    p = skip(p);
    if (p == end_ || *p != ':') {
        return expected(p, "':' after a member name");
    }
    p = skip(p + 1);
    return true;
}

bool Cursor::next_member(const char*& p) {
    p = skip(p);
    if (p != end_ && (*p == ',' || *p == '}')) {
        ++p;
        return true;
    }
    return expected(p, "',' or '}' after an object member");
}

}  // namespace vorn_package::json
