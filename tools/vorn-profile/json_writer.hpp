// Building blocks of the JSON renderings: objects and arrays with their indentation and commas.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "output.hpp"

namespace vorn_cli {

/// Appends members of one object with the given indentation, handling the commas.
class ObjectWriter {
public:
    ObjectWriter(std::string& out, int indent) : out_(out), indent_(indent) { out_ += '{'; }

    void key(std::string_view name) {
        out_ += first_ ? "\n" : ",\n";
        first_ = false;
        out_.append(static_cast<std::size_t>(indent_ + 2), ' ');
        out_ += json_string(name);
        out_ += ": ";
    }
    void member(std::string_view name, std::uint64_t value) {
        key(name);
        out_ += std::to_string(value);
    }
    void member(std::string_view name, std::int64_t value) {
        key(name);
        out_ += std::to_string(value);
    }
    void member(std::string_view name, double value) {
        key(name);
        // Non-finite values have no JSON form; the engine never produces them.
        out_ += std::isfinite(value) ? shortest_double(value) : "null";
    }
    void member(std::string_view name, std::string_view value) {
        key(name);
        out_ += json_string(value);
    }
    void close() {
        if (!first_) {
            out_ += '\n';
            out_.append(static_cast<std::size_t>(indent_), ' ');
        }
        out_ += '}';
    }

private:
    std::string& out_;
    int indent_;
    bool first_ = true;
};

/// Writes `items` as an array, one element per line, each rendered by `write(item, indent)`.
template <class Items, class Write>
void array(std::string& out, const Items& items, int indent, Write write) {
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
    }
    out += '\n';
    out.append(static_cast<std::size_t>(indent), ' ');
    out += ']';
}

}  // namespace vorn_cli
