#include "peripherals/UnitConversion.h"

#include <cmath>

#include "core/CRecursiveMutex.h"
#include "peripherals/CTorvexPwMeasuringPeripheral.h"
#include "peripherals/PwPhysicalInformation.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"
#include "tree/TopologyLock.h"

namespace Torvex {
namespace {

constexpr bool SameText(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

// Each name indexes its own row.
#define TORVEX_UNIT_CHECK(id, t, k, f) \
  static_assert( \
      SameText(kUnitTable[id].name, t) && kUnitTable[id].factor == (k) && kUnitTable[id].family == eUnitFamily::f, \
      #id);
TORVEX_UNIT_ROWS(TORVEX_UNIT_CHECK)
#undef TORVEX_UNIT_CHECK

constexpr double kPpmFactor = kUnitTable[kUnitPpm].factor;

bool ValidUnit(std::uint32_t unit) { return unit >= kUnitTesla && unit < kUnitCount; }

// The Float64 value of a bound node; 0 when the node is not bound.
double ReadFloat64(CParameterNode* node) { return node != nullptr ? node->GetFloat64Attribute(eAttrValue) : 0.0; }

// The gyromagnetic ratio of the selected measuring peripheral, asked under g_TopologyLock so that the
// object cannot be destroyed meanwhile. kUnitNoCurrentProbe when none is selected (or the node is not
// bound).
int CurrentProbeRatio(double& ratio) {
  CRecursiveLockGuard topology(g_TopologyLock);
  if (!topology.Locked() || g_node_current_probe_object == nullptr) return kUnitNoCurrentProbe;
  auto* peripheral = static_cast<CTorvexPeripheral*>(g_node_current_probe_object->GetPointerAttribute(eAttrValue));
  if (peripheral == nullptr || !peripheral->IsMeasuring()) return kUnitNoCurrentProbe;
  ratio = static_cast<CTorvexPwMeasuringPeripheral*>(peripheral)->GetGyromagneticRatio();
  return kUnitOk;
}

// The ratio for the probe-frequency units: the supplied one, or the current probe's (asked once per
// conversion). kUnitZeroQuantity for a ratio that cannot be used.
class ProbeRatio {
 public:
  explicit ProbeRatio(double supplied) : m_Ratio(supplied), m_Known(supplied != 0.0) {}

  int Get(double& ratio) {
    if (!m_Known) {
      const int result = CurrentProbeRatio(m_Ratio);
      if (result != kUnitOk) return result;
      m_Known = true;
    }
    if (!IsUsableGyromagneticRatio(m_Ratio)) return kUnitZeroQuantity;
    ratio = m_Ratio;
    return kUnitOk;
  }

 private:
  double m_Ratio;
  bool m_Known;
};

int NominalProtonRatio(double& ratio) {
  ratio = ReadFloat64(g_node_unit_conversion_nominal_p_gyro_ratio);
  return IsUsableGyromagneticRatio(ratio) ? kUnitOk : kUnitZeroQuantity;
}

}  // namespace

eUnit FindUnit(std::string_view name) {
  for (std::uint32_t unit = kUnitTesla; unit < kUnitCount; ++unit) {
    if (name == kUnitTable[unit].name) return static_cast<eUnit>(unit);
  }
  return kUnitInvalid;
}

int ConvertUnits(double& value, std::uint32_t from, std::uint32_t to, double gyromagneticRatio) {
  if (from == to) return kUnitOk;
  ProbeRatio probe(gyromagneticRatio);
  double ratio = 0.0;
  int result = kUnitOk;

  // Into tesla; the value is left as it was when this half fails.
  double tesla = value;
  if (ValidUnit(from)) {
    const double k = kUnitTable[from].factor;
    switch (kUnitTable[from].family) {
      case eUnitFamily::FluxDensity: tesla = value * k; break;
      case eUnitFamily::Ppm: tesla = (value * kPpmFactor + 1.0) * ReadFloat64(g_node_units_parms_ppm_ref); break;
      case eUnitFamily::ProtonFrequency:
        if ((result = NominalProtonRatio(ratio)) != kUnitOk) return result;
        tesla = value * k / ratio;
        break;
      case eUnitFamily::ProbeFrequency:
        if ((result = probe.Get(ratio)) != kUnitOk) return result;
        tesla = value * k / ratio;
        break;
      case eUnitFamily::None: break;
    }
  }
  value = tesla;

  // Out of tesla; the value stays in tesla when this half fails.
  if (!ValidUnit(to)) return kUnitOk;
  const double k = kUnitTable[to].factor;
  switch (kUnitTable[to].family) {
    case eUnitFamily::FluxDensity: value = tesla / k; break;
    case eUnitFamily::Ppm: {
      const double reference = ReadFloat64(g_node_units_parms_ppm_ref);
      if (reference == 0.0 || !std::isfinite(reference)) return kUnitZeroQuantity;
      value = (tesla - reference) / (kPpmFactor * reference);
      break;
    }
    case eUnitFamily::ProtonFrequency:
      if ((result = NominalProtonRatio(ratio)) != kUnitOk) return result;
      value = tesla * ratio / k;
      break;
    case eUnitFamily::ProbeFrequency:
      if ((result = probe.Get(ratio)) != kUnitOk) return result;
      value = tesla * ratio / k;
      break;
    case eUnitFamily::None: break;
  }
  return kUnitOk;
}

int ConvertFieldFrequency(std::uint32_t unit, double& factor, double& offset) {
  double g = 0.0;
  const int probe = CurrentProbeRatio(g);
  if (probe != kUnitOk) return probe;
  const double gp = ReadFloat64(g_node_unit_conversion_nominal_p_gyro_ratio);
  const double reference = ReadFloat64(g_node_units_parms_ppm_ref);
  if (!ValidUnit(unit)) return kUnitOutOfRange;

  const double k = kUnitTable[unit].factor;
  switch (kUnitTable[unit].family) {
    case eUnitFamily::FluxDensity:
      if (!IsUsableGyromagneticRatio(g)) return kUnitZeroQuantity;
      factor = 1.0 / (k * g);
      offset = 0.0;
      return kUnitOk;
    case eUnitFamily::Ppm:
      if (!IsUsableGyromagneticRatio(g) || reference == 0.0 || !std::isfinite(reference)) return kUnitZeroQuantity;
      factor = 1.0 / (kPpmFactor * g * reference);
      offset = -1000000.0;
      return kUnitOk;
    case eUnitFamily::ProtonFrequency:
      if (!IsUsableGyromagneticRatio(g) || !IsUsableGyromagneticRatio(gp)) return kUnitZeroQuantity;
      factor = gp / (k * g);
      offset = 0.0;
      return kUnitOk;
    case eUnitFamily::ProbeFrequency:
      factor = 1.0 / k;
      offset = 0.0;
      return kUnitOk;
    case eUnitFamily::None: break;
  }
  return kUnitOutOfRange;
}

}  // namespace Torvex
