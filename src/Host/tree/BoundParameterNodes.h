// BoundParameterNodes: one global parameter-tree node pointer per tree path that the firmware uses.
//
// The bound paths are written once, in TORVEX_BOUND_PARAMETER_NODES, each with its name and the node
// type its users rely on. From that list come the pointers (g_node_<name>, the name being the path
// with "/" replaced by "_", e.g. g_node_units_parms_ppm_ref), the row names (kBoundNode_<name>) and the
// binding table kBoundParameterNodes. All pointers are null until the start-up settings bind them to
// the nodes of the loaded tree (BindParameterNodes, again after a reload); the tree owns the nodes.
// Tables (the SCPI command attributes among them) hold references to these pointers and read them at
// every use, so a rebinding is seen everywhere. After the binding the pointers are read by every
// thread without a lock of their own; only the binding and the recall of a settings group write them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Torvex {

class CParameterNode;
enum class eNodeType : std::int32_t;

// X(name, path, node type), one row per bound path, in binding order.
// clang-format off
#define TORVEX_BOUND_PARAMETER_NODES(X) \
  /* system */ \
  X(system_manufacturer,                                 "system/manufacturer",                                 String) \
  X(system_model,                                        "system/model",                                        String) \
  X(system_serial_no,                                    "system/serial_no",                                    Int32) \
  X(system_manuf_date,                                   "system/manuf_date",                                   String) \
  X(system_calib_date,                                   "system/calib_date",                                   String) \
  X(system_esa,                                          "system/esa",                                          String) \
  /* system/eeprom */ \
  X(system_eeprom_version,                               "system/eeprom/version",                               String) \
  X(system_eeprom_date_created,                          "system/eeprom/date_created",                          String) \
  X(system_eeprom_time_created,                          "system/eeprom/time_created",                          String) \
  X(system_eeprom_option_bits,                           "system/eeprom/option_bits",                           Int32) \
  /* system/versions */ \
  X(system_versions_hardware,                            "system/versions/hardware",                            String) \
  X(system_versions_arm_firmware,                        "system/versions/arm_firmware",                        String) \
  X(system_versions_dsp_firmware,                        "system/versions/dsp_firmware",                        String) \
  X(system_versions_cpld,                                "system/versions/cpld",                                String) \
  X(system_versions_parm_file,                           "system/versions/parm_file",                           String) \
  /* system/rf */ \
  X(system_rf_min_freq,                                  "system/rf/min_freq",                                  Int32) \
  X(system_rf_max_freq,                                  "system/rf/max_freq",                                  Int32) \
  /* system/acquisition */ \
  X(system_acquisition_short_duration,                   "system/acquisition/short_duration",                   Float64) \
  /* system/usb */ \
  X(system_usb_vendor_id,                                "system/usb/vendor_id",                                Int32) \
  X(system_usb_product_id,                               "system/usb/product_id",                               Int32) \
  X(system_usb_version,                                  "system/usb/version",                                  String) \
  X(system_usb_version_bcd,                              "system/usb/version_bcd",                              Int32) \
  /* system/temperature */ \
  X(system_temperature_current_value,                    "system/temperature/current_value",                    Int32) \
  X(system_temperature_update_interval,                  "system/temperature/update_interval",                  Int32) \
  X(system_temperature_shutdown_limit,                   "system/temperature/shutdown_limit",                   Int32) \
  /* host_if/status */ \
  X(host_if_status_ESE,                                  "host_if/status/ESE",                                  Int32) \
  X(host_if_status_SRE,                                  "host_if/status/SRE",                                  Int32) \
  X(host_if_status_OPER,                                 "host_if/status/OPER",                                 Int32) \
  X(host_if_status_QUES,                                 "host_if/status/QUES",                                 Int32) \
  X(host_if_status_BIT11,                                "host_if/status/BIT11",                                Int32) \
  X(host_if_status_BIT12,                                "host_if/status/BIT12",                                Int32) \
  X(host_if_status_QUESBIT12,                            "host_if/status/QUESBIT12",                            Int32) \
  /* host_if/communication */ \
  X(host_if_communication_ethernet_active,               "host_if/communication/ethernet_active",               Boolean) \
  X(host_if_communication_nbns_active,                   "host_if/communication/nbns_active",                   Boolean) \
  X(host_if_communication_vxi11_object,                  "host_if/communication/vxi11_object",                  Pointer) \
  X(host_if_communication_usbtmc_object,                 "host_if/communication/usbtmc_object",                 Pointer) \
  X(host_if_communication_modbus_object,                 "host_if/communication/modbus_object",                 Pointer) \
  /* host_if/parameters */ \
  X(host_if_parameters_format,                           "host_if/parameters/format",                           String) \
  X(host_if_parameters_lock,                             "host_if/parameters/lock",                             Pointer) \
  /* host_if/scpi_parser */ \
  X(host_if_scpi_parser_object,                          "host_if/scpi_parser/object",                          Pointer) \
  /* current_probe */ \
  X(current_probe_current_channel_list,                  "current_probe/current_channel_list",                  Pointer) \
  X(current_probe_object,                                "current_probe/object",                                Pointer) \
  X(current_probe_nmr_path_broken,                       "current_probe/nmr_path_broken",                       Boolean) \
  /* unit_conversion */ \
  X(unit_conversion_nominal_p_gyro_ratio,                "unit_conversion/nominal_p_gyro_ratio",                Float64) \
  /* ref_clock */ \
  X(ref_clock_external_detected,                         "ref_clock/external_detected",                         Boolean) \
  X(ref_clock_external_locked,                           "ref_clock/external_locked",                           Boolean) \
  /* results/flux */ \
  X(results_flux_size,                                   "results/flux/size",                                   Int32) \
  X(results_flux_digits,                                 "results/flux/digits",                                 Int32) \
  X(results_flux_expected_value,                         "results/flux/expected_value",                         Float64) \
  /* results/sigma */ \
  X(results_sigma_size,                                  "results/sigma/size",                                  Int32) \
  X(results_sigma_digits,                                "results/sigma/digits",                                Int32) \
  /* results/uniformity */ \
  X(results_uniformity_size,                             "results/uniformity/size",                             Int32) \
  X(results_uniformity_digits,                           "results/uniformity/digits",                           Int32) \
  /* results/channel */ \
  X(results_channel_size,                                "results/channel/size",                                Int32) \
  /* results/timestamp */ \
  X(results_timestamp_size,                              "results/timestamp/size",                              Int32) \
  /* intermediate_results/nmr_signal */ \
  X(intermediate_results_nmr_signal_size,                "intermediate_results/nmr_signal/size",                Int32) \
  X(intermediate_results_nmr_signal_length,              "intermediate_results/nmr_signal/length",              Int32) \
  X(intermediate_results_nmr_signal_sample_period,       "intermediate_results/nmr_signal/sample_period",       Float64) \
  /* intermediate_results/fft_buffer */ \
  X(intermediate_results_fft_buffer_size,                "intermediate_results/fft_buffer/size",                Int32) \
  X(intermediate_results_fft_buffer_length,              "intermediate_results/fft_buffer/length",              Int32) \
  X(intermediate_results_fft_buffer_resolution,          "intermediate_results/fft_buffer/resolution",          Float64) \
  X(intermediate_results_fft_buffer_noise_floor,         "intermediate_results/fft_buffer/noise_floor",         Float64) \
  /* intermediate_results/peak_spectrum */ \
  X(intermediate_results_peak_spectrum_size,             "intermediate_results/peak_spectrum/size",             Int32) \
  X(intermediate_results_peak_spectrum_length,           "intermediate_results/peak_spectrum/length",           Int32) \
  X(intermediate_results_peak_spectrum_resolution,       "intermediate_results/peak_spectrum/resolution",       Float64) \
  X(intermediate_results_peak_spectrum_center_frequency, "intermediate_results/peak_spectrum/center_frequency", Float64) \
  /* intermediate_results/fit_coeffs */ \
  X(intermediate_results_fit_coeffs_size,                "intermediate_results/fit_coeffs/size",                Int32) \
  X(intermediate_results_fit_coeffs_length,              "intermediate_results/fit_coeffs/length",              Int32) \
  X(intermediate_results_fit_coeffs_residue,             "intermediate_results/fit_coeffs/residue",             Float64) \
  /* intermediate_results */ \
  X(intermediate_results_if_frequency,                   "intermediate_results/if_frequency",                   Float64) \
  X(intermediate_results_relaxation_time,                "intermediate_results/relaxation_time",                Float64) \
  X(intermediate_results_rf_frequency,                   "intermediate_results/rf_frequency",                   Float64) \
  /* (top-level branches) */ \
  X(peripherals,                                         "peripherals",                                         Branch) \
  X(comm_parms,                                          "comm_parms",                                          Branch) \
  X(measure_parms,                                       "measure_parms",                                       Branch) \
  X(trigger_parms,                                       "trigger_parms",                                       Branch) \
  X(ref_clock_parms,                                     "ref_clock_parms",                                     Branch) \
  X(units_parms,                                         "units_parms",                                         Branch) \
  /* comm_parms/ethernet */ \
  X(comm_parms_ethernet_enabled,                         "comm_parms/ethernet/enabled",                         Boolean) \
  X(comm_parms_ethernet_auto_address,                    "comm_parms/ethernet/auto_address",                    Boolean) \
  X(comm_parms_ethernet_ip_address,                      "comm_parms/ethernet/ip_address",                      String) \
  X(comm_parms_ethernet_net_mask,                        "comm_parms/ethernet/net_mask",                        String) \
  X(comm_parms_ethernet_broadcast,                       "comm_parms/ethernet/broadcast",                       String) \
  X(comm_parms_ethernet_gateway,                         "comm_parms/ethernet/gateway",                         String) \
  X(comm_parms_ethernet_dns_server,                      "comm_parms/ethernet/dns_server",                      String) \
  X(comm_parms_ethernet_domain,                          "comm_parms/ethernet/domain",                          String) \
  X(comm_parms_ethernet_id,                              "comm_parms/ethernet/id",                              String) \
  /* comm_parms/nbns */ \
  X(comm_parms_nbns_enabled,                             "comm_parms/nbns/enabled",                             Boolean) \
  /* comm_parms/vxi11 */ \
  X(comm_parms_vxi11_enabled,                            "comm_parms/vxi11/enabled",                            Boolean) \
  /* comm_parms/usbtmc */ \
  X(comm_parms_usbtmc_enabled,                           "comm_parms/usbtmc/enabled",                           Boolean) \
  /* comm_parms/modbus */ \
  X(comm_parms_modbus_enabled,                           "comm_parms/modbus/enabled",                           Boolean) \
  X(comm_parms_modbus_max_connections,                   "comm_parms/modbus/max_connections",                   Int32) \
  X(comm_parms_modbus_auth_list,                         "comm_parms/modbus/auth_list",                         String) \
  X(comm_parms_modbus_use_float32,                       "comm_parms/modbus/use_float32",                       Boolean) \
  /* measure_parms/search */ \
  X(measure_parms_search_mode,                           "measure_parms/search/mode",                           String) \
  X(measure_parms_search_low,                            "measure_parms/search/low",                            Float64) \
  X(measure_parms_search_high,                           "measure_parms/search/high",                           Float64) \
  X(measure_parms_search_value,                          "measure_parms/search/value",                          Float64) \
  X(measure_parms_search_level,                          "measure_parms/search/level",                          Float64) \
  X(measure_parms_search_fstep,                          "measure_parms/search/fstep",                          Float64) \
  /* measure_parms/measurement */ \
  X(measure_parms_measurement_mode,                      "measure_parms/measurement/mode",                      String) \
  X(measure_parms_measurement_level,                     "measure_parms/measurement/level",                     Float64) \
  X(measure_parms_measurement_reject,                    "measure_parms/measurement/reject",                    Boolean) \
  X(measure_parms_measurement_bandwidth,                 "measure_parms/measurement/bandwidth",                 Float64) \
  X(measure_parms_measurement_points,                    "measure_parms/measurement/points",                    Int32) \
  X(measure_parms_measurement_hysteresis,                "measure_parms/measurement/hysteresis",                Int32) \
  /* measure_parms/averaging/signal */ \
  X(measure_parms_averaging_signal_active,               "measure_parms/averaging/signal/active",               Boolean) \
  X(measure_parms_averaging_signal_count,                "measure_parms/averaging/signal/count",                Int32) \
  X(measure_parms_averaging_signal_type,                 "measure_parms/averaging/signal/type",                 String) \
  /* measure_parms/averaging/measurement */ \
  X(measure_parms_averaging_measurement_active,          "measure_parms/averaging/measurement/active",          Boolean) \
  X(measure_parms_averaging_measurement_count,           "measure_parms/averaging/measurement/count",           Int32) \
  X(measure_parms_averaging_measurement_type,            "measure_parms/averaging/measurement/type",            String) \
  /* measure_parms/probe */ \
  X(measure_parms_probe_matching_tuning_mode,            "measure_parms/probe/matching_tuning_mode",            String) \
  X(measure_parms_probe_matching,                        "measure_parms/probe/matching",                        Float64) \
  X(measure_parms_probe_tuning,                          "measure_parms/probe/tuning",                          Float64) \
  /* measure_parms/pulse */ \
  X(measure_parms_pulse_mode,                            "measure_parms/pulse/mode",                            String) \
  X(measure_parms_pulse_width,                           "measure_parms/pulse/width",                           Float64) \
  X(measure_parms_pulse_period,                          "measure_parms/pulse/period",                          Float64) \
  /* measure_parms/sample */ \
  X(measure_parms_sample_mode,                           "measure_parms/sample/mode",                           String) \
  X(measure_parms_sample_length,                         "measure_parms/sample/length",                         Float64) \
  X(measure_parms_sample_offset,                         "measure_parms/sample/offset",                         Float64) \
  X(measure_parms_sample_rate,                           "measure_parms/sample/rate",                           Float64) \
  /* measure_parms/tracking */ \
  X(measure_parms_tracking_min_freq,                     "measure_parms/tracking/min_freq",                     Float64) \
  X(measure_parms_tracking_max_freq,                     "measure_parms/tracking/max_freq",                     Float64) \
  X(measure_parms_tracking_hysteresis,                   "measure_parms/tracking/hysteresis",                   Int32) \
  /* trigger_parms/trigger_in */ \
  X(trigger_parms_trigger_in_source,                     "trigger_parms/trigger_in/source",                     String) \
  X(trigger_parms_trigger_in_slope,                      "trigger_parms/trigger_in/slope",                      String) \
  X(trigger_parms_trigger_in_count,                      "trigger_parms/trigger_in/count",                      Int32) \
  X(trigger_parms_trigger_in_continuous,                 "trigger_parms/trigger_in/continuous",                 Boolean) \
  X(trigger_parms_trigger_in_timer,                      "trigger_parms/trigger_in/timer",                      Float64) \
  /* trigger_parms/trigger_out */ \
  X(trigger_parms_trigger_out_state,                     "trigger_parms/trigger_out/state",                     Boolean) \
  X(trigger_parms_trigger_out_shape,                     "trigger_parms/trigger_out/shape",                     String) \
  X(trigger_parms_trigger_out_polarity,                  "trigger_parms/trigger_out/polarity",                  String) \
  X(trigger_parms_trigger_out_width,                     "trigger_parms/trigger_out/width",                     Float64) \
  X(trigger_parms_trigger_out_delay,                     "trigger_parms/trigger_out/delay",                     Float64) \
  X(trigger_parms_trigger_out_level,                     "trigger_parms/trigger_out/level",                     Float64) \
  X(trigger_parms_trigger_out_slope,                     "trigger_parms/trigger_out/slope",                     String) \
  /* ref_clock_parms */ \
  X(ref_clock_parms_mode,                                "ref_clock_parms/mode",                                String) \
  /* units_parms */ \
  X(units_parms_selected,                                "units_parms/selected",                                String) \
  X(units_parms_ppm_ref,                                 "units_parms/ppm_ref",                                 Float64)
// clang-format on

// A pointer that is always null: the "no node" entry of tables that refer to bound nodes.
extern CParameterNode* const g_node_none;

// The bound pointers, g_node_<name>.
#define TORVEX_BOUND_NODE_POINTER(name, path, type) extern CParameterNode* g_node_##name;
TORVEX_BOUND_PARAMETER_NODES(TORVEX_BOUND_NODE_POINTER)
#undef TORVEX_BOUND_NODE_POINTER

// The row names; the value of each is its row in kBoundParameterNodes.
enum eBoundParameterNode : std::size_t {
#define TORVEX_BOUND_NODE_NAME(name, path, type) kBoundNode_##name,
  TORVEX_BOUND_PARAMETER_NODES(TORVEX_BOUND_NODE_NAME)
#undef TORVEX_BOUND_NODE_NAME
      kBoundParameterNodeEnd
};

inline constexpr std::size_t kBoundParameterNodeCount = kBoundParameterNodeEnd;
static_assert(kBoundParameterNodeCount == 140, "134 bound leaves and the six top-level branches");

// A bound path with its pointer and the type of node it must name.
struct BoundParameterNode {
  const char* path;
  CParameterNode** node;
  eNodeType type;
};

// The bound paths in binding order: what the binding walks.
extern const BoundParameterNode kBoundParameterNodes[kBoundParameterNodeCount];

// Binds every pointer to the node at its path from `root`, in table order. Returns 0 when every path
// was found, else the first non-zero result of CParameterNode::FindNode (eNoSuchNode when root is
// null); the binding stops there, and the pointers not yet reached keep their previous values.
// Called on main's thread before any other thread reads the pointers.
// With `missing`, the path of the first node not found is stored there.
int BindParameterNodes(CParameterNode* root, const char** missing = nullptr);

// Sets every bound pointer to null (the tree they named is gone).
void UnbindParameterNodes();

}  // namespace Torvex
