#include "peripherals/SearchLimits.h"

#include <cmath>

#include "core/CLogger.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

namespace Torvex {
namespace {

bool Bound() {
  return g_node_measure_parms_search_low != nullptr && g_node_measure_parms_search_high != nullptr &&
         g_node_measure_parms_search_value != nullptr;
}

double Get(CParameterNode* node, eNodeAttribute attribute) { return node->GetFloat64Attribute(attribute); }
void Set(CParameterNode* node, eNodeAttribute attribute, double value) { node->SetFloat64Attribute(attribute, value); }

// The values of the three nodes with the low limit at most the high one and the expected field
// between them; `lowWins` decides which limit gives way.
struct Window {
  double low;
  double high;
  double value;
};

Window ReadWindow(bool lowWins) {
  Window w{Get(g_node_measure_parms_search_low, eAttrValue), Get(g_node_measure_parms_search_high, eAttrValue),
           Get(g_node_measure_parms_search_value, eAttrValue)};
  if (w.low > w.high) {
    if (lowWins) {
      w.high = w.low;
    } else {
      w.low = w.high;
    }
  }
  if (w.value < w.low) w.value = w.low;
  if (w.value > w.high) w.value = w.high;
  return w;
}

void WriteExpectedField(const Window& w) {
  Set(g_node_measure_parms_search_value, eAttrMinimum, w.low);
  Set(g_node_measure_parms_search_value, eAttrMaximum, w.high);
  Set(g_node_measure_parms_search_value, eAttrValue, w.value);
}

}  // namespace

void SetSearchRangeFromProbe(double lowest, double highest) {
  if (!Bound()) return;
  if (!std::isfinite(lowest) || !std::isfinite(highest) || lowest > highest) {
    g_Logger.Printf("SetSearchRangeFromProbe: refused range %g to %g\n", lowest, highest);
    return;
  }
  CParameterNode* low = g_node_measure_parms_search_low;
  CParameterNode* high = g_node_measure_parms_search_high;
  CParameterNode* value = g_node_measure_parms_search_value;

  Set(low, eAttrMinimum, lowest);
  Set(low, eAttrMaximum, highest);
  Set(low, eAttrDefault, lowest);
  Set(low, eAttrValue, lowest);
  Set(high, eAttrMinimum, lowest);
  Set(high, eAttrMaximum, highest);
  Set(high, eAttrDefault, highest);
  Set(high, eAttrValue, highest);

  Set(value, eAttrMinimum, Get(low, eAttrValue));
  Set(value, eAttrMaximum, Get(high, eAttrValue));
  if (Get(value, eAttrValue) < Get(value, eAttrMinimum)) Set(value, eAttrValue, Get(value, eAttrMinimum));
  if (Get(value, eAttrValue) > Get(value, eAttrMaximum)) Set(value, eAttrValue, Get(value, eAttrMaximum));
}

void SetSearchHighLimit() {
  if (!Bound()) return;
  const Window w = ReadWindow(false);
  Set(g_node_measure_parms_search_low, eAttrValue, w.low);
  WriteExpectedField(w);
}

void SetSearchLowLimit() {
  if (!Bound()) return;
  const Window w = ReadWindow(true);
  Set(g_node_measure_parms_search_high, eAttrValue, w.high);
  WriteExpectedField(w);
}

}  // namespace Torvex
