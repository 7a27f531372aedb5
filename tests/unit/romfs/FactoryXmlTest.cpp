// The factory settings file /romfs/factory.xml: written in the parameter-tree file format, holding
// every node that the start-up binds with the type its users rely on, and the values, limits and
// choices below. The file is read here with expat alone, so a fault of the tree loader cannot hide a
// fault of the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string_view>

#include "FactoryXmlReader.h"

using namespace romfs_test;

namespace {

// ---------------------------------------------------------------------------------------------------
// The nodes the start-up binds, with the type that their users rely on. Those whose type no operation
// fixes (the modbus settings, the lock owner and the modbus host object) carry the type chosen for them.
struct BoundNode {
  std::string_view path;
  std::string_view type;
};

constexpr std::array kBoundNodes = {
    BoundNode{"system/manufacturer", "String"},
    BoundNode{"system/model", "String"},
    BoundNode{"system/serial_no", "Int32"},
    BoundNode{"system/manuf_date", "String"},
    BoundNode{"system/calib_date", "String"},
    BoundNode{"system/esa", "String"},
    BoundNode{"system/eeprom/version", "String"},
    BoundNode{"system/eeprom/date_created", "String"},
    BoundNode{"system/eeprom/time_created", "String"},
    BoundNode{"system/eeprom/option_bits", "Int32"},
    BoundNode{"system/versions/hardware", "String"},
    BoundNode{"system/versions/arm_firmware", "String"},
    BoundNode{"system/versions/dsp_firmware", "String"},
    BoundNode{"system/versions/cpld", "String"},
    BoundNode{"system/versions/parm_file", "String"},
    BoundNode{"system/rf/min_freq", "Int32"},
    BoundNode{"system/rf/max_freq", "Int32"},
    BoundNode{"system/acquisition/short_duration", "Float64"},
    BoundNode{"system/usb/vendor_id", "Int32"},
    BoundNode{"system/usb/product_id", "Int32"},
    BoundNode{"system/usb/version", "String"},
    BoundNode{"system/usb/version_bcd", "Int32"},
    BoundNode{"system/temperature/current_value", "Int32"},
    BoundNode{"system/temperature/update_interval", "Int32"},
    BoundNode{"system/temperature/shutdown_limit", "Int32"},
    BoundNode{"host_if/status/ESE", "Int32"},
    BoundNode{"host_if/status/SRE", "Int32"},
    BoundNode{"host_if/status/OPER", "Int32"},
    BoundNode{"host_if/status/QUES", "Int32"},
    BoundNode{"host_if/status/BIT11", "Int32"},
    BoundNode{"host_if/status/BIT12", "Int32"},
    BoundNode{"host_if/status/QUESBIT12", "Int32"},
    BoundNode{"host_if/communication/ethernet_active", "Boolean"},
    BoundNode{"host_if/communication/nbns_active", "Boolean"},
    BoundNode{"host_if/communication/vxi11_object", "Pointer"},
    BoundNode{"host_if/communication/usbtmc_object", "Pointer"},
    BoundNode{"host_if/communication/modbus_object", "Pointer"},
    BoundNode{"host_if/parameters/format", "String"},
    BoundNode{"host_if/parameters/lock", "Pointer"},
    BoundNode{"host_if/scpi_parser/object", "Pointer"},
    BoundNode{"current_probe/current_channel_list", "Pointer"},
    BoundNode{"current_probe/object", "Pointer"},
    BoundNode{"current_probe/nmr_path_broken", "Boolean"},
    BoundNode{"unit_conversion/nominal_p_gyro_ratio", "Float64"},
    BoundNode{"ref_clock/external_detected", "Boolean"},
    BoundNode{"ref_clock/external_locked", "Boolean"},
    BoundNode{"results/flux/size", "Int32"},
    BoundNode{"results/flux/digits", "Int32"},
    BoundNode{"results/flux/expected_value", "Float64"},
    BoundNode{"results/sigma/size", "Int32"},
    BoundNode{"results/sigma/digits", "Int32"},
    BoundNode{"results/uniformity/size", "Int32"},
    BoundNode{"results/uniformity/digits", "Int32"},
    BoundNode{"results/channel/size", "Int32"},
    BoundNode{"results/timestamp/size", "Int32"},
    BoundNode{"intermediate_results/nmr_signal/size", "Int32"},
    BoundNode{"intermediate_results/nmr_signal/length", "Int32"},
    BoundNode{"intermediate_results/nmr_signal/sample_period", "Float64"},
    BoundNode{"intermediate_results/fft_buffer/size", "Int32"},
    BoundNode{"intermediate_results/fft_buffer/length", "Int32"},
    BoundNode{"intermediate_results/fft_buffer/resolution", "Float64"},
    BoundNode{"intermediate_results/fft_buffer/noise_floor", "Float64"},
    BoundNode{"intermediate_results/peak_spectrum/size", "Int32"},
    BoundNode{"intermediate_results/peak_spectrum/length", "Int32"},
    BoundNode{"intermediate_results/peak_spectrum/resolution", "Float64"},
    BoundNode{"intermediate_results/peak_spectrum/center_frequency", "Float64"},
    BoundNode{"intermediate_results/fit_coeffs/size", "Int32"},
    BoundNode{"intermediate_results/fit_coeffs/length", "Int32"},
    BoundNode{"intermediate_results/fit_coeffs/residue", "Float64"},
    BoundNode{"intermediate_results/if_frequency", "Float64"},
    BoundNode{"intermediate_results/relaxation_time", "Float64"},
    BoundNode{"intermediate_results/rf_frequency", "Float64"},
    BoundNode{"peripherals", "Branch"},
    BoundNode{"comm_parms", "Branch"},
    BoundNode{"measure_parms", "Branch"},
    BoundNode{"trigger_parms", "Branch"},
    BoundNode{"ref_clock_parms", "Branch"},
    BoundNode{"units_parms", "Branch"},
    BoundNode{"comm_parms/ethernet/enabled", "Boolean"},
    BoundNode{"comm_parms/ethernet/auto_address", "Boolean"},
    BoundNode{"comm_parms/ethernet/ip_address", "String"},
    BoundNode{"comm_parms/ethernet/net_mask", "String"},
    BoundNode{"comm_parms/ethernet/broadcast", "String"},
    BoundNode{"comm_parms/ethernet/gateway", "String"},
    BoundNode{"comm_parms/ethernet/dns_server", "String"},
    BoundNode{"comm_parms/ethernet/domain", "String"},
    BoundNode{"comm_parms/ethernet/id", "String"},
    BoundNode{"comm_parms/nbns/enabled", "Boolean"},
    BoundNode{"comm_parms/vxi11/enabled", "Boolean"},
    BoundNode{"comm_parms/usbtmc/enabled", "Boolean"},
    BoundNode{"comm_parms/modbus/enabled", "Boolean"},
    BoundNode{"comm_parms/modbus/max_connections", "Int32"},
    BoundNode{"comm_parms/modbus/auth_list", "String"},
    BoundNode{"comm_parms/modbus/use_float32", "Boolean"},
    BoundNode{"measure_parms/search/mode", "String"},
    BoundNode{"measure_parms/search/low", "Float64"},
    BoundNode{"measure_parms/search/high", "Float64"},
    BoundNode{"measure_parms/search/value", "Float64"},
    BoundNode{"measure_parms/search/level", "Float64"},
    BoundNode{"measure_parms/search/fstep", "Float64"},
    BoundNode{"measure_parms/measurement/mode", "String"},
    BoundNode{"measure_parms/measurement/level", "Float64"},
    BoundNode{"measure_parms/measurement/reject", "Boolean"},
    BoundNode{"measure_parms/measurement/bandwidth", "Float64"},
    BoundNode{"measure_parms/measurement/points", "Int32"},
    BoundNode{"measure_parms/measurement/hysteresis", "Int32"},
    BoundNode{"measure_parms/averaging/signal/active", "Boolean"},
    BoundNode{"measure_parms/averaging/signal/count", "Int32"},
    BoundNode{"measure_parms/averaging/signal/type", "String"},
    BoundNode{"measure_parms/averaging/measurement/active", "Boolean"},
    BoundNode{"measure_parms/averaging/measurement/count", "Int32"},
    BoundNode{"measure_parms/averaging/measurement/type", "String"},
    BoundNode{"measure_parms/probe/matching_tuning_mode", "String"},
    BoundNode{"measure_parms/probe/matching", "Float64"},
    BoundNode{"measure_parms/probe/tuning", "Float64"},
    BoundNode{"measure_parms/pulse/mode", "String"},
    BoundNode{"measure_parms/pulse/width", "Float64"},
    BoundNode{"measure_parms/pulse/period", "Float64"},
    BoundNode{"measure_parms/sample/mode", "String"},
    BoundNode{"measure_parms/sample/length", "Float64"},
    BoundNode{"measure_parms/sample/offset", "Float64"},
    BoundNode{"measure_parms/sample/rate", "Float64"},
    BoundNode{"measure_parms/tracking/min_freq", "Float64"},
    BoundNode{"measure_parms/tracking/max_freq", "Float64"},
    BoundNode{"measure_parms/tracking/hysteresis", "Int32"},
    BoundNode{"trigger_parms/trigger_in/source", "String"},
    BoundNode{"trigger_parms/trigger_in/slope", "String"},
    BoundNode{"trigger_parms/trigger_in/count", "Int32"},
    BoundNode{"trigger_parms/trigger_in/continuous", "Boolean"},
    BoundNode{"trigger_parms/trigger_in/timer", "Float64"},
    BoundNode{"trigger_parms/trigger_out/state", "Boolean"},
    BoundNode{"trigger_parms/trigger_out/shape", "String"},
    BoundNode{"trigger_parms/trigger_out/polarity", "String"},
    BoundNode{"trigger_parms/trigger_out/width", "Float64"},
    BoundNode{"trigger_parms/trigger_out/delay", "Float64"},
    BoundNode{"trigger_parms/trigger_out/level", "Float64"},
    BoundNode{"trigger_parms/trigger_out/slope", "String"},
    BoundNode{"ref_clock_parms/mode", "String"},
    BoundNode{"units_parms/selected", "String"},
    BoundNode{"units_parms/ppm_ref", "Float64"},
};
static_assert(kBoundNodes.size() == 140, "134 bound leaves and the six top-level branches");

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

constexpr const char* kInt32Min = "-2147483648";
constexpr const char* kInt32Max = "2147483647";
constexpr const char* kUnitNames = "T,MT,UT,NT,GAUSs,KGAUss,MGAUss,UGAUss,PPM,HZP,KHZP,MAHZP,GHZP,HZ,KHZ,MAHZ,GHZ";

constexpr std::array kFactoryNodes = {
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
    F("unit_conversion/nominal_p_gyro_ratio", "42577478.518", "42577478.518", "42577478.518", "42577478.518",
      "3"),
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

// The attributes each type carries in a file, in the order they are written after the name.
const std::map<std::string, std::vector<std::string>>& WrittenAttributes() {
  static const std::map<std::string, std::vector<std::string>> table = {
      {"Branch", {}},
      {"Boolean", {"value", "default"}},
      {"Pointer", {"value"}},
      {"String", {"value", "default", "choices"}},
      {"Int32", {"value", "minimum", "maximum", "default"}},
      {"Float64", {"value", "minimum", "maximum", "default", "digits"}},
  };
  return table;
}

std::vector<std::pair<std::string, std::string>> ExpectedAttributes(const FactoryNode& node) {
  const std::string name = std::string(node.path.substr(node.path.rfind('/') + 1));
  std::vector<std::pair<std::string, std::string>> attrs{{"name", name}};
  const std::array<std::pair<const char*, const char*>, 6> slots = {{{"value", node.value},
                                                                     {"minimum", node.minimum},
                                                                     {"maximum", node.maximum},
                                                                     {"default", node.fallback},
                                                                     {"choices", node.choices},
                                                                     {"digits", node.digits}}};
  for (const auto& [attr, text] : slots) {
    if (text != nullptr) attrs.emplace_back(attr, text);
  }
  return attrs;
}

std::string Describe(const std::vector<std::pair<std::string, std::string>>& attrs) {
  std::string out;
  for (const auto& [name, text] : attrs) out += " " + name + "=\"" + text + "\"";
  return out;
}

std::vector<std::string> SplitChoices(const std::string& choices) {
  std::vector<std::string> items;
  std::istringstream in(choices);
  std::string item;
  while (std::getline(in, item, ',')) items.push_back(item);
  return items;
}

// Reads the number texts the way the file format defines them, refusing anything else.
std::optional<long long> ParseInt32(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return std::nullopt;
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) return std::nullopt;
  return v;
}

std::optional<double> ParseFloat64(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v)) return std::nullopt;
  return v;
}

class FactoryFile : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const auto text = ReadWholeFile(RomfsImagePath("factory.xml"));
    text_ = text.value_or("");
    loaded_ = text.has_value();
    doc_ = ReadParameterXml(text_);
    for (const auto& element : doc_.elements) {
      if (!element.path.empty()) byPath_.emplace(element.path, &element);
    }
  }

  void SetUp() override {
    ASSERT_TRUE(loaded_) << "missing " << RomfsImagePath("factory.xml");
    ASSERT_EQ(doc_.error, "");
  }

  static const XmlElement* Find(std::string_view path) {
    const auto it = byPath_.find(std::string(path));
    return it == byPath_.end() ? nullptr : it->second;
  }

  static std::string Attr(std::string_view path, const std::string& name) {
    const XmlElement* element = Find(path);
    if (element == nullptr) return "";
    for (const auto& [attr, text] : element->attributes) {
      if (attr == name) return text;
    }
    return "";
  }

  static double Number(std::string_view path, const std::string& name) {
    return ParseFloat64(Attr(path, name)).value_or(std::nan(""));
  }

  static inline std::string text_;
  static inline bool loaded_ = false;
  static inline XmlDocument doc_;
  static inline std::multimap<std::string, const XmlElement*> byPath_;
};

// ---------------------------------------------------------------------------------------------------

TEST_F(FactoryFile, BuiltImageMatchesSource) {
  const auto source = ReadWholeFile(SourcePath("romfs/factory.xml"));
  ASSERT_TRUE(source.has_value());
  EXPECT_EQ(*source, text_) << "the romfs image is stale; the build did not copy factory.xml";
}

// The layout the tree writer produces: no declaration, one element per line without indentation,
// the file ending with the end line of the top Branch; a few whole-line comments are allowed.
TEST_F(FactoryFile, LinesFollowTheWriterLayout) {
  const std::regex branchStart(R"(<Branch name="[^"&<]*">)");
  const std::regex branchEnd(R"(</Branch>)");
  const std::regex leaf(R"(<(Boolean|Pointer|String|Int32|Float64) name="[^"&<]*"( [a-z]+="[^"&<]*")*/>)");
  const std::regex comment(R"(<!-- [^-]*(-[^-]+)* -->)");

  ASSERT_FALSE(text_.empty());
  ASSERT_EQ(text_.back(), '\n');
  std::istringstream in(text_);
  std::string line;
  int lineNo = 0, elementLines = 0, comments = 0;
  std::string last;
  while (std::getline(in, line)) {
    ++lineNo;
    if (std::regex_match(line, comment)) {
      ++comments;
      continue;
    }
    const bool start = std::regex_match(line, branchStart) || std::regex_match(line, leaf);
    EXPECT_TRUE(start || std::regex_match(line, branchEnd)) << "line " << lineNo << ": " << line;
    elementLines += start ? 1 : 0;
    last = line;
  }
  EXPECT_EQ(elementLines, static_cast<int>(doc_.elements.size())) << "one element per line";
  EXPECT_EQ(last, "</Branch>");
  EXPECT_LE(comments, 6) << "keep the comments few";
  EXPECT_NE(text_.rfind("<?xml", 0), 0u) << "the tree files carry no XML declaration";
}

TEST_F(FactoryFile, ElementsCarryExactlyTheAttributesOfTheirType) {
  ASSERT_FALSE(doc_.elements.empty());
  EXPECT_EQ(doc_.elements.front().type, "Branch") << "the top element is a Branch";
  for (const auto& element : doc_.elements) {
    SCOPED_TRACE("line " + std::to_string(element.line) + " " + element.path);
    const auto it = WrittenAttributes().find(element.type);
    ASSERT_NE(it, WrittenAttributes().end()) << "unknown element " << element.type;
    EXPECT_FALSE(element.insideLeaf) << "only a Branch holds children";
    ASSERT_GE(element.attributes.size(), 1u);
    EXPECT_EQ(element.attributes[0].first, "name");
    std::vector<std::string> names;
    for (size_t i = 1; i < element.attributes.size(); ++i) names.push_back(element.attributes[i].first);
    EXPECT_EQ(names, it->second);
  }
}

TEST_F(FactoryFile, PathsAreUnique) {
  std::set<std::string> seen;
  for (const auto& element : doc_.elements) {
    if (element.path.empty()) continue;
    EXPECT_TRUE(seen.insert(element.path).second) << "a second node shadows " << element.path;
  }
}

// Number texts as the writer prints them ("%d", "%.15g", Booleans 0 or 1, Pointers eight zeros), so
// that loading and saving the file changes no byte of a value.
TEST_F(FactoryFile, NumberTextsAreCanonical) {
  for (const auto& element : doc_.elements) {
    SCOPED_TRACE(element.path);
    for (size_t i = 1; i < element.attributes.size(); ++i) {
      const auto& [attr, text] = element.attributes[i];
      char printed[64];
      if (element.type == "Boolean") {
        EXPECT_TRUE(text == "0" || text == "1") << attr << "=" << text;
      } else if (element.type == "Pointer") {
        EXPECT_EQ(text, "00000000");
      } else if (element.type == "Int32") {
        const auto v = ParseInt32(text);
        ASSERT_TRUE(v.has_value()) << attr << "=" << text;
        std::snprintf(printed, sizeof printed, "%d", static_cast<int>(*v));
        EXPECT_EQ(text, printed) << attr;
      } else if (element.type == "Float64") {
        const auto v = ParseFloat64(text);
        ASSERT_TRUE(v.has_value()) << attr << "=" << text;
        std::snprintf(printed, sizeof printed, "%.15g", *v);
        EXPECT_EQ(text, printed) << attr;
      }
    }
  }
}

TEST_F(FactoryFile, EveryBoundNodeIsPresentWithItsType) {
  for (const auto& bound : kBoundNodes) {
    const XmlElement* element = Find(bound.path);
    ASSERT_NE(element, nullptr) << "missing bound node " << bound.path;
    EXPECT_EQ(element->type, bound.type) << bound.path;
  }
}

TEST_F(FactoryFile, LeavesMatchTheTable) {
  std::set<std::string> tabled;
  for (const auto& node : kFactoryNodes) {
    tabled.insert(std::string(node.path));
    const XmlElement* element = Find(node.path);
    ASSERT_NE(element, nullptr) << "missing " << node.path;
    EXPECT_EQ(element->type, node.type) << node.path;
    EXPECT_EQ(Describe(element->attributes), Describe(ExpectedAttributes(node))) << node.path;
  }
  for (const auto& element : doc_.elements) {
    if (element.type != "Branch") {
      EXPECT_TRUE(tabled.count(element.path)) << "untabled leaf " << element.path;
    }
  }
}

// The Branches are exactly the six stored or published top-level branches and the parents of the
// leaves; the peripherals branch starts empty (the topology fills it at run time).
TEST_F(FactoryFile, BranchesAreThoseTheLeavesNeed) {
  std::set<std::string> expected{"peripherals"};
  for (const auto& node : kFactoryNodes) {
    std::string path(node.path);
    for (auto slash = path.rfind('/'); slash != std::string::npos; slash = path.rfind('/')) {
      path.resize(slash);
      expected.insert(path);
    }
  }
  std::set<std::string> actual;
  for (const auto& element : doc_.elements) {
    if (element.type == "Branch" && !element.path.empty()) actual.insert(element.path);
  }
  EXPECT_EQ(actual, expected);
  for (const auto& element : doc_.elements) {
    EXPECT_NE(element.path.rfind("peripherals/", 0), 0u) << element.path;
  }
}

TEST_F(FactoryFile, ValuesAndDefaultsLieWithinLimitsAndChoices) {
  for (const auto& element : doc_.elements) {
    SCOPED_TRACE(element.path);
    if (element.type == "Int32" || element.type == "Float64") {
      const double lo = Number(element.path, "minimum");
      const double hi = Number(element.path, "maximum");
      EXPECT_LE(lo, hi);
      for (const char* attr : {"value", "default"}) {
        const double v = Number(element.path, attr);
        EXPECT_TRUE(lo <= v && v <= hi) << attr << " " << v << " outside [" << lo << ", " << hi << "]";
      }
    }
    if (element.type == "Float64") {
      const auto digits = ParseInt32(Attr(element.path, "digits"));
      ASSERT_TRUE(digits.has_value());
      EXPECT_GE(*digits, 0);
    }
    if (element.type == "String" && !Attr(element.path, "choices").empty()) {
      const auto items = SplitChoices(Attr(element.path, "choices"));
      for (const char* attr : {"value", "default"}) {
        EXPECT_NE(std::find(items.begin(), items.end(), Attr(element.path, attr)), items.end()) << attr;
      }
    }
  }
}

// Relations between nodes that the firmware relies on.
TEST_F(FactoryFile, CrossNodeRelationsHold) {
  // The expected search field lies inside the search window, which bounds it.
  EXPECT_EQ(Number("measure_parms/search/value", "minimum"), Number("measure_parms/search/low", "value"));
  EXPECT_EQ(Number("measure_parms/search/value", "maximum"), Number("measure_parms/search/high", "value"));
  EXPECT_LE(Number("measure_parms/search/low", "value"), Number("measure_parms/search/high", "value"));
  EXPECT_LE(Number("measure_parms/tracking/min_freq", "value"), Number("measure_parms/tracking/max_freq", "value"));

  // One results store: every result array has the capacity of results/flux/size, a trigger count
  // never asks for more, and the largest binary reply still has a six-digit length.
  const double capacity = Number("results/flux/size", "maximum");
  for (const char* node : {"results/sigma/size", "results/uniformity/size", "results/channel/size",
                           "results/timestamp/size"}) {
    EXPECT_EQ(Number(node, "maximum"), capacity) << node;
  }
  EXPECT_LE(Number("trigger_parms/trigger_in/count", "maximum"), capacity);
  EXPECT_LE(capacity * 8, 999999.0);
  EXPECT_LE(Number("trigger_parms/trigger_in/count", "maximum"), 65535.0) << "the sequence uses 16 bits";

  // Intermediate arrays: a delivered length never exceeds the capacity, and a binary reply fits.
  for (const char* array : {"nmr_signal", "fft_buffer", "peak_spectrum", "fit_coeffs"}) {
    const std::string base = std::string("intermediate_results/") + array;
    EXPECT_EQ(Number(base + "/length", "maximum"), Number(base + "/size", "maximum")) << array;
    EXPECT_LE(Number(base + "/size", "maximum") * 4 + 8, 999999.0) << array;
  }

  // The timer wait is a signed 16-bit count of milliseconds, the seconds times 1000 truncated.
  EXPECT_LE(std::trunc(Number("trigger_parms/trigger_in/timer", "maximum") * 1000.0), 32767.0);
  // A zero update interval would make the temperature monitor spin.
  EXPECT_GE(Number("system/temperature/update_interval", "minimum"), 1.0);
  // A PPM reference of zero makes every conversion into PPM fail.
  EXPECT_GT(Number("units_parms/ppm_ref", "minimum"), 0.0);

  // A measurement query measures at once and once, with no expected value.
  EXPECT_EQ(Attr("trigger_parms/trigger_in/source", "default"), "IMMediate");
  EXPECT_EQ(Attr("trigger_parms/trigger_in/continuous", "default"), "0");
  EXPECT_EQ(Number("results/flux/expected_value", "value"), 0.0);

  // An empty host name makes the start-up name the instrument after its serial number.
  EXPECT_EQ(Attr("comm_parms/ethernet/id", "value"), "");
  EXPECT_EQ(Attr("system/versions/parm_file", "value"), "3.4");
}

}  // namespace
