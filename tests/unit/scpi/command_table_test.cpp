// Every row of the three command tables against the reference data of the instrument's command set
// (tests/data/scpi_commands.tsv), the check itself shown to catch a changed cell, and every header in
// its short and long form resolving to its number.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "scpi/scpi_command_table.h"
#include "scpi_support.h"
#include "support/reference_table.h"
#include "tree/BoundParameterNodes.h"

namespace Torvex {
namespace {

using torvex_test::ReferenceRow;
using torvex_test::ReferenceTable;

// ---- The reference data ------------------------------------------------------------------------------

const ReferenceTable& Commands() {
  static const ReferenceTable table = ReferenceTable::Load("scpi_commands.tsv");
  return table;
}

const char* Pattern(std::size_t n) { return Commands().Cell(Commands().rows.at(n), "pattern").c_str(); }

// One expected parameter slot: type, optional, choice list, alternative type and unit classes of a
// number (default class, then the further allowed classes).
struct Slot {
  std::uint32_t type = kScpiTypeNone;
  bool optional = false;
  std::string choices;
  std::uint32_t alternative = kScpiAlternativeNone;
  std::uint32_t defaultClass = kScpiUnitNone;
  std::set<std::uint32_t> allowed;

  bool operator==(const Slot&) const = default;
};

std::uint32_t UnitClass(const std::string& name) {
  static const std::pair<const char*, std::uint32_t> kClasses[] = {
      {"DB", kScpiUnitDecibel}, {"HZ", kScpiUnitHertz}, {"HZP", kScpiUnitProtonHertz}, {"PPM", kScpiUnitPpm},
      {"S", kScpiUnitSecond},   {"T", kScpiUnitTesla},  {"V", kScpiUnitVolt},
  };
  for (const auto& [text, unitClass] : kClasses) {
    if (name == text) return unitClass;
  }
  ADD_FAILURE() << "unknown unit class " << name;
  return kScpiUnitListEnd;
}

// "num", "num:V", "num[T|PPM]", "num:T[T|PPM]" into the number part of `slot`; false when malformed.
bool ParseNumber(const std::string& text, Slot& slot) {
  if (text.rfind("num", 0) != 0) return false;
  std::string rest = text.substr(3);
  if (!rest.empty() && rest[0] == ':') {
    const std::size_t end = rest.find('[');
    slot.defaultClass = UnitClass(rest.substr(1, end == std::string::npos ? std::string::npos : end - 1));
    rest = end == std::string::npos ? std::string() : rest.substr(end);
  }
  if (rest.empty()) return true;
  if (rest.front() != '[' || rest.back() != ']') return false;
  std::stringstream list(rest.substr(1, rest.size() - 2));
  for (std::string name; std::getline(list, name, '|');) slot.allowed.insert(UnitClass(name));
  return true;
}

// One slot of the parameters column: "[opt ]num...", "[opt ]choice(A|B)[+num...|+bool]", text, string,
// block or channels.
Slot ParseSlot(std::string text) {
  Slot slot;
  if (text.rfind("opt ", 0) == 0) {
    slot.optional = true;
    text = text.substr(4);
  }
  if (text.rfind("choice(", 0) == 0) {
    const std::size_t close = text.find(')');
    slot.type = kScpiTypeChoice;
    slot.choices = text.substr(7, close - 7);
    const std::string alternative = close + 1 < text.size() ? text.substr(close + 1) : std::string();
    if (alternative == "+bool") {
      slot.alternative = kScpiAlternativeBoolean;
    } else if (!alternative.empty()) {
      slot.alternative = kScpiAlternativeNumber;
      if (alternative[0] != '+' || !ParseNumber(alternative.substr(1), slot)) ADD_FAILURE() << "bad slot " << text;
    }
    return slot;
  }
  const std::pair<const char*, std::uint32_t> kPlain[] = {{"text", kScpiTypeText},
                                                          {"string", kScpiTypeQuotedString},
                                                          {"block", kScpiTypeBlock},
                                                          {"channels", kScpiTypeChannelList}};
  for (const auto& [name, type] : kPlain) {
    if (text == name) {
      slot.type = type;
      return slot;
    }
  }
  slot.type = kScpiTypeNumber;
  if (!ParseNumber(text, slot)) ADD_FAILURE() << "bad slot " << text;
  return slot;
}

std::vector<Slot> ParseSlots(const std::string& cell) {
  std::vector<Slot> slots;
  std::stringstream in(cell);
  for (std::string text; std::getline(in, text, ';');) slots.push_back(ParseSlot(text));
  return slots;
}

std::vector<Slot> Slots(std::size_t n) { return ParseSlots(Commands().Cell(Commands().rows.at(n), "parameters")); }

// ---- The code's tables in the same terms ------------------------------------------------------------

std::set<std::uint32_t> AllowedClasses(const ScpiNumericDescriptor* d) {
  std::set<std::uint32_t> out;
  if (d != nullptr && d->allowedClasses != nullptr) {
    for (const std::uint32_t* c = d->allowedClasses; *c != kScpiUnitListEnd; ++c) out.insert(*c);
  }
  return out;
}

Slot SlotOf(const ScpiParameterSpec& spec) {
  Slot slot;
  slot.type = spec.type;
  slot.optional = (spec.flags & kScpiSlotOptional) != 0;
  const ScpiNumericDescriptor* number = spec.type == kScpiTypeNumber ? spec.numeric : nullptr;
  if (spec.type == kScpiTypeChoice && spec.choice != nullptr) {
    slot.choices = spec.choice->choices;
    slot.alternative = spec.choice->alternativeType;
    number = spec.choice->alternative;
  }
  if (number != nullptr) {
    slot.defaultClass = number->defaultUnitClass;
    slot.allowed = AllowedClasses(number);
  }
  return slot;
}

std::string SlotText(const Slot& slot) {
  std::ostringstream out;
  out << "type " << slot.type << (slot.optional ? " optional" : "") << " choices '" << slot.choices << "' alternative "
      << slot.alternative << " class " << slot.defaultClass << " allowed {";
  for (std::uint32_t c : slot.allowed) out << ' ' << c;
  out << " }";
  return out.str();
}

// The path of the bound node a row refers to, "" for none, "?" for a pointer that is not bound.
std::string NodePath(CParameterNode* const& node) {
  if (&node == &g_node_none) return "";
  for (std::size_t i = 0; i < kBoundParameterNodeCount; ++i) {
    if (kBoundParameterNodes[i].node == &node) return kBoundParameterNodes[i].path;
  }
  return "?";
}

template <typename T>
void Compare(std::vector<std::string>& out, const std::string& column, const T& actual, const T& expected) {
  if (actual == expected) return;
  std::ostringstream text;
  text << column << ": code " << actual << ", data " << expected;
  out.push_back(text.str());
}

// The cells of command `n` in the code's three tables that differ from its reference row.
std::vector<std::string> CommandRowDifferences(const ReferenceTable& data, const ReferenceRow& ref, std::size_t n) {
  std::vector<std::string> out;
  const ScpiCommandAttributeRow& row = kScpiCommandAttributes[n];
  Compare(out, "number", static_cast<int>(n), data.Number(ref, "number"));
  Compare(out, "pattern", std::string(kScpiCommandPatterns[n]), data.Cell(ref, "pattern"));
  Compare(out, "query", static_cast<int>(row.query), data.Number(ref, "query"));
  Compare(out, "allowed_while_locked", static_cast<int>(row.allowedWhileLocked),
          data.Number(ref, "allowed_while_locked"));
  Compare(out, "refusal", static_cast<int>(row.refusalKind), data.Number(ref, "refusal"));
  Compare(out, "node_suffix1", NodePath(row.nodeSuffix1), data.Cell(ref, "node_suffix1"));
  Compare(out, "node_suffix2", NodePath(row.nodeSuffix2), data.Cell(ref, "node_suffix2"));
  Compare(out, "unit", std::string(row.unit), data.Cell(ref, "unit"));
  Compare(out, "flux", static_cast<int>(row.fluxUnit), data.Number(ref, "flux"));
  Compare(out, "status_row", static_cast<int>(row.statusRow), data.Number(ref, "status_row"));
  Compare(out, "generic", static_cast<int>(row.generic), data.Number(ref, "generic"));
  const std::vector<Slot> expected = ParseSlots(data.Cell(ref, "parameters"));
  for (std::size_t s = 0; s < kScpiParameterSlots; ++s) {
    const Slot actual = SlotOf(kScpiParameterSpecs[n][s]);
    const Slot wanted = s < expected.size() ? expected[s] : Slot{};
    Compare(out, "parameters slot " + std::to_string(s), SlotText(actual), SlotText(wanted));
  }
  if (expected.size() > kScpiParameterSlots) out.push_back("parameters: more slots than a command has");
  return out;
}

// ---- Row by row --------------------------------------------------------------------------------------

TEST(CommandTable, EveryRowMatchesTheReferenceData) {
  const ReferenceTable& data = Commands();
  ASSERT_EQ(data.error, "");
  ASSERT_EQ(data.rows.size(), kScpiCommandCount);
  for (std::size_t n = 0; n < data.rows.size(); ++n) {
    for (const std::string& difference : CommandRowDifferences(data, data.rows[n], n))
      ADD_FAILURE() << data.Where(data.rows[n]) << " (" << kScpiCommandPatterns[n] << "): " << difference;
  }
  EXPECT_STREQ(kScpiCommandPatterns[kScpiCommandCount], "");
  EXPECT_EQ(scpi_count_command_patterns(), kScpiCommandCount);
}

// Every slot the code holds carries the same fixed descriptor fields.
TEST(CommandTable, FixedDescriptorFieldsOfEverySlot) {
  for (std::size_t n = 0; n < kScpiCommandCount; ++n) {
    for (std::size_t s = 0; s < kScpiParameterSlots; ++s) {
      SCOPED_TRACE(std::string(kScpiCommandPatterns[n]) + " slot " + std::to_string(s));
      const ScpiParameterSpec& spec = kScpiParameterSpecs[n][s];
      EXPECT_EQ(spec.booleanDefault, 0);
      const ScpiNumericDescriptor* number = spec.type == kScpiTypeNumber ? spec.numeric : nullptr;
      if (spec.type == kScpiTypeNumber) {
        ASSERT_NE(spec.numeric, nullptr);
      }
      if (spec.type == kScpiTypeChoice) {
        ASSERT_NE(spec.choice, nullptr);
        EXPECT_EQ(spec.choice->defaultIndex, kScpiNoDefaultIndex);
        EXPECT_EQ(spec.choice->alternative != nullptr, spec.choice->alternativeType == kScpiAlternativeNumber);
        number = spec.choice->alternative;
      }
      if (spec.type == kScpiTypeChannelList) {
        ASSERT_NE(spec.channelList, nullptr);
        EXPECT_EQ(spec.channelList->flags, kScpiListRangeCheck);
        EXPECT_EQ(spec.channelList->minDimensions, 1);
        EXPECT_EQ(spec.channelList->maxDimensions, 6);
        EXPECT_EQ(spec.channelList->minValue, 1);
        EXPECT_EQ(spec.channelList->maxValue, 255);
      }
      if (number != nullptr) {
        EXPECT_EQ(number->defaultExponent, 0);
      }
    }
  }
}

// One cell of the reference data changed in memory: the row check names exactly that column.
struct ChangedCell {
  const char* name;
  std::size_t row;
  const char* column;
  const char* value;
};

void PrintTo(const ChangedCell& change, std::ostream* out) { *out << change.name; }

const ChangedCell kChangedCells[] = {
    {"Pattern", 4, "pattern", "*IDN"},
    {"Query", 4, "query", "0"},
    {"AllowedWhileLocked", 12, "allowed_while_locked", "1"},
    {"Refusal", 48, "refusal", "3"},
    {"NodeSuffix1", 29, "node_suffix1", "measure_parms/averaging/measurement/count"},
    {"NodeSuffix2", 29, "node_suffix2", "-"},
    {"Unit", 55, "unit", "HZ"},
    {"Flux", 59, "flux", "0"},
    {"StatusRow", 21, "status_row", "47"},
    {"Generic", 60, "generic", "1"},
    {"ParameterChoices", 229, "parameters", "choice(T|MT|DEFault)"},
    {"ParameterOptional", 97, "parameters", "num[T|PPM|HZP|HZ];opt choice(MINimum|MAXimum|DEFault)+num;opt channels"},
    {"ParameterUnitClass", 225, "parameters", "choice(MINimum|MAXimum|DEFault)+num[T|PPM|HZP|HZ]"},
    {"ParameterType", 17, "parameters", "string"},
};

class CommandTableCheck : public ::testing::TestWithParam<ChangedCell> {};

TEST_P(CommandTableCheck, CatchesAChangedCell) {
  const ChangedCell& change = GetParam();
  ReferenceTable data = Commands();
  ASSERT_EQ(data.error, "");
  ReferenceRow& row = data.rows.at(change.row);
  ASSERT_TRUE(CommandRowDifferences(data, row, change.row).empty());
  ASSERT_LT(data.Column(change.column), row.cells.size());
  row.cells[data.Column(change.column)] = change.value == std::string("-") ? "" : change.value;
  const std::vector<std::string> differences = CommandRowDifferences(data, row, change.row);
  ASSERT_EQ(differences.size(), 1u) << ::testing::PrintToString(differences);
  EXPECT_EQ(differences[0].rfind(change.column, 0), 0u) << differences[0];
}

INSTANTIATE_TEST_SUITE_P(Data, CommandTableCheck, ::testing::ValuesIn(kChangedCells),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CommandTable, GenericCommandsAreBoundToANode) {
  // The generic handler alone can execute only a command bound to a node.
  for (std::size_t n = 0; n < kScpiCommandCount; ++n) {
    if (kScpiCommandAttributes[n].generic) {
      EXPECT_NE(&kScpiCommandAttributes[n].nodeSuffix1, &g_node_none) << kScpiCommandPatterns[n];
    }
  }
}

TEST(CommandTable, RowsReadTheBoundPointersAtEveryUse) {
  // The row refers to the pointer itself, so a rebinding of the tree is seen through the table.
  CParameterNode* const before = g_node_measure_parms_averaging_measurement_count;
  auto* fake = reinterpret_cast<CParameterNode*>(0x1234);
  g_node_measure_parms_averaging_measurement_count = fake;
  EXPECT_EQ(kScpiCommandAttributes[kCmdAverageCount].nodeSuffix2, fake);
  g_node_measure_parms_averaging_measurement_count = before;
  EXPECT_EQ(kScpiCommandAttributes[kCmdAverageCount].nodeSuffix2, before);
}

TEST(CommandTable, AccessorsReadTheRowOfTheRecord) {
  ScpiParsedCommand command;
  command.commandNumber = kCmdTstQuery;
  EXPECT_TRUE(scpi_is_query(command));
  EXPECT_FALSE(scpi_is_allowed_while_locked(command));
  command.commandNumber = kCmdOperationEnable;
  EXPECT_FALSE(scpi_is_query(command));
  EXPECT_TRUE(scpi_is_allowed_while_locked(command));
  EXPECT_EQ(scpi_status_row_after_command(command), 48);
  command.commandNumber = kCmdRst;
  EXPECT_FALSE(scpi_is_allowed_while_locked(command));
  command.commandNumber = 250;  // outside the table
  EXPECT_FALSE(scpi_is_query(command));
  EXPECT_EQ(scpi_status_row_after_command(command), 0);
}

// ---- Every header in its short and long form ----------------------------------------------------------

// The short form: upper-case letters and literals, optional parts left out. The long form: every
// letter, optional parts included.
std::string ShortForm(const std::string& pattern) {
  std::string out;
  bool optional = false;
  for (char c : pattern) {
    if (c == '[') {
      optional = true;
    } else if (c == ']') {
      optional = false;
    } else if (!optional && c != '#' && !(c >= 'a' && c <= 'z')) {
      out += c;
    }
  }
  return out;
}

std::string LongForm(const std::string& pattern, const std::string& suffix) {
  std::string out;
  for (char c : pattern) {
    if (c == '#') {
      out += suffix;
    } else if (c != '[' && c != ']') {
      out += c;
    }
  }
  return out;
}

// A parameter text that the slots accept.
std::string SampleParameters(const std::vector<Slot>& slots) {
  std::string out;
  for (const Slot& s : slots) {
    if (s.optional) break;
    if (!out.empty()) out += ',';
    switch (s.type) {
      case kScpiTypeNumber: out += "1"; break;
      case kScpiTypeChoice: out += s.choices.substr(0, s.choices.find('|')); break;
      case kScpiTypeQuotedString: out += "'file'"; break;
      case kScpiTypeText: out += "text"; break;
      case kScpiTypeChannelList: out += "(@1!2)"; break;
      case kScpiTypeBlock: out += "#13abc"; break;
      default: break;
    }
  }
  return out;
}

TEST(CommandTable, EveryHeaderResolvesToItsNumberInShortAndLongForm) {
  ASSERT_EQ(Commands().rows.size(), kScpiCommandCount);
  for (int n = 0; n < static_cast<int>(kScpiCommandCount); ++n) {
    const std::string pattern = Pattern(static_cast<std::size_t>(n));
    const std::string parameters = SampleParameters(Slots(static_cast<std::size_t>(n)));
    const bool hasSuffix = pattern.find('#') != std::string::npos;
    std::string upper = LongForm(pattern, "");
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::vector<std::pair<std::string, std::uint32_t>> forms = {
        {ShortForm(pattern), 1}, {LongForm(pattern, ""), 1}, {upper, 1}};
    if (hasSuffix) forms.push_back({LongForm(pattern, "2"), 2});
    for (const auto& [header, suffix] : forms) {
      const std::string message = parameters.empty() ? header : header + " " + parameters;
      const auto parsed = test::ParseMessage(message);
      ASSERT_EQ(parsed.code, 0) << message;
      ASSERT_EQ(parsed.commands.size(), 1u) << message;
      EXPECT_EQ(parsed.commands[0].commandNumber, n) << message;
      EXPECT_EQ(parsed.commands[0].numericSuffix.has_value(), hasSuffix) << message;
      if (hasSuffix) {
        EXPECT_EQ(*parsed.commands[0].numericSuffix, suffix) << message;
      }
    }
  }
}

TEST(CommandTable, LongFormsGivenInPartMatchNothing) {
  // The long form without its last lower-case letter: a long form given only in part.
  ASSERT_EQ(Commands().rows.size(), kScpiCommandCount);
  for (std::size_t n = 0; n < kScpiCommandCount; ++n) {
    const std::string longForm = LongForm(Pattern(n), "");
    const std::size_t q = longForm.find_last_of("abcdefghijklmnopqrstuvwxyz");
    // A run of one lower-case letter without it is the short form; longer runs give a partial form.
    if (q == std::string::npos || q == 0 || !std::islower(static_cast<unsigned char>(longForm[q - 1]))) continue;
    const std::string header = longForm.substr(0, q) + longForm.substr(q + 1);
    EXPECT_EQ(test::ParseMessage(header).code, kScpiSyntax) << header;
  }
}

}  // namespace
}  // namespace Torvex
