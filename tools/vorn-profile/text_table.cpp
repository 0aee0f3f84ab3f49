#include "text_table.hpp"

#include <utf8proc.h>

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

/// Terminal columns that `text` takes: a wide character two, a combining mark none. A byte that
/// is not part of well-formed UTF-8 takes one, as a terminal shows a replacement character.
std::size_t width(const std::string& text) {
    std::size_t columns = 0;
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    std::size_t i = 0;
    while (i < text.size()) {
        utf8proc_int32_t code = 0;
        const utf8proc_ssize_t length =
            utf8proc_iterate(bytes + i, static_cast<utf8proc_ssize_t>(text.size() - i), &code);
        if (length <= 0) {
            ++columns;
            ++i;
            continue;
        }
        columns += static_cast<std::size_t>(std::max(utf8proc_charwidth(code), 0));
        i += static_cast<std::size_t>(length);
    }
    return columns;
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
