// Reply building: the "," rule, blocks and their limit, joined numbers, sized formatting, node
// attributes, and the measurement results as text and "#6" blocks (with the byte layouts), a
// shortfall of results and an acquisition that is not started.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "acquisition/CIntermediateResults.h"
#include "host/ResponseFormatting.h"
#include "host_fixture.h"

namespace torvex_test {
namespace {

using Torvex::ScpiParsedCommand;

TEST(ResponseFormatting, TheCommaSeparatesOnlyWhatOneCommandWrites) {
  std::string reply = "earlier;";
  ScpiParsedCommand command(&reply);
  command.replyLength = reply.size();
  Torvex::AppendResponse(command, "1", true);
  Torvex::AppendResponse(command, "2", true);
  Torvex::AppendResponse(command, "3", false);
  EXPECT_EQ(reply, "earlier;1,23");
}

TEST(ResponseFormatting, ReservedRoomIsZeroFilledAndRefusedAfterAnIndefiniteReply) {
  std::string reply;
  ScpiParsedCommand command(&reply);
  Torvex::AppendResponse(command, "a", true);
  std::uint8_t* room = Torvex::ReserveResponse(command, 3);
  ASSERT_NE(room, nullptr);
  EXPECT_EQ(reply, std::string("a,\0\0\0", 5));
  room[2] = 'z';
  EXPECT_EQ(reply.back(), 'z');
  command.indefiniteResponse = 1;
  EXPECT_EQ(Torvex::ReserveResponse(command, 1), nullptr);
  EXPECT_EQ(reply.size(), 5u);
}

TEST(ResponseFormatting, BlocksStateTheirLengthInSixDigitsUpToTheLimit) {
  EXPECT_EQ(Torvex::BlockHeader(0), "#6000000");
  EXPECT_EQ(Torvex::BlockHeader(24), "#6000024");
  EXPECT_EQ(Torvex::BlockHeader(Torvex::kMaxBlockBytes), "#6999999");
  EXPECT_EQ(Torvex::BlockHeader(Torvex::kMaxBlockBytes + 1), "");

  std::string reply;
  ScpiParsedCommand command(&reply);
  EXPECT_EQ(Torvex::ReserveBlock(command, Torvex::kMaxBlockBytes + 1), nullptr);
  EXPECT_TRUE(reply.empty());
  std::uint8_t* data = Torvex::ReserveBlock(command, 4);
  ASSERT_NE(data, nullptr);
  std::memcpy(data, "\x01\x00\x02\x03", 4);
  EXPECT_EQ(reply, std::string("#6000004\x01\x00\x02\x03", 12));
}

TEST(ResponseFormatting, ChannelListsBecomeLevelBytesWithZeroBetweenChannels) {
  Torvex::CTorvexChannel one;
  one.AppendLevel(1);
  Torvex::CTorvexChannel deep;
  for (std::uint8_t level : {2, 3, 4, 5, 6}) deep.AppendLevel(level);
  EXPECT_EQ(Torvex::ChannelListToBlock({one, deep}), std::string("#6000007\x01\x00\x02\x03\x04\x05\x06", 15));
  EXPECT_EQ(Torvex::ChannelListToBlock({}), "#6000000");
}

TEST(ResponseFormatting, NumbersAreJoinedInDefaultStreamNotation) {
  const float values[] = {1.0f, 2.5f, -3.0f, 1e6f, 1.0f / 3.0f, 1234567.0f};
  EXPECT_EQ(Torvex::JoinNumbers(values, 6, ","), "1,2.5,-3,1e+06,0.333333,1.23457e+06");
  EXPECT_EQ(Torvex::JoinNumbers(values, 0, ","), "");
  EXPECT_EQ(Torvex::JoinNumbers(values, 2, "; "), "1; 2.5");
}

TEST(ResponseFormatting, FormattingIsNeverTruncated) {
  const std::string long_text(5000, 'x');
  EXPECT_EQ(Torvex::FormatText("<%s>", long_text.c_str()), "<" + long_text + ">");
  EXPECT_EQ(Torvex::FormatText("%.15e", -1.0e300).size(), std::string("-1.000000000000000e+300").size());
  EXPECT_EQ(Torvex::FormatText("%.40f", 1e300).size(), 301u + 41u);
}

class FormattingWithTreeTest : public HostTest {};

TEST_F(FormattingWithTreeTest, NodeAttributesFormatByTypeAndAMissingOneIsAFirmwareError) {
  std::string reply;
  ScpiParsedCommand command(&reply);
  Torvex::CParameterNode* level = Torvex::g_node_measure_parms_measurement_level;
  char expected[64];
  std::snprintf(expected, sizeof expected, "%.15e", level->GetFloat64Attribute(Torvex::eAttrMaximum));
  EXPECT_EQ(Torvex::FormatNumericAttribute(command, level, Torvex::eAttrMaximum), expected);
  std::snprintf(expected, sizeof expected, "%d",
                Torvex::g_node_measure_parms_averaging_signal_count->GetInt32Attribute(Torvex::eAttrValue));
  EXPECT_EQ(
      Torvex::FormatNumericAttribute(command, Torvex::g_node_measure_parms_averaging_signal_count, Torvex::eAttrValue),
      expected);
  EXPECT_EQ(command.errorCode, 0);
  EXPECT_EQ(Torvex::FormatNumericAttribute(command, level, Torvex::eAttrChoices), "");
  EXPECT_EQ(command.errorCode, Torvex::kCommandInternal);
  command.errorCode = 0;
  EXPECT_EQ(Torvex::FormatNumericAttribute(command, nullptr, Torvex::eAttrValue), "");
  EXPECT_EQ(command.errorCode, Torvex::kCommandInternal);
}

// Three measurements of the probe on connector 1, then the results formatted as a query would.
class ResultFormattingTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(world_->acquisitionStarted);
    format_ = Torvex::g_node_host_if_parameters_format->GetStringAttribute(Torvex::eAttrValue);
    count_ = Torvex::g_node_trigger_parms_trigger_in_count->GetInt32Attribute(Torvex::eAttrValue);
    ASSERT_TRUE(A().Send("UNIT T;:ROUT:CLOS (@1);:TRIG:SOUR IMM;:TRIG:COUN 3;:INIT"));
    ASSERT_EQ(A().Errors(), std::vector<int>{});
    ASSERT_TRUE(WaitFor([] { return !Torvex::g_TriggerActive.load(); }));
  }
  void TearDown() override {
    Release();
    Torvex::g_node_host_if_parameters_format->SetStringAttribute(Torvex::eAttrValue, format_);
    Torvex::g_node_trigger_parms_trigger_in_count->SetInt32Attribute(Torvex::eAttrValue, count_);
    HostTest::TearDown();
  }

  static void Release() {
    Torvex::g_IntermediateResults.Invalidate();
    Torvex::CTorvexHostAcquisition::ReleaseResults();
    Torvex::g_IntermediateResults.Release();
  }

  // The reply of one result query and the rows it queued.
  std::string Format(std::uint32_t kind, std::uint32_t count, std::uint32_t decimals, bool binary,
                     std::vector<int>* errors = nullptr) {
    Torvex::g_node_host_if_parameters_format->SetStringAttribute(Torvex::eAttrValue, binary ? "INTeger" : "ASCii");
    std::string reply;
    ScpiParsedCommand command(&reply);
    Parser().FormatResultData(command, A().Host(), kind, count, decimals, A().Host().Status());
    Release();
    const std::vector<int> queued = A().Errors();
    if (errors != nullptr) *errors = queued;
    else EXPECT_EQ(queued, std::vector<int>{});
    return reply;
  }

  std::string format_;
  std::int32_t count_ = 1;
};

double DoubleAt(const std::string& bytes, std::size_t offset) {
  auto half = [&](std::size_t at) {
    std::uint32_t value = 0;
    for (int k = 3; k >= 0; --k) value = (value << 8) | static_cast<std::uint8_t>(bytes[at + k]);
    return static_cast<std::uint64_t>(value);
  };
  const std::uint64_t bits = (half(offset) << 32) | half(offset + 4);
  double value = 0.0;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

TEST_F(ResultFormattingTest, FluxAsTextAndAsBlockOfDoublesWithTheSignHalfFirst) {
  const std::string text = Format(Torvex::kResultFlux, 3, 2, false);
  EXPECT_EQ(std::count(text.begin(), text.end(), ','), 2) << text;
  EXPECT_EQ(text.substr(0, 7), "1.00 T,") << text;

  const std::string block = Format(Torvex::kResultFlux, 3, 2, true);
  ASSERT_EQ(block.size(), 8u + 24u);
  EXPECT_EQ(block.substr(0, 8), "#6000024");
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(DoubleAt(block, 8 + 8 * k), 1.0, 1e-3);
}

TEST_F(ResultFormattingTest, FewerResultsThanAskedGiveWhatIsThereAndDataNotAllAvailable) {
  std::vector<int> errors;
  const std::string block = Format(Torvex::kResultFlux, 5, 2, true, &errors);
  EXPECT_EQ(block.substr(0, 8), "#6000024");
  EXPECT_EQ(block.size(), 32u);
  EXPECT_EQ(errors, std::vector<int>{204});

  const std::string text = Format(Torvex::kResultTimestamp, 4, 0, false, &errors);
  EXPECT_EQ(std::count(text.begin(), text.end(), ','), 2) << text;
  EXPECT_EQ(errors, std::vector<int>{204});
}

TEST_F(ResultFormattingTest, ChannelsAndTimestampsInBothForms) {
  EXPECT_EQ(Format(Torvex::kResultChannel, 3, 0, false), "(@1,1,1)");
  EXPECT_EQ(Format(Torvex::kResultChannel, 3, 0, true), std::string("#6000005\x01\x00\x01\x00\x01", 13));
  const std::string stamps = Format(Torvex::kResultTimestamp, 3, 0, true);
  ASSERT_EQ(stamps.size(), 8u + 24u);
  EXPECT_EQ(stamps.substr(0, 8), "#6000024");
}

TEST_F(ResultFormattingTest, ArraysAsBlocksAndTheSmallerOfAskedAndAvailable) {
  const std::string signal = Format(Torvex::kResultNmrSignal, 4, 0, true);
  ASSERT_EQ(signal.size(), 8u + 4u + 16u);
  EXPECT_EQ(signal.substr(0, 8), "#6000020");
  const std::string spectrum = Format(Torvex::kResultPeakSpectrum, 2, 0, true);
  EXPECT_EQ(spectrum.substr(0, 8), "#6000016");

  // Far more than the array holds: what it holds, and the shortfall reported.
  std::vector<int> errors;
  const std::string all = Format(Torvex::kResultFftBuffer, 60000, 0, true, &errors);
  ASSERT_GE(all.size(), 12u);
  const std::size_t count = std::stoul(all.substr(2, 6));
  EXPECT_EQ(all.size(), 8u + count);
  EXPECT_LT(count, 4u + 60000u * 4u);
  EXPECT_EQ((count - 4) % 4, 0u);
  EXPECT_EQ(errors, std::vector<int>{204});
}

TEST_F(ResultFormattingTest, AnAcquisitionThatIsNotStartedIsAHardwareError) {
  Torvex::g_AcqStarted = false;
  std::vector<int> errors;
  const std::string reply = Format(Torvex::kResultFlux, 1, 2, false, &errors);
  Torvex::g_AcqStarted = true;
  EXPECT_EQ(reply, "");
  EXPECT_EQ(errors, std::vector<int>{-240});
}

}  // namespace
}  // namespace torvex_test
