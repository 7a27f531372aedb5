// The generic parameter commands, driven from the command table itself: every row the generic handler
// executes alone is set and queried through a client (value, MINimum, MAXimum, DEFault), refused
// while a measurement runs when its row says so; then the unit conversions of field values, the
// tolerant range checks and the cross-parameter dependencies.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "host_fixture.h"
#include "peripherals/UnitConversion.h"
#include "scpi/scpi_command_table.h"

namespace torvex_test {
namespace {

using Torvex::eAttrDefault;
using Torvex::eAttrMaximum;
using Torvex::eAttrMinimum;
using Torvex::eAttrValue;
using Torvex::eNodeType;
using Torvex::kScpiCommandAttributes;
using Torvex::kScpiCommandCount;
using Torvex::kScpiCommandPatterns;
using Torvex::kScpiParameterSpecs;

// Puts every attribute 0 of the nodes it saw back at the end of a test.
class NodeRestorer {
 public:
  void Save(Torvex::CParameterNode* node) {
    for (const Saved& saved : saved_)
      if (saved.node == node) return;
    Saved saved{node, false, {}, 0, 0.0};
    switch (node->Type()) {
      case eNodeType::Boolean: saved.boolean = node->GetBooleanAttribute(eAttrValue); break;
      case eNodeType::String: saved.text = node->GetStringAttribute(eAttrValue); break;
      case eNodeType::Int32: saved.integer = node->GetInt32Attribute(eAttrValue); break;
      case eNodeType::Float64: saved.real = node->GetFloat64Attribute(eAttrValue); break;
      default: break;
    }
    saved_.push_back(saved);
  }
  ~NodeRestorer() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      switch (it->node->Type()) {
        case eNodeType::Boolean: it->node->SetBooleanAttribute(eAttrValue, it->boolean); break;
        case eNodeType::String: it->node->SetStringAttribute(eAttrValue, it->text); break;
        case eNodeType::Int32: it->node->SetInt32Attribute(eAttrValue, it->integer); break;
        case eNodeType::Float64: it->node->SetFloat64Attribute(eAttrValue, it->real); break;
        default: break;
      }
    }
  }

 private:
  struct Saved {
    Torvex::CParameterNode* node;
    bool boolean;
    std::string text;
    std::int32_t integer;
    double real;
  };
  std::vector<Saved> saved_;
};

// A header that selects the pattern: optional parts left out, a numeric suffix written as 1.
std::string HeaderOf(const char* pattern) {
  std::string header;
  int depth = 0;
  for (const char* p = pattern; *p != '\0'; ++p) {
    if (*p == '[') ++depth;
    else if (*p == ']') --depth;
    else if (depth == 0) header += *p == '#' ? '1' : *p;
  }
  return header;
}

bool SlotAccepts(std::size_t command, const char* word) {
  const Torvex::ScpiParameterSpec& slot = kScpiParameterSpecs[command][0];
  return slot.choice != nullptr && std::string(slot.choice->choices).find(word) != std::string::npos;
}

// The alternatives of the command's choice list.
std::vector<std::string> ChoicesOf(std::size_t command) {
  std::vector<std::string> choices;
  const Torvex::ScpiParameterSpec& slot = kScpiParameterSpecs[command][0];
  if (slot.choice == nullptr) return choices;
  std::string list = slot.choice->choices;
  std::size_t start = 0;
  for (;;) {
    const std::size_t bar = list.find('|', start);
    choices.push_back(list.substr(start, bar - start));
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  return choices;
}

// The text a client reads for attribute `attribute` of the node: the number or text, then the unit.
// Field values of the flux rows are stored in the row's unit; the tests keep tesla selected.
std::string ValueText(Torvex::CParameterNode* node, int attribute) {
  char buffer[64];
  switch (node->Type()) {
    case eNodeType::Boolean: return node->GetBooleanAttribute(attribute) ? "1" : "0";
    case eNodeType::String: return node->GetStringAttribute(attribute);
    case eNodeType::Int32:
      std::snprintf(buffer, sizeof buffer, "%d", node->GetInt32Attribute(attribute));
      return buffer;
    case eNodeType::Float64:
      std::snprintf(buffer, sizeof buffer, "%.15g", node->GetFloat64Attribute(attribute));
      return buffer;
    default: return "?";
  }
}

std::string Expected(Torvex::CParameterNode* node, int attribute, const char* unit) {
  const std::string value = ValueText(node, attribute);
  return std::string(unit).empty() ? value + "\n" : value + " " + unit + "\n";
}

class GenericCommandsTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    if (HasFatalFailure()) return;
    restorer_ = std::make_unique<NodeRestorer>();
    for (Torvex::CParameterNode* node :
         {Torvex::g_node_units_parms_selected, Torvex::g_node_trigger_parms_trigger_in_source,
          Torvex::g_node_trigger_parms_trigger_out_state, Torvex::g_node_measure_parms_search_mode})
      restorer_->Save(node);
    ASSERT_TRUE(A().Send("UNIT T;:TRIG:SOUR IMM"));
    ASSERT_TRUE(A().Errors().empty());
  }
  void TearDown() override {
    Torvex::g_TriggerActive = false;
    restorer_.reset();
    if (a_) A().Errors();
    if (b_) B().Errors();
    HostTest::TearDown();
  }

  std::unique_ptr<NodeRestorer> restorer_;
};

TEST_F(GenericCommandsTest, EveryGenericRowSetsAndQueriesItsNode) {
  std::size_t generic = 0;
  for (std::size_t n = 0; n < kScpiCommandCount; ++n) {
    const Torvex::ScpiCommandAttributeRow& row = kScpiCommandAttributes[n];
    if (row.generic == 0) continue;
    ++generic;
    Torvex::CParameterNode* node = row.nodeSuffix1;
    ASSERT_NE(node, Torvex::g_node_none) << kScpiCommandPatterns[n];
    restorer_->Save(node);
    const std::string header = HeaderOf(kScpiCommandPatterns[n]);
    SCOPED_TRACE(header);

    if (row.query != 0) {
      EXPECT_EQ(A().Query(header), Expected(node, eAttrValue, row.unit));
      if (SlotAccepts(n, "MINimum") && node->Type() != eNodeType::String && node->Type() != eNodeType::Boolean) {
        EXPECT_EQ(A().Query(header + " MIN"), Expected(node, eAttrMinimum, row.unit));
        EXPECT_EQ(A().Query(header + " MAX"), Expected(node, eAttrMaximum, row.unit));
      }
      if (SlotAccepts(n, "DEFault")) {
        EXPECT_EQ(A().Query(header + " DEF"), Expected(node, eAttrDefault, row.unit));
      }
      EXPECT_EQ(A().Errors(), std::vector<int>{});
      continue;
    }

    // A set: a value other than the current one, then the value read back from the node.
    std::string argument;
    switch (node->Type()) {
      case eNodeType::Boolean: {
        // The VXI-11 interface cannot be switched off over itself: it is switched on instead.
        const bool current = node->GetBooleanAttribute(eAttrValue);
        const bool wanted = node == Torvex::g_node_comm_parms_vxi11_enabled ? true : !current;
        argument = wanted ? "1" : "0";
        break;
      }
      case eNodeType::Int32: argument = ValueText(node, eAttrMaximum); break;
      case eNodeType::Float64: argument = ValueText(node, eAttrMaximum); break;
      case eNodeType::String: {
        const std::string current = node->GetStringAttribute(eAttrValue);
        const std::string nodeChoices = node->GetStringAttribute(Torvex::eAttrChoices);
        for (const std::string& choice : ChoicesOf(n)) {
          if (choice == "DEFault" || choice == current) continue;
          if (!nodeChoices.empty() && nodeChoices.find(choice) == std::string::npos) continue;
          argument = choice;
          break;
        }
        if (ChoicesOf(n).empty()) argument = "abc1";
        break;
      }
      default: FAIL() << "node type";
    }
    ASSERT_FALSE(argument.empty());
    ASSERT_TRUE(A().Send(header + " " + argument));
    EXPECT_EQ(A().Errors(), std::vector<int>{});
    EXPECT_EQ(ValueText(node, eAttrValue), argument);

    if (SlotAccepts(n, "MINimum") && node->Type() != eNodeType::String) {
      ASSERT_TRUE(A().Send(header + " MIN"));
      EXPECT_EQ(ValueText(node, eAttrValue), ValueText(node, eAttrMinimum));
    }
    if (SlotAccepts(n, "DEFault")) {
      ASSERT_TRUE(A().Send(header + " DEF"));
      EXPECT_EQ(ValueText(node, eAttrValue), ValueText(node, eAttrDefault));
    }
    EXPECT_EQ(A().Errors(), std::vector<int>{});

    // While a measurement runs: refused by rows of kind 3, and of kind 2 unless the search is manual.
    if (row.refusalKind != Torvex::kScpiRefuseNever) {
      const std::string before = ValueText(node, eAttrValue);
      Torvex::g_TriggerActive = true;
      ASSERT_TRUE(A().Send(header + " " + argument));
      Torvex::g_TriggerActive = false;
      EXPECT_EQ(A().Errors(), std::vector<int>{-221});
      EXPECT_EQ(ValueText(node, eAttrValue), before);
      if (row.refusalKind == Torvex::kScpiRefuseUnlessManualSearch) {
        Torvex::g_node_measure_parms_search_mode->SetStringAttribute(eAttrValue, "MANual");
        Torvex::g_TriggerActive = true;
        ASSERT_TRUE(A().Send(header + " " + argument));
        Torvex::g_TriggerActive = false;
        Torvex::g_node_measure_parms_search_mode->SetStringAttribute(eAttrValue, "AUTO");
        EXPECT_EQ(A().Errors(), std::vector<int>{});
        EXPECT_EQ(ValueText(node, eAttrValue), argument);
      }
    }
    B().Errors();  // device-wide errors reach the other client too
  }
  EXPECT_EQ(generic, Torvex::kScpiGenericCount);
}

TEST_F(GenericCommandsTest, FieldValuesAreConvertedToAndFromTheSelectedUnit) {
  Torvex::CParameterNode* high = Torvex::g_node_measure_parms_search_high;
  Torvex::CParameterNode* value = Torvex::g_node_measure_parms_search_value;
  restorer_->Save(high);
  restorer_->Save(value);
  ASSERT_TRUE(A().Send("UNIT GAUS"));
  const std::string reply = A().Query("CONF:SEAR:HIGH?");
  const double gauss = std::strtod(reply.c_str(), nullptr);
  EXPECT_NEAR(gauss, high->GetFloat64Attribute(eAttrValue) * 1e4, 1e-9 * std::fabs(gauss));
  EXPECT_NE(reply.find(" GAUSs\n"), std::string::npos) << reply;

  ASSERT_TRUE(A().Send("CONF:SEAR:MODE MAN;:CONF:SEAR:VAL 5000"));
  EXPECT_DOUBLE_EQ(value->GetFloat64Attribute(eAttrValue), 0.5);
  ASSERT_TRUE(A().Send("CONF:SEAR:VAL 0.7 T"));
  EXPECT_DOUBLE_EQ(value->GetFloat64Attribute(eAttrValue), 0.7);
  // A frequency is the field at which the selected probe resonates; without one there is no probe.
  double expected = 40e6;
  if (Torvex::ConvertUnits(expected, Torvex::kUnitHertz, Torvex::kUnitTesla, 0.0) == Torvex::kUnitNoCurrentProbe) {
    ASSERT_TRUE(A().Send("CONF:SEAR:VAL 40 MAHZ"));
    EXPECT_EQ(A().Errors(), std::vector<int>{201});
    EXPECT_DOUBLE_EQ(value->GetFloat64Attribute(eAttrValue), 0.7);
    B().Errors();
    ASSERT_TRUE(A().Send("ROUT:CLOS (@1)"));
    A().Errors();
  }
  ASSERT_TRUE(A().Send("CONF:SEAR:VAL 40 MAHZ"));
  expected = 40e6;
  ASSERT_EQ(Torvex::ConvertUnits(expected, Torvex::kUnitHertz, Torvex::kUnitTesla, 0.0), Torvex::kUnitOk);
  EXPECT_NEAR(value->GetFloat64Attribute(eAttrValue), expected, 1e-12);
  EXPECT_EQ(A().Errors(), std::vector<int>{});
}

TEST_F(GenericCommandsTest, LimitsAreCheckedWithAToleranceOfAFewUnitsInTheLastPlace) {
  Torvex::CParameterNode* level = Torvex::g_node_measure_parms_measurement_level;
  restorer_->Save(level);
  const double maximum = level->GetFloat64Attribute(eAttrMaximum);
  char text[64];
  std::snprintf(text, sizeof text, "CONF:MEAS:LEV %.17g", std::nextafter(maximum, 2 * maximum));
  ASSERT_TRUE(A().Send(text));
  EXPECT_EQ(A().Errors(), std::vector<int>{});
  std::snprintf(text, sizeof text, "CONF:MEAS:LEV %.17g", maximum * 1.001);
  const double before = level->GetFloat64Attribute(eAttrValue);
  ASSERT_TRUE(A().Send(text));
  EXPECT_EQ(A().Errors(), std::vector<int>{-222});
  EXPECT_EQ(level->GetFloat64Attribute(eAttrValue), before);

  // A fraction given to an integer node is cut to an integer and then range-checked.
  Torvex::CParameterNode* count = Torvex::g_node_measure_parms_averaging_signal_count;
  restorer_->Save(count);
  ASSERT_TRUE(A().Send("AVER1:COUN 10.7"));
  EXPECT_EQ(A().Errors(), std::vector<int>{});
  EXPECT_EQ(count->GetInt32Attribute(eAttrValue), 10);
  ASSERT_TRUE(A().Send("AVER1:COUN 100.5"));
  EXPECT_EQ(count->GetInt32Attribute(eAttrValue), 100);
  ASSERT_TRUE(A().Send("AVER1:COUN 101"));
  EXPECT_EQ(A().Errors(), std::vector<int>{-222});
  EXPECT_EQ(count->GetInt32Attribute(eAttrValue), 100);
}

TEST_F(GenericCommandsTest, CrossParameterDependencies) {
  Torvex::CParameterNode* timer = Torvex::g_node_trigger_parms_trigger_in_timer;
  Torvex::CParameterNode* ppm = Torvex::g_node_units_parms_ppm_ref;
  restorer_->Save(timer);
  restorer_->Save(ppm);
  // Accepted without effect in the current mode: QUEStionable bit 10 as an event.
  ASSERT_TRUE(A().Send("STAT:QUES?"));
  A().Read();
  ASSERT_TRUE(A().Send("TRIG:TIM 1"));
  EXPECT_EQ(A().Errors(), std::vector<int>{});
  EXPECT_DOUBLE_EQ(timer->GetFloat64Attribute(eAttrValue), 1.0);
  const int questionable = std::atoi(A().Query("STAT:QUES?").c_str());
  EXPECT_EQ(questionable & 0x400, 0x400);

  // The trigger output and an external trigger source exclude each other.
  ASSERT_TRUE(A().Send("TRIG:SOUR EXT"));
  EXPECT_EQ(A().Errors(), std::vector<int>{});
  Torvex::g_node_trigger_parms_trigger_out_state->SetBooleanAttribute(eAttrValue, true);
  ASSERT_TRUE(A().Send("TRIG:SOUR IMM;:TRIG:SOUR EXT"));
  EXPECT_EQ(A().Errors(), std::vector<int>{-221});
  EXPECT_EQ(Torvex::g_node_trigger_parms_trigger_in_source->GetStringAttribute(eAttrValue), "IMMediate");

  // A bare number for the PPM reference while PPM is selected would be read relative to itself.
  ASSERT_TRUE(A().Send("UNIT PPM"));
  const double reference = ppm->GetFloat64Attribute(eAttrValue);
  ASSERT_TRUE(A().Send("UNIT:PPMR 10"));
  EXPECT_EQ(A().Errors(), std::vector<int>{-221});
  EXPECT_EQ(ppm->GetFloat64Attribute(eAttrValue), reference);
  ASSERT_TRUE(A().Send("UNIT:PPMR 1.5 T"));
  EXPECT_EQ(A().Errors(), std::vector<int>{});
  EXPECT_DOUBLE_EQ(ppm->GetFloat64Attribute(eAttrValue), 1.5);
}

}  // namespace
}  // namespace torvex_test
