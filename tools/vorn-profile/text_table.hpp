// Aligned plain-text tables for terminal output.
#pragma once

#include <string>
#include <vector>

namespace vorn_cli {

/// `text` with control characters written as \xNN, so that it stays on one line.
std::string printable(const std::string& text);

enum class Align { Left, Right };

struct Column {
    std::string title;
    Align align = Align::Left;
};

/// Rows of cells under titled columns, rendered with two spaces between columns. Widths are
/// terminal columns (wide characters take two, combining marks none); control characters in cells
/// are shown escaped so that a row stays a line.
class TextTable {
public:
    explicit TextTable(std::vector<Column> columns);

    /// One row; it must have one cell per column.
    void add_row(std::vector<std::string> cells);

    /// The title row and every row, each ending in a newline, without trailing blanks.
    std::string render() const;

private:
    std::vector<Column> columns_;
    std::vector<std::vector<std::string>> rows_;
};

}  // namespace vorn_cli
