// Parameter cutting and typing: numbers with units, booleans, choices, strings, blocks, channel lists,
// the record accessors, and the values a whole command yields.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "scpi/scpi_command_table.h"
#include "scpi_support.h"
#include "support/case_name.h"

namespace Torvex {
namespace {

using test::ChannelTexts;
using test::ParseMessage;

// ---- Whole commands: code and the value of slot 0 ----------------------------------------------

struct ValueCase {
  const char* message;
  int code;
  std::uint32_t kind;  // expected kind of slot 0 when code is 0
  double number;       // integer or double value
  const char* text;    // choice or string text
  std::uint32_t unitClass;
};

void PrintTo(const ValueCase& c, std::ostream* os) { *os << c.message; }

class CommandValue : public ::testing::TestWithParam<ValueCase> {};

TEST_P(CommandValue, TypesTheFirstParameter) {
  const ValueCase& c = GetParam();
  const auto parsed = ParseMessage(c.message);
  ASSERT_EQ(parsed.code, c.code) << c.message;
  if (c.code != 0) return;
  ASSERT_EQ(parsed.commands.size(), 1u);
  const ScpiParameterValue& v = parsed.commands[0].values[0];
  ASSERT_EQ(v.kind, c.kind) << c.message;
  switch (v.kind) {
    case kScpiValueInteger:
      EXPECT_EQ(v.integer, static_cast<std::int32_t>(c.number)) << c.message;
      EXPECT_EQ(v.unitClass, c.unitClass) << c.message;
      break;
    case kScpiValueDouble:
      EXPECT_DOUBLE_EQ(v.real, c.number) << c.message;
      EXPECT_EQ(v.unitClass, c.unitClass) << c.message;
      break;
    case kScpiValueBoolean: EXPECT_EQ(v.boolean, static_cast<std::uint8_t>(c.number)) << c.message; break;
    case kScpiValueChoice:
    case kScpiValueString: EXPECT_EQ(v.text, c.text) << c.message; break;
    default: break;
  }
}

constexpr std::uint32_t kInt = kScpiValueInteger;
constexpr std::uint32_t kDbl = kScpiValueDouble;
constexpr std::uint32_t kBool = kScpiValueBoolean;
constexpr std::uint32_t kChoice = kScpiValueChoice;
constexpr std::uint32_t kStr = kScpiValueString;

const ValueCase kValueCases[] = {
    // Numbers without unit.
    {"STAT:OPER:ENAB 32", 0, kInt, 32, "", kScpiUnitNone},
    {"STAT:OPER:ENAB 32.5", 0, kDbl, 32.5, "", kScpiUnitNone},
    {"STAT:OPER:ENAB 3.2E1", 0, kInt, 32, "", kScpiUnitNone},
    {"STAT:OPER:ENAB 3.2 e 1", 0, kInt, 32, "", kScpiUnitNone},
    {"STAT:OPER:ENAB 2.0", 0, kInt, 2, "", kScpiUnitNone},
    {"STAT:OPER:ENAB 1.5E3", 0, kInt, 1500, "", kScpiUnitNone},
    {"STAT:OPER:ENAB -2147483648", 0, kInt, -2147483648.0, "", kScpiUnitNone},
    {"STAT:OPER:ENAB 2147483647", 0, kInt, 2147483647, "", kScpiUnitNone},
    {"STAT:OPER:ENAB 2147483648", kScpiOutOfRange, 0, 0, "", 0},
    {"STAT:OPER:ENAB 4294967297", kScpiOutOfRange, 0, 0, "", 0},
    {"STAT:OPER:ENAB 1E30", kScpiOutOfRange, 0, 0, "", 0},
    {"STAT:OPER:ENAB 1E44", kScpiOutOfRange, 0, 0, "", 0},
    {"STAT:OPER:ENAB 1E-44", 0, kInt, 0, "", kScpiUnitNone},
    {"STAT:OPER:ENAB 0E99", 0, kInt, 0, "", kScpiUnitNone},
    {"STAT:OPER:ENAB 1E2147483648", kScpiOutOfRange, 0, 0, "", 0},
    {"STAT:OPER:ENAB 1E-2147483648", 0, kInt, 0, "", kScpiUnitNone},
    {"STAT:OPER:ENAB 1E99999999999999999999999", kScpiOutOfRange, 0, 0, "", 0},
    {"STAT:OPER:ENAB 5 V", kScpiWrongUnit, 0, 0, "", 0},
    {"STAT:OPER:ENAB 5 FOO", kScpiWrongUnit, 0, 0, "", 0},
    {"STAT:OPER:ENAB + 5", kScpiDataType, 0, 0, "", 0},
    {"STAT:OPER:ENAB -", kScpiDataType, 0, 0, "", 0},
    {"STAT:OPER:ENAB .", kScpiDataType, 0, 0, "", 0},
    {"STAT:OPER:ENAB 5E", kScpiDataType, 0, 0, "", 0},
    {"STAT:OPER:ENAB 5E+", kScpiDataType, 0, 0, "", 0},
    {"STAT:OPER:ENAB ABC", kScpiDataType, 0, 0, "", 0},
    {"STAT:OPER:ENAB .5", 0, kDbl, 0.5, "", kScpiUnitNone},
    {"STAT:OPER:ENAB -7.", 0, kInt, -7, "", kScpiUnitNone},
    // Numbers with units and choices.
    {"CONF:LEV 500 MV", 0, kDbl, 0.5, "", kScpiUnitVolt},
    {"CONF:LEV 500mv", 0, kDbl, 0.5, "", kScpiUnitVolt},
    {"CONF:LEV 2", 0, kInt, 2, "", kScpiUnitVolt},
    {"CONF:LEV 5 HZ", kScpiWrongUnit, 0, 0, "", 0},
    {"CONF:LEV MAX", 0, kChoice, 0, "MAXimum", 0},
    {"CONF:LEV maximum", 0, kChoice, 0, "MAXimum", 0},
    {"CONF:LEV MAXI", kScpiDataType, 0, 0, "", 0},
    {"CONF:MEAS:BAND 2 KHZ", 0, kInt, 2000, "", kScpiUnitHertz},
    {"CONF:MEAS:BAND 2 MAHZ", 0, kInt, 2000000, "", kScpiUnitHertz},
    {"CONF:MEAS:BAND 2 MAH", kScpiWrongUnit, 0, 0, "", 0},
    {"CONF:MEAS:BAND 2 HZP", kScpiWrongUnit, 0, 0, "", 0},
    {"OUTP:WIDT INF", 0, kChoice, 0, "INFinity", 0},
    {"OUTP:WIDT 10 US", 0, kDbl, 1e-5, "", kScpiUnitSecond},
    {"OUTP:DEL INF", kScpiDataType, 0, 0, "", 0},
    {"CONF:SEAR:HIGH 1.5", 0, kDbl, 1.5, "", kScpiUnitNone},
    {"CONF:SEAR:HIGH 1.5 T", 0, kDbl, 1.5, "", kScpiUnitTesla},
    {"CONF:SEAR:HIGH 15 GAUSS", 0, kDbl, 15e-4, "", kScpiUnitTesla},
    {"CONF:SEAR:HIGH 15 gauss", 0, kDbl, 15e-4, "", kScpiUnitTesla},
    {"CONF:SEAR:HIGH 15 GAUS", kScpiWrongUnit, 0, 0, "", 0},
    {"CONF:SEAR:HIGH 3 PPM", 0, kInt, 3, "", kScpiUnitPpm},
    {"CONF:SEAR:HIGH 3 MAHZP", 0, kInt, 3000000, "", kScpiUnitProtonHertz},
    {"CONF:SEAR:HIGH 3 S", kScpiWrongUnit, 0, 0, "", 0},
    {"TRIG:SEQ2:LEV 2", 0, kInt, 2, "", kScpiUnitTesla},
    {"UNIT:PPMR 1.5 T", 0, kDbl, 1.5, "", kScpiUnitTesla},
    {"UNIT:PPMR 1.5 PPM", kScpiWrongUnit, 0, 0, "", 0},
    // Choice lists: whole alternatives only.
    {"UNIT GAUSS", 0, kChoice, 0, "GAUSs", 0},
    {"UNIT gaus", 0, kChoice, 0, "GAUSs", 0},
    {"UNIT MAHZ", 0, kChoice, 0, "MAHZ", 0},
    {"UNIT mahzp", 0, kChoice, 0, "MAHZP", 0},
    {"UNIT MAH", kScpiDataType, 0, 0, "", 0},
    {"UNIT GAU", kScpiDataType, 0, 0, "", 0},
    {"UNIT T", 0, kChoice, 0, "T", 0},
    {"UNIT DEF", 0, kChoice, 0, "DEFault", 0},
    {"CONF:MEAS:MODE MAN", 0, kChoice, 0, "MANual", 0},
    {"CONF:MEAS:MODE AUT", kScpiDataType, 0, 0, "", 0},
    {"CONF:MEAS:MODE AUTOMAN", kScpiDataType, 0, 0, "", 0},
    {"CONF:MEAS:MODE MANUALS", kScpiDataType, 0, 0, "", 0},
    {"CONF:MEAS:MODE AUTO|MAN", kScpiDataType, 0, 0, "", 0},
    {"TRIG:SOUR tim", 0, kChoice, 0, "TIMer", 0},
    // Booleans as the alternative of a choice.
    {"SYST:COMM:ETH:ENAB ON", 0, kBool, 1, "", 0},
    {"SYST:COMM:ETH:ENAB on", 0, kBool, 1, "", 0},
    {"SYST:COMM:ETH:ENAB 1", 0, kBool, 1, "", 0},
    {"SYST:COMM:ETH:ENAB 0.5", 0, kBool, 1, "", 0},
    {"SYST:COMM:ETH:ENAB -0.5", 0, kBool, 1, "", 0},
    {"SYST:COMM:ETH:ENAB 1E43", 0, kBool, 1, "", 0},
    {"SYST:COMM:ETH:ENAB 0.4", 0, kBool, 0, "", 0},
    {"SYST:COMM:ETH:ENAB OFF", 0, kBool, 0, "", 0},
    {"SYST:COMM:ETH:ENAB DEF", 0, kChoice, 0, "DEFault", 0},
    {"SYST:COMM:ETH:ENAB ONN", kScpiDataType, 0, 0, "", 0},
    {"SYST:COMM:ETH:ENAB 1 V", kScpiDataType, 0, 0, "", 0},
    // Strings.
    {"MMEM:DEL 'a''b'", 0, kStr, 0, "a'b", 0},
    {"MMEM:DEL \"a\"\"b\"", 0, kStr, 0, "a\"b", 0},
    {"MMEM:DEL \"a'b\"", 0, kStr, 0, "a'b", 0},
    {"MMEM:DEL ''", 0, kStr, 0, "", 0},
    {"MMEM:DEL 'ab", kScpiInvalidString, 0, 0, "", 0},
    {"MMEM:DEL 'a'b", kScpiDataType, 0, 0, "", 0},
    {"MMEM:DEL ab", kScpiDataType, 0, 0, "", 0},
    {"MMEM:DEL 'a,b(c'", 0, kStr, 0, "a,b(c", 0},
    {"SYST:COMM:ETH:IDEN  my host  ", 0, kStr, 0, "my host", 0},
    {"SYST:COMM:ETH:IDEN 'q'", 0, kStr, 0, "'q'", 0},
    // Parentheses.
    {"CONF:LEV (1", kScpiParentheses, 0, 0, "", 0},
    {"CONF:LEV )1", kScpiParentheses, 0, 0, "", 0},
    {"CONF:LEV 1)", kScpiParentheses, 0, 0, "", 0},
};

INSTANTIATE_TEST_SUITE_P(Values, CommandValue, ::testing::ValuesIn(kValueCases),
                         [](const auto& info) { return torvex_test::CaseName(info.index, info.param.message); });

// ---- Parameter counts and omitted slots --------------------------------------------------------

TEST(ParameterSlots, TrailingEmptyOptionalSlotCountsAsOmitted) {
  const auto parsed = ParseMessage("FETC:ARR? 5,");
  ASSERT_EQ(parsed.code, 0);
  EXPECT_EQ(parsed.commands[0].values[0].kind, kScpiValueInteger);
  EXPECT_EQ(parsed.commands[0].values[1].kind, kScpiValueNone);
}

TEST(ParameterSlots, EmptyMandatorySlotIsADataTypeError) {
  EXPECT_EQ(ParseMessage("FETC:ARR? ,5").code, kScpiDataType);
}

TEST(ParameterSlots, TooManyParametersAreCounted) {
  EXPECT_EQ(ParseMessage("FETC? ,5").code, kScpiParameterCount);
  EXPECT_EQ(ParseMessage("*CLS 1").code, kScpiParameterCount);
  EXPECT_EQ(ParseMessage("*ESE").code, kScpiParameterCount);
}

TEST(ParameterSlots, CommasInsideStringsAndParenthesesDoNotSeparate) {
  unsigned count = 0;
  const char* text = nullptr;
  std::size_t length = 0;
  const struct {
    const char* command;
    unsigned count;
  } cases[] = {{"X 'a,b',\"c,d\"", 2}, {"X (@1,2),3", 2}, {"X '(',2", 2}, {"X (1,(2,3)),4", 2}, {"X #13a,b,5", 2},
               {"X 1,#0a,b,c", 2},     {"X   ", 0},       {"X", 0},       {"X 1,,", 3}};
  for (const auto& c : cases) {
    scpi_count_parameters(c.command, std::strlen(c.command), 1, &count, &text, &length);
    EXPECT_EQ(count, c.count) << c.command;
  }
}

TEST(ParameterSlots, ThreeOptionalSlotsOfMeasure) {
  const auto parsed = ParseMessage("MEAS? 1.5 T,MAX,(@1!2:1!4)");
  ASSERT_EQ(parsed.code, 0);
  const ScpiParsedCommand& c = parsed.commands[0];
  EXPECT_EQ(c.commandNumber, kCmdMeasureQuery);
  EXPECT_EQ(c.values[0].kind, kScpiValueDouble);
  EXPECT_DOUBLE_EQ(c.values[0].real, 1.5);
  EXPECT_EQ(c.values[0].unitClass, kScpiUnitTesla);
  EXPECT_EQ(c.values[1].kind, kScpiValueChoice);
  EXPECT_EQ(c.values[1].text, "MAXimum");
  EXPECT_EQ(c.values[2].kind, kScpiValueChannelList);
  EXPECT_EQ(ChannelTexts(c.values[2].channels), (std::vector<std::string>{"1!2", "1!3", "1!4"}));
  EXPECT_EQ(c.values[3].kind, kScpiValueNone);
}

TEST(ParameterSlots, MeasureWithoutParametersLeavesEverySlotEmpty) {
  const auto parsed = ParseMessage("MEAS?");
  ASSERT_EQ(parsed.code, 0);
  for (const auto& v : parsed.commands[0].values) EXPECT_EQ(v.kind, kScpiValueNone);
}

TEST(ParameterSlots, StoreSettingsTakesNumberStringAndGroup) {
  const auto parsed = ParseMessage("MMEM:STOR 1,'cfg.xml',MEAS");
  ASSERT_EQ(parsed.code, 0);
  const auto& v = parsed.commands[0].values;
  EXPECT_EQ(v[0].integer, 1);
  EXPECT_EQ(v[1].text, "cfg.xml");
  EXPECT_EQ(v[2].text, "MEASure");
}

// ---- Blocks --------------------------------------------------------------------------------------

TEST(BlockParameter, DefiniteBlockDataIsCopiedWhole) {
  const std::string message("MMEM:DATA 'f',#15a;b\0c", 22);
  const auto parsed = ParseMessage(message);
  ASSERT_EQ(parsed.code, 0);
  const auto& block = parsed.commands[0].values[1];
  EXPECT_EQ(block.kind, kScpiValueBlock);
  EXPECT_EQ(std::string(block.block.begin(), block.block.end()), std::string("a;b\0c", 5));
}

TEST(BlockParameter, IndefiniteBlockRunsToTheEndWithItsLineFeed) {
  const auto parsed = ParseMessage("MMEM:DATA 'f',#0xy'z;\n");
  ASSERT_EQ(parsed.code, 0);
  const auto& block = parsed.commands[0].values[1].block;
  EXPECT_EQ(std::string(block.begin(), block.end()), "xy'z;\n");
}

TEST(BlockParameter, LineFeedAfterADefiniteBlockIsAccepted) {
  const auto parsed = ParseMessage("MMEM:DATA 'f',#13abc\n");
  ASSERT_EQ(parsed.code, 0);
  const auto& block = parsed.commands[0].values[1].block;
  EXPECT_EQ(std::string(block.begin(), block.end()), "abc");
}

TEST(BlockParameter, BytesAfterADefiniteBlockAreRefusedNotDropped) {
  EXPECT_EQ(ParseMessage("MMEM:DATA 'f',#13abcXYZ").code, kScpiDataType);
}

TEST(BlockParameter, BlockWhereAStringIsExpected) {
  EXPECT_EQ(ParseMessage("MMEM:DEL #13abc").code, kScpiDataType);
  EXPECT_EQ(ParseMessage("MMEM:DATA 'f','g'").code, kScpiDataType);
}

// ---- Channel lists -------------------------------------------------------------------------------

struct ChannelCase {
  const char* message;
  int code;
  std::vector<std::string> channels;
};

void PrintTo(const ChannelCase& c, std::ostream* os) { *os << c.message; }

class ChannelList : public ::testing::TestWithParam<ChannelCase> {};

TEST_P(ChannelList, ExpandsOrRefuses) {
  const ChannelCase& c = GetParam();
  const auto parsed = ParseMessage(c.message);
  ASSERT_EQ(parsed.code, c.code) << c.message;
  if (c.code == 0) {
    EXPECT_EQ(ChannelTexts(parsed.commands[0].values[0].channels), c.channels) << c.message;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lists, ChannelList,
    ::testing::Values(
        ChannelCase{"ROUT:CLOS (@1)", 0, {"1"}}, ChannelCase{"ROUT:CLOS (@1!2,1!3!4)", 0, {"1!2", "1!3!4"}},
        ChannelCase{"ROUT:CLOS (@ 1 ! 2 , 1!3 )", 0, {"1!2", "1!3"}},
        ChannelCase{"ROUT:CLOS (@1!1!2:1!2!3)", 0, {"1!1!2", "1!1!3", "1!2!2", "1!2!3"}},
        ChannelCase{"ROUT:CLOS (@1!5:1!2)", 0, {"1!5", "1!4", "1!3", "1!2"}},
        ChannelCase{"ROUT:CLOS (@1!255!255!255!255)", 0, {"1!255!255!255!255"}},
        ChannelCase{"ROUT:CLOS (@1.0!2E0)", 0, {"1!2"}}, ChannelCase{"ROUT:CLOS (@2!1)", kScpiListValue, {}},
        ChannelCase{"ROUT:CLOS (@1!2:2!2)", kScpiListValue, {}}, ChannelCase{"ROUT:CLOS (@1!0)", kScpiListValue, {}},
        ChannelCase{"ROUT:CLOS (@1!256)", kScpiListValue, {}}, ChannelCase{"ROUT:CLOS (@1!-2)", kScpiListValue, {}},
        ChannelCase{"ROUT:CLOS (@1!2.5)", kScpiListValue, {}},
        ChannelCase{"ROUT:CLOS (@1!99999999999)", kScpiListValue, {}},
        ChannelCase{"ROUT:CLOS (@1!2:1!3!4)", kScpiListDimensions, {}},
        ChannelCase{"ROUT:CLOS (@1!1!1!1!1!1!1)", kScpiListDimensions, {}},
        // A channel holds five levels: a sixth dimension is refused, never cut off.
        ChannelCase{"ROUT:CLOS (@1!1!1!1!1!1)", kScpiListDimensions, {}},
        ChannelCase{"ROUT:CLOS (@1,)", kScpiDataType, {}}, ChannelCase{"ROUT:CLOS (@1!)", kScpiDataType, {}},
        ChannelCase{"ROUT:CLOS (@1:)", kScpiDataType, {}}, ChannelCase{"ROUT:CLOS (@1:1:1)", kScpiDataType, {}},
        ChannelCase{"ROUT:CLOS (@1;2)", kScpiParentheses, {}},  // the ';' ends the command
        ChannelCase{"ROUT:CLOS (@1x2)", kScpiDataType, {}}, ChannelCase{"ROUT:CLOS (@)", kScpiDataType, {}},
        ChannelCase{"ROUT:CLOS (1)", kScpiDataType, {}}, ChannelCase{"ROUT:CLOS @1", kScpiDataType, {}},
        // The last faulty entry decides; a data-type fault ends the check at once.
        ChannelCase{"ROUT:CLOS (@1!2:1!3!4,0)", kScpiListValue, {}},
        ChannelCase{"ROUT:CLOS (@2,1!2:1!3!4)", kScpiListDimensions, {}},
        ChannelCase{"ROUT:CLOS (@2,1!2:1!3!4,x)", kScpiDataType, {}},
        // Expansions beyond the bound are refused before anything is expanded.
        ChannelCase{"ROUT:CLOS (@1!1!1!1!1:1!255!255!255!255)", kScpiChannelListError, {}}),
    [](const auto& info) { return torvex_test::CaseName(info.index, info.param.message); });

TEST(ChannelList, ExpansionAtTheBoundIsKept) {
  const auto parsed = ParseMessage("ROUT:CLOS (@1!1!1:1!40!250)");
  ASSERT_EQ(parsed.code, 0);
  const auto& list = parsed.commands[0].values[0].channels;
  ASSERT_EQ(list.size(), kScpiMaxChannelListSize);
  EXPECT_EQ(test::ChannelText(list.front()), "1!1!1");
  EXPECT_EQ(test::ChannelText(list[1]), "1!1!2");
  EXPECT_EQ(test::ChannelText(list.back()), "1!40!250");
}

TEST(ChannelList, BoundCountsEveryListOfTheMessage) {
  // A few bytes per command must not add up to millions of addresses across a long message.
  std::string message;
  for (int i = 0; i < 3; ++i) message += ":ROUT:CLOS (@1!1!1:1!20!250);";
  EXPECT_EQ(ParseMessage(message).code, kScpiChannelListError);
  EXPECT_EQ(ParseMessage("ROUT:CLOS (@1!1!1:1!20!250);:ROUT:CLOS (@1!1!1:1!20!250)").code, 0);
  EXPECT_EQ(ParseMessage("MEAS? ,,(@1!1:1!250);:READ? ,,(@1!1:1!250)").code, 0);
}

TEST(ChannelList, BoundCountsEveryEntryOfTheList) {
  // 40 entries of 250 addresses reach the bound exactly; one address more is refused.
  std::string list;
  for (int i = 0; i < 40; ++i) list += std::string(i ? "," : "") + "1!1:1!250";
  EXPECT_EQ(ParseMessage("ROUT:CLOS (@" + list + ")").code, 0);
  EXPECT_EQ(ParseMessage("ROUT:CLOS (@" + list + ",1)").code, kScpiChannelListError);
}

// ---- The number scanner ----------------------------------------------------------------------------

TEST(NumberScanner, MantissaKeepsOnlyTheDigitsThatFit) {
  struct Case {
    const char* text;
    std::uint64_t mantissa;
    std::uint8_t exponent;
    std::uint8_t flags;
  } cases[] = {
      {"18446744073709551615", 18446744073709551615ull, 0, 0},
      // The 20th digit no longer fits: it and every later digit raise the exponent.
      {"184467440737095516161", 1844674407370955161ull, 2, 0},
      {"18446744073709551616.9", 1844674407370955161ull, 1, 0},
      {"0.18446744073709551616", 1844674407370955161ull, 19, kScpiExponentNegative},
      {"1.000", 1, 0, 0},
      {"-0.0001", 1, 4, kScpiNumberNegative | kScpiExponentNegative},
      {"1200", 12, 2, 0},
      {"  7  ", 7, 0, 0},
  };
  for (const Case& c : cases) {
    ScpiNumber number;
    std::size_t consumed = 0;
    ASSERT_EQ(scpi_parse_number(c.text, std::strlen(c.text), &number, &consumed), 0) << c.text;
    EXPECT_EQ(number.mantissa, c.mantissa) << c.text;
    EXPECT_EQ(number.exponent, c.exponent) << c.text;
    EXPECT_EQ(number.flags, c.flags) << c.text;
    EXPECT_EQ(consumed, std::strlen(c.text)) << c.text;
  }
}

TEST(NumberScanner, StopsAtTheFirstCharacterThatDoesNotFit) {
  ScpiNumber number;
  std::size_t consumed = 0;
  ASSERT_EQ(scpi_parse_number("12 MV", 5, &number, &consumed), 0);
  EXPECT_EQ(consumed, 3u);
  ASSERT_EQ(scpi_parse_number("1!2", 3, &number, &consumed), 0);
  EXPECT_EQ(consumed, 1u);
}

TEST(NumberScanner, VeryLongDigitRunsStayBounded) {
  const std::string digits(100000, '9');
  ScpiNumber number;
  std::size_t consumed = 0;
  EXPECT_EQ(scpi_parse_number(digits.c_str(), digits.size(), &number, &consumed), kScpiOutOfRange);
  const std::string fraction = "0." + std::string(100000, '0') + "1";
  ASSERT_EQ(scpi_parse_number(fraction.c_str(), fraction.size(), &number, &consumed), 0);
  EXPECT_EQ(number.mantissa, 0u);
}

// ---- Accessors ---------------------------------------------------------------------------------------

TEST(Accessors, RefuseRecordsOfAnotherType) {
  ScpiParameter text;
  text.type = kScpiTypeText;
  std::int32_t i = 0;
  double d = 0;
  std::uint8_t b = 0;
  std::uint32_t u = 0;
  const char* p = nullptr;
  const char* e = nullptr;
  EXPECT_EQ(scpi_param_get_int(&text, &i), kScpiDataType);
  EXPECT_EQ(scpi_param_get_double(&text, &d), kScpiDataType);
  EXPECT_EQ(scpi_param_get_bool(&text, &b), kScpiDataType);
  EXPECT_EQ(scpi_param_get_char(&text, &b), kScpiDataType);
  EXPECT_EQ(scpi_param_get_unit(&text, &u), kScpiDataType);
  EXPECT_EQ(scpi_param_get_block(&text, &p, &e), kScpiDataType);
  unsigned dims = 6;
  bool range = false;
  EXPECT_EQ(scpi_param_get_channel_list(&text, 0, &dims, &range, nullptr, nullptr), kScpiDataType);
}

TEST(Accessors, IntegerFromNumberWithExponent) {
  ScpiParameter p;
  p.type = kScpiTypeNumber;
  p.number = {15, 2, kScpiExponentNegative, 0};  // 0.15
  std::int32_t v = 99;
  EXPECT_EQ(scpi_param_get_int(&p, &v), 0);
  EXPECT_EQ(v, 0);
  p.number = {21474836, 2, kScpiNumberNegative, 0};  // -2147483600
  EXPECT_EQ(scpi_param_get_int(&p, &v), 0);
  EXPECT_EQ(v, -2147483600);
  p.number = {1, 43, 0, 0};
  EXPECT_EQ(scpi_param_get_int(&p, &v), kScpiOutOfRange);
  double d = 0;
  EXPECT_EQ(scpi_param_get_double(&p, &d), 0);
  EXPECT_DOUBLE_EQ(d, 1e43);
  p.number = {10000000000000002ull, 16, kScpiExponentNegative, 0};
  EXPECT_EQ(scpi_param_get_double(&p, &d), 0);
  EXPECT_EQ(d, 1.0000000000000002);
}

TEST(Accessors, ChannelListEntriesAndCapacity) {
  ScpiParameter record;
  const char* list = "(@1!2:1!4,1!3!5)";
  ASSERT_EQ(scpi_parse_channel_list(list, std::strlen(list), nullptr, &record), 0);
  ScpiParameter first[3];
  ScpiParameter second[3];
  unsigned dims = 3;
  bool range = false;
  ASSERT_EQ(scpi_param_get_channel_list(&record, 0, &dims, &range, first, second), 0);
  EXPECT_EQ(dims, 2u);
  EXPECT_TRUE(range);
  std::int32_t v = 0;
  scpi_param_get_int(&second[1], &v);
  EXPECT_EQ(v, 4);
  dims = 3;
  ASSERT_EQ(scpi_param_get_channel_list(&record, 1, &dims, &range, first, second), 0);
  EXPECT_EQ(dims, 3u);
  EXPECT_FALSE(range);
  dims = 2;
  EXPECT_EQ(scpi_param_get_channel_list(&record, 1, &dims, &range, first, second), kScpiTooManyDimensions);
  dims = 3;
  EXPECT_EQ(scpi_param_get_channel_list(&record, 2, &dims, &range, first, second), kScpiNoSuchEntry);
  const char* text = nullptr;
  std::size_t length = 0;
  std::uint8_t quote = 1;
  ASSERT_EQ(scpi_param_get_string(&record, &text, &length, &quote), 0);
  EXPECT_EQ(std::string(text, length), "1!2:1!4,1!3!5");
  EXPECT_EQ(quote, 0);
}

TEST(Accessors, DoubleToIntRefusesWhatDoesNotFit) {
  const struct {
    double value;
    int code;
    std::int32_t result;
  } cases[] = {
      {0.0, 0, 0},
      {10.7, 0, 10},
      {-10.7, 0, -10},
      {2147483647.9, 0, 2147483647},
      {-2147483648.9, 0, std::numeric_limits<std::int32_t>::min()},
      {2147483648.0, kScpiOutOfRange, 0},
      {-2147483649.0, kScpiOutOfRange, 0},
      {1e300, kScpiOutOfRange, 0},
      {std::numeric_limits<double>::infinity(), kScpiOutOfRange, 0},
      {-std::numeric_limits<double>::infinity(), kScpiOutOfRange, 0},
      {std::numeric_limits<double>::quiet_NaN(), kScpiOutOfRange, 0},
  };
  for (const auto& c : cases) {
    std::int32_t r = 12345;
    EXPECT_EQ(scpi_double_to_int(c.value, &r), c.code) << c.value;
    EXPECT_EQ(r, c.code == 0 ? c.result : 12345) << c.value;
  }
}

TEST(Accessors, ListContainsWholeElementsOnly) {
  const char* units = "T,MT,UT,NT,GAUSs,KGAUss";
  const struct {
    const char* text;
    bool found;
  } cases[] = {{"T", true},     {"MT", true},    {"KGAUss", true}, {"GAUSs", true}, {"M", false},
               {"GAUS", false}, {"AUSs", false}, {"T,MT", false},  {"", false},     {"t", false}};
  for (const auto& c : cases) {
    EXPECT_EQ(scpi_list_contains(units, ',', c.text, std::strlen(c.text)), c.found) << c.text;
  }
  EXPECT_TRUE(scpi_list_contains("AUTO, CUSTom, MANual", ',', "CUSTom", 6));
  EXPECT_FALSE(scpi_list_contains("", ',', "A", 1));
  EXPECT_TRUE(scpi_list_contains("", ',', "", 0));
  EXPECT_FALSE(scpi_list_contains(nullptr, ',', "", 0));
}

TEST(UnitSuffixes, TableEndsWithAnEmptyRowAndSpellsEveryClass) {
  EXPECT_EQ(kScpiUnitSuffixes[kScpiUnitSuffixCount].suffix[0], '\0');
  // Each suffix, in any letter case, gives its class and scale.
  for (std::size_t i = 0; i < kScpiUnitSuffixCount; ++i) {
    const ScpiUnitSuffix& row = kScpiUnitSuffixes[i];
    std::string text = std::string("1 ") + row.suffix;
    for (char& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    ScpiNumericDescriptor any{row.unitClass, nullptr, 0};
    ScpiParameter record;
    ASSERT_EQ(scpi_parse_numeric_with_suffix(text.c_str(), text.size(), &any, &record), 0) << text;
    EXPECT_EQ(record.number.unitClass, row.unitClass);
    double value = 0;
    scpi_param_get_double(&record, &value);
    EXPECT_DOUBLE_EQ(value, std::pow(10.0, row.exponent)) << text;
  }
}

}  // namespace
}  // namespace Torvex
