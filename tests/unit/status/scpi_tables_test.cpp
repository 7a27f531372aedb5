// The two status tables checked row by row against reference lists kept here in another form: the
// error list as one text of "index code \"text\"" items, the status rows of errors as code ranges,
// the device-wide errors as a range list and the status-bit rows as table lines, all parsed here.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "status/ScpiErrorTable.h"
#include "status/ScpiStatusBitRows.h"

namespace Torvex {
namespace {

// Reference list of the errors: "index code \"text\"; ...".
constexpr const char* kErrorListing =
    "0 0 \"No error\"; 1 -100 \"Command error\"; 2 -101 \"Invalid character\"; 3 -102 \"Syntax error\"; "
    "4 -103 \"Invalid separator\"; 5 -104 \"Data type error\"; 6 -105 \"GET not allowed\"; "
    "7 -108 \"Parameter not allowed\"; 8 -109 \"Missing parameter\"; 9 -110 \"Command header error\"; "
    "10 -111 \"Header separator error\"; 11 -112 \"Program mnemonic too long\"; "
    "12 -113 \"Undefined header\"; 13 -114 \"Header suffix out of range\"; "
    "14 -115 \"Unexpected number of parameters\"; 15 -120 \"Numeric data error\"; "
    "16 -121 \"Invalid character in number\"; 17 -123 \"Exponent too large\"; 18 -124 \"Too many digits\"; "
    "19 -128 \"Numeric data not allowed\"; 20 -130 \"Suffix error\"; 21 -131 \"Invalid suffix\"; "
    "22 -134 \"Suffix too long\"; 23 -138 \"Suffix not allowed\"; 24 -140 \"Character data error\"; "
    "25 -141 \"Invalid character data\"; 26 -144 \"Character data too long\"; "
    "27 -148 \"Character data not allowed\"; 28 -150 \"String data error\"; "
    "29 -151 \"Invalid string data\"; 30 -158 \"String data not allowed\"; 31 -160 \"Block data error\"; "
    "32 -161 \"Invalid block data\"; 33 -168 \"Block data not allowed\"; 34 -170 \"Expression error\"; "
    "35 -171 \"Invalid expression\"; 36 -178 \"Expression data not allowed\"; 37 -180 \"Macro error\"; "
    "38 -181 \"Invalid outside macro definition\"; 39 -183 \"Invalid inside macro definition\"; "
    "40 -184 \"Macro parameter error\"; 41 -200 \"Execution error\"; 42 -201 \"Invalid while in local\"; "
    "43 -202 \"Settings lost due to rtl\"; 44 -203 \"Command protected\"; 45 -210 \"Trigger error\"; "
    "46 -211 \"Trigger ignored\"; 47 -212 \"Arm ignored\"; 48 -213 \"Init ignored\"; "
    "49 -214 \"Trigger deadlock\"; 50 -215 \"Arm deadlock\"; 51 -220 \"Parameter error\"; "
    "52 -221 \"Settings conflict\"; 53 -222 \"Data out of range\"; 54 -223 \"Too much data\"; "
    "55 -224 \"Illegal parameter value\"; 56 -225 \"Out of memory\"; 57 -226 \"Lists not same length\"; "
    "58 -230 \"Data corrupt or stale\"; 59 -231 \"Data questionable\"; 60 -232 \"Invalid format\"; "
    "61 -233 \"Invalid version\"; 62 -240 \"Hardware error\"; 63 -241 \"Hardware missing\"; "
    "64 -250 \"Mass storage error\"; 65 -251 \"Missing mass storage\"; 66 -252 \"Missing media\"; "
    "67 -253 \"Corrupt media\"; 68 -254 \"Media full\"; 69 -255 \"Directory full\"; "
    "70 -256 \"File name not found\"; 71 -257 \"File name error\"; 72 -258 \"Media protected\"; "
    "73 -260 \"Expression error\"; 74 -261 \"Math error in expression\"; 75 -270 \"Macro error\"; "
    "76 -271 \"Macro syntax error\"; 77 -272 \"Macro execution error\"; 78 -273 \"Illegal macro label\"; "
    "79 -274 \"Macro parameter error\"; 80 -275 \"Macro definition too long\"; "
    "81 -276 \"Macro recursion error\"; 82 -277 \"Macro redefinition not allowed\"; "
    "83 -278 \"Macro header not found\"; 84 -280 \"Program error\"; 85 -281 \"Cannot create program\"; "
    "86 -282 \"Illegal program name\"; 87 -283 \"Illegal variable name\"; "
    "88 -284 \"Program currently running\"; 89 -285 \"Program syntax error\"; "
    "90 -286 \"Program runtime error\"; 91 -290 \"Memory use error\"; 92 -291 \"Out of memory\"; "
    "93 -292 \"Referenced name does not exist\"; 94 -293 \"Referenced name already exists\"; "
    "95 -294 \"Incompatible type\"; 96 -300 \"Device-specific error\"; 97 -310 \"System error\"; "
    "98 -311 \"Memory error\"; 99 -312 \"PUD memory lost\"; 100 -313 \"Calibration memory lost\"; "
    "101 -314 \"Save/recall memory lost\"; 102 -315 \"Configuration memory lost\"; "
    "103 -320 \"Storage fault\"; 104 -321 \"Out of memory\"; 105 -330 \"Self-test failed\"; "
    "106 -340 \"Calibration failed\"; 107 -350 \"Queue overflow\"; 108 -360 \"Communication error\"; "
    "109 -361 \"Parity error in program message\"; 110 -362 \"Framing error in program message\"; "
    "111 -363 \"Input buffer overrun\"; 112 -365 \"Time out error\"; 113 -400 \"Query error\"; "
    "114 -410 \"Query INTERRUPTED\"; 115 -420 \"Query UNTERMINATED\"; 116 -430 \"Query DEADLOCKED\"; "
    "117 -440 \"Query UNTERMINATED after indefinite response\"; 118 -500 \"Power on\"; "
    "119 -600 \"User request\"; 120 -700 \"Request control\"; 121 -800 \"Operation complete\"; "
    "122 101 \"Invalid value in list\"; 123 102 \"Wrong units for parameter\"; "
    "124 103 \"Invalid number of dimensions in channel\"; 125 104 \"Error in channel list\"; "
    "126 105 \"Numeric suffix invalid\"; 127 200 \"Firmware error\"; 128 201 \"No probe\"; "
    "129 202 \"No selected channel\"; 130 203 \"Invalid Channel List\"; "
    "131 204 \"Data not all available\"; 132 205 \"Topology Changed\"; ";

// Status row of an error by its code range.
struct CodeRange {
  int low;
  int high;
  std::uint32_t statusRow;
};
constexpr CodeRange kStatusRowByCode[] = {
    {0, 0, 0},       {-184, -100, 12}, {-294, -200, 11}, {-365, -300, 10}, {101, 205, 10},
    {-440, -400, 9}, {-500, -500, 14}, {-600, -600, 13}, {-700, -700, 8},  {-800, -800, 7},
};

constexpr const char* kDeviceWideErrors =
    "41, 42, 44 to 60, 62 to 72, 96 to 98, 102, 103, 105, 112, 118, 127 to 130 and 132";

// Reference list of the status-bit rows: "row | register | mask | event-only | device-wide"; rows 47
// to 61 (one settings-group bit each, in row order) are filled by the test.
constexpr const char* kStatusRowListing[] = {
    "0 | 0 | 0x0000 | no | no",    "1 | 0 | 0x0010 | no | no",    "2 | 0 | 0x0020 | no | no",
    "3 | 0 | 0x0040 | no | no",    "4 | 0 | 0x0004 | no | no",    "5 | 0 | 0x0008 | no | no",
    "6 | 0 | 0x0080 | no | no",    "7 | 1 | 0x0001 | yes | no",   "8 | 1 | 0x0002 | yes | no",
    "9 | 1 | 0x0004 | yes | no",   "10 | 1 | 0x0008 | yes | yes", "11 | 1 | 0x0010 | yes | yes",
    "12 | 1 | 0x0020 | yes | no",  "13 | 1 | 0x0040 | yes | no",  "14 | 1 | 0x0080 | no | yes",
    "15 | 2 | 0x0001 | no | yes",  "16 | 2 | 0x0002 | no | no",   "17 | 2 | 0x0004 | no | yes",
    "18 | 2 | 0x0008 | no | yes",  "19 | 2 | 0x0010 | no | yes",  "20 | 2 | 0x0020 | no | yes",
    "21 | 2 | 0x0040 | no | yes",  "22 | 2 | 0x0080 | no | no",   "23 | 2 | 0x0100 | yes | yes",
    "24 | 2 | 0x0200 | yes | yes", "25 | 2 | 0x0800 | no | yes",  "26 | 2 | 0x1000 | no | yes",
    "27 | 2 | 0x2000 | no | no",   "28 | 2 | 0x4000 | no | no",   "29 | 3 | 0x0001 | no | no",
    "30 | 3 | 0x0002 | no | no",   "31 | 3 | 0x0004 | no | no",   "32 | 3 | 0x0008 | no | no",
    "33 | 3 | 0x0010 | no | no",   "34 | 3 | 0x0020 | no | yes",  "35 | 3 | 0x0040 | no | no",
    "36 | 3 | 0x0080 | no | no",   "37 | 3 | 0x0100 | no | no",   "38 | 3 | 0x0200 | no | yes",
    "39 | 3 | 0x0400 | yes | no",  "40 | 3 | 0x0800 | no | yes",  "41 | 3 | 0x1000 | no | yes",
    "42 | 3 | 0x2000 | no | no",   "43 | 3 | 0x4000 | no | no",   "44 | 4 | 0x0001 | no | yes",
    "45 | 4 | 0x0002 | no | yes",  "46 | 4 | 0x0004 | yes | yes", "62 | 5 | 0x7FFF | yes | yes",
    "63 | 6 | 0x0001 | no | yes",  "64 | 6 | 0x0008 | yes | yes", "65 | 6 | 0x0010 | yes | yes",
    "66 | 6 | 0x0020 | yes | yes", "67 | 6 | 0x0040 | yes | yes",
};

struct ExpectedError {
  int index;
  int code;
  std::string text;
};

std::vector<ExpectedError> ParseErrorListing() {
  std::vector<ExpectedError> rows;
  const std::string listing = kErrorListing;
  std::size_t pos = 0;
  while (pos < listing.size()) {
    std::size_t end = listing.find("; ", pos);
    if (end == std::string::npos) end = listing.size();
    const std::string item = listing.substr(pos, end - pos);
    pos = end + 2;
    const std::size_t open = item.find('"');
    const std::size_t close = item.rfind('"');
    ExpectedError row{};
    EXPECT_EQ(std::sscanf(item.c_str(), "%d %d", &row.index, &row.code), 2) << item;
    row.text = item.substr(open + 1, close - open - 1);
    rows.push_back(row);
  }
  return rows;
}

std::set<int> ParseIndexList(const std::string& text) {
  std::set<int> indexes;
  std::string normalised = text;
  for (std::size_t p; (p = normalised.find(" and ")) != std::string::npos;) normalised.replace(p, 5, ", ");
  std::stringstream in(normalised);
  std::string part;
  while (std::getline(in, part, ',')) {
    int low = 0;
    int high = 0;
    if (std::sscanf(part.c_str(), " %d to %d", &low, &high) == 2) {
      for (int i = low; i <= high; ++i) indexes.insert(i);
    } else {
      low = std::atoi(part.c_str());
      indexes.insert(low);
    }
  }
  return indexes;
}

TEST(ScpiErrorTableTest, EveryRowMatchesTheReferenceList) {
  const std::vector<ExpectedError> expected = ParseErrorListing();
  ASSERT_EQ(expected.size(), kScpiErrorTableRows);
  const std::set<int> deviceWide = ParseIndexList(kDeviceWideErrors);
  ASSERT_EQ(deviceWide.size(), 43u);

  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("row " + std::to_string(i));
    ASSERT_EQ(expected[i].index, static_cast<int>(i));
    const ScpiErrorRow& row = kScpiErrorTable[i];
    EXPECT_EQ(row.code, expected[i].code);
    EXPECT_STREQ(row.text, expected[i].text.c_str());
    EXPECT_EQ(row.deviceWide != 0, deviceWide.count(static_cast<int>(i)) == 1);
    int matches = 0;
    for (const CodeRange& range : kStatusRowByCode) {
      if (row.code >= range.low && row.code <= range.high) {
        EXPECT_EQ(row.statusRow, range.statusRow);
        ++matches;
      }
    }
    EXPECT_EQ(matches, 1);
  }
}

TEST(ScpiStatusBitRowsTest, EveryRowMatchesTheReferenceList) {
  struct Expected {
    bool seen = false;
    unsigned reg = 0;
    unsigned mask = 0;
    bool eventOnly = false;
    bool deviceWide = false;
  };
  std::vector<Expected> expected(kStatusBitRowCount);
  for (const char* line : kStatusRowListing) {
    unsigned row = 0;
    Expected e;
    char eventOnly[4] = {};
    char deviceWide[4] = {};
    ASSERT_EQ(std::sscanf(line, "%u | %u | %x | %3s | %3s", &row, &e.reg, &e.mask, eventOnly, deviceWide), 5)
        << line;
    ASSERT_LT(row, expected.size());
    e.eventOnly = std::strcmp(eventOnly, "yes") == 0;
    e.deviceWide = std::strcmp(deviceWide, "yes") == 0;
    e.seen = true;
    expected[row] = e;
  }
  for (unsigned g = 0; g < 15; ++g) expected[47 + g] = Expected{true, 5, 1u << g, true, true};

  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("row " + std::to_string(i));
    ASSERT_TRUE(expected[i].seen);
    EXPECT_EQ(kStatusBitRows[i].reg, expected[i].reg);
    EXPECT_EQ(kStatusBitRows[i].mask, expected[i].mask);
    EXPECT_EQ(kStatusBitRows[i].eventOnly != 0, expected[i].eventOnly);
    EXPECT_EQ(kStatusBitRows[i].deviceWide != 0, expected[i].deviceWide);
  }
}

}  // namespace
}  // namespace Torvex
