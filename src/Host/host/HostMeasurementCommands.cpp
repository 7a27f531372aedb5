// The measurement and trigger commands of the parser: MEASure, READ, FETCh, INITiate, ABORt,
// CONFigure?, the search-mode and limit setters that need more than a node write, the trigger output
// and the reference clock. Parser thread only; a measurement query blocks the parser, and with it
// every client, until its result is published or the measurement ends.
//
// Failures reach the client's error queue (no-update flag unless stated) and end the command at the
// failing step; settings written by earlier steps stay written.
#include <cstdint>
#include <string>
#include <vector>

#include "acquisition/CTorvexHostAcquisition.h"
#include "core/CTorvexChannel.h"
#include "core/eError.h"
#include "host/CTorvexHost.h"
#include "host/CTorvexHostParser.h"
#include "host/HostCommandHelpers.h"
#include "host/HostErrors.h"
#include "host/ResponseFormatting.h"
#include "peripherals/CTorvexPeripheral.h"
#include "peripherals/SearchLimits.h"
#include "status/CScpiStatus.h"
#include "status/ScpiErrorTable.h"
#include "status/ScpiStatusBitRows.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

namespace Torvex {
namespace {

// Command numbers of the family.
enum : std::uint8_t {
  kCmdAbort = 27,
  kCmdConfigureQuery = 34,
  kCmdSearchMode = 58,
  kCmdSearchHigh = 60,
  kCmdSearchLow = 62,
  kCmdTrackingHigh = 66,
  kCmdTrackingLow = 68,
  kCmdFetchFirst = 72,
  kCmdFetchScalarLast = 80,
  kCmdFetchLast = 89,
  kCmdInitiate = 92,
  kCmdInitiateContinuous = 94,
  kCmdReferenceClock = 96,
  kCmdMeasure = 97,
  kCmdMeasureArray = 98,
  kCmdOutputState = 106,
  kCmdOutputImmediate = 107,
  kCmdOutputShape = 109,
  kCmdOutputPolarity = 111,
  kCmdOutputWidth = 113,
  kCmdOutputDelay = 115,
  kCmdRead = 116,
  kCmdReadArray = 117,
  kCmdTriggerOutLevel = 225,
  kCmdTriggerOutSlope = 227,
};

// One FETCh query: its result kind, the nodes that bound its count and decimals (g_node_none: the
// value is 1), and whether a refused decimals parameter stops it before anything is formatted.
struct FetchRow {
  std::uint8_t command;
  std::uint32_t kind;
  CParameterNode* const& countNode;
  CParameterNode* const& decimalsNode;
  bool stopOnRefusedDecimals;
};

const FetchRow kFetchRows[] = {
    {72, kResultFlux, g_node_none, g_node_results_flux_digits, true},
    {73, kResultSigma, g_node_none, g_node_results_sigma_digits, true},
    {74, kResultUniformity, g_node_none, g_node_results_uniformity_digits, true},
    {75, kResultChannel, g_node_none, g_node_none, false},
    {76, kResultTimestamp, g_node_none, g_node_none, false},
    {77, kResultIfFrequency, g_node_none, g_node_results_uniformity_digits, true},
    {78, kResultRelaxationTime, g_node_none, g_node_results_uniformity_digits, true},
    {79, kResultRfFrequency, g_node_none, g_node_results_uniformity_digits, true},
    {80, kResultSearchProgress, g_node_none, g_node_none, false},
    {81, kResultFlux, g_node_results_flux_size, g_node_results_flux_digits, false},
    {82, kResultSigma, g_node_results_sigma_size, g_node_results_sigma_digits, false},
    {83, kResultUniformity, g_node_results_uniformity_size, g_node_results_uniformity_digits, false},
    {84, kResultChannel, g_node_results_channel_size, g_node_none, false},
    {85, kResultTimestamp, g_node_results_timestamp_size, g_node_none, false},
    {86, kResultNmrSignal, g_node_intermediate_results_nmr_signal_size, g_node_none, false},
    {87, kResultFftBuffer, g_node_intermediate_results_fft_buffer_size, g_node_none, false},
    {88, kResultPeakSpectrum, g_node_intermediate_results_peak_spectrum_size, g_node_none, false},
    {89, kResultFit, g_node_intermediate_results_fit_coeffs_size, g_node_none, false},
};
static_assert(sizeof kFetchRows / sizeof kFetchRows[0] == kCmdFetchLast - kCmdFetchFirst + 1);

void Push(CScpiStatus& status, std::uint32_t row) { status.PushError(row, true); }

// Raised application codes and error-table rows end a command; each becomes one queued row.
struct CommandFailed {
  std::uint32_t row;
};
[[noreturn]] void Fail(std::uint32_t row) { throw CommandFailed{row}; }
[[noreturn]] void FailWithCode(int code) { Fail(ErrorRowForApplicationError(code)); }

// A count or decimals parameter read against its node. A refused value has already put its error
// code into the record (reported after the command); the command goes on with the value moved into
// the node's range, so that a refused count never reaches the trigger settings or the formatter as
// a negative or oversized number.
std::int32_t BoundedInteger(ScpiParsedCommand& command, std::size_t slot, CParameterNode* node) {
  return ClampToNodeRange(CTorvexHostParser::GetIntegerParameter(command, slot, node), node);
}

// The decimals of a result: the clamped parameter, never negative.
std::uint32_t Decimals(std::int32_t value) { return value < 0 ? 0u : static_cast<std::uint32_t>(value); }

// Continuous initiation off and the immediate trigger source, each written only when it differs (the
// node calls its subscribers then); then the settings-group event of the trigger settings.
void SelectSingleImmediateTrigger(CScpiStatus& status) {
  if (g_node_trigger_parms_trigger_in_continuous != nullptr)
    g_node_trigger_parms_trigger_in_continuous->SetBooleanAttribute(eAttrValue, false);
  if (g_node_trigger_parms_trigger_in_source != nullptr)
    g_node_trigger_parms_trigger_in_source->SetStringAttribute(eAttrValue, "IMMediate");
  status.SetBitRow(kStatusRowSettingsGroup10, true, true);
}

void SetTriggerCount(std::int32_t count) {
  if (g_node_trigger_parms_trigger_in_count != nullptr)
    g_node_trigger_parms_trigger_in_count->SetInt32Attribute(eAttrValue, count);
}

// Fills an empty list from the topology, marking the scan with OPERation bit 2 meanwhile; any
// failure, an empty topology included, is "No probe".
void RetrieveTopologyInto(std::vector<CTorvexChannel>& list, CScpiStatus& status) {
  status.SetBitRow(kStatusRowOperationBit2, true, false);
  const int rc = CTorvexPeripheral::RetrieveTopology(list);
  status.SetBitRow(kStatusRowOperationBit2, false, true);
  if (rc != 0 || list.empty()) Fail(kScpiErrorNoProbe);
}

void CloseRouteOf(const std::vector<CTorvexChannel>& list) {
  const std::vector<CTorvexChannel> copy(list.begin(), list.end());  // each channel clamped to five levels
  if (const int rc = CTorvexPeripheral::CloseRoute(copy); rc != 0) FailWithCode(rc);
}

// The parameters of MEASure and READ: [count,] expected value, decimals, channel list.
struct MeasureParameters {
  std::int32_t count = 1;
  double expected = 0.0;
  std::uint32_t decimals = 0;
  std::vector<CTorvexChannel> channels;
  bool countRefused = false;
};

MeasureParameters ReadMeasureParameters(ScpiParsedCommand& command, bool array) {
  MeasureParameters p;
  std::size_t slot = 0;
  if (array) {
    const std::uint8_t before = command.errorCode;
    p.count = BoundedInteger(command, slot++, g_node_results_flux_size);
    p.countRefused = before == 0 && command.errorCode != 0;
  }
  // The expected value is taken as given (no range check): a unit suffix only scales the number, and
  // the acquisition reads it in the selected unit.
  p.expected = CTorvexHostParser::GetDoubleParameter(command, slot++, g_node_results_flux_expected_value, false);
  p.decimals = Decimals(BoundedInteger(command, slot++, g_node_results_flux_digits));
  p.channels = CTorvexHostParser::GetChannelListParameter(command, slot);
  return p;
}

// Stops what runs and switches continuous initiation off; a failure is "Firmware error".
void AbortForUser() {
  if (CTorvexHostAcquisition::AbortTrigger(true) != 0) Fail(kScpiErrorFirmwareError);
}

}  // namespace

namespace {

void Measure(CTorvexHostParser& parser, ScpiParsedCommand& command, CTorvexHost& client, bool array) {
  CScpiStatus& status = client.Status();
  MeasureParameters p = ReadMeasureParameters(command, array);
  if (p.countRefused) return;  // no measurement of a refused size; the error follows the command
  AbortForUser();
  if (p.channels.empty()) RetrieveTopologyInto(p.channels, status);
  CloseRouteOf(p.channels);
  SelectSingleImmediateTrigger(status);
  ResetMeasurementDefaults();
  SetTriggerCount(array ? p.count : 1);
  int rc = 0;
  try {
    rc = CTorvexHostAcquisition::InitiateTrigger(&status, &p.channels, p.expected);
  } catch (const eError& e) {
    rc = static_cast<int>(e);
  }
  if (rc != 0) {
    if (array && rc == kAcqSettingsConflict) Fail(kScpiErrorFirmwareError);
    FailWithCode(rc);
  }
  parser.FormatResultData(command, client, kResultFlux, array ? static_cast<std::uint32_t>(p.count) : 1u,
                          p.decimals, status);
}

void Read(CTorvexHostParser& parser, ScpiParsedCommand& command, CTorvexHost& client, bool array) {
  CScpiStatus& status = client.Status();
  MeasureParameters p = ReadMeasureParameters(command, array);
  if (p.countRefused) return;
  AbortForUser();
  SelectSingleImmediateTrigger(status);
  if (p.channels.empty()) p.channels = CopyCurrentChannelList();
  if (p.channels.empty()) RetrieveTopologyInto(p.channels, status);
  CloseRouteOf(p.channels);
  SetTriggerCount(array ? p.count : 1);
  int rc = 0;
  try {
    rc = CTorvexHostAcquisition::InitiateTrigger(&status, &p.channels, p.expected);
  } catch (const eError& e) {
    rc = static_cast<int>(e);
  }
  if (rc != 0) Fail(kScpiErrorFirmwareError);
  parser.FormatResultData(command, client, kResultFlux, array ? static_cast<std::uint32_t>(p.count) : 1u,
                          p.decimals, status);
}

void Fetch(CTorvexHostParser& parser, ScpiParsedCommand& command, CTorvexHost& client) {
  const FetchRow& row = kFetchRows[command.commandNumber - kCmdFetchFirst];
  std::size_t slot = 0;
  std::int32_t count = 1;
  if (row.command > kCmdFetchScalarLast) {
    // A count outside the node's range is refused (reported after the command), yet the values the
    // store holds are still formatted; a count below zero formats nothing.
    count = CTorvexHostParser::GetIntegerParameter(command, slot++, row.countNode);
    if (count < 0) count = 0;
  }
  std::uint32_t decimals = 1;
  if (&row.decimalsNode != &g_node_none) {
    const std::uint8_t before = command.errorCode;
    decimals = Decimals(BoundedInteger(command, slot, row.decimalsNode));
    if (row.stopOnRefusedDecimals && before == 0 && command.errorCode != 0) return;
  }
  parser.FormatResultData(command, client, row.kind, static_cast<std::uint32_t>(count), decimals, client.Status());
}

void Initiate(CTorvexHost& client) {
  const std::vector<CTorvexChannel> channels = CopyCurrentChannelList();
  int rc = 0;
  try {
    rc = CTorvexHostAcquisition::InitiateTrigger(&client.Status(), &channels, 0.0);
  } catch (const eError& e) {
    rc = static_cast<int>(e);
  }
  if (rc != 0) FailWithCode(rc);
}

void Abort(CTorvexHost& client) {
  if (CTorvexHostAcquisition::AbortTrigger(false) != 0) client.Status().PushError(kScpiErrorExecutionError, false);
}

// The fifteen measurement settings as one text, each "header value[ unit];".
void ConfigureQuery(ScpiParsedCommand& command) {
  struct Item {
    const char* header;
    CParameterNode* const& node;
    int attribute;
    const char* unit;  // null: a text node, written as stored
  };
  const Item items[] = {
      {":CONF:MEAS:REJ ", g_node_measure_parms_measurement_reject, eAttrValue, ""},
      {":CONF:MEAS:LEV ", g_node_measure_parms_measurement_level, eAttrValue, " V"},
      {":CONF:MEAS:BAND ", g_node_measure_parms_measurement_bandwidth, eAttrValue, " HZ"},
      {":CONF:MEAS:POIN ", g_node_measure_parms_measurement_points, eAttrValue, ""},
      {":CONF:PROB:MODE ", g_node_measure_parms_probe_matching_tuning_mode, eAttrValue, nullptr},
      {":CONF:PROB:MATC ", g_node_measure_parms_probe_matching, eAttrValue, " V"},
      {":CONF:PROB:TUN ", g_node_measure_parms_probe_tuning, eAttrValue, " V"},
      {":CONF:SEAR:LEV ", g_node_measure_parms_search_level, eAttrValue, " V"},
      {":CONF:SEAR:FSTEP ", g_node_measure_parms_search_fstep, eAttrValue, " Hz"},
      {":CONF:SEAR:MODE ", g_node_measure_parms_search_mode, eAttrValue, nullptr},
      {":CONF:SEAR:LOW ", g_node_measure_parms_search_value, eAttrMinimum, " T"},
      {":CONF:SEAR:HIGH ", g_node_measure_parms_search_value, eAttrMaximum, " T"},
      {":CONF:SEAR:VAL ", g_node_measure_parms_search_value, eAttrValue, " T"},
      {":CONF:TRAC:LOW ", g_node_measure_parms_tracking_min_freq, eAttrValue, " HZ"},
      {":CONF:TRAC:HIGH ", g_node_measure_parms_tracking_max_freq, eAttrValue, " HZ"},
      {":CONF:TRAC:HYST ", g_node_measure_parms_tracking_hysteresis, eAttrValue, ""},
  };
  std::string text;
  for (const Item& item : items) {
    text += item.header;
    if (item.unit == nullptr) {
      text += CTorvexHostParser::ReadStringAttribute(command, item.node, item.attribute);
    } else {
      text += FormatNumericAttribute(command, item.node, item.attribute);
      text += item.unit;
    }
    text += ';';
  }
  AppendResponse(command, text, true);
}

// CONFigure:SEARch:MODE: while a triggered measurement runs only MANual may follow MANual.
void SearchMode(ScpiParsedCommand& command, CTorvexHost& client) {
  CParameterNode* node = g_node_measure_parms_search_mode;
  const std::string mode = CTorvexHostParser::GetStringParameter(command, 0, node);
  if (command.errorCode != 0) return;
  if (g_TriggerActive.load()) {
    const std::string current = node != nullptr ? node->GetStringAttribute(eAttrValue) : std::string();
    if (current != "MANual" || mode != "MANual") {
      Push(client.Status(), kScpiErrorSettingsConflict);
      return;
    }
  }
  CTorvexHostParser::SetStringNode(command, node, eAttrValue, mode);
}

// After a new tracking limit the other one follows, so that min_freq <= max_freq again.
void TrackingLimits(bool highChanged) {
  CParameterNode* low = g_node_measure_parms_tracking_min_freq;
  CParameterNode* high = g_node_measure_parms_tracking_max_freq;
  if (low == nullptr || high == nullptr) return;
  const double lowValue = low->GetFloat64Attribute(eAttrValue);
  const double highValue = high->GetFloat64Attribute(eAttrValue);
  if (lowValue <= highValue) return;
  if (highChanged) low->SetFloat64Attribute(eAttrValue, highValue);
  else high->SetFloat64Attribute(eAttrValue, lowValue);
}

// Sends the trigger-output settings (or one immediate pulse) to the DSP; the node keeps the value
// the generic handler stored whatever the outcome.
void TriggerOutput(CTorvexHost& client, bool immediate) {
  const int rc = CTorvexHostAcquisition::TriggerOut(immediate);
  if (rc == 0) return;
  if (rc == kAcqNotStarted || rc == kAcqTimeout) Push(client.Status(), kScpiErrorExecutionError);
  else if (rc == kAcqTriggerConflict) Push(client.Status(), kScpiErrorSettingsConflict);
  else Push(client.Status(), kScpiErrorFirmwareError);
}

// INPut:CLOCk: the new source reaches the node only when the acquisition took it.
void ReferenceClock(ScpiParsedCommand& command, CTorvexHost& client) {
  CParameterNode* node = g_node_ref_clock_parms_mode;
  const std::string previous = node != nullptr ? node->GetStringAttribute(eAttrValue) : std::string();
  const std::string mode = CTorvexHostParser::GetStringParameter(command, 0, node);
  if (command.errorCode != 0) return;
  const int rc = CTorvexHostAcquisition::ConfigureExtRef(mode);
  if (rc == 0) {
    if (node != nullptr) node->SetStringAttribute(eAttrValue, mode);
    client.Status().SetBitRow(kStatusRowSettingsGroup6, true, true);
    return;
  }
  if (node != nullptr) node->SetStringAttribute(eAttrValue, previous);
  FailWithCode(rc);
}

}  // namespace

bool CTorvexHostParser::RunMeasurementCommand(ScpiParsedCommand& command, CTorvexHost& client) {
  const std::uint8_t number = command.commandNumber;
  try {
    switch (number) {
      case kCmdMeasure:
      case kCmdMeasureArray:
        Measure(*this, command, client, number == kCmdMeasureArray);
        return true;
      case kCmdRead:
      case kCmdReadArray:
        Read(*this, command, client, number == kCmdReadArray);
        return true;
      case kCmdInitiate:
        Initiate(client);
        return true;
      case kCmdInitiateContinuous:
        if (g_node_trigger_parms_trigger_in_continuous != nullptr &&
            g_node_trigger_parms_trigger_in_continuous->GetBooleanAttribute(eAttrValue))
          Initiate(client);
        return true;
      case kCmdAbort:
        Abort(client);
        return true;
      case kCmdConfigureQuery:
        ConfigureQuery(command);
        return true;
      case kCmdSearchMode:
        SearchMode(command, client);
        return true;
      case kCmdSearchHigh:
        SetSearchHighLimit();
        return true;
      case kCmdSearchLow:
        SetSearchLowLimit();
        return true;
      case kCmdTrackingHigh:
      case kCmdTrackingLow:
        TrackingLimits(number == kCmdTrackingHigh);
        return true;
      case kCmdOutputState:
      case kCmdOutputImmediate:
      case kCmdOutputShape:
      case kCmdOutputPolarity:
      case kCmdOutputWidth:
      case kCmdOutputDelay:
      case kCmdTriggerOutLevel:
      case kCmdTriggerOutSlope:
        TriggerOutput(client, number == kCmdOutputImmediate);
        return true;
      case kCmdReferenceClock:
        ReferenceClock(command, client);
        return true;
      default:
        if (number >= kCmdFetchFirst && number <= kCmdFetchLast) {
          Fetch(*this, command, client);
          return true;
        }
        return false;
    }
  } catch (const CommandFailed& failure) {
    Push(client.Status(), failure.row);
  } catch (const eSCPIErrorEvent& event) {
    Push(client.Status(), event.row);
  } catch (const eError& e) {
    Push(client.Status(), ErrorRowForApplicationError(static_cast<int>(e)));
  }
  return true;
}

}  // namespace Torvex
