// From engine records to command values: channel-list expansion, choice texts, whole program
// messages, and the channel address value.
#include <gtest/gtest.h>

#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/CTorvexChannel.h"
#include "scpi/scpi_command_table.h"
#include "scpi_support.h"
#include "support/case_name.h"

namespace Torvex {
namespace {

using test::ChannelTexts;
using test::ParseMessage;

// ---- Expansion of one entry --------------------------------------------------------------------------

struct ExpandCase {
  std::vector<std::uint8_t> first;
  std::vector<std::uint8_t> second;
  std::vector<std::string> expected;
};

void PrintTo(const ExpandCase& c, std::ostream* os) { *os << c.expected.front() << "..." << c.expected.back(); }

class ExpandChannelList : public ::testing::TestWithParam<ExpandCase> {};

TEST_P(ExpandChannelList, LastDimensionVariesFastest) {
  const ExpandCase& c = GetParam();
  bool ascending[5];
  for (std::size_t l = 0; l < c.first.size(); ++l) ascending[l] = c.first[l] <= c.second[l];
  std::vector<CTorvexChannel> list(1);
  ASSERT_EQ(scpi_expand_channel_list(list, c.first.data(), c.second.data(), ascending, 0,
                                     static_cast<unsigned>(c.first.size())),
            0);
  EXPECT_EQ(ChannelTexts(list), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Entries, ExpandChannelList,
                         ::testing::Values(ExpandCase{{1, 1, 2}, {1, 2, 3}, {"1!1!2", "1!1!3", "1!2!2", "1!2!3"}},
                                           ExpandCase{{1, 5}, {1, 2}, {"1!5", "1!4", "1!3", "1!2"}},
                                           ExpandCase{{1, 3, 1}, {1, 2, 2}, {"1!3!1", "1!3!2", "1!2!1", "1!2!2"}},
                                           ExpandCase{{1}, {1}, {"1"}}, ExpandCase{{1, 255}, {1, 255}, {"1!255"}},
                                           ExpandCase{{1, 2, 3, 4, 5}, {1, 2, 3, 4, 5}, {"1!2!3!4!5"}}),
                         [](const auto& info) {
                           return torvex_test::CaseName(
                               info.index, info.param.expected.front() + " to " + info.param.expected.back());
                         });

TEST(ExpandChannelListLimits, RefusesASixthLevelAndOversizedResults) {
  const std::uint8_t first[6] = {1, 1, 1, 1, 1, 1};
  const std::uint8_t second[6] = {1, 1, 1, 1, 1, 1};
  const bool ascending[6] = {true, true, true, true, true, true};
  std::vector<CTorvexChannel> list(1);
  EXPECT_EQ(scpi_expand_channel_list(list, first, second, ascending, 0, 6), kScpiListDimensions);
  EXPECT_EQ(list.size(), 1u);

  const std::uint8_t wideFirst[5] = {1, 1, 1, 1, 1};
  const std::uint8_t wideSecond[5] = {1, 255, 255, 255, 255};
  EXPECT_EQ(scpi_expand_channel_list(list, wideFirst, wideSecond, ascending, 0, 5), kScpiChannelListError);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].Length(), 0) << "nothing is expanded when the result is too large";
}

TEST(ExpandChannelListLimits, ExtendsAnExistingListFromAGivenLevel) {
  std::vector<CTorvexChannel> list(2);
  list[0].AppendLevel(1);
  list[1].AppendLevel(1);
  list[1].AppendLevel(9);
  const std::uint8_t first[2] = {0, 4};
  const std::uint8_t second[2] = {0, 5};
  const bool ascending[2] = {true, true};
  ASSERT_EQ(scpi_expand_channel_list(list, first, second, ascending, 1, 2), 0);
  EXPECT_EQ(ChannelTexts(list), (std::vector<std::string>{"1!4", "1!5", "1!9!4", "1!9!5"}));
}

TEST(ExpandChannelListLimits, AddressWithoutRoomLeavesTheListUnchanged) {
  // The first address has room for both levels; the second would need a sixth one.
  std::vector<CTorvexChannel> list(2);
  list[0].AppendLevel(1);
  for (int i = 0; i < 4; ++i) list[1].AppendLevel(1);
  const std::uint8_t first[2] = {2, 3};
  const std::uint8_t second[2] = {2, 3};
  const bool ascending[2] = {true, true};
  EXPECT_EQ(scpi_expand_channel_list(list, first, second, ascending, 0, 2), kScpiListDimensions);
  EXPECT_EQ(ChannelTexts(list), (std::vector<std::string>{"1", "1!1!1!1"}));
}

// ---- Conversion of records ---------------------------------------------------------------------------

TEST(ExtractParameters, ChoiceIndexBeyondTheListIsAnInternalError) {
  ScpiParsedCommand command;
  command.commandNumber = kCmdMeasurementMode;  // choices AUTO|MANual
  ScpiParameter parameters[kScpiParameterSlots];
  parameters[0].type = kScpiTypeChoice;
  parameters[0].choiceIndex = 1;
  ASSERT_EQ(scpi_extract_parameters(parameters, command), 0);
  EXPECT_EQ(command.values[0].text, "MANual");
  parameters[0].choiceIndex = 2;
  EXPECT_EQ(scpi_extract_parameters(parameters, command), kScpiInternalError);
  EXPECT_EQ(command.errorCode, kScpiInternalError);
}

TEST(ExtractParameters, FirstFailureWinsAndEndsTheConversion) {
  ScpiParsedCommand command;
  command.commandNumber = kCmdMeasureArrayQuery;
  ScpiParameter parameters[kScpiParameterSlots];
  parameters[0].type = kScpiTypeNumber;
  parameters[0].number = {5, 10, 0, 0};  // 5E10: beyond a 32-bit integer
  parameters[1].type = kScpiTypeNumber;
  parameters[1].number = {7, 0, 0, 0};
  EXPECT_EQ(scpi_extract_parameters(parameters, command), kScpiOutOfRange);
  EXPECT_EQ(command.errorCode, kScpiOutOfRange);
  EXPECT_EQ(command.values[1].kind, kScpiValueNone) << "later slots are not converted";
  command.errorCode = kScpiWrongUnit;  // a code already present is kept
  EXPECT_EQ(scpi_extract_parameters(parameters, command), kScpiOutOfRange);
  EXPECT_EQ(command.errorCode, kScpiWrongUnit);
}

TEST(ExtractParameters, NegativeNumbersAndUnitClasses) {
  const auto parsed = ParseMessage("MEAS:ARR? 3,-2.5 MT,DEF");
  ASSERT_EQ(parsed.code, 0);
  const auto& v = parsed.commands[0].values;
  EXPECT_EQ(v[0].kind, kScpiValueInteger);
  EXPECT_EQ(v[0].integer, 3);
  EXPECT_EQ(v[0].unitClass, kScpiUnitNone);
  EXPECT_EQ(v[1].kind, kScpiValueDouble);
  EXPECT_DOUBLE_EQ(v[1].real, -2.5e-3);
  EXPECT_EQ(v[1].unitClass, kScpiUnitTesla);
  EXPECT_EQ(v[2].text, "DEFault");
}

// ---- Whole program messages ------------------------------------------------------------------------

TEST(ProgramMessage, RelativeHeadersAreCutAndTyped) {
  const auto parsed = ParseMessage("STAT:OPER:ENAB 5;PTR 1");
  ASSERT_EQ(parsed.code, 0);
  ASSERT_EQ(parsed.commands.size(), 2u);
  EXPECT_EQ(parsed.commands[0].commandNumber, kCmdOperationEnable);
  EXPECT_EQ(parsed.commands[0].values[0].kind, kScpiValueInteger);
  EXPECT_EQ(parsed.commands[0].values[0].integer, 5);
  EXPECT_EQ(parsed.commands[1].commandNumber, kCmdOperationPositive);
  EXPECT_EQ(parsed.commands[1].values[0].integer, 1);
}

TEST(ProgramMessage, ConversionFailureInALaterCommandDiscardsAll) {
  const auto parsed = ParseMessage("*CLS;ROUT:CLOS (@2!1);*RST");
  EXPECT_EQ(parsed.code, kScpiListValue);
  EXPECT_TRUE(parsed.commands.empty());
  EXPECT_EQ(parsed.failed.commandNumber, kCmdRouteClose);
  EXPECT_EQ(parsed.failed.errorCode, kScpiListValue);
}

TEST(ProgramMessage, RecordsKeepTheirReplyBinding) {
  std::string reply;
  ScpiParsedCommand record(&reply);
  std::vector<ScpiParsedCommand> commands;
  ASSERT_EQ(scpi_parse_program_message("*IDN?;*OPC?", commands, record), 0);
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].reply, &reply);
  EXPECT_EQ(commands[1].reply, &reply);
}

TEST(ProgramMessage, AverageSuffixesSelectTheirRecords) {
  const auto parsed = ParseMessage("AVER:COUN 10;:AVER2:COUN 10;:AVER258:COUN 10");
  ASSERT_EQ(parsed.code, 0);
  ASSERT_EQ(parsed.commands.size(), 3u);
  EXPECT_EQ(*parsed.commands[0].numericSuffix, 1u);
  EXPECT_EQ(*parsed.commands[1].numericSuffix, 2u);
  // 258 stays 258: it never turns into suffix 2.
  EXPECT_EQ(*parsed.commands[2].numericSuffix, 258u);
}

TEST(ParsedCommand, ResetClearsTheCommandButKeepsTheReply) {
  std::string reply;
  ScpiParsedCommand c(&reply);
  c.commandNumber = kCmdOpc;
  c.numericSuffix = 3;
  c.values[0].kind = kScpiValueString;
  c.values[0].text = "x";
  c.values[1].channels.resize(2);
  c.errorCode = 40;
  c.abandon = 1;
  c.indefiniteResponse = 1;
  c.Reset();
  EXPECT_EQ(c.commandNumber, 0);
  EXPECT_FALSE(c.numericSuffix.has_value());
  EXPECT_EQ(c.values[0].kind, kScpiValueNone);
  EXPECT_TRUE(c.values[0].text.empty());
  EXPECT_TRUE(c.values[1].channels.empty());
  EXPECT_EQ(c.errorCode, 0);
  EXPECT_EQ(c.abandon, 0);
  EXPECT_EQ(c.indefiniteResponse, 0);
  EXPECT_EQ(c.reply, &reply);
}

// ---- Channel address values ---------------------------------------------------------------------------

TEST(Channel, CopyClampsTheLengthToFiveLevels) {
  CTorvexChannel c;
  for (std::uint8_t i = 0; i < 5; ++i) c.level[i] = static_cast<std::uint8_t>(i + 1);
  c.length = 7;  // a damaged length byte
  const CTorvexChannel copy(c);
  EXPECT_EQ(copy.Length(), 5);
  EXPECT_EQ(copy.Level(4), 5);
  CTorvexChannel assigned;
  assigned = c;
  EXPECT_EQ(assigned.Length(), 5);
}

TEST(Channel, ReadingBeyondTheLengthThrows) {
  CTorvexChannel c;
  c.AppendLevel(1);
  c.AppendLevel(3);
  EXPECT_EQ(c.Level(1), 3);
  try {
    c.Level(2);
    FAIL() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "Access to a CTorvexChannel out of bounds");
  }
}

TEST(Channel, AppendStopsAtFiveLevels) {
  CTorvexChannel c;
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(c.AppendLevel(1));
  EXPECT_FALSE(c.AppendLevel(1));
  EXPECT_EQ(c.Length(), 5);
}

}  // namespace
}  // namespace Torvex
