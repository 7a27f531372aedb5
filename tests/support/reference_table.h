// The reference tables of tests/data: the instrument's tables (commands, errors, status-bit rows,
// bound nodes) written down once as data, independent of the code that holds them, so that a test can
// check the code's tables row by row against them.
//
// Format: tab-separated text, one row a line. Lines starting with "#" are comments; the first other
// line names the columns; "-" stands for an empty cell. A line with a wrong number of cells makes the
// load fail (the table comes back without rows and with the reason in `error`).
//
// Used by the unit tests of scpi, status and romfs, on the test's own thread.
#pragma once

#include <cstddef>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace torvex_test {

struct ReferenceRow {
  std::vector<std::string> cells;
  std::size_t line = 0;  // line number in the file, for messages
};

class ReferenceTable {
 public:
  // Reads tests/data/<name> of the source tree.
  static ReferenceTable Load(const std::string& name) {
    ReferenceTable table;
    table.name_ = name;
    std::ifstream in(std::string(TORVEX_SOURCE_DIR) + "/tests/data/" + name);
    if (!in) {
      table.error = "cannot open tests/data/" + name;
      return table;
    }
    std::string text;
    std::size_t line = 0;
    while (std::getline(in, text)) {
      ++line;
      if (text.empty() || text[0] == '#') continue;
      std::vector<std::string> cells = Split(text);
      if (table.columns_.empty()) {
        table.columns_ = cells;
        continue;
      }
      if (cells.size() != table.columns_.size()) {
        table.error = name + ":" + std::to_string(line) + ": " + std::to_string(cells.size()) + " cells, " +
                      std::to_string(table.columns_.size()) + " columns";
        table.rows.clear();
        return table;
      }
      for (std::string& cell : cells) {
        if (cell == "-") cell.clear();
      }
      table.rows.push_back(ReferenceRow{std::move(cells), line});
    }
    if (table.columns_.empty()) table.error = name + ": no column line";
    return table;
  }

  // The index of a column; the column count when there is none of that name.
  std::size_t Column(const std::string& column) const {
    for (std::size_t i = 0; i < columns_.size(); ++i) {
      if (columns_[i] == column) return i;
    }
    return columns_.size();
  }

  // The cell of `row` in `column` ("" for an unknown column).
  const std::string& Cell(const ReferenceRow& row, const std::string& column) const {
    static const std::string kNone;
    const std::size_t i = Column(column);
    return i < row.cells.size() ? row.cells[i] : kNone;
  }
  int Number(const ReferenceRow& row, const std::string& column) const {
    return static_cast<int>(std::stol(Cell(row, column), nullptr, 0));
  }
  bool Flag(const ReferenceRow& row, const std::string& column) const { return Cell(row, column) == "1"; }

  // "<file>:<line>" of a row, to name it in a failure.
  std::string Where(const ReferenceRow& row) const { return name_ + ":" + std::to_string(row.line); }

  std::vector<ReferenceRow> rows;
  std::string error;  // empty when the file was read whole

 private:
  static std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> cells;
    std::stringstream in(text);
    std::string cell;
    while (std::getline(in, cell, '\t')) cells.push_back(cell);
    if (!text.empty() && text.back() == '\t') cells.emplace_back();
    return cells;
  }

  std::string name_;
  std::vector<std::string> columns_;
};

}  // namespace torvex_test
