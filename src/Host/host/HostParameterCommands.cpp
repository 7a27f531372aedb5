// The generic parameter handler (HandleParameterCommand, with a query half and a set half), the
// parameter getters, the node setters and the cross-parameter dependencies of the parser.
#include <cmath>
#include <string>

#include "core/CLogger.h"
#include "core/CRecursiveMutex.h"
#include "host/CTorvexHost.h"
#include "host/CTorvexHostParser.h"
#include "host/HostCommandHandlers.h"
#include "host/ResponseFormatting.h"
#include "peripherals/UnitConversion.h"
#include "scpi/scpi_command_table.h"
#include "scpi/scpi_engine.h"
#include "scpi/scpi_value_extraction.h"
#include "status/ScpiErrorTable.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

namespace Torvex {

namespace {

void SetError(ScpiParsedCommand& command, std::uint8_t code) {
  if (command.errorCode == 0) command.errorCode = code;
}

bool HasNode(CParameterNode* node) { return node != nullptr && node != g_node_none; }

std::string StringValue(CParameterNode* node) {
  return HasNode(node) ? node->GetStringAttribute(eAttrValue) : std::string();
}

const ScpiParameterValue* Slot(const ScpiParsedCommand& command, std::size_t slot) {
  return slot < kScpiParameterSlots ? &command.values[slot] : nullptr;
}

// The attribute a choice word selects: MINimum 1, MAXimum 2, DEFault 3; -1 for any other word.
int ChoiceAttribute(const std::string& word) {
  if (word == "MINimum") return eAttrMinimum;
  if (word == "MAXimum") return eAttrMaximum;
  if (word == "DEFault") return eAttrDefault;
  return -1;
}

// The tolerance of the floating range checks: a few units in the last place of the limit.
double LimitScale(double limit) {
  if (limit == 0.0) return 1.0;
  int exponent = 0;
  std::frexp(limit, &exponent);
  return std::ldexp(1.0, exponent - 1);
}

bool WithinDoubleRange(CParameterNode* node, double value) {
  double minimum = 0.0;
  double maximum = 0.0;
  {
    CRecursiveLockGuard lock(g_ParameterTreeLock);
    minimum = node->GetFloat64Attribute(eAttrMinimum);
    maximum = node->GetFloat64Attribute(eAttrMaximum);
  }
  if (std::isnan(value)) return false;
  if (value - minimum < -1e-14 * LimitScale(minimum)) return false;
  if (value - maximum > 1e-14 * LimitScale(maximum)) return false;
  return true;
}

bool WithinIntegerRange(CParameterNode* node, std::int32_t value) {
  CRecursiveLockGuard lock(g_ParameterTreeLock);
  return value >= node->GetInt32Attribute(eAttrMinimum) && value <= node->GetInt32Attribute(eAttrMaximum);
}

// The unit of a number's suffix class: the base unit of the class, kUnitInvalid for any other class.
std::uint32_t BaseUnitOfClass(std::uint32_t unitClass) {
  switch (unitClass) {
    case kScpiUnitTesla: return kUnitTesla;
    case kScpiUnitPpm: return kUnitPpm;
    case kScpiUnitProtonHertz: return kUnitProtonHertz;
    case kScpiUnitHertz: return kUnitHertz;
    default: return kUnitInvalid;
  }
}

// Stores attribute `attribute` of the node when it differs; subscribers run after the tree lock is
// released (the node's own set does that).
template <typename T, typename Get, typename Set>
void StoreAttribute(CParameterNode* node, int attribute, const T& value, Get get, Set set) {
  {
    CRecursiveLockGuard lock(g_ParameterTreeLock);
    if ((node->*get)(attribute) == value) return;
  }
  (node->*set)(attribute, value);
}

}  // namespace

// ---- getters -----------------------------------------------------------------------------------

std::uint8_t CTorvexHostParser::GetBooleanParameter(ScpiParsedCommand& command, std::size_t slot,
                                                    CParameterNode* node) {
  const ScpiParameterValue* value = Slot(command, slot);
  if (value == nullptr) {
    SetError(command, kCommandInternal);
    return 0;
  }
  if (value->kind == kScpiValueBoolean) return value->boolean != 0 ? 1 : 0;
  const bool wantsDefault =
      value->kind == kScpiValueNone || (value->kind == kScpiValueChoice && value->text == "DEFault");
  if (wantsDefault && HasNode(node)) return node->GetBooleanAttribute(eAttrDefault) ? 1 : 0;
  SetError(command, kCommandInternal);
  return 0;
}

std::string CTorvexHostParser::GetStringParameter(ScpiParsedCommand& command, std::size_t slot, CParameterNode* node) {
  const ScpiParameterValue* value = Slot(command, slot);
  if (value == nullptr) {
    SetError(command, kCommandInternal);
    return std::string();
  }
  std::string text;
  if (value->kind == kScpiValueChoice || value->kind == kScpiValueString) text = value->text;
  if (!HasNode(node)) {
    if (value->kind == kScpiValueNone) SetError(command, kCommandInternal);
    return text;
  }
  if (value->kind == kScpiValueNone || text == "DEFault") return node->GetStringAttribute(eAttrDefault);
  const std::string choices = node->GetStringAttribute(eAttrChoices);
  if (!choices.empty() && choices.find(text) == std::string::npos) SetError(command, kCommandOutOfRange);
  return text;
}

std::int32_t CTorvexHostParser::GetIntegerParameter(ScpiParsedCommand& command, std::size_t slot,
                                                    CParameterNode* node) {
  const ScpiParameterValue* value = Slot(command, slot);
  if (value == nullptr) {
    SetError(command, kCommandInternal);
    return 0;
  }
  std::int32_t result = 0;
  switch (value->kind) {
    case kScpiValueInteger: result = value->integer; break;
    case kScpiValueDouble:
      if (scpi_double_to_int(value->real, &result) != kScpiOk) {
        SetError(command, kCommandOutOfRange);
        return 0;
      }
      break;
    case kScpiValueNone:
    case kScpiValueChoice: {
      const int attribute = value->kind == kScpiValueNone ? eAttrDefault : ChoiceAttribute(value->text);
      if (attribute < 0 || !HasNode(node)) {
        SetError(command, kCommandInternal);
        return 0;
      }
      result = node->GetInt32Attribute(attribute);
      break;
    }
    default: SetError(command, kCommandInternal); return 0;
  }
  if (HasNode(node) && !WithinIntegerRange(node, result)) SetError(command, kCommandOutOfRange);
  return result;
}

double CTorvexHostParser::GetDoubleParameter(ScpiParsedCommand& command, std::size_t slot, CParameterNode* node,
                                             bool rangeCheck) {
  const ScpiParameterValue* value = Slot(command, slot);
  if (value == nullptr) {
    SetError(command, kCommandInternal);
    return 0.0;
  }
  double result = 0.0;
  switch (value->kind) {
    case kScpiValueInteger: result = static_cast<double>(value->integer); break;
    case kScpiValueDouble: result = value->real; break;
    case kScpiValueNone:
    case kScpiValueChoice: {
      const int attribute = value->kind == kScpiValueNone ? eAttrValue : ChoiceAttribute(value->text);
      if (attribute < 0 || !HasNode(node)) {
        SetError(command, kCommandInternal);
        return 0.0;
      }
      result = node->GetFloat64Attribute(attribute);
      break;
    }
    default: SetError(command, kCommandInternal); return 0.0;
  }
  if (rangeCheck && HasNode(node) && !WithinDoubleRange(node, result)) SetError(command, kCommandOutOfRange);
  return result;
}

double CTorvexHostParser::GetFluxParameter(ScpiParsedCommand& command, std::size_t slot, CParameterNode* node,
                                           std::int32_t selectedUnit, std::int32_t storageUnit) {
  double result = GetDoubleParameter(command, slot, node, false);
  const ScpiParameterValue* value = Slot(command, slot);
  if (value == nullptr || command.errorCode != 0) return result;
  std::uint32_t source = static_cast<std::uint32_t>(storageUnit);
  if (value->kind == kScpiValueInteger || value->kind == kScpiValueDouble) {
    source = value->unitClass == kScpiUnitNone ? static_cast<std::uint32_t>(selectedUnit)
                                               : BaseUnitOfClass(value->unitClass);
  }
  if (source != static_cast<std::uint32_t>(storageUnit)) {
    if (source == kUnitInvalid || source >= kUnitCount || storageUnit <= 0 ||
        static_cast<std::size_t>(storageUnit) >= kUnitCount) {
      SetError(command, kCommandWrongUnits);
      return result;
    }
    const int converted = ConvertUnits(result, source, static_cast<std::uint32_t>(storageUnit), 0.0);
    if (converted != kUnitOk) {
      SetError(command, converted == kUnitNoCurrentProbe ? kCommandNoProbe : kCommandWrongUnits);
      return result;
    }
  }
  if (HasNode(node) && !WithinDoubleRange(node, result)) SetError(command, kCommandOutOfRange);
  return result;
}

std::vector<CTorvexChannel> CTorvexHostParser::GetChannelListParameter(const ScpiParsedCommand& command,
                                                                       std::size_t slot) {
  const ScpiParameterValue* value = Slot(command, slot);
  if (value == nullptr) return {};
  // Copies keep at most five levels.
  return std::vector<CTorvexChannel>(value->channels.begin(), value->channels.end());
}

std::string CTorvexHostParser::ReadStringAttribute(ScpiParsedCommand& command, CParameterNode* node, int attribute) {
  if (!HasNode(node) || !AttributePresent(node->Type(), attribute) || node->Type() != eNodeType::String) {
    SetError(command, kCommandInternal);
    return std::string();
  }
  return node->GetStringAttribute(attribute);
}

// ---- node setters ------------------------------------------------------------------------------

void CTorvexHostParser::SetBooleanNode(ScpiParsedCommand& command, CParameterNode* node, int attribute, bool value) {
  if (command.errorCode != 0) return;
  if (!HasNode(node) || node->Type() != eNodeType::Boolean || !AttributePresent(node->Type(), attribute)) {
    SetError(command, kCommandInternal);
    return;
  }
  StoreAttribute(node, attribute, value, &CParameterNode::GetBooleanAttribute, &CParameterNode::SetBooleanAttribute);
}

void CTorvexHostParser::SetStringNode(ScpiParsedCommand& command, CParameterNode* node, int attribute,
                                      const std::string& value) {
  if (command.errorCode != 0) return;
  if (!HasNode(node) || node->Type() != eNodeType::String || !AttributePresent(node->Type(), attribute)) {
    SetError(command, kCommandInternal);
    return;
  }
  StoreAttribute(node, attribute, value, &CParameterNode::GetStringAttribute, &CParameterNode::SetStringAttribute);
}

void CTorvexHostParser::SetIntegerNode(ScpiParsedCommand& command, CParameterNode* node, int attribute,
                                       std::int32_t value) {
  if (command.errorCode != 0) return;
  if (!HasNode(node) || node->Type() != eNodeType::Int32 || !AttributePresent(node->Type(), attribute)) {
    SetError(command, kCommandInternal);
    return;
  }
  if (attribute == eAttrValue && !WithinIntegerRange(node, value)) {
    SetError(command, kCommandOutOfRange);
    return;
  }
  StoreAttribute(node, attribute, value, &CParameterNode::GetInt32Attribute, &CParameterNode::SetInt32Attribute);
}

void CTorvexHostParser::SetDoubleNode(ScpiParsedCommand& command, CParameterNode* node, int attribute, double value) {
  if (command.errorCode != 0) return;
  if (!HasNode(node) || node->Type() != eNodeType::Float64 || !AttributePresent(node->Type(), attribute)) {
    SetError(command, kCommandInternal);
    return;
  }
  if (attribute == eAttrValue && !WithinDoubleRange(node, value)) {
    SetError(command, kCommandOutOfRange);
    return;
  }
  StoreAttribute(node, attribute, value, &CParameterNode::GetFloat64Attribute, &CParameterNode::SetFloat64Attribute);
}

// ---- dependencies ------------------------------------------------------------------------------

int CTorvexHostParser::CheckParameterDependency(CParameterNode* node, const void* newValue) {
  if (!HasNode(node)) return kDependencyNone;
  CRecursiveLockGuard lock(g_ParameterTreeLock);
  auto is = [](CParameterNode* candidate, CParameterNode* bound) { return HasNode(bound) && candidate == bound; };
  auto notMode = [](CParameterNode* mode, const char* text) { return StringValue(mode) != text; };

  if (is(node, g_node_measure_parms_search_fstep))
    return notMode(g_node_measure_parms_search_mode, "CUSTom") ? kDependencyNoEffect : kDependencyNone;
  if (is(node, g_node_measure_parms_search_value))
    return notMode(g_node_measure_parms_search_mode, "MANual") ? kDependencyNoEffect : kDependencyNone;
  if (is(node, g_node_measure_parms_search_level))
    return StringValue(g_node_measure_parms_search_mode) == "AUTO" ? kDependencyNoEffect : kDependencyNone;
  if (is(node, g_node_measure_parms_probe_matching) || is(node, g_node_measure_parms_probe_tuning))
    return notMode(g_node_measure_parms_probe_matching_tuning_mode, "MANual") ? kDependencyNoEffect : kDependencyNone;
  if (is(node, g_node_measure_parms_averaging_signal_count) || is(node, g_node_measure_parms_averaging_signal_type))
    return HasNode(g_node_measure_parms_averaging_signal_active) &&
                   !g_node_measure_parms_averaging_signal_active->GetBooleanAttribute(eAttrValue)
               ? kDependencyNoEffect
               : kDependencyNone;
  if (is(node, g_node_measure_parms_averaging_measurement_count) ||
      is(node, g_node_measure_parms_averaging_measurement_type))
    return HasNode(g_node_measure_parms_averaging_measurement_active) &&
                   !g_node_measure_parms_averaging_measurement_active->GetBooleanAttribute(eAttrValue)
               ? kDependencyNoEffect
               : kDependencyNone;
  if (is(node, g_node_measure_parms_sample_offset) || is(node, g_node_measure_parms_sample_length) ||
      is(node, g_node_measure_parms_sample_rate))
    return notMode(g_node_measure_parms_sample_mode, "MANual") ? kDependencyNoEffect : kDependencyNone;
  if (is(node, g_node_measure_parms_pulse_period) || is(node, g_node_measure_parms_pulse_width))
    return notMode(g_node_measure_parms_pulse_mode, "MANual") ? kDependencyNoEffect : kDependencyNone;
  if (is(node, g_node_measure_parms_measurement_reject) || is(node, g_node_measure_parms_measurement_level) ||
      is(node, g_node_measure_parms_measurement_bandwidth) || is(node, g_node_measure_parms_measurement_points) ||
      is(node, g_node_measure_parms_measurement_hysteresis) || is(node, g_node_measure_parms_tracking_max_freq) ||
      is(node, g_node_measure_parms_tracking_min_freq) || is(node, g_node_measure_parms_tracking_hysteresis))
    return notMode(g_node_measure_parms_measurement_mode, "MANual") ? kDependencyNoEffect : kDependencyNone;
  if (is(node, g_node_trigger_parms_trigger_in_timer))
    return notMode(g_node_trigger_parms_trigger_in_source, "TIMer") ? kDependencyNoEffect : kDependencyNone;
  if (is(node, g_node_trigger_parms_trigger_out_state)) {
    const bool turningOn = newValue != nullptr && *static_cast<const bool*>(newValue);
    return turningOn && StringValue(g_node_trigger_parms_trigger_in_source) == "EXTernal" ? kDependencyRefused
                                                                                          : kDependencyNone;
  }
  if (is(node, g_node_trigger_parms_trigger_in_slope))
    return notMode(g_node_trigger_parms_trigger_in_source, "EXTernal") ? kDependencyNoEffect : kDependencyNone;
  if (is(node, g_node_trigger_parms_trigger_in_source)) {
    const bool external = newValue != nullptr && *static_cast<const std::string*>(newValue) == "EXTernal";
    return external && HasNode(g_node_trigger_parms_trigger_out_state) &&
                   g_node_trigger_parms_trigger_out_state->GetBooleanAttribute(eAttrValue)
               ? kDependencyRefused
               : kDependencyNone;
  }
  if (is(node, g_node_trigger_parms_trigger_out_level) || is(node, g_node_trigger_parms_trigger_out_slope) ||
      is(node, g_node_trigger_parms_trigger_out_shape) || is(node, g_node_trigger_parms_trigger_out_polarity) ||
      is(node, g_node_trigger_parms_trigger_out_width) || is(node, g_node_trigger_parms_trigger_out_delay))
    return HasNode(g_node_trigger_parms_trigger_out_state) &&
                   !g_node_trigger_parms_trigger_out_state->GetBooleanAttribute(eAttrValue)
               ? kDependencyNoEffect
               : kDependencyNone;
  return kDependencyNone;
}

// ---- the generic handler ---------------------------------------------------------------------------

namespace {

// What the bound-node part of the generic handler did with a command.
enum class eNodeStep {
  NoNode,   // no node it can serve (none bound, or a node of another type): nothing done
  Done,     // the node was read into the reply or written; a getter or setter error is in the record
  Refused,  // refused with -221 queued: the command ends here
};

// The node the record addresses: the suffix-2 node for suffix 2, the suffix-1 node for any other
// suffix or none.
CParameterNode* AddressedNode(const ScpiParsedCommand& command, const ScpiCommandAttributeRow& row) {
  return command.numericSuffix.has_value() && *command.numericSuffix == 2 ? row.nodeSuffix2 : row.nodeSuffix1;
}

// A Float64 field value of a flux row, stored in the row's unit, converted to the unit UNIT selects;
// `unit` becomes that unit's name. A failed conversion queues 202 (no probe) or 200 and leaves both.
void ConvertToSelectedUnit(CScpiStatus& status, const ScpiCommandAttributeRow& row, double& value, std::string& unit) {
  const std::string selected = StringValue(g_node_units_parms_selected);
  double converted = value;
  const int result = ConvertUnits(converted, FindUnit(row.unit), FindUnit(selected), 0.0);
  if (result != kUnitOk) {
    status.PushError(result == kUnitNoCurrentProbe ? kScpiErrorNoSelectedChannel : kScpiErrorFirmwareError, true);
    return;
  }
  value = converted;
  unit = selected;
}

// The text of attribute `attribute` of a node of one of the four value types, and the unit to write
// after it; false for a node of any other type.
bool FormatNodeAttribute(CScpiStatus& status, const ScpiCommandAttributeRow& row, CParameterNode* node, int attribute,
                         std::string& text, std::string& unit) {
  switch (node->Type()) {
    case eNodeType::Boolean: text = FormatText("%d", node->GetBooleanAttribute(attribute) ? 1 : 0); return true;
    case eNodeType::String: text = node->GetStringAttribute(attribute); return true;
    case eNodeType::Int32: text = FormatText("%d", node->GetInt32Attribute(attribute)); return true;
    case eNodeType::Float64: {
      double value = node->GetFloat64Attribute(attribute);
      if (row.fluxUnit != 0) ConvertToSelectedUnit(status, row, value, unit);
      text = FormatText("%.15g", value);
      return true;
    }
    default: return false;
  }
}

// The query half: the value (no parameter) or the MINimum, MAXimum or DEFault attribute, followed by
// the unit when there is one.
eNodeStep QueryBoundNode(ScpiParsedCommand& command, CScpiStatus& status, const ScpiCommandAttributeRow& row,
                         CParameterNode* node) {
  const ScpiParameterValue& first = command.values[0];
  int attribute = eAttrValue;
  if (first.kind != kScpiValueNone) {
    attribute = first.kind == kScpiValueChoice ? ChoiceAttribute(first.text) : -1;
    if (attribute < 0) {
      status.PushError(kScpiErrorFirmwareError, true);
      return eNodeStep::Done;
    }
  }
  if (!AttributePresent(node->Type(), attribute)) {
    SetError(command, kCommandInternal);
    return eNodeStep::Done;
  }
  std::string unit = row.unit;
  std::string text;
  if (!FormatNodeAttribute(status, row, node, attribute, text, unit)) {
    status.PushError(kScpiErrorFirmwareError, true);
    return eNodeStep::NoNode;
  }
  if (node->Type() != eNodeType::String && text.empty()) {
    SetError(command, kCommandInternal);
    return eNodeStep::Done;
  }
  AppendResponse(command, unit.empty() ? text : text + " " + unit, true);
  return eNodeStep::Done;
}

// A new value for a node, of the node's type.
struct NodeValue {
  eNodeType type = eNodeType::Branch;
  bool boolean = false;
  std::string text;
  std::int32_t integer = 0;
  double real = 0.0;

  // What CheckParameterDependency reads: a pointer to the value of the node's type.
  const void* Address() const {
    switch (type) {
      case eNodeType::Boolean: return &boolean;
      case eNodeType::String: return &text;
      case eNodeType::Int32: return &integer;
      default: return &real;
    }
  }
};

// A field value for a flux row in the node's storage unit. A bare number for the PPM reference while
// PPM is selected is refused (-221): it would be read relative to the very reference being set.
eNodeStep ReadFluxValue(ScpiParsedCommand& command, CScpiStatus& status, const ScpiCommandAttributeRow& row,
                        CParameterNode* node, double& value) {
  const std::string selected = StringValue(g_node_units_parms_selected);
  const ScpiParameterValue& first = command.values[0];
  const bool bareNumber =
      (first.kind == kScpiValueInteger || first.kind == kScpiValueDouble) && first.unitClass == kScpiUnitNone;
  if (node == g_node_units_parms_ppm_ref && selected == "PPM" && bareNumber) {
    status.PushError(kScpiErrorSettingsConflict, true);
    return eNodeStep::Refused;
  }
  value = CTorvexHostParser::GetFluxParameter(command, 0, node, static_cast<std::int32_t>(FindUnit(selected)),
                                              static_cast<std::int32_t>(FindUnit(row.unit)));
  return eNodeStep::Done;
}

// Parameter slot 0 as a value of the node's type (a getter error is in the record); NoNode for a node
// of any other type (200 queued).
eNodeStep ReadNewValue(ScpiParsedCommand& command, CScpiStatus& status, const ScpiCommandAttributeRow& row,
                       CParameterNode* node, NodeValue& value) {
  value.type = node->Type();
  switch (value.type) {
    case eNodeType::Boolean: value.boolean = CTorvexHostParser::GetBooleanParameter(command, 0, node) != 0; break;
    case eNodeType::String: value.text = CTorvexHostParser::GetStringParameter(command, 0, node); break;
    case eNodeType::Int32: value.integer = CTorvexHostParser::GetIntegerParameter(command, 0, node); break;
    case eNodeType::Float64:
      if (row.fluxUnit != 0) return ReadFluxValue(command, status, row, node, value.real);
      value.real = CTorvexHostParser::GetDoubleParameter(command, 0, node, true);
      break;
    default: status.PushError(kScpiErrorFirmwareError, true); return eNodeStep::NoNode;
  }
  return eNodeStep::Done;
}

void WriteNewValue(ScpiParsedCommand& command, CParameterNode* node, const NodeValue& value) {
  switch (value.type) {
    case eNodeType::Boolean: CTorvexHostParser::SetBooleanNode(command, node, eAttrValue, value.boolean); break;
    case eNodeType::String: CTorvexHostParser::SetStringNode(command, node, eAttrValue, value.text); break;
    case eNodeType::Int32: CTorvexHostParser::SetIntegerNode(command, node, eAttrValue, value.integer); break;
    default: CTorvexHostParser::SetDoubleNode(command, node, eAttrValue, value.real); break;
  }
}

// The set half: the new value, the dependency check, the write and the row's status row (set after
// every attempt that reached the setter, also when a getter or the setter refused the value).
eNodeStep SetBoundNode(ScpiParsedCommand& command, CScpiStatus& status, const ScpiCommandAttributeRow& row,
                       CParameterNode* node) {
  NodeValue value;
  const eNodeStep read = ReadNewValue(command, status, row, node, value);
  if (read != eNodeStep::Done) return read;
  const int dependency = CTorvexHostParser::CheckParameterDependency(node, value.Address());
  if (dependency == kDependencyRefused) {
    status.PushError(kScpiErrorSettingsConflict, true);
    return eNodeStep::Refused;
  }
  if (dependency == kDependencyNoEffect) status.SetBitRow(kStatusRowQuestionableBit10, true, true);
  WriteNewValue(command, node, value);
  if (row.statusRow != kStatusRowNone) status.SetBitRow(row.statusRow, true, true);
  return eNodeStep::Done;
}

// While a triggered measurement runs, a setting whose row refuses it (always, or unless the search
// mode is MANual) is refused with -221. Queries never are.
bool RefusedWhileMeasuring(const ScpiCommandAttributeRow& row, CScpiStatus& status, bool triggerActive) {
  if (!triggerActive || row.query != 0) return false;
  const bool refused =
      row.refusalKind == kScpiRefuseAlways ||
      (row.refusalKind == kScpiRefuseUnlessManualSearch && StringValue(g_node_measure_parms_search_mode) != "MANual");
  if (refused) status.PushError(kScpiErrorSettingsConflict, true);
  return refused;
}

}  // namespace

bool CTorvexHostParser::HandleParameterCommand(ScpiParsedCommand& command, CScpiStatus& status, bool triggerActive) {
  if (command.commandNumber >= kScpiCommandCount) return false;
  const ScpiCommandAttributeRow& row = kScpiCommandAttributes[command.commandNumber];
  if (RefusedWhileMeasuring(row, status, triggerActive)) return true;
  CParameterNode* node = AddressedNode(command, row);
  if (!HasNode(node)) return false;
  const eNodeStep step =
      row.query != 0 ? QueryBoundNode(command, status, row, node) : SetBoundNode(command, status, row, node);
  if (step == eNodeStep::NoNode) return false;
  return step == eNodeStep::Refused || row.generic != 0;
}

// ---- the own-code handler of the generic rows --------------------------------------------------------

void NoOwnCode(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost&) {
  // A generic row gets here only when the generic handler could not serve its node.
  g_Logger.Printf("Unhandled command number: %u\n", static_cast<unsigned>(command.commandNumber));
}

}  // namespace Torvex
