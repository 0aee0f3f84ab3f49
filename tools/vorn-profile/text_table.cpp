#include "text_table.hpp"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace vorn_cli {

std::string printable(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}
namespace {

/// Characters on screen: UTF-8 continuation bytes take no room of their own.
std::size_t width(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xc0) != 0x80;
    }));
}

}  // namespace

TextTable::TextTable(std::vector<Column> columns) : columns_(std::move(columns)) {}

void TextTable::add_row(std::vector<std::string> cells) {
    for (std::string& cell : cells) {
        cell = printable(cell);
    }
    cells.resize(columns_.size());
    rows_.push_back(std::move(cells));
}

std::string TextTable::render() const {
    std::vector<std::size_t> widths(columns_.size());
    for (std::size_t c = 0; c < columns_.size(); ++c) {
        widths[c] = width(columns_[c].title);
        for (const auto& row : rows_) {
            widths[c] = std::max(widths[c], width(row[c]));
        }
    }
    std::string text;
    const auto line = [&](auto cell_of) {
        std::string out;
        for (std::size_t c = 0; c < columns_.size(); ++c) {
            const std::string& cell = cell_of(c);
            const std::string pad(widths[c] - width(cell), ' ');
            if (c != 0) {
                out += "  ";
            }
            out += columns_[c].align == Align::Right ? pad + cell : cell + pad;
        }
        out.erase(out.find_last_not_of(' ') + 1);
        text += out;
        text += '\n';
    };
    line([&](std::size_t c) -> const std::string& { return columns_[c].title; });
    for (const auto& row : rows_) {
        line([&](std::size_t c) -> const std::string& { return row[c]; });
    }
    return text;
}

}  // namespace vorn_cli
