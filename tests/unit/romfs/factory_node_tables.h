// The content of the factory settings file as its tests expect it: the nodes the start-up binds with
// their types (read from the reference data), and every leaf of the file with the texts of its
// attributes.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "support/reference_table.h"

namespace torvex_test {

// ---------------------------------------------------------------------------------------------------
// The nodes the start-up binds, in binding order, with the type that their users rely on: the reference
// data tests/data/bound_nodes.tsv. Those whose type no use fixes (the modbus settings, the lock owner and
// the modbus host object) have an empty type there; the factory file chooses theirs (kFactoryNodes).
struct BoundNode {
  std::string path;
  std::string type;  // empty: not fixed by any use
};

inline std::vector<BoundNode> LoadBoundNodes(std::string* error) {
  const ReferenceTable data = ReferenceTable::Load("bound_nodes.tsv");
  *error = data.error;
  std::vector<BoundNode> nodes;
  for (const ReferenceRow& row : data.rows) {
    nodes.push_back({data.Cell(row, "path"), data.Cell(row, "type")});
  }
  return nodes;
}

// ---------------------------------------------------------------------------------------------------
// Every leaf of the file with the texts of its attributes. A null text is an attribute the node's
// type does not carry; the helpers below fill the row for each type.
struct FactoryNode {
  std::string_view path;
  std::string_view type;
  const char* value;
  const char* minimum;
  const char* maximum;
  const char* fallback;  // the "default" attribute
  const char* choices;
  const char* digits;
};

constexpr FactoryNode B(std::string_view path, const char* value, const char* fallback) {
  return {path, "Boolean", value, nullptr, nullptr, fallback, nullptr, nullptr};
}
constexpr FactoryNode P(std::string_view path) {
  return {path, "Pointer", "00000000", nullptr, nullptr, nullptr, nullptr, nullptr};
}
constexpr FactoryNode S(std::string_view path, const char* value, const char* fallback, const char* choices) {
  return {path, "String", value, nullptr, nullptr, fallback, choices, nullptr};
}
constexpr FactoryNode I(std::string_view path, const char* value, const char* minimum, const char* maximum,
                        const char* fallback) {
  return {path, "Int32", value, minimum, maximum, fallback, nullptr, nullptr};
}
constexpr FactoryNode F(std::string_view path, const char* value, const char* minimum, const char* maximum,
                        const char* fallback, const char* digits) {
  return {path, "Float64", value, minimum, maximum, fallback, nullptr, digits};
}

inline constexpr const char* kInt32Min = "-2147483648";
inline constexpr const char* kInt32Max = "2147483647";
inline constexpr const char* kUnitNames =
    "T,MT,UT,NT,GAUSs,KGAUss,MGAUss,UGAUss,PPM,HZP,KHZP,MAHZP,GHZP,HZ,KHZ,MAHZ,GHZ";

inline constexpr std::array kFactoryNodes = {
    // Identity, filled from the EEPROM at every start; the versions the firmware fills itself.
    S("system/manufacturer", "", "", ""),
    S("system/model", "", "", ""),
    I("system/serial_no", "0", kInt32Min, kInt32Max, "0"),
    S("system/manuf_date", "", "", ""),
    S("system/calib_date", "", "", ""),
    S("system/esa", "", "", ""),
    S("system/eeprom/version", "", "", ""),
    S("system/eeprom/date_created", "", "", ""),
    S("system/eeprom/time_created", "", "", ""),
    I("system/eeprom/option_bits", "0", kInt32Min, kInt32Max, "0"),
    S("system/versions/hardware", "", "", ""),
    S("system/versions/arm_firmware", "1.15", "1.15", ""),
    S("system/versions/dsp_firmware", "", "", ""),
    S("system/versions/cpld", "", "", ""),
    S("system/versions/parm_file", "3.4", "3.4", ""),
    I("system/rf/min_freq", "0", kInt32Min, kInt32Max, "0"),
    I("system/rf/max_freq", "0", kInt32Min, kInt32Max, "0"),
    F("system/acquisition/short_duration", "0.001", "0", "0.1", "0.001", "6"),
    I("system/usb/vendor_id", "0", "0", "65535", "0"),
    I("system/usb/product_id", "0", "0", "65535", "0"),
    S("system/usb/version", "", "", ""),
    I("system/usb/version_bcd", "0", "0", "65535", "0"),
    I("system/temperature/current_value", "0", "-55", "125", "0"),
    I("system/temperature/update_interval", "10", "1", "3600", "10"),
    I("system/temperature/shutdown_limit", "70", "40", "100", "70"),
    // Status enables: the status byte and the standard event register are 8 bits wide, the others 16.
    I("host_if/status/ESE", "0", "0", "255", "0"),
    I("host_if/status/SRE", "0", "0", "255", "0"),
    I("host_if/status/OPER", "0", "0", "65535", "0"),
    I("host_if/status/QUES", "0", "0", "65535", "0"),
    I("host_if/status/BIT11", "0", "0", "65535", "0"),
    I("host_if/status/BIT12", "0", "0", "65535", "0"),
    I("host_if/status/QUESBIT12", "0", "0", "65535", "0"),
    B("host_if/communication/ethernet_active", "0", "0"),
    B("host_if/communication/nbns_active", "0", "0"),
    P("host_if/communication/vxi11_object"),
    P("host_if/communication/usbtmc_object"),
    P("host_if/communication/modbus_object"),
    S("host_if/parameters/format", "ASCii", "ASCii", "ASCii,INTeger"),
    P("host_if/parameters/lock"),
    P("host_if/scpi_parser/object"),
    P("current_probe/current_channel_list"),
    P("current_probe/object"),
    B("current_probe/nmr_path_broken", "0", "0"),
    F("unit_conversion/nominal_p_gyro_ratio", "42577478.518", "42577478.518", "42577478.518", "42577478.518", "3"),
    B("ref_clock/external_detected", "0", "0"),
    B("ref_clock/external_locked", "0", "0"),
    // Results: the maximum of results/flux/size is the capacity of the results store.
    I("results/flux/size", "1", "1", "1000", "1"),
    I("results/flux/digits", "6", "0", "8", "6"),
    F("results/flux/expected_value", "0", "0", "1000000000000", "0", "6"),
    I("results/sigma/size", "1", "1", "1000", "1"),
    I("results/sigma/digits", "3", "0", "8", "3"),
    I("results/uniformity/size", "1", "1", "1000", "1"),
    I("results/uniformity/digits", "3", "0", "8", "3"),
    I("results/channel/size", "1", "1", "1000", "1"),
    I("results/timestamp/size", "1", "1", "1000", "1"),
    // Intermediate results: the maximum of each size is the capacity of its array.
    I("intermediate_results/nmr_signal/size", "4096", "1", "4096", "4096"),
    I("intermediate_results/nmr_signal/length", "0", "0", "4096", "0"),
    F("intermediate_results/nmr_signal/sample_period", "0", "0", "1", "0", "9"),
    I("intermediate_results/fft_buffer/size", "2048", "1", "2048", "2048"),
    I("intermediate_results/fft_buffer/length", "0", "0", "2048", "0"),
    F("intermediate_results/fft_buffer/resolution", "0", "0", "1000000", "0", "3"),
    F("intermediate_results/fft_buffer/noise_floor", "0", "-1000000000000", "1000000000000", "0", "3"),
    I("intermediate_results/peak_spectrum/size", "256", "1", "256", "256"),
    I("intermediate_results/peak_spectrum/length", "0", "0", "256", "0"),
    F("intermediate_results/peak_spectrum/resolution", "0", "0", "1000000", "0", "3"),
    F("intermediate_results/peak_spectrum/center_frequency", "0", "0", "2000000000", "0", "3"),
    I("intermediate_results/fit_coeffs/size", "8", "1", "8", "8"),
    I("intermediate_results/fit_coeffs/length", "0", "0", "8", "0"),
    F("intermediate_results/fit_coeffs/residue", "0", "-1000000000000", "1000000000000", "0", "6"),
    F("intermediate_results/if_frequency", "0", "0", "2000000000", "0", "3"),
    F("intermediate_results/relaxation_time", "0", "0", "1000", "0", "6"),
    F("intermediate_results/rf_frequency", "0", "0", "2000000000", "0", "3"),
    // Communication: automatic addressing, every interface on, the host name made at start-up.
    B("comm_parms/ethernet/enabled", "1", "1"),
    B("comm_parms/ethernet/auto_address", "1", "1"),
    S("comm_parms/ethernet/ip_address", "0.0.0.0", "AUTO", ""),
    S("comm_parms/ethernet/net_mask", "255.255.255.0", "255.255.255.0", ""),
    S("comm_parms/ethernet/broadcast", "255.255.255.255", "255.255.255.255", ""),
    S("comm_parms/ethernet/gateway", "0.0.0.0", "0.0.0.0", ""),
    S("comm_parms/ethernet/dns_server", "0.0.0.0", "0.0.0.0", ""),
    S("comm_parms/ethernet/domain", "local", "local", ""),
    S("comm_parms/ethernet/id", "", "", ""),
    B("comm_parms/nbns/enabled", "1", "1"),
    B("comm_parms/vxi11/enabled", "1", "1"),
    B("comm_parms/usbtmc/enabled", "1", "1"),
    B("comm_parms/modbus/enabled", "0", "0"),
    I("comm_parms/modbus/max_connections", "4", "1", "8", "4"),
    S("comm_parms/modbus/auth_list", "", "", ""),
    B("comm_parms/modbus/use_float32", "1", "1"),
    // Measurement settings; field values in tesla, levels in volts, times in seconds.
    S("measure_parms/search/mode", "AUTO", "AUTO", "AUTO,CUSTom,MANual"),
    F("measure_parms/search/low", "0", "0", "30", "0", "6"),
    F("measure_parms/search/high", "30", "0", "30", "30", "6"),
    F("measure_parms/search/value", "1", "0", "30", "1", "6"),
    F("measure_parms/search/level", "0.25", "0", "1", "0.25", "3"),
    F("measure_parms/search/fstep", "10000", "10", "1000000", "10000", "0"),
    S("measure_parms/measurement/mode", "AUTO", "AUTO", "AUTO,MANual"),
    F("measure_parms/measurement/level", "0.5", "0", "1", "0.5", "3"),
    B("measure_parms/measurement/reject", "0", "0"),
    F("measure_parms/measurement/bandwidth", "10000", "100", "1000000", "10000", "0"),
    I("measure_parms/measurement/points", "64", "1", "1024", "64"),
    I("measure_parms/measurement/hysteresis", "3", "0", "100", "3"),
    B("measure_parms/averaging/signal/active", "0", "0"),
    I("measure_parms/averaging/signal/count", "4", "1", "100", "4"),
    S("measure_parms/averaging/signal/type", "EXPonential", "EXPonential", "EXPonential,REPeat"),
    B("measure_parms/averaging/measurement/active", "0", "0"),
    I("measure_parms/averaging/measurement/count", "10", "1", "100", "10"),
    S("measure_parms/averaging/measurement/type", "EXPonential", "EXPonential", "EXPonential,MOVing,REPeat"),
    S("measure_parms/probe/matching_tuning_mode", "AUTO", "AUTO", "AUTO,MANual"),
    F("measure_parms/probe/matching", "2.5", "0", "5", "2.5", "3"),
    F("measure_parms/probe/tuning", "2.5", "0", "5", "2.5", "3"),
    S("measure_parms/pulse/mode", "AUTO", "AUTO", "AUTO,MANual"),
    F("measure_parms/pulse/width", "2e-05", "1e-06", "0.001", "2e-05", "6"),
    F("measure_parms/pulse/period", "0.1", "0.001", "10", "0.1", "3"),
    S("measure_parms/sample/mode", "AUTO", "AUTO", "AUTO,MANual"),
    F("measure_parms/sample/length", "0.002", "1e-05", "0.1", "0.002", "6"),
    F("measure_parms/sample/offset", "0", "0", "0.01", "0", "6"),
    F("measure_parms/sample/rate", "1000000", "10000", "10000000", "1000000", "0"),
    F("measure_parms/tracking/min_freq", "1000", "0", "1000000", "1000", "0"),
    F("measure_parms/tracking/max_freq", "10000", "0", "1000000", "10000", "0"),
    I("measure_parms/tracking/hysteresis", "3", "0", "100", "3"),
    // Triggers: a measurement query measures at once, once.
    S("trigger_parms/trigger_in/source", "IMMediate", "IMMediate", "IMMediate,TIMer,BUS,EXTernal"),
    S("trigger_parms/trigger_in/slope", "POSitive", "POSitive", "POSitive,NEGative,EITHer"),
    I("trigger_parms/trigger_in/count", "1", "1", "1000", "1"),
    B("trigger_parms/trigger_in/continuous", "0", "0"),
    F("trigger_parms/trigger_in/timer", "1", "0", "32.767", "1", "3"),
    B("trigger_parms/trigger_out/state", "0", "0"),
    S("trigger_parms/trigger_out/shape", "PULSe", "PULSe", "DC,PULSe"),
    S("trigger_parms/trigger_out/polarity", "NORMal", "NORMal", "NORMal,INVerted"),
    F("trigger_parms/trigger_out/width", "0.001", "1e-06", "1", "0.001", "6"),
    F("trigger_parms/trigger_out/delay", "0", "0", "1", "0", "6"),
    F("trigger_parms/trigger_out/level", "1", "0", "30", "1", "6"),
    S("trigger_parms/trigger_out/slope", "POSitive", "POSitive", "POSitive,NEGative,EITHer"),
    S("ref_clock_parms/mode", "INTernal", "INTernal", "INTernal,EXTernal"),
    S("units_parms/selected", "T", "T", kUnitNames),
    F("units_parms/ppm_ref", "1", "0.001", "30", "1", "6"),
};
static_assert(kFactoryNodes.size() == 134, "every bound leaf, nothing more");

}  // namespace torvex_test
