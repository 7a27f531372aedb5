// The measurement and trigger commands through a client of the engine's test transport, against the
// simulated board: a proton probe on connector 1 and the DSP program model measuring the world's field.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "acquisition/CTorvexHostAcquisition.h"
#include "acquisition/DspProtocol.h"
#include "host_fixture.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

namespace torvex_test {
namespace {

using Torvex::eAttrValue;

constexpr double kField = 1.5;  // tesla, inside the proton probe's range

std::string StringOf(Torvex::CParameterNode* node) { return node->GetStringAttribute(eAttrValue); }

// True when a reply holds no value of its own: at most the separator and the answer "T" of a
// following UNIT? query.
bool AnswersOnlyTheUnit(const std::string& reply) { return reply == "T\n" || reply == ";T\n"; }

// The number at the start of a reply item.
double NumberOf(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

class MeasurementCommandsTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    ASSERT_TRUE(world_->acquisitionStarted) << LogText();
    ASSERT_TRUE(WaitFor([] { return Torvex::g_AcqServing.load(); }));
    world_->board->dsp_program().ClearFaults();
    world_->board->peripherals().SetField(0.0, 0.0, kField);
  }

  void TearDown() override {
    if (a_ != nullptr && a_->Ready()) {
      EXPECT_TRUE(A().Send("ABOR;:INIT:CONT OFF;:UNIT T;:FORM ASC"));
      (void)A().Errors();
    }
    EXPECT_TRUE(WaitFor([] { return !Torvex::g_TriggerActive.load(); }));
    world_->board->dsp_program().ClearFaults();
    world_->board->peripherals().SetField(0.0, 0.0, 1.0);
    HostTest::TearDown();
  }
};

// MEASure answers one flux value with the asked decimals in the selected unit, close to the field the
// probe sits in, and leaves a single immediate trigger behind.
TEST_F(MeasurementCommandsTest, MeasureAnswersTheFieldInTheSelectedUnit) {
  struct Case {
    const char* unit;
    double perTesla;
    const char* query;
  };
  const Case cases[] = {
      {"T", 1.0, "MEAS? 1.5,3,(@1)"},
      {"MT", 1e3, "MEAS? 1500,3,(@1)"},
      {"GAUSs", 1e4, "MEAS? 15000,2,(@1)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    ASSERT_TRUE(A().Send(std::string("UNIT ") + c.unit));
    const std::string reply = A().Query(c.query);
    std::smatch m;
    const std::string decimals = std::string(c.query).find(",3,") != std::string::npos ? "3" : "2";
    ASSERT_TRUE(std::regex_match(reply, m, std::regex("(-?[0-9]+\\.[0-9]{" + decimals + "}) " + c.unit + "\n")))
        << reply << LogText();
    EXPECT_NEAR(NumberOf(m[1]), kField * c.perTesla, 1e-3 * kField * c.perTesla);
    EXPECT_EQ(A().Errors(), std::vector<int>{});
  }
  EXPECT_EQ(Torvex::g_node_trigger_parms_trigger_in_count->GetInt32Attribute(eAttrValue), 1);
  EXPECT_FALSE(Torvex::g_node_trigger_parms_trigger_in_continuous->GetBooleanAttribute(eAttrValue));
  EXPECT_EQ(StringOf(Torvex::g_node_trigger_parms_trigger_in_source), "IMMediate");
}

// MEASure:ARRay takes the count first and answers that many values, or one "#6" block of doubles.
TEST_F(MeasurementCommandsTest, MeasureArrayAnswersCountValuesInTextAndBinary) {
  const std::string text = A().Query("MEAS:ARR? 3,1.5,4,(@1)");
  EXPECT_TRUE(std::regex_match(text, std::regex("([0-9]+\\.[0-9]{4} T,){2}[0-9]+\\.[0-9]{4} T\n"))) << text;
  EXPECT_EQ(Torvex::g_node_trigger_parms_trigger_in_count->GetInt32Attribute(eAttrValue), 3);

  ASSERT_TRUE(A().Send("FORM INT"));
  const std::string block = A().Query("MEAS:ARR? 2,1.5,4,(@1)");
  ASSERT_EQ(block.size(), 8u + 16u + 1u) << block;
  EXPECT_EQ(block.substr(0, 8), "#6000016");
  EXPECT_EQ(A().Errors(), std::vector<int>{});
}

// A refused count measures nothing; the refusal is reported.
TEST_F(MeasurementCommandsTest, MeasureArrayWithRefusedCountMeasuresNothing) {
  EXPECT_TRUE(AnswersOnlyTheUnit(A().Query("MEAS:ARR? 0,1.5,4,(@1);:UNIT?")));
  EXPECT_EQ(A().Errors(), std::vector<int>{-222});
}

// INITiate returns at once; FETCh then waits for the published result, READ measures again with the
// current settings (and the current channel list when none is given).
TEST_F(MeasurementCommandsTest, FetchAndReadAfterInitiate) {
  ASSERT_TRUE(A().Send("ROUT:CLOS (@1)"));
  ASSERT_TRUE(A().Send("INIT"));
  const std::string fetched = A().Query("FETC? 5");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(fetched, m, std::regex("([0-9]+\\.[0-9]{5}) T\n"))) << fetched << LogText();
  EXPECT_NEAR(NumberOf(m[1]), kField, 1e-3);

  const std::string read = A().Query("READ? 1.5,2");
  ASSERT_TRUE(std::regex_match(read, m, std::regex("([0-9]+\\.[0-9]{2}) T\n"))) << read;
  EXPECT_NEAR(NumberOf(m[1]), kField, 1e-2);
  EXPECT_EQ(A().Errors(), std::vector<int>{});
}

// READ measures with the settings as they are; MEASure first resets them to their defaults.
TEST_F(MeasurementCommandsTest, ReadKeepsTheSettingsMeasureResetsThem) {
  Torvex::CParameterNode* level = Torvex::g_node_measure_parms_measurement_level;
  const double defaultLevel = level->GetFloat64Attribute(Torvex::eAttrDefault);
  const double other = defaultLevel != 0.2 ? 0.2 : 0.3;
  ASSERT_TRUE(A().Send("CONF:MEAS:LEV " + std::to_string(other)));
  ASSERT_DOUBLE_EQ(level->GetFloat64Attribute(eAttrValue), other);
  ASSERT_FALSE(A().Query("READ? 1.5,3,(@1)").empty());
  EXPECT_DOUBLE_EQ(level->GetFloat64Attribute(eAttrValue), other);
  ASSERT_FALSE(A().Query("MEAS? 1.5,3,(@1)").empty());
  EXPECT_DOUBLE_EQ(level->GetFloat64Attribute(eAttrValue), defaultLevel);
  (void)A().Errors();
}

// Every FETCh query after one measurement, each with the form its row gives.
TEST_F(MeasurementCommandsTest, EveryFetchQueryAnswersItsKind) {
  ASSERT_FALSE(A().Query("MEAS:ARR? 2,1.5,3,(@1)").empty()) << LogText();
  ASSERT_EQ(A().Errors(), std::vector<int>{});
  const std::string num = "-?[0-9]+(\\.[0-9]+)?([eE][-+]?[0-9]+)?";
  struct Row {
    const char* query;
    std::string pattern;
  };
  const Row rows[] = {
      {"FETC? 2", "[0-9]+\\.[0-9]{2} T"},
      {"FETC:SIGM? 1", "-?[0-9]+\\.[0-9]"},
      {"FETC:UNIF? 3", "-?[0-9]+\\.[0-9]{3}"},
      {"FETC:CHAN?", "\\(@1\\)"},
      {"FETC:TIM?", "[0-9]+"},
      {"FETC:IFR? 1", "-?[0-9]+\\.[0-9] HZ"},
      {"FETC:REL? 2", "-?[0-9]+\\.[0-9]{2} S"},
      {"FETC:RFFR? 2", "[0-9]+\\.[0-9]{2} HZ"},
      {"FETC:SPR?", "[0-9]+ %"},
      {"FETC:ARR? 2,1", "[0-9]+\\.[0-9] T,[0-9]+\\.[0-9] T"},
      {"FETC:ARR:SIGM? 2,2", "-?[0-9]+\\.[0-9]{2},-?[0-9]+\\.[0-9]{2}"},
      {"FETC:ARR:UNIF? 2,0", "-?[0-9]+,-?[0-9]+"},
      {"FETC:ARR:CHAN? 2", "\\(@1,1\\)"},
      {"FETC:ARR:TIM? 2", "[0-9]+,[0-9]+"},
      {"FETC:ARR:NMRS? 4", "(" + num + ",){4}" + num},
      {"FETC:ARR:FFTB? 4", num + " HZ(," + num + "){4}"},
      {"FETC:ARR:SPEC? 4", num + " HZ," + num + " HZ(," + num + "){4}"},
      {"FETC:ARR:FIT? 3", "(" + num + ",){3}" + num},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.query);
    const std::string reply = A().Query(row.query);
    EXPECT_TRUE(std::regex_match(reply, std::regex(row.pattern + "\n"))) << reply;
    EXPECT_EQ(A().Errors(), std::vector<int>{});
  }
}

// The field and the RF frequency of one measurement agree through the probe's gyromagnetic ratio.
TEST_F(MeasurementCommandsTest, FetchedFieldAndFrequencyAgree) {
  ASSERT_FALSE(A().Query("MEAS? 1.5,6,(@1)").empty());
  const double field = NumberOf(A().Query("FETC? 6"));
  const double frequency = NumberOf(A().Query("FETC:RFFR? 1"));
  EXPECT_NEAR(frequency / field, 42.57747892e6, 42.57747892e6 * 1e-4);
  EXPECT_EQ(A().Errors(), std::vector<int>{});
}

// Binary forms: flux doubles in one "#6" block of count x 8 bytes, channels as their level bytes.
TEST_F(MeasurementCommandsTest, FetchInBinaryFormat) {
  ASSERT_FALSE(A().Query("MEAS:ARR? 2,1.5,3,(@1)").empty());
  ASSERT_TRUE(A().Send("FORM INT"));
  const std::string flux = A().Query("FETC:ARR? 2");
  ASSERT_EQ(flux.size(), 8u + 16u + 1u);
  EXPECT_EQ(flux.substr(0, 8), "#6000016");
  EXPECT_EQ(A().Query("FETC:CHAN?"), std::string("#6000001\x01\n"));
  EXPECT_EQ(A().Errors(), std::vector<int>{});
}

// Refused parameters: a scalar query with refused decimals answers nothing; an array query with a
// count of 0 answers nothing either (intermediate arrays included); both report -222.
TEST_F(MeasurementCommandsTest, FetchRefusedParameters) {
  ASSERT_FALSE(A().Query("MEAS? 1.5,3,(@1)").empty());
  EXPECT_TRUE(AnswersOnlyTheUnit(A().Query("FETC? 99;:UNIT?")));
  EXPECT_EQ(A().Errors(), std::vector<int>{-222});
  EXPECT_TRUE(AnswersOnlyTheUnit(A().Query("FETC:ARR? 0;:UNIT?")));
  EXPECT_EQ(A().Errors(), std::vector<int>{-222});
  EXPECT_TRUE(AnswersOnlyTheUnit(A().Query("FETC:SIGM? -1;:UNIT?")));
  EXPECT_EQ(A().Errors(), std::vector<int>{-222});
  // An intermediate array asked for no element answers nothing, not its scalars alone.
  for (const char* query : {"FETC:ARR:NMRS? 0", "FETC:ARR:FFTB? 0", "FETC:ARR:SPEC? 0", "FETC:ARR:FIT? 0"}) {
    SCOPED_TRACE(query);
    const std::string reply = A().Query(std::string(query) + ";:UNIT?");
    EXPECT_TRUE(AnswersOnlyTheUnit(reply)) << reply;
    EXPECT_EQ(A().Errors(), std::vector<int>{-222});
  }
  // A count far above the maximum is refused, yet what the store holds is answered (two values
  // here, not one as a count cut to 16 bits would give), and the shortfall is reported.
  ASSERT_FALSE(A().Query("MEAS:ARR? 2,1.5,3,(@1)").empty());
  const std::string two = A().Query("FETC:ARR? 65537,3");
  EXPECT_TRUE(std::regex_match(two, std::regex("[0-9]+\\.[0-9]{3} T,[0-9]+\\.[0-9]{3} T\n"))) << two;
  std::vector<int> errors = A().Errors();
  std::sort(errors.begin(), errors.end());
  EXPECT_EQ(errors, (std::vector<int>{-222, 204}));
}

// INIT:CONT ON starts a measurement at once and keeps measuring, also across ABOR (which leaves
// continuous initiation on); INIT:CONT OFF starts nothing, and ABOR then stops what runs.
TEST_F(MeasurementCommandsTest, ContinuousInitiationAndAbort) {
  ASSERT_TRUE(A().Send("ROUT:CLOS (@1)"));
  ASSERT_TRUE(A().Send("INIT:CONT OFF"));
  EXPECT_FALSE(Torvex::g_TriggerActive.load());
  ASSERT_TRUE(A().Send("INIT:CONT ON"));
  EXPECT_TRUE(Torvex::g_TriggerActive.load()) << LogText();
  const std::string value = A().Query("FETC? 3");
  EXPECT_TRUE(std::regex_match(value, std::regex("[0-9]+\\.[0-9]{3} T\n"))) << value;
  ASSERT_TRUE(A().Send("ABOR"));
  EXPECT_TRUE(Torvex::g_node_trigger_parms_trigger_in_continuous->GetBooleanAttribute(eAttrValue));
  EXPECT_TRUE(std::regex_match(A().Query("FETC? 3"), std::regex("[0-9]+\\.[0-9]{3} T\n")));
  ASSERT_TRUE(A().Send("INIT:CONT OFF"));
  ASSERT_TRUE(A().Send("ABOR"));
  EXPECT_TRUE(WaitFor([] { return !Torvex::g_TriggerActive.load(); }));
  EXPECT_EQ(A().Errors(), std::vector<int>{});
}

// Continuous initiation in a field outside the probe's range: no search pass finds a resonance, so
// no result is ever published. A FETCh? waiting for one is answered with no value and 204 once a pass
// has ended, and the other client is served again.
TEST_F(MeasurementCommandsTest, AFetchDuringContinuousSearchesWithoutResonanceAnswersNoValue) {
  world_->board->peripherals().SetField(0.0, 0.0, 5.0);
  ASSERT_TRUE(A().Send("ROUT:CLOS (@1)"));
  ASSERT_TRUE(A().Send("INIT:CONT ON"));
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    const std::string reply = A().Query("FETC? 3;:UNIT?");
    EXPECT_TRUE(AnswersOnlyTheUnit(reply)) << reply << LogText();
    EXPECT_EQ(A().Errors(), std::vector<int>{204});
    EXPECT_EQ(B().Query("FORM?"), "ASCii\n");
  }
  EXPECT_TRUE(Torvex::g_TriggerActive.load());
  ASSERT_TRUE(A().Send("INIT:CONT OFF;:ABOR"));
  EXPECT_TRUE(WaitFor([] { return !Torvex::g_TriggerActive.load(); }));
  EXPECT_EQ(A().Errors(), std::vector<int>{});
  EXPECT_EQ(B().Errors(), std::vector<int>{});
}

// CONFigure? answers the sixteen settings in their fixed order, each closed by ";".
TEST_F(MeasurementCommandsTest, ConfigureQueryListsTheSettingsInOrder) {
  const std::string reply = A().Query("CONF?");
  const char* headers[] = {":CONF:MEAS:REJ ",   ":CONF:MEAS:LEV ",  ":CONF:MEAS:BAND ", ":CONF:MEAS:POIN ",
                           ":CONF:PROB:MODE ",  ":CONF:PROB:MATC ", ":CONF:PROB:TUN ",  ":CONF:SEAR:LEV ",
                           ":CONF:SEAR:FSTEP ", ":CONF:SEAR:MODE ", ":CONF:SEAR:LOW ",  ":CONF:SEAR:HIGH ",
                           ":CONF:SEAR:VAL ",   ":CONF:TRAC:LOW ",  ":CONF:TRAC:HIGH ", ":CONF:TRAC:HYST "};
  std::size_t at = 0;
  for (const char* header : headers) {
    const std::size_t found = reply.find(header, at);
    ASSERT_NE(found, std::string::npos) << header << " in " << reply;
    at = found + 1;
  }
  const std::string e = "-?[0-9]\\.[0-9]{15}e[-+][0-9]+";
  EXPECT_TRUE(std::regex_search(reply, std::regex(":CONF:MEAS:LEV " + e + " V;"))) << reply;
  EXPECT_TRUE(std::regex_search(
      reply, std::regex(":CONF:SEAR:MODE " + StringOf(Torvex::g_node_measure_parms_search_mode) + ";")));
  EXPECT_TRUE(std::regex_search(reply, std::regex(":CONF:TRAC:HYST -?[0-9]+;\n$"))) << reply;
  EXPECT_EQ(A().Errors(), std::vector<int>{});
}

// The search values of CONFigure? stay in tesla whatever unit is selected.
TEST_F(MeasurementCommandsTest, ConfigureQuerySearchValuesInTesla) {
  const std::string tesla = A().Query("CONF?");
  ASSERT_TRUE(A().Send("UNIT MT"));
  EXPECT_EQ(A().Query("CONF?"), tesla);
}

// A new tracking limit pulls the other one along, so that low <= high again.
TEST_F(MeasurementCommandsTest, TrackingLimitsStayOrdered) {
  Torvex::CParameterNode* low = Torvex::g_node_measure_parms_tracking_min_freq;
  Torvex::CParameterNode* high = Torvex::g_node_measure_parms_tracking_max_freq;
  const double low0 = low->GetFloat64Attribute(eAttrValue);
  const double high0 = high->GetFloat64Attribute(eAttrValue);
  ASSERT_TRUE(A().Send("CONF:TRAC:LOW 1000;HIGH 4000"));
  ASSERT_TRUE(A().Send("CONF:TRAC:LOW 5000"));
  EXPECT_DOUBLE_EQ(low->GetFloat64Attribute(eAttrValue), 5000.0);
  EXPECT_DOUBLE_EQ(high->GetFloat64Attribute(eAttrValue), 5000.0);
  ASSERT_TRUE(A().Send("CONF:TRAC:HIGH 3000"));
  EXPECT_DOUBLE_EQ(low->GetFloat64Attribute(eAttrValue), 3000.0);
  EXPECT_DOUBLE_EQ(high->GetFloat64Attribute(eAttrValue), 3000.0);
  EXPECT_EQ(A().Errors(), std::vector<int>{});
  high->SetFloat64Attribute(eAttrValue, high0);
  low->SetFloat64Attribute(eAttrValue, low0);
}

// A new search limit keeps the window and the expected field consistent.
TEST_F(MeasurementCommandsTest, SearchLimitsStayConsistent) {
  ASSERT_TRUE(A().Send("ROUT:CLOS (@1)"));
  Torvex::CParameterNode* low = Torvex::g_node_measure_parms_search_low;
  Torvex::CParameterNode* high = Torvex::g_node_measure_parms_search_high;
  Torvex::CParameterNode* value = Torvex::g_node_measure_parms_search_value;
  ASSERT_TRUE(A().Send("CONF:SEAR:LOW 1.2 T"));
  ASSERT_TRUE(A().Send("CONF:SEAR:HIGH 1.0 T"));
  EXPECT_DOUBLE_EQ(high->GetFloat64Attribute(eAttrValue), 1.0);
  EXPECT_LE(low->GetFloat64Attribute(eAttrValue), 1.0);
  EXPECT_LE(value->GetFloat64Attribute(eAttrValue), 1.0);
  EXPECT_GE(value->GetFloat64Attribute(eAttrValue), low->GetFloat64Attribute(eAttrValue));
  EXPECT_EQ(A().Errors(), std::vector<int>{});
  ASSERT_TRUE(A().Send("ROUT:CLOS (@1)"));  // the probe's range again
}

// The search mode is refused while a triggered measurement runs, except MANual after MANual.
TEST_F(MeasurementCommandsTest, SearchModeWhileMeasuring) {
  Torvex::CParameterNode* mode = Torvex::g_node_measure_parms_search_mode;
  const std::string mode0 = StringOf(mode);
  ASSERT_TRUE(A().Send("CONF:SEAR:MODE CUST"));
  EXPECT_EQ(StringOf(mode), "CUSTom");
  ASSERT_TRUE(A().Send("CONF:SEAR:MODE AUTO"));
  EXPECT_EQ(StringOf(mode), "AUTO");
  ASSERT_TRUE(A().Send("ROUT:CLOS (@1);:TRIG:SOUR BUS;:INIT"));
  ASSERT_TRUE(Torvex::g_TriggerActive.load()) << LogText();
  ASSERT_TRUE(A().Send("CONF:SEAR:MODE MAN"));
  EXPECT_EQ(StringOf(mode), "AUTO");
  EXPECT_EQ(A().Errors(), std::vector<int>{-221});
  ASSERT_TRUE(A().Send("ABOR;:TRIG:SOUR IMM"));
  mode->SetStringAttribute(eAttrValue, mode0);
  (void)A().Errors();
}

// The trigger output: an immediate pulse with the DSP answering, -221 while a trigger is active
// (the state node keeps what was last set), -200 when the DSP does not answer.
TEST_F(MeasurementCommandsTest, TriggerOutput) {
  ASSERT_TRUE(A().Send("OUTP:IMM"));
  EXPECT_EQ(A().Errors(), std::vector<int>{}) << LogText();

  world_->board->dsp_program().DropReplies(Torvex::kDspTriggerOut, 1);
  ASSERT_TRUE(A().Send("OUTP:IMM"));
  EXPECT_EQ(A().Errors(), std::vector<int>{-200});
  world_->board->dsp_program().ClearFaults();
}

// INPut:CLOCk: an accepted source reaches the node; a refused one leaves the previous text.
TEST_F(MeasurementCommandsTest, ReferenceClockKeepsThePreviousSourceWhenRefused) {
  Torvex::CParameterNode* mode = Torvex::g_node_ref_clock_parms_mode;
  ASSERT_TRUE(A().Send("INP:CLOC INT"));
  EXPECT_EQ(StringOf(mode), "INTernal");
  EXPECT_EQ(A().Errors(), std::vector<int>{});

  world_->board->dsp_program().DropReplies(Torvex::kDspExternalReference, 1);
  ASSERT_TRUE(A().Send("INP:CLOC EXT"));
  EXPECT_EQ(StringOf(mode), "INTernal");
  EXPECT_EQ(A().Errors(), std::vector<int>{-200});
  world_->board->dsp_program().ClearFaults();
}

// ABORt with nothing running is no error; MEASure without a probe anywhere reports "No probe" after
// marking its topology scan.
TEST_F(MeasurementCommandsTest, MeasureWithoutProbeReportsNoProbe) {
  ASSERT_TRUE(A().Send("ABOR"));
  EXPECT_EQ(A().Errors(), std::vector<int>{});
  std::string error;
  ASSERT_TRUE(world_->board->peripherals().Unplug("1", &error)) << error;
  // The broken NMR path is reported on its own (to the client of the last measurement); wait for it.
  ASSERT_TRUE(WaitFor([] { return Torvex::g_node_current_probe_nmr_path_broken->GetBooleanAttribute(eAttrValue); }));
  (void)A().Errors();
  std::uint16_t operation = 0;
  A().Host().Status().GetEvent(Torvex::kOperationRegister, operation);  // read and cleared
  const std::string reply = A().Query("MEAS?;:UNIT?");
  EXPECT_TRUE(AnswersOnlyTheUnit(reply)) << reply;
  // The measurement thread may still tell the client of the last measurement that its path broke
  // (205) when the abort reaches it; the command's own report is "No probe".
  const std::vector<int> errors = A().Errors();
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors.back(), 201);
  for (std::size_t k = 0; k + 1 < errors.size(); ++k) EXPECT_EQ(errors[k], 205);
  // The topology scan was marked with OPERation bit 2, set and cleared again.
  A().Host().Status().GetEvent(Torvex::kOperationRegister, operation);
  EXPECT_EQ(operation & 0x0004, 0x0004);
  A().Host().Status().GetCondition(Torvex::kOperationRegister, operation);
  EXPECT_EQ(operation & 0x0004, 0);
  ASSERT_TRUE(world_->board->peripherals().Plug("1", "probe", &error)) << error;
  std::vector<Torvex::CTorvexChannel> list;
  EXPECT_TRUE(WaitFor([&] { return Torvex::CTorvexPeripheral::RetrieveTopology(list) == 0; })) << LogText();
}

}  // namespace
}  // namespace torvex_test
