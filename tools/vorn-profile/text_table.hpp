// Aligned plain-text tables for terminal output.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorn_cli {

/// `text` with control characters written as \xNN, so that it stays on one line.
std::string printable(std::string_view text);

enum class Align { Left, Right };

struct Column {
    // Not explicit: tables list their columns as {title} or {title, align}.
    Column(std::string title_text, Align alignment = Align::Left, std::string key_name = {})
        : title(std::move(title_text)), align(alignment), key(std::move(key_name)) {}

    std::string title;
    Align align = Align::Left;
    /// What `--columns` calls the column when its title says more than its name (a count);
    /// the title when empty.
    std::string key;

    const std::string& name() const { return key.empty() ? title : key; }
};

/// The names `--columns` gives to `columns`, in order, each once.
std::vector<std::string> column_names(const std::vector<Column>& columns);

/// How tables are laid out for this run: on a terminal as wide as it, with chosen columns.
struct TableView {
    std::size_t width = 0;             ///< a terminal's width; 0 when output is not a terminal
    std::vector<std::string> columns;  ///< `--columns`: titles in order, or {"all"}
    /// Whether the table is fitted at all: on a terminal, or with `--columns`.
    bool fitted() const { return width != 0 || !columns.empty(); }
};

/// The view every table of this run uses; set once, before anything is written.
void set_table_view(TableView view);
const TableView& table_view();

/// The width of a terminal on standard output (`COLUMNS` when set, else the terminal's own),
/// or 0 when standard output is not a terminal.
std::size_t terminal_width();

/// A line of text (ending in a newline) broken after ", " where it would pass the width of a
/// terminal view, continuation lines indented by two; as it was elsewhere.
std::string fit_line(std::string line);

/// `text` cut to at most `columns` terminal columns by taking out its middle, marked with
/// "…"; as it was when it fits.
std::string shorten_middle(std::string_view text, std::size_t columns);

/// Rows of cells under titled columns, two spaces between columns. Widths are terminal columns
/// (wide characters take two, combining marks none); control characters in cells are shown
/// escaped, as by `printable`, so that a row stays a line.
class TextTable {
public:
    /// `shown` lists the titles a fitted table shows when `--columns` does not choose; empty
    /// shows every column.
    explicit TextTable(std::vector<Column> columns, std::vector<std::string> shown = {});

    /// Writes the title row and one row per call of `emit(cells)` that `rows(emit)` makes, each
    /// with one cell per column, every line ending in a newline and without trailing blanks.
    /// `rows` is called twice, once to measure the columns and once to write: the rows are
    /// never held, so a table of any length costs one row of memory.
    template <class Rows>
    void write(std::ostream& out, Rows rows) {
        rows([&](const std::vector<std::string>& cells) { measure(cells); });
        fit();
        write_line(out, nullptr);
        rows([&](const std::vector<std::string>& cells) { write_line(out, &cells); });
    }

private:
    /// Picks the columns of the view and narrows them to its width.
    void fit();

    void measure(const std::vector<std::string>& cells);
    /// Writes `cells`, or the titles when it is null.
    void write_line(std::ostream& out, const std::vector<std::string>* cells);

    std::vector<Column> columns_;
    std::vector<std::size_t> widths_;
    std::vector<std::size_t> order_;  // the columns written, in order
    std::vector<std::string> shown_;
    std::string line_;  // reused from row to row
};

}  // namespace vorn_cli
