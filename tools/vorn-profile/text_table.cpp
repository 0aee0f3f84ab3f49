#include "text_table.hpp"

#include <utf8proc.h>

#include <algorithm>
#include <utility>

namespace vorn_cli {
namespace {

bool is_control(unsigned char byte) { return byte < 0x20 || byte == 0x7f; }

/// Appends `text` with each control character as \xNN.
void append_printable(std::string& out, std::string_view text) {
    constexpr std::string_view kHex = "0123456789abcdef";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (is_control(byte)) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xf];
        } else {
            out += c;
        }
    }
}

/// Terminal columns that `text` takes once escaped: a control character four (\xNN), a wide
/// character two, a combining mark none. A byte that is not part of well-formed UTF-8 takes
/// one, as a terminal shows a replacement character.
std::size_t width(std::string_view text) {
    std::size_t columns = 0;
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    std::size_t i = 0;
    while (i < text.size()) {
        if (bytes[i] < 0x80) {
            columns += is_control(bytes[i]) ? 4 : 1;
            ++i;
            continue;
        }
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

std::string printable(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    append_printable(shown, text);
    return shown;
}

TextTable::TextTable(std::vector<Column> columns) : columns_(std::move(columns)) {
    for (const Column& column : columns_) {
        widths_.push_back(width(column.title));
    }
}

void TextTable::measure(const std::vector<std::string>& cells) {
    for (std::size_t c = 0; c < widths_.size() && c < cells.size(); ++c) {
        widths_[c] = std::max(widths_[c], width(cells[c]));
    }
}

void TextTable::write_line(std::ostream& out, const std::vector<std::string>* cells) {
    static const std::string kEmpty;
    line_.clear();
    for (std::size_t c = 0; c < columns_.size(); ++c) {
        const std::string& cell = cells == nullptr    ? columns_[c].title
                                  : c < cells->size() ? (*cells)[c]
                                                      : kEmpty;
        const std::size_t pad = widths_[c] - std::min(widths_[c], width(cell));
        if (c != 0) {
            line_ += "  ";
        }
        if (columns_[c].align == Align::Right) {
            line_.append(pad, ' ');
        }
        append_printable(line_, cell);
        if (columns_[c].align == Align::Left) {
            line_.append(pad, ' ');
        }
    }
    line_.erase(line_.find_last_not_of(' ') + 1);
    line_ += '\n';
    out.write(line_.data(), static_cast<std::streamsize>(line_.size()));
}

}  // namespace vorn_cli
