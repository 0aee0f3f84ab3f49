#include "text_table.hpp"

#include <sys/ioctl.h>
#include <unistd.h>
#include <utf8proc.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
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

namespace {

TableView& current_view() {
    static TableView view;
    return view;
}

// A text column is narrowed no further than this, so that a name stays recognisable.
constexpr std::size_t kNarrowest = 12;

}  // namespace

std::vector<std::string> column_names(const std::vector<Column>& columns) {
    std::vector<std::string> names;
    for (const Column& column : columns) {
        if (std::find(names.begin(), names.end(), column.name()) == names.end()) {
            names.push_back(column.name());
        }
    }
    return names;
}

void set_table_view(TableView view) { current_view() = std::move(view); }
const TableView& table_view() { return current_view(); }

std::size_t terminal_width() {
    if (::isatty(STDOUT_FILENO) == 0) {
        return 0;
    }
    if (const char* columns = std::getenv("COLUMNS"); columns != nullptr) {
        const std::string_view text(columns);
        std::size_t value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error == std::errc() && end == text.data() + text.size() && value > 0) {
            return value;
        }
    }
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}

std::string shorten_middle(std::string_view text, std::size_t columns) {
    if (width(text) <= columns) {
        return std::string(text);
    }
    // Code points with their widths, so that a cut never splits a character.
    struct Point {
        std::size_t begin;
        std::size_t width;
    };
    std::vector<Point> points;
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        utf8proc_int32_t code = 0;
        const utf8proc_ssize_t length =
            utf8proc_iterate(bytes + i, static_cast<utf8proc_ssize_t>(text.size() - i), &code);
        const std::size_t step = length <= 0 ? 1 : static_cast<std::size_t>(length);
        points.push_back({i, width(text.substr(i, step))});
        i += step;
    }
    const std::size_t room = columns == 0 ? 0 : columns - 1;  // one for the ellipsis
    const std::size_t head_room = (room + 1) / 2;
    std::size_t head = 0;
    std::size_t used = 0;
    while (head < points.size() && used + points[head].width <= head_room) {
        used += points[head++].width;
    }
    std::size_t tail = points.size();
    while (tail > head && used + points[tail - 1].width <= room) {
        used += points[--tail].width;
    }
    std::string shortened(text.substr(0, head < points.size() ? points[head].begin : text.size()));
    shortened += "\u2026";
    if (tail < points.size()) {
        shortened += text.substr(points[tail].begin);
    }
    return shortened;
}

std::string fit_line(std::string line) {
    const std::size_t limit = table_view().width;
    if (limit == 0) {
        return line;
    }
    std::string fitted;
    std::string_view rest(line);
    while (width(rest) > limit + 1) {  // the newline takes no column
        // The last ", " whose text before it fits; none: the line stays long.
        std::size_t cut = std::string_view::npos;
        for (std::size_t at = rest.find(", "); at != std::string_view::npos;
             at = rest.find(", ", at + 1)) {
            if (width(rest.substr(0, at + 1)) > limit) {
                break;
            }
            cut = at;
        }
        if (cut == std::string_view::npos) {
            break;
        }
        fitted.append(rest.substr(0, cut + 1));
        fitted += "\n  ";
        rest.remove_prefix(cut + 2);
    }
    fitted.append(rest);
    return fitted;
}

TextTable::TextTable(std::vector<Column> columns, std::vector<std::string> shown)
    : columns_(std::move(columns)), shown_(std::move(shown)) {
    for (std::size_t c = 0; c < columns_.size(); ++c) {
        widths_.push_back(width(columns_[c].title));
        order_.push_back(c);
    }
}

void TextTable::fit() {
    const TableView& view = table_view();
    if (!view.fitted()) {
        return;
    }
    const std::vector<std::string>& chosen = !view.columns.empty() ? view.columns : shown_;
    if (!chosen.empty() && !(chosen.size() == 1 && chosen[0] == "all")) {
        std::vector<std::size_t> order;
        for (const std::string& title : chosen) {
            for (std::size_t c = 0; c < columns_.size(); ++c) {
                if (columns_[c].name() == title) {
                    order.push_back(c);
                }
            }
        }
        if (!order.empty()) {
            order_ = std::move(order);
        }
    }
    if (view.width == 0) {
        return;
    }
    const auto total = [&] {
        std::size_t sum = 0;
        for (const std::size_t c : order_) {
            sum += widths_[c];
        }
        return sum + 2 * (order_.size() - 1);
    };
    // Narrow the widest text column, one column at a time, then leave out columns at the end.
    while (total() > view.width) {
        std::size_t widest = columns_.size();
        for (const std::size_t c : order_) {
            if (columns_[c].align == Align::Left && widths_[c] > kNarrowest &&
                (widest == columns_.size() || widths_[c] > widths_[widest])) {
                widest = c;
            }
        }
        if (widest == columns_.size()) {
            break;
        }
        const std::size_t excess = total() - view.width;
        widths_[widest] = std::max({kNarrowest, width(columns_[widest].title),
                                    widths_[widest] - std::min(excess, widths_[widest])});
    }
    while (total() > view.width && order_.size() > 1) {
        order_.pop_back();
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
    for (std::size_t at = 0; at < order_.size(); ++at) {
        const std::size_t c = order_[at];
        const std::string& whole = cells == nullptr    ? columns_[c].title
                                   : c < cells->size() ? (*cells)[c]
                                                       : kEmpty;
        std::string shown;
        const std::size_t whole_width = width(whole);
        if (whole_width > widths_[c]) {
            shown = shorten_middle(printable(whole), widths_[c]);
        }
        const std::string_view cell = whole_width > widths_[c] ? shown : whole;
        const std::size_t pad = widths_[c] - std::min(widths_[c], width(cell));
        if (at != 0) {
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
