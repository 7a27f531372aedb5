// Cutting program messages into commands and resolving headers: compound-header paths, numeric
// suffixes, blocks, quoting and the result codes.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "scpi/scpi_command_table.h"
#include "scpi_support.h"
#include "support/case_name.h"

namespace Torvex {
namespace {

using test::CommandNumbers;
using test::ParseMessage;

struct MessageCase {
  const char* name;
  std::string message;
  int code;                   // expected result of the whole parse
  std::vector<int> commands;  // expected command numbers when code is 0
};

void PrintTo(const MessageCase& c, std::ostream* os) { *os << c.name; }

class MessageCutting : public ::testing::TestWithParam<MessageCase> {};

TEST_P(MessageCutting, ResolvesToTheExpectedCommandsOrCode) {
  const MessageCase& c = GetParam();
  const auto parsed = ParseMessage(c.message);
  EXPECT_EQ(parsed.code, c.code) << c.message;
  if (c.code == 0) {
    EXPECT_EQ(CommandNumbers(parsed), c.commands) << c.message;
  } else {
    EXPECT_TRUE(parsed.commands.empty()) << "a failed message runs none of its commands";
    EXPECT_EQ(parsed.failed.errorCode, c.code);
  }
}

const MessageCase kMessageCases[] = {
    {"ShortForm", "SYST:ERR?", 0, {14}},
    {"LongFormWithOptionalNode", "SYSTEM:ERROR:NEXT?", 0, {14}},
    {"LowerCase", "syst:err:next?", 0, {14}},
    {"MixedCase", "System:Error?", 0, {14}},
    {"LongFormGivenInPart", "SYSTE:ERR?", kScpiSyntax, {}},
    {"CommonCommandThenRootHeader", "*RST;STAT:PRES", 0, {7, 26}},
    {"RelativeHeaderAfterSetter", "STAT:OPER:ENAB 5;PTR 1", 0, {21, 149}},
    {"PathFromOptionalLastNode", "STAT:OPER?;COND?", 0, {18, 19}},
    {"RelativeHeaderOutsidePath", "STAT:OPER?;QUES?", kScpiSyntax, {}},
    {"PathHoldsSuffixCharacter", "AVER2:COUN 5;TCON EXP", kScpiSyntax, {}},
    {"CommonCommandKeepsPath", "STAT:OPER:ENAB 5;*CLS;PTR 1", 0, {21, 0, 149}},
    {"LeadingColonStartsFromRoot", "STAT:OPER:ENAB 5;:SYST:ERR?", 0, {21, 14}},
    // A header that fits nothing under the path is tried once more from the root.
    {"RootHeaderAfterAPathResolvesFromTheRoot", "STAT:OPER:ENAB 5;SYST:ERR?", 0, {21, 14}},
    {"SameQueryTwice", "SYST:ERR?;SYST:ERR?", 0, {14, 14}},
    {"TwoFetchQueries", "FETC:SIGM?;FETC:UNIF?", 0, {73, 74}},
    {"RootHeaderAfterACommonCommandAndAPath", "STAT:OPER:ENAB 5;*CLS;SYST:ERR?", 0, {21, 0, 14}},
    {"PathFollowsTheRootResolution", "STAT:OPER:ENAB 5;SYST:VERS?;ERR?", 0, {21, 15, 14}},
    {"RelativeHeaderStillWinsUnderThePath", "ROUT:PROB:HALL:X?;Y?", 0, {128, 129}},
    {"NoParentPathForARelativeHeader", "ROUT:PROB:HALL:X?;HALL:Y?", kScpiSyntax, {}},
    {"RelativeHeaderThatIsNoRootCommand", "STAT:QUES?;OPER?", kScpiSyntax, {}},
    // From the root a header may fit with a refused parameter count: the command still fails as it
    // does under the path.
    {"RootRetryFailureReportsThePathFailure", "SYST:ERR?;SYST:ERR? 5", kScpiSyntax, {}},
    {"RootRetryOfAnUnknownHeader", "SYST:ERR?;FOO", kScpiSyntax, {}},
    {"LiteralDigitInNode", "TRIG:SEQ1:COUN 5", 0, {217}},
    {"OptionalNodeWithLiteralDigitOmitted", "TRIG:COUN 5", 0, {217}},
    {"LiteralDigitIsNotASuffix", "TRIG:SEQ:COUN 5", kScpiSyntax, {}},
    {"OnlySeparators", " ; ;;\t ", 0, {}},
    {"EmptyMessage", "", 0, {}},
    {"NulEndsTheMessage", std::string("*CLS\0*RST", 9), 0, {0}},
    {"SemicolonInsideQuotes", "MMEM:DEL 'a;b';*CLS", 0, {102, 0}},
    {"SemicolonInsideDoubleQuotes", "MMEM:DEL \"a;'b\";*CLS", 0, {102, 0}},
    {"DefiniteBlockHidesSeparators", std::string("MMEM:DATA 'f',#15a;b;c;*CLS", 27), 0, {101, 0}},
    {"DefiniteBlockWithNulAndQuotes", std::string("MMEM:DATA 'f',#16a\0'\"b;;*CLS", 28), 0, {101, 0}},
    {"IndefiniteBlockWithoutLineFeed", "MMEM:DATA 'f',#0abc", kScpiSyntax, {}},
    {"IndefiniteBlockWithLineFeed", "MMEM:DATA 'f',#0ab;c\n", 0, {101}},
    {"BlockHeaderNotADigit", "MMEM:DEL #H1F", kScpiListValue, {}},
    {"BlockLengthNotDigits", "MMEM:DATA 'f',#2x1abc", kScpiListValue, {}},
    {"BlockBeyondMessage", "MMEM:DATA 'f',#15abc", kScpiListValue, {}},
    {"BlockIntoTheFinalNul", "MMEM:DATA 'f',#13ab", kScpiListValue, {}},
    {"HugeBlockLength", "MMEM:DATA 'f',#9999999999abc", kScpiListValue, {}},
    {"HashAtMessageEnd", "MMEM:DEL #", kScpiListValue, {}},
    {"UnknownHeader", "FOO:BAR", kScpiSyntax, {}},
    {"HeaderWithHighBytes", "SYST:ERR\xC3\xA9?", kScpiSyntax, {}},
    {"ParameterCountBeatsSyntax", "SYST:ERR? 5", kScpiParameterCount, {}},
    {"SyntaxErrorInSecondCommandStopsAll", "*CLS;FOO", kScpiSyntax, {}},
    {"SeparatorsAndControlCharacters", "\x01*CLS\x1f;\r\n*RST\n", 0, {0, 7}},
};

INSTANTIATE_TEST_SUITE_P(Messages, MessageCutting, ::testing::ValuesIn(kMessageCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct SuffixCase {
  const char* header;
  int code;
  std::uint32_t suffix;  // expected when code is 0
};

void PrintTo(const SuffixCase& c, std::ostream* os) { *os << c.header; }

class NumericSuffix : public ::testing::TestWithParam<SuffixCase> {};

TEST_P(NumericSuffix, KeepsItsFullWidthOrIsRefused) {
  const SuffixCase& c = GetParam();
  const auto parsed = ParseMessage(c.header);
  ASSERT_EQ(parsed.code, c.code) << c.header;
  if (c.code == 0) {
    ASSERT_EQ(parsed.commands.size(), 1u);
    EXPECT_EQ(parsed.commands[0].commandNumber, kCmdAverageCountQuery);
    ASSERT_TRUE(parsed.commands[0].numericSuffix.has_value());
    EXPECT_EQ(*parsed.commands[0].numericSuffix, c.suffix);
  }
}

INSTANTIATE_TEST_SUITE_P(Suffixes, NumericSuffix,
                         ::testing::Values(SuffixCase{"AVER:COUN?", 0, 1}, SuffixCase{"AVER1:COUN?", 0, 1},
                                           SuffixCase{"AVER3:COUN?", 0, 3}, SuffixCase{"CALC:AVER2:COUN?", 0, 2},
                                           SuffixCase{"AVER258:COUN?", 0, 258}, SuffixCase{"AVER257:COUN?", 0, 257},
                                           SuffixCase{"AVER007:COUN?", 0, 7},
                                           SuffixCase{"AVER4294967295:COUN?", 0, 4294967295u},
                                           SuffixCase{"AVER0:COUN?", kScpiSuffixInvalid, 0},
                                           SuffixCase{"AVER000:COUN?", kScpiSuffixInvalid, 0},
                                           SuffixCase{"AVER4294967296:COUN?", kScpiSuffixInvalid, 0},
                                           SuffixCase{"AVER99999999999:COUN?", kScpiSuffixInvalid, 0}),
                         [](const auto& info) { return torvex_test::CaseName(info.index, info.param.header); });

TEST(NumericSuffix, CommandWithoutSuffixCarriesNone) {
  const auto parsed = ParseMessage("STAT:OPER?");
  ASSERT_EQ(parsed.code, 0);
  EXPECT_FALSE(parsed.commands[0].numericSuffix.has_value());
}

TEST(NumericSuffix, SuffixErrorIsReportedWhateverTheParameters) {
  // The suffix code is smaller than the codes of every other candidate.
  EXPECT_EQ(ParseMessage("AVER0:COUN? FOO").code, kScpiSuffixInvalid);
}

TEST(HeaderMatching, ChoiceModeMatchesShortAndLongFormsOnly) {
  const char* pattern = "MINimum";
  struct Case {
    const char* text;
    int code;
  } cases[] = {{"MIN", 0},
               {"min", 0},
               {"MINIMUM", 0},
               {"Minimum", 0},
               {"MINI", kScpiSyntax},
               {"MI", kScpiSyntax},
               {"MINIMUMS", kScpiSyntax},
               {"", kScpiSyntax}};
  for (const Case& c : cases) {
    std::uint32_t value = 0;
    std::uint8_t flag = 0;
    EXPECT_EQ(
        scpi_match_header(pattern, std::strlen(pattern), c.text, std::strlen(c.text), kScpiMatchChoice, &value, &flag),
        c.code)
        << c.text;
  }
}

TEST(HeaderMatching, SecondSuffixInOneMatchIsRefused) {
  std::uint32_t value = 0;
  std::uint8_t flag = 1;  // a suffix was already read
  EXPECT_EQ(scpi_match_header("AVERage#", 8, "AVER2", 5, kScpiMatchChoice, &value, &flag), kScpiSuffixRepeated);
}

TEST(HeaderMatching, ResetLineStateEmptiesThePath) {
  std::uint8_t number = 0;
  std::uint8_t flag = 0;
  std::uint32_t value = 0;
  ScpiParameter parameters[kScpiParameterSlots];
  ASSERT_EQ(scpi_parse_command("STAT:OPER?", 10, true, &number, parameters, &flag, &value), 0);
  ASSERT_EQ(scpi_parse_command("COND?", 5, false, &number, parameters, &flag, &value), 0);
  EXPECT_EQ(number, 19);
  scpi_reset_line_state();
  EXPECT_EQ(scpi_parse_command("COND?", 5, false, &number, parameters, &flag, &value), kScpiSyntax);
}

TEST(HeaderMatching, FailureLeavesThePathAsItWas) {
  std::uint8_t number = 0;
  std::uint8_t flag = 0;
  std::uint32_t value = 0;
  ScpiParameter parameters[kScpiParameterSlots];
  ASSERT_EQ(scpi_parse_command("STAT:OPER?", 10, true, &number, parameters, &flag, &value), 0);
  ASSERT_EQ(scpi_parse_command("FOO", 3, false, &number, parameters, &flag, &value), kScpiSyntax);
  EXPECT_EQ(scpi_parse_command("COND?", 5, false, &number, parameters, &flag, &value), 0);
  EXPECT_EQ(number, 19);
}

TEST(HeaderMatching, AFailedRetryFromTheRootLeavesThePathAsItWas) {
  std::uint8_t number = 0;
  std::uint8_t flag = 0;
  std::uint32_t value = 0;
  ScpiParameter parameters[kScpiParameterSlots];
  ASSERT_EQ(scpi_parse_command("STAT:OPER?", 10, true, &number, parameters, &flag, &value), 0);
  // SYST:ERR? 5 fits SYSTem:ERRor[:NEXT]? from the root except for its parameter.
  ASSERT_EQ(scpi_parse_command("SYST:ERR? 5", 11, false, &number, parameters, &flag, &value), kScpiSyntax);
  EXPECT_EQ(scpi_parse_command("COND?", 5, false, &number, parameters, &flag, &value), 0);
  EXPECT_EQ(number, 19);
}

TEST(CommandCutting, CursorStopsOnTheSeparatorAndAdvances) {
  const std::string message = "*CLS;*RST";
  const char* cursor = message.c_str();
  std::size_t remaining = message.size() + 1;
  std::uint8_t number = 0;
  std::uint8_t flag = 0;
  std::uint32_t value = 0;
  ScpiParameter parameters[kScpiParameterSlots];
  ASSERT_EQ(scpi_next_command(&cursor, &remaining, true, &number, parameters, &flag, &value), 0);
  EXPECT_EQ(number, 0);
  EXPECT_EQ(*cursor, ';');
  EXPECT_EQ(remaining, message.size() + 1 - 4);
  ASSERT_EQ(scpi_next_command(&cursor, &remaining, false, &number, parameters, &flag, &value), 0);
  EXPECT_EQ(number, 7);
  EXPECT_EQ(*cursor, '\0');
  EXPECT_EQ(scpi_next_command(&cursor, &remaining, false, &number, parameters, &flag, &value), kScpiEndOfMessage);
}

TEST(CommandCutting, TooShortRemainingLengthNeverReadsBeyondIt) {
  // The region handed over ends before the command is complete: the scan stops at its end.
  const char text[] = {'M', 'M', 'E', 'M', ':', 'D', 'E', 'L', ' ', '#', '5'};
  const char* cursor = text;
  std::size_t remaining = sizeof(text);
  std::uint8_t number = 0;
  std::uint8_t flag = 0;
  std::uint32_t value = 0;
  ScpiParameter parameters[kScpiParameterSlots];
  EXPECT_EQ(scpi_next_command(&cursor, &remaining, true, &number, parameters, &flag, &value), kScpiListValue);
  EXPECT_LE(cursor, text + sizeof(text));
}

}  // namespace
}  // namespace Torvex
