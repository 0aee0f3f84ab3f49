// Building blocks of the JSON renderings: objects and arrays with their indentation and commas.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <ostream>
#include <string>
#include <string_view>

#include "vorn_view/text_format.hpp"

namespace vorn_view {

/// Appends `value` in decimal.
template <class Integer>
void append_number(std::string& out, Integer value) {
    char text[24];
    out.append(text, std::to_chars(std::begin(text), std::end(text), value).ptr);
}

/// Appends members of one object with the given indentation, handling the commas.
class ObjectWriter {
public:
    ObjectWriter(std::string& out, int indent) : out_(out), indent_(indent) { out_ += '{'; }

    /// A member name from the data, escaped.
    void key(std::string_view name) {
        start_member();
        append_json_string(out_, name);
        out_ += ": ";
    }
    /// One of the record's field names, which need no escape.
    void field(std::string_view name) {
        start_member();
        out_ += '"';
        out_ += name;
        out_ += "\": ";
    }
    // The `member` functions take field names.
    void member(std::string_view name, std::uint64_t value) {
        field(name);
        append_number(out_, value);
    }
    void member(std::string_view name, std::int64_t value) {
        field(name);
        append_number(out_, value);
    }
    void member(std::string_view name, double value) {
        field(name);
        // Non-finite values have no JSON form; the engine never produces them.
        if (std::isfinite(value)) {
            append_shortest_double(out_, value);
        } else {
            out_ += "null";
        }
    }
    void member(std::string_view name, std::string_view value) {
        field(name);
        append_json_string(out_, value);
    }
    void close() {
        if (!first_) {
            out_ += '\n';
            out_.append(static_cast<std::size_t>(indent_), ' ');
        }
        out_ += '}';
    }

private:
    void start_member() {
        out_ += first_ ? "\n" : ",\n";
        first_ = false;
        out_.append(static_cast<std::size_t>(indent_ + 2), ' ');
    }

    std::string& out_;
    int indent_;
    bool first_ = true;
};

/// Appends `items` as an array, one element per line, each rendered by `write(item, indent)`.
/// With `sink`, what has been appended is written to it after each element, so that `out`
/// holds one element at a time however long the array is.
template <class Items, class Write>
void array(std::string& out, const Items& items, int indent, Write write,
           std::ostream* sink = nullptr) {
    if (items.empty()) {
        out += "[]";
        return;
    }
    out += '[';
    bool first = true;
    for (const auto& item : items) {
        out += first ? "\n" : ",\n";
        first = false;
        out.append(static_cast<std::size_t>(indent + 2), ' ');
        write(item, indent + 2);
        if (sink != nullptr) {
            sink->write(out.data(), static_cast<std::streamsize>(out.size()));
            out.clear();
        }
    }
    out += '\n';
    out.append(static_cast<std::size_t>(indent), ' ');
    out += ']';
}

}  // namespace vorn_view
