// The handlers of the measurement and trigger commands (HostCommandHandlers.h): MEASure, READ, FETCh,
// INITiate, ABORt, CONFigure?, the search-mode and limit setters that need more than a node write, the
// trigger output and the reference clock. Parser thread only; a measurement query blocks the parser, and with it
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
#include "host/HostCommandHandlers.h"
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

// One FETCh query: its result kind, the nodes that bound its count and decimals (g_node_none: the
// value is 1), and whether a refused decimals parameter stops it before anything is formatted.
// The array forms take a count (bounded by `countNode`) before the decimals; the scalar forms do not.
struct FetchRow {
  eScpiCommand command;
  std::uint32_t kind;
  CParameterNode* const& countNode;
  CParameterNode* const& decimalsNode;
  bool stopOnRefusedDecimals;
};

constexpr FetchRow kFetchRows[] = {
    {kCmdFetchFluxQuery, kResultFlux, g_node_none, g_node_results_flux_digits, true},
    {kCmdFetchSigmaQuery, kResultSigma, g_node_none, g_node_results_sigma_digits, true},
    {kCmdFetchUniformityQuery, kResultUniformity, g_node_none, g_node_results_uniformity_digits, true},
    {kCmdFetchChannelQuery, kResultChannel, g_node_none, g_node_none, false},
    {kCmdFetchTimestampQuery, kResultTimestamp, g_node_none, g_node_none, false},
    {kCmdFetchIfFrequencyQuery, kResultIfFrequency, g_node_none, g_node_results_uniformity_digits, true},
    {kCmdFetchRelaxationQuery, kResultRelaxationTime, g_node_none, g_node_results_uniformity_digits, true},
    {kCmdFetchRfFrequencyQuery, kResultRfFrequency, g_node_none, g_node_results_uniformity_digits, true},
    {kCmdFetchSearchProgressQuery, kResultSearchProgress, g_node_none, g_node_none, false},
    {kCmdFetchArrayFluxQuery, kResultFlux, g_node_results_flux_size, g_node_results_flux_digits, false},
    {kCmdFetchArraySigmaQuery, kResultSigma, g_node_results_sigma_size, g_node_results_sigma_digits, false},
    {kCmdFetchArrayUniformityQuery, kResultUniformity, g_node_results_uniformity_size, g_node_results_uniformity_digits,
     false},
    {kCmdFetchArrayChannelQuery, kResultChannel, g_node_results_channel_size, g_node_none, false},
    {kCmdFetchArrayTimestampQuery, kResultTimestamp, g_node_results_timestamp_size, g_node_none, false},
    {kCmdFetchArrayNmrSignalQuery, kResultNmrSignal, g_node_intermediate_results_nmr_signal_size, g_node_none, false},
    {kCmdFetchArrayFftBufferQuery, kResultFftBuffer, g_node_intermediate_results_fft_buffer_size, g_node_none, false},
    {kCmdFetchArraySpectrumQuery, kResultPeakSpectrum, g_node_intermediate_results_peak_spectrum_size, g_node_none,
     false},
    {kCmdFetchArrayFitQuery, kResultFit, g_node_intermediate_results_fit_coeffs_size, g_node_none, false},
};

// Every row whose handler is RunFetch is listed above, once.
constexpr bool FetchRowsAreTheRowsOfRunFetch() {
  for (const FetchRow& row : kFetchRows) {
    if (!command_rows::HandledBy(row.command, "RunFetch")) return false;
  }
  return std::size(kFetchRows) == command_rows::RowsHandledBy("RunFetch");
}
static_assert(FetchRowsAreTheRowsOfRunFetch(), "kFetchRows lists the FETCh rows");

void Push(CScpiStatus& status, std::uint32_t row) { status.PushError(row, true); }

// Raised application codes and error-table rows end a command; each becomes one queued row
// (ReportCommandFailures).
[[noreturn]] void Fail(std::uint32_t row) { FailCommand(row); }
[[noreturn]] void FailWithCode(int code) { Fail(ErrorRowForApplicationError(code)); }

const FetchRow& FetchRowOf(std::uint8_t command) {
  for (const FetchRow& row : kFetchRows) {
    if (row.command == command) return row;
  }
  Fail(kScpiErrorFirmwareError);
}

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

// Initiates the trigger on `channels`; the application code of a failure, returned or thrown, or 0.
int InitiateTrigger(CScpiStatus& status, const std::vector<CTorvexChannel>& channels, double expected) {
  try {
    return CTorvexHostAcquisition::InitiateTrigger(&status, &channels, expected);
  } catch (const eError& e) {
    return static_cast<int>(e);
  }
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
  const int rc = InitiateTrigger(status, p.channels, p.expected);
  if (rc != 0) {
    if (array && rc == kAcqSettingsConflict) Fail(kScpiErrorFirmwareError);
    FailWithCode(rc);
  }
  parser.FormatResultData(command, client, kResultFlux, array ? static_cast<std::uint32_t>(p.count) : 1u, p.decimals,
                          status);
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
  const int rc = InitiateTrigger(status, p.channels, p.expected);
  if (rc != 0) Fail(kScpiErrorFirmwareError);
  parser.FormatResultData(command, client, kResultFlux, array ? static_cast<std::uint32_t>(p.count) : 1u, p.decimals,
                          status);
}

void Fetch(CTorvexHostParser& parser, ScpiParsedCommand& command, CTorvexHost& client) {
  const FetchRow& row = FetchRowOf(command.commandNumber);
  std::size_t slot = 0;
  std::int32_t count = 1;
  if (&row.countNode != &g_node_none) {
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
  if (const int rc = InitiateTrigger(client.Status(), channels, 0.0); rc != 0) FailWithCode(rc);
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

// ---- the handlers ------------------------------------------------------------------------------------

void RunMeasure(CTorvexHostParser& parser, ScpiParsedCommand& command, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [&] { Measure(parser, command, client, false); });
}

void RunMeasureArray(CTorvexHostParser& parser, ScpiParsedCommand& command, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [&] { Measure(parser, command, client, true); });
}

void RunRead(CTorvexHostParser& parser, ScpiParsedCommand& command, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [&] { Read(parser, command, client, false); });
}

void RunReadArray(CTorvexHostParser& parser, ScpiParsedCommand& command, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [&] { Read(parser, command, client, true); });
}

void RunFetch(CTorvexHostParser& parser, ScpiParsedCommand& command, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [&] { Fetch(parser, command, client); });
}

void RunInitiate(CTorvexHostParser&, ScpiParsedCommand&, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [&] { Initiate(client); });
}

// INITiate:CONTinuous, after the generic handler has set the node: switched on, the trigger is
// initiated at once.
void RunInitiateContinuous(CTorvexHostParser&, ScpiParsedCommand&, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [&] {
    if (g_node_trigger_parms_trigger_in_continuous != nullptr &&
        g_node_trigger_parms_trigger_in_continuous->GetBooleanAttribute(eAttrValue))
      Initiate(client);
  });
}

void RunAbort(CTorvexHostParser&, ScpiParsedCommand&, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [&] { Abort(client); });
}

void RunConfigureQuery(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [&] { ConfigureQuery(command); });
}

void RunSearchMode(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [&] { SearchMode(command, client); });
}

// The search and tracking limits, after the generic handler has set the node: the other limits
// follow the new one.
void RunSearchHighLimit(CTorvexHostParser&, ScpiParsedCommand&, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [] { SetSearchHighLimit(); });
}

void RunSearchLowLimit(CTorvexHostParser&, ScpiParsedCommand&, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [] { SetSearchLowLimit(); });
}

void RunTrackingHighLimit(CTorvexHostParser&, ScpiParsedCommand&, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [] { TrackingLimits(true); });
}

void RunTrackingLowLimit(CTorvexHostParser&, ScpiParsedCommand&, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [] { TrackingLimits(false); });
}

// The trigger-output settings, after the generic handler has set the node: the settings go to the DSP.
void RunTriggerOutput(CTorvexHostParser&, ScpiParsedCommand&, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [&] { TriggerOutput(client, false); });
}

// OUTPut:IMMediate: one pulse now.
void RunTriggerOutputPulse(CTorvexHostParser&, ScpiParsedCommand&, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [&] { TriggerOutput(client, true); });
}

void RunReferenceClock(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [&] { ReferenceClock(command, client); });
}

}  // namespace Torvex
