// Search range limits: a probe's range becomes the limits' range and defaults and pulls the expected
// field into it; a new high or low limit always wins over the other limit; every write goes through
// the node setters, so only changes notify.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "peripherals/SearchLimits.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

namespace Torvex {
namespace {

struct Attributes {
  double value;
  double minimum;
  double maximum;
  double defaultValue;
};

class SearchLimitsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_node_measure_parms_search_low = &low;
    g_node_measure_parms_search_high = &high;
    g_node_measure_parms_search_value = &value;
    for (CParameterNode* node : {&low, &high, &value}) {
      node->SetFloat64Attribute(eAttrMinimum, 0.0);
      node->SetFloat64Attribute(eAttrMaximum, 30.0);
      node->Subscribe(&Record, this);
    }
  }
  void TearDown() override {
    g_node_measure_parms_search_low = nullptr;
    g_node_measure_parms_search_high = nullptr;
    g_node_measure_parms_search_value = nullptr;
  }

  // Low, high and expected field as a host would have left them.
  void Window(double lo, double hi, double v) {
    low.SetFloat64Attribute(eAttrValue, lo);
    high.SetFloat64Attribute(eAttrValue, hi);
    value.SetFloat64Attribute(eAttrMinimum, lo);
    value.SetFloat64Attribute(eAttrMaximum, hi);
    value.SetFloat64Attribute(eAttrValue, v);
    changes.clear();
  }

  static void Record(CParameterNode* node, int kind, void* context) {
    static_cast<SearchLimitsTest*>(context)->changes.push_back({node, kind});
  }

  static Attributes Read(const CParameterNode& node) {
    return {node.GetFloat64Attribute(eAttrValue), node.GetFloat64Attribute(eAttrMinimum),
            node.GetFloat64Attribute(eAttrMaximum), node.GetFloat64Attribute(eAttrDefault)};
  }

  struct Change {
    CParameterNode* node;
    int kind;
    bool operator==(const Change&) const = default;
  };

  // Declared before the nodes: a node tells its subscribers when it is destroyed.
  std::vector<Change> changes;
  CParameterNode low{"low", eNodeType::Float64};
  CParameterNode high{"high", eNodeType::Float64};
  CParameterNode value{"value", eNodeType::Float64};
};

TEST_F(SearchLimitsTest, ProbeRangeSetsTheLimitsAndMovesTheExpectedFieldIntoIt) {
  const struct {
    double expected;
    double after;
  } cases[] = {{1.0, 1.0}, {3.0, 2.1}, {0.1, 0.2}, {0.2, 0.2}, {2.1, 2.1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    Window(5.0, 6.0, 5.5);
    value.SetFloat64Attribute(eAttrMinimum, 0.0);
    value.SetFloat64Attribute(eAttrMaximum, 30.0);
    value.SetFloat64Attribute(eAttrValue, c.expected);
    SetSearchRangeFromProbe(0.2, 2.1);
    const Attributes lo = Read(low);
    const Attributes hi = Read(high);
    const Attributes v = Read(value);
    EXPECT_EQ(lo.minimum, 0.2);
    EXPECT_EQ(lo.maximum, 2.1);
    EXPECT_EQ(lo.defaultValue, 0.2);
    EXPECT_EQ(lo.value, 0.2);
    EXPECT_EQ(hi.minimum, 0.2);
    EXPECT_EQ(hi.maximum, 2.1);
    EXPECT_EQ(hi.defaultValue, 2.1);
    EXPECT_EQ(hi.value, 2.1);
    EXPECT_EQ(v.minimum, 0.2);
    EXPECT_EQ(v.maximum, 2.1);
    EXPECT_EQ(v.value, c.after);
  }
}

TEST_F(SearchLimitsTest, ProbeRangeWritesInItsOrder) {
  Window(1.0, 1.5, 1.2);
  SetSearchRangeFromProbe(0.2, 2.1);
  const std::vector<Change> expected = {
      {&low, eAttrMinimum},   {&low, eAttrMaximum},   {&low, eAttrDefault},  {&low, eAttrValue},
      {&high, eAttrMinimum},  {&high, eAttrMaximum},  {&high, eAttrDefault}, {&high, eAttrValue},
      {&value, eAttrMinimum}, {&value, eAttrMaximum},
  };
  EXPECT_EQ(changes, expected);
}

TEST_F(SearchLimitsTest, ProbeRangeThatCannotBeARangeChangesNothing) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  const struct {
    double lowest;
    double highest;
  } cases[] = {{2.1, 0.2}, {kNaN, 2.1}, {0.2, kNaN}, {0.2, kInfinity}, {-kInfinity, 1.0}};
  for (const auto& c : cases) {
    Window(1.0, 1.5, 1.2);
    SetSearchRangeFromProbe(c.lowest, c.highest);
    EXPECT_TRUE(changes.empty()) << c.lowest << " " << c.highest;
    EXPECT_EQ(Read(low).value, 1.0);
    EXPECT_EQ(Read(high).value, 1.5);
  }
}

// The limit just set wins; the expected field follows into [low, high].
TEST_F(SearchLimitsTest, NewLimitsPullTheOtherLimitAndTheExpectedField) {
  const struct {
    bool highSet;
    double lo, hi, v;  // after the host's write
    double wantLo, wantHi, wantV;
  } cases[] = {
      {true, 1.0, 0.8, 1.2, 0.8, 0.8, 0.8},      // high below low pulls low down
      {false, 1.7, 1.5, 1.2, 1.7, 1.7, 1.7},     // low above high pushes high up
      {true, 1.0, 1.3, 1.2, 1.0, 1.3, 1.2},      // nothing to move
      {true, 1.0, 1.1, 1.2, 1.0, 1.1, 1.1},      // value above the new high
      {false, 1.15, 1.5, 1.1, 1.15, 1.5, 1.15},  // value below the new low
      {true, 1.0, 1.0, 1.2, 1.0, 1.0, 1.0},      // an empty window
      {false, 1.0, 1.5, 1.0, 1.0, 1.5, 1.0},     // value on the limit
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << (c.highSet ? "high " : "low ") << c.lo << " " << c.hi << " " << c.v);
    Window(1.0, 1.5, c.v);
    low.SetFloat64Attribute(eAttrValue, c.lo);
    high.SetFloat64Attribute(eAttrValue, c.hi);
    if (c.highSet) {
      SetSearchHighLimit();
    } else {
      SetSearchLowLimit();
    }
    EXPECT_EQ(Read(low).value, c.wantLo);
    EXPECT_EQ(Read(high).value, c.wantHi);
    EXPECT_EQ(Read(value).minimum, c.wantLo);
    EXPECT_EQ(Read(value).maximum, c.wantHi);
    EXPECT_EQ(Read(value).value, c.wantV);
    // The probe's range and defaults are not the setters' business.
    EXPECT_EQ(Read(low).minimum, 0.0);
    EXPECT_EQ(Read(high).maximum, 30.0);
  }
}

TEST_F(SearchLimitsTest, UnchangedValuesNotifyNobody) {
  Window(1.0, 1.5, 1.2);
  high.SetFloat64Attribute(eAttrValue, 1.3);
  changes.clear();
  SetSearchHighLimit();
  const std::vector<Change> expected = {{&value, eAttrMaximum}};
  EXPECT_EQ(changes, expected);
}

TEST_F(SearchLimitsTest, UnboundNodesAreLeftAlone) {
  Window(1.0, 1.5, 1.2);
  g_node_measure_parms_search_value = nullptr;
  SetSearchRangeFromProbe(0.2, 2.1);
  SetSearchHighLimit();
  SetSearchLowLimit();
  EXPECT_TRUE(changes.empty());
}

}  // namespace
}  // namespace Torvex
