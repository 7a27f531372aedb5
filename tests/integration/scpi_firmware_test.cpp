// The whole firmware answering SCPI over USB (the board's "usb" command) as a controller meets it:
// queries that wait for a measurement of a field the probe cannot see, compound headers of one
// message, intermediate results before any measurement, and user files named like the firmware's
// temporary files across a restart.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <string>

#include "firmware_process.h"
#include "support/free_port.h"
#include "support/wait_for.h"

namespace {

using namespace std::chrono_literals;
using torvex_test::FirmwareProcess;
using torvex_test::WaitFor;

// The board's answer to a message whose reply is empty or that has none.
constexpr const char* kNothing = "ok";
constexpr const char* kNoError = "0,\"No error\"";
constexpr const char* kDataNotAllAvailable = "204,\"Data not all available\"";

class ScpiFirmware : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(Start()); }

  void Start() {
    const std::uint16_t portmapper = torvex_test::FreeLoopbackPort();
    ASSERT_NE(portmapper, 0);
    fw_.Start({"--portmapper-port", std::to_string(portmapper), "--nbns-ports", "0,0"});
    ASSERT_TRUE(fw_.WaitForOutput("board: ready")) << fw_.Output();
    // The USB module may connect after "board: ready".
    ASSERT_TRUE(WaitFor([this] { return Usb("*IDN?").find(',') != std::string::npos; }, 30s)) << fw_.Output();
  }

  // The reply of one message ("ok" when it has none), or the board's error text.
  std::string Usb(const std::string& text) { return fw_.Board("usb '" + text + "'"); }

  FirmwareProcess fw_;
};

// Continuous initiation in a field outside the probe's range searches pass after pass without a
// resonance. A FETCh? waiting for a result is answered with no value and 204 once a pass has ended
// without one, and the instrument answers its clients again; a later FETCh? does the same.
TEST_F(ScpiFirmware, AFetchWaitingForAFieldThatIsNotThereIsAnsweredAfterASearchPass) {
  ASSERT_EQ(fw_.Board("field 5"), "ok");
  ASSERT_EQ(Usb("ROUT:CLOS (@1)"), kNothing);
  ASSERT_EQ(Usb("INIT:CONT ON"), kNothing);
  ASSERT_EQ(Usb("INIT:CONT?"), "1");
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(Usb("FETC?"), kNothing) << fw_.Output();
    EXPECT_EQ(Usb("SYST:ERR?"), kDataNotAllAvailable);
    EXPECT_EQ(Usb("SYST:ERR?"), kNoError);
  }
  EXPECT_GE(fw_.CountOutput("SearchFlow: Found f = 0.000000"), 2) << fw_.Output();
  EXPECT_EQ(fw_.CountOutput("Measurements succeeded"), 0);

  // Back in range, the same continuous measurement finds the field.
  ASSERT_EQ(fw_.Board("field 1"), "ok");
  std::string value;
  EXPECT_TRUE(WaitFor([&] { return std::regex_match(value = Usb("FETC? 3"), std::regex("1\\.000 T")); }, 20s))
      << value << "\n"
      << fw_.Output();
  (void)Usb("*CLS");
  ASSERT_EQ(Usb("INIT:CONT OFF;:ABOR"), kNothing);
  EXPECT_EQ(Usb("SYST:ERR?"), kNoError);
}

// A query that follows one of the same subsystem in one message resolves from the root when it fits
// nothing under the path of the first.
TEST_F(ScpiFirmware, TwoQueriesWithFullHeadersInOneMessageAreBothAnswered) {
  ASSERT_EQ(fw_.Board("field 1"), "ok");
  EXPECT_EQ(Usb("SYST:ERR?;SYST:ERR?"), std::string(kNoError) + ";" + kNoError);
  ASSERT_EQ(Usb("ROUT:CLOS (@1);:INIT"), kNothing);
  const std::string both = Usb("FETC:SIGM?;FETC:UNIF?");
  EXPECT_TRUE(std::regex_match(both, std::regex("-?[0-9]+\\.[0-9]+;-?[0-9]+\\.[0-9]+"))) << both;
  EXPECT_EQ(Usb("SYST:ERR?"), kNoError);
}

// Before any measurement the intermediate arrays hold nothing: their queries answer no items at all
// (no scalar without its data) and report 204; after a measurement they answer scalar and data.
TEST_F(ScpiFirmware, IntermediateArraysBeforeAnyMeasurementAnswerNoItems) {
  struct Row {
    const char* query;
    std::string afterMeasurement;  // pattern of the reply once a measurement was made
  };
  const std::string num = "-?[0-9.]+(e[-+]?[0-9]+)?";
  const Row rows[] = {
      {"FETC:ARR:NMRS? 4", "(" + num + ",){4}" + num},
      {"FETC:ARR:FFTB? 4", num + " HZ(," + num + "){4}"},
      {"FETC:ARR:SPEC? 4", num + " HZ," + num + " HZ(," + num + "){4}"},
      {"FETC:ARR:FIT? 3", "(" + num + ",){3}" + num},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.query);
    EXPECT_EQ(Usb(row.query), kNothing);
    EXPECT_EQ(Usb("SYST:ERR?"), kDataNotAllAvailable);
  }
  ASSERT_EQ(Usb("FORM INT"), kNothing);
  EXPECT_EQ(Usb("FETC:ARR:NMRS? 4"), kNothing);
  EXPECT_EQ(Usb("SYST:ERR?"), kDataNotAllAvailable);
  ASSERT_EQ(Usb("FORM ASC"), kNothing);

  ASSERT_EQ(fw_.Board("field 1"), "ok");
  ASSERT_EQ(Usb("ROUT:CLOS (@1);:INIT"), kNothing);
  ASSERT_TRUE(std::regex_match(Usb("FETC?"), std::regex("1\\.[0-9]+ T"))) << fw_.Output();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.query);
    const std::string reply = Usb(row.query);
    EXPECT_TRUE(std::regex_match(reply, std::regex(row.afterMeasurement))) << reply;
    EXPECT_EQ(Usb("SYST:ERR?"), kNoError);
  }
}

// A user file named like a temporary file would be removed at the next start as an unfinished write;
// it is refused with -257. A name that only looks alike is written and is still there after a restart.
TEST_F(ScpiFirmware, UserFilesNamedLikeTemporaryFilesAreRefusedAndOthersSurviveARestart) {
  ASSERT_EQ(Usb("MMEM:DATA \"/yaffs/user/x.txt~tmp0\",#15hello"), kNothing);
  EXPECT_EQ(Usb("SYST:ERR?"), "-257,\"File name error\"");
  ASSERT_EQ(Usb("MMEM:STOR 0,\"s.xml~tmp1\",UNIT"), kNothing);
  EXPECT_EQ(Usb("SYST:ERR?"), "-257,\"File name error\"");
  ASSERT_EQ(Usb("MMEM:DATA \"/yaffs/user/x~tmp0.txt\",#15hello"), kNothing);
  EXPECT_EQ(Usb("SYST:ERR?"), kNoError);
  EXPECT_FALSE(fw_.FileExists("yaffs/user/x.txt~tmp0"));
  EXPECT_FALSE(fw_.FileExists("yaffs/settings/units_parms/s.xml~tmp1"));

  EXPECT_EQ(fw_.Board("button short"), "ok");
  ASSERT_EQ(fw_.WaitForExit(), 0) << fw_.Output();
  ASSERT_NO_FATAL_FAILURE(Start());
  EXPECT_EQ(Usb("MMEM:DATA? \"/yaffs/user/x~tmp0.txt\""), "hello");
  EXPECT_NE(Usb("MMEM?").find(",/yaffs/user/x~tmp0.txt,,5"), std::string::npos);
}

}  // namespace
