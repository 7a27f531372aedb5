// The two status tables checked row by row against the reference data of tests/data
// (scpi_errors.tsv, scpi_status_rows.tsv), and the check itself shown to catch a changed cell.
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "status/ScpiErrorTable.h"
#include "status/ScpiStatusBitRows.h"
#include "support/reference_table.h"

namespace Torvex {
namespace {

using torvex_test::ReferenceRow;
using torvex_test::ReferenceTable;

// Adds "<column>: code <actual>, data <expected>" to `out` when the two differ.
template <typename T>
void Compare(std::vector<std::string>& out, const char* column, const T& actual, const T& expected) {
  if (actual == expected) return;
  std::ostringstream text;
  text << column << ": code " << actual << ", data " << expected;
  out.push_back(text.str());
}

// The cells of row `index` of the error table that differ from its reference row.
std::vector<std::string> ErrorRowDifferences(const ReferenceTable& data, const ReferenceRow& ref, std::size_t index) {
  std::vector<std::string> out;
  const ScpiErrorRow& row = kScpiErrorTable[index];
  Compare(out, "index", static_cast<int>(index), data.Number(ref, "index"));
  Compare(out, "code", static_cast<int>(row.code), data.Number(ref, "code"));
  Compare(out, "status_row", static_cast<int>(row.statusRow), data.Number(ref, "status_row"));
  Compare(out, "device_wide", row.deviceWide != 0, data.Flag(ref, "device_wide"));
  Compare(out, "text", std::string(row.text), data.Cell(ref, "text"));
  return out;
}

// The cells of row `index` of the status-bit rows that differ from its reference row.
std::vector<std::string> StatusRowDifferences(const ReferenceTable& data, const ReferenceRow& ref, std::size_t index) {
  std::vector<std::string> out;
  const StatusBitRow& row = kStatusBitRows[index];
  Compare(out, "row", static_cast<int>(index), data.Number(ref, "row"));
  Compare(out, "register", static_cast<int>(row.reg), data.Number(ref, "register"));
  Compare(out, "mask", static_cast<int>(row.mask), data.Number(ref, "mask"));
  Compare(out, "event_only", row.eventOnly != 0, data.Flag(ref, "event_only"));
  Compare(out, "device_wide", row.deviceWide != 0, data.Flag(ref, "device_wide"));
  return out;
}

struct TableCase {
  const char* file;
  std::size_t rows;  // rows of the code's table
  std::vector<std::string> (*differences)(const ReferenceTable&, const ReferenceRow&, std::size_t);
};

void PrintTo(const TableCase& table, std::ostream* out) { *out << table.file; }

const TableCase kTables[] = {
    {"scpi_errors.tsv", kScpiErrorTableRows, &ErrorRowDifferences},
    {"scpi_status_rows.tsv", kStatusBitRowCount, &StatusRowDifferences},
};

class StatusTables : public ::testing::TestWithParam<TableCase> {};

TEST_P(StatusTables, EveryRowMatchesTheReferenceData) {
  const TableCase& table = GetParam();
  const ReferenceTable data = ReferenceTable::Load(table.file);
  ASSERT_EQ(data.error, "");
  ASSERT_EQ(data.rows.size(), table.rows);
  for (std::size_t i = 0; i < data.rows.size(); ++i) {
    for (const std::string& difference : table.differences(data, data.rows[i], i))
      ADD_FAILURE() << data.Where(data.rows[i]) << ": " << difference;
  }
}

INSTANTIATE_TEST_SUITE_P(Data, StatusTables, ::testing::ValuesIn(kTables),
                         [](const auto& info) { return info.index == 0 ? "Errors" : "StatusBitRows"; });

// One cell of the reference data changed in memory: the row check names exactly that column.
struct ChangedCell {
  const char* name;
  std::size_t table;  // index into kTables
  std::size_t row;
  const char* column;
  const char* value;
};

void PrintTo(const ChangedCell& change, std::ostream* out) { *out << change.name; }

const ChangedCell kChangedCells[] = {
    {"ErrorCode", 0, 52, "code", "-222"},
    {"ErrorStatusRow", 0, 113, "status_row", "10"},
    {"ErrorDeviceWide", 0, 127, "device_wide", "0"},
    {"ErrorText", 0, 131, "text", "Data not available"},
    {"StatusRegister", 1, 39, "register", "2"},
    {"StatusMask", 1, 47, "mask", "0x0002"},
    {"StatusEventOnly", 1, 14, "event_only", "1"},
    {"StatusDeviceWide", 1, 66, "device_wide", "0"},
};

class StatusTableCheck : public ::testing::TestWithParam<ChangedCell> {};

TEST_P(StatusTableCheck, CatchesAChangedCell) {
  const ChangedCell& change = GetParam();
  const TableCase& table = kTables[change.table];
  ReferenceTable data = ReferenceTable::Load(table.file);
  ASSERT_EQ(data.error, "");
  ASSERT_LT(change.row, data.rows.size());
  ASSERT_TRUE(table.differences(data, data.rows[change.row], change.row).empty());
  ASSERT_LT(data.Column(change.column), data.rows[change.row].cells.size());
  data.rows[change.row].cells[data.Column(change.column)] = change.value;
  const std::vector<std::string> differences = table.differences(data, data.rows[change.row], change.row);
  ASSERT_EQ(differences.size(), 1u);
  EXPECT_EQ(differences[0].rfind(std::string(change.column) + ":", 0), 0u) << differences[0];
}

INSTANTIATE_TEST_SUITE_P(Data, StatusTableCheck, ::testing::ValuesIn(kChangedCells),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Torvex
