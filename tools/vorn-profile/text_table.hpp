// Aligned plain-text tables for terminal output.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace vorn_cli {

/// `text` with control characters written as \xNN, so that it stays on one line.
std::string printable(std::string_view text);

enum class Align { Left, Right };

struct Column {
    std::string title;
    Align align = Align::Left;
};

/// Rows of cells under titled columns, two spaces between columns. Widths are terminal columns
/// (wide characters take two, combining marks none); control characters in cells are shown
/// escaped, as by `printable`, so that a row stays a line.
class TextTable {
public:
    explicit TextTable(std::vector<Column> columns);

    /// Writes the title row and one row per call of `emit(cells)` that `rows(emit)` makes, each
    /// with one cell per column, every line ending in a newline and without trailing blanks.
    /// `rows` is called twice, once to measure the columns and once to write: the rows are
    /// never held, so a table of any length costs one row of memory.
    template <class Rows>
    void write(std::ostream& out, Rows rows) {
        rows([&](const std::vector<std::string>& cells) { measure(cells); });
        write_line(out, nullptr);
        rows([&](const std::vector<std::string>& cells) { write_line(out, &cells); });
    }

private:
    void measure(const std::vector<std::string>& cells);
    /// Writes `cells`, or the titles when it is null.
    void write_line(std::ostream& out, const std::vector<std::string>* cells);

    std::vector<Column> columns_;
    std::vector<std::size_t> widths_;
    std::string line_;  // reused from row to row
};

}  // namespace vorn_cli
