// The bound node pointers: one per documented tree path, named after it, all null before binding.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "tree/BoundParameterNodes.h"

namespace Torvex {
namespace {

// The documented paths, each with the pointer its name gives.
const struct {
  const char* path;
  CParameterNode** node;
} kDocumented[] = {
    {"system/manufacturer", &g_node_system_manufacturer},
    {"system/model", &g_node_system_model},
    {"system/serial_no", &g_node_system_serial_no},
    {"system/manuf_date", &g_node_system_manuf_date},
    {"system/calib_date", &g_node_system_calib_date},
    {"system/esa", &g_node_system_esa},
    {"system/eeprom/version", &g_node_system_eeprom_version},
    {"system/eeprom/date_created", &g_node_system_eeprom_date_created},
    {"system/eeprom/time_created", &g_node_system_eeprom_time_created},
    {"system/eeprom/option_bits", &g_node_system_eeprom_option_bits},
    {"system/versions/hardware", &g_node_system_versions_hardware},
    {"system/versions/arm_firmware", &g_node_system_versions_arm_firmware},
    {"system/versions/dsp_firmware", &g_node_system_versions_dsp_firmware},
    {"system/versions/cpld", &g_node_system_versions_cpld},
    {"system/versions/parm_file", &g_node_system_versions_parm_file},
    {"system/rf/min_freq", &g_node_system_rf_min_freq},
    {"system/rf/max_freq", &g_node_system_rf_max_freq},
    {"system/acquisition/short_duration", &g_node_system_acquisition_short_duration},
    {"system/usb/vendor_id", &g_node_system_usb_vendor_id},
    {"system/usb/product_id", &g_node_system_usb_product_id},
    {"system/usb/version", &g_node_system_usb_version},
    {"system/usb/version_bcd", &g_node_system_usb_version_bcd},
    {"system/temperature/current_value", &g_node_system_temperature_current_value},
    {"system/temperature/update_interval", &g_node_system_temperature_update_interval},
    {"system/temperature/shutdown_limit", &g_node_system_temperature_shutdown_limit},
    {"host_if/status/ESE", &g_node_host_if_status_ESE},
    {"host_if/status/SRE", &g_node_host_if_status_SRE},
    {"host_if/status/OPER", &g_node_host_if_status_OPER},
    {"host_if/status/QUES", &g_node_host_if_status_QUES},
    {"host_if/status/BIT11", &g_node_host_if_status_BIT11},
    {"host_if/status/BIT12", &g_node_host_if_status_BIT12},
    {"host_if/status/QUESBIT12", &g_node_host_if_status_QUESBIT12},
    {"host_if/communication/ethernet_active", &g_node_host_if_communication_ethernet_active},
    {"host_if/communication/nbns_active", &g_node_host_if_communication_nbns_active},
    {"host_if/communication/vxi11_object", &g_node_host_if_communication_vxi11_object},
    {"host_if/communication/usbtmc_object", &g_node_host_if_communication_usbtmc_object},
    {"host_if/communication/modbus_object", &g_node_host_if_communication_modbus_object},
    {"host_if/parameters/format", &g_node_host_if_parameters_format},
    {"host_if/parameters/lock", &g_node_host_if_parameters_lock},
    {"host_if/scpi_parser/object", &g_node_host_if_scpi_parser_object},
    {"current_probe/current_channel_list", &g_node_current_probe_current_channel_list},
    {"current_probe/object", &g_node_current_probe_object},
    {"current_probe/nmr_path_broken", &g_node_current_probe_nmr_path_broken},
    {"unit_conversion/nominal_p_gyro_ratio", &g_node_unit_conversion_nominal_p_gyro_ratio},
    {"ref_clock/external_detected", &g_node_ref_clock_external_detected},
    {"ref_clock/external_locked", &g_node_ref_clock_external_locked},
    {"results/flux/size", &g_node_results_flux_size},
    {"results/flux/digits", &g_node_results_flux_digits},
    {"results/flux/expected_value", &g_node_results_flux_expected_value},
    {"results/sigma/size", &g_node_results_sigma_size},
    {"results/sigma/digits", &g_node_results_sigma_digits},
    {"results/uniformity/size", &g_node_results_uniformity_size},
    {"results/uniformity/digits", &g_node_results_uniformity_digits},
    {"results/channel/size", &g_node_results_channel_size},
    {"results/timestamp/size", &g_node_results_timestamp_size},
    {"intermediate_results/nmr_signal/size", &g_node_intermediate_results_nmr_signal_size},
    {"intermediate_results/nmr_signal/length", &g_node_intermediate_results_nmr_signal_length},
    {"intermediate_results/nmr_signal/sample_period", &g_node_intermediate_results_nmr_signal_sample_period},
    {"intermediate_results/fft_buffer/size", &g_node_intermediate_results_fft_buffer_size},
    {"intermediate_results/fft_buffer/length", &g_node_intermediate_results_fft_buffer_length},
    {"intermediate_results/fft_buffer/resolution", &g_node_intermediate_results_fft_buffer_resolution},
    {"intermediate_results/fft_buffer/noise_floor", &g_node_intermediate_results_fft_buffer_noise_floor},
    {"intermediate_results/peak_spectrum/size", &g_node_intermediate_results_peak_spectrum_size},
    {"intermediate_results/peak_spectrum/length", &g_node_intermediate_results_peak_spectrum_length},
    {"intermediate_results/peak_spectrum/resolution", &g_node_intermediate_results_peak_spectrum_resolution},
    {"intermediate_results/peak_spectrum/center_frequency", &g_node_intermediate_results_peak_spectrum_center_frequency},
    {"intermediate_results/fit_coeffs/size", &g_node_intermediate_results_fit_coeffs_size},
    {"intermediate_results/fit_coeffs/length", &g_node_intermediate_results_fit_coeffs_length},
    {"intermediate_results/fit_coeffs/residue", &g_node_intermediate_results_fit_coeffs_residue},
    {"intermediate_results/if_frequency", &g_node_intermediate_results_if_frequency},
    {"intermediate_results/relaxation_time", &g_node_intermediate_results_relaxation_time},
    {"intermediate_results/rf_frequency", &g_node_intermediate_results_rf_frequency},
    {"peripherals", &g_node_peripherals},
    {"comm_parms", &g_node_comm_parms},
    {"measure_parms", &g_node_measure_parms},
    {"trigger_parms", &g_node_trigger_parms},
    {"ref_clock_parms", &g_node_ref_clock_parms},
    {"units_parms", &g_node_units_parms},
    {"comm_parms/ethernet/enabled", &g_node_comm_parms_ethernet_enabled},
    {"comm_parms/ethernet/auto_address", &g_node_comm_parms_ethernet_auto_address},
    {"comm_parms/ethernet/ip_address", &g_node_comm_parms_ethernet_ip_address},
    {"comm_parms/ethernet/net_mask", &g_node_comm_parms_ethernet_net_mask},
    {"comm_parms/ethernet/broadcast", &g_node_comm_parms_ethernet_broadcast},
    {"comm_parms/ethernet/gateway", &g_node_comm_parms_ethernet_gateway},
    {"comm_parms/ethernet/dns_server", &g_node_comm_parms_ethernet_dns_server},
    {"comm_parms/ethernet/domain", &g_node_comm_parms_ethernet_domain},
    {"comm_parms/ethernet/id", &g_node_comm_parms_ethernet_id},
    {"comm_parms/nbns/enabled", &g_node_comm_parms_nbns_enabled},
    {"comm_parms/vxi11/enabled", &g_node_comm_parms_vxi11_enabled},
    {"comm_parms/usbtmc/enabled", &g_node_comm_parms_usbtmc_enabled},
    {"comm_parms/modbus/enabled", &g_node_comm_parms_modbus_enabled},
    {"comm_parms/modbus/max_connections", &g_node_comm_parms_modbus_max_connections},
    {"comm_parms/modbus/auth_list", &g_node_comm_parms_modbus_auth_list},
    {"comm_parms/modbus/use_float32", &g_node_comm_parms_modbus_use_float32},
    {"measure_parms/search/mode", &g_node_measure_parms_search_mode},
    {"measure_parms/search/low", &g_node_measure_parms_search_low},
    {"measure_parms/search/high", &g_node_measure_parms_search_high},
    {"measure_parms/search/value", &g_node_measure_parms_search_value},
    {"measure_parms/search/level", &g_node_measure_parms_search_level},
    {"measure_parms/search/fstep", &g_node_measure_parms_search_fstep},
    {"measure_parms/measurement/mode", &g_node_measure_parms_measurement_mode},
    {"measure_parms/measurement/level", &g_node_measure_parms_measurement_level},
    {"measure_parms/measurement/reject", &g_node_measure_parms_measurement_reject},
    {"measure_parms/measurement/bandwidth", &g_node_measure_parms_measurement_bandwidth},
    {"measure_parms/measurement/points", &g_node_measure_parms_measurement_points},
    {"measure_parms/measurement/hysteresis", &g_node_measure_parms_measurement_hysteresis},
    {"measure_parms/averaging/signal/active", &g_node_measure_parms_averaging_signal_active},
    {"measure_parms/averaging/signal/count", &g_node_measure_parms_averaging_signal_count},
    {"measure_parms/averaging/signal/type", &g_node_measure_parms_averaging_signal_type},
    {"measure_parms/averaging/measurement/active", &g_node_measure_parms_averaging_measurement_active},
    {"measure_parms/averaging/measurement/count", &g_node_measure_parms_averaging_measurement_count},
    {"measure_parms/averaging/measurement/type", &g_node_measure_parms_averaging_measurement_type},
    {"measure_parms/probe/matching_tuning_mode", &g_node_measure_parms_probe_matching_tuning_mode},
    {"measure_parms/probe/matching", &g_node_measure_parms_probe_matching},
    {"measure_parms/probe/tuning", &g_node_measure_parms_probe_tuning},
    {"measure_parms/pulse/mode", &g_node_measure_parms_pulse_mode},
    {"measure_parms/pulse/width", &g_node_measure_parms_pulse_width},
    {"measure_parms/pulse/period", &g_node_measure_parms_pulse_period},
    {"measure_parms/sample/mode", &g_node_measure_parms_sample_mode},
    {"measure_parms/sample/length", &g_node_measure_parms_sample_length},
    {"measure_parms/sample/offset", &g_node_measure_parms_sample_offset},
    {"measure_parms/sample/rate", &g_node_measure_parms_sample_rate},
    {"measure_parms/tracking/min_freq", &g_node_measure_parms_tracking_min_freq},
    {"measure_parms/tracking/max_freq", &g_node_measure_parms_tracking_max_freq},
    {"measure_parms/tracking/hysteresis", &g_node_measure_parms_tracking_hysteresis},
    {"trigger_parms/trigger_in/source", &g_node_trigger_parms_trigger_in_source},
    {"trigger_parms/trigger_in/slope", &g_node_trigger_parms_trigger_in_slope},
    {"trigger_parms/trigger_in/count", &g_node_trigger_parms_trigger_in_count},
    {"trigger_parms/trigger_in/continuous", &g_node_trigger_parms_trigger_in_continuous},
    {"trigger_parms/trigger_in/timer", &g_node_trigger_parms_trigger_in_timer},
    {"trigger_parms/trigger_out/state", &g_node_trigger_parms_trigger_out_state},
    {"trigger_parms/trigger_out/shape", &g_node_trigger_parms_trigger_out_shape},
    {"trigger_parms/trigger_out/polarity", &g_node_trigger_parms_trigger_out_polarity},
    {"trigger_parms/trigger_out/width", &g_node_trigger_parms_trigger_out_width},
    {"trigger_parms/trigger_out/delay", &g_node_trigger_parms_trigger_out_delay},
    {"trigger_parms/trigger_out/level", &g_node_trigger_parms_trigger_out_level},
    {"trigger_parms/trigger_out/slope", &g_node_trigger_parms_trigger_out_slope},
    {"ref_clock_parms/mode", &g_node_ref_clock_parms_mode},
    {"units_parms/selected", &g_node_units_parms_selected},
    {"units_parms/ppm_ref", &g_node_units_parms_ppm_ref},
};

TEST(BoundParameterNodes, OnePointerPerDocumentedPathInBindingOrder) {
  ASSERT_EQ(std::size(kDocumented), 140u);
  ASSERT_EQ(kBoundParameterNodeCount, 140u);
  for (std::size_t i = 0; i < kBoundParameterNodeCount; ++i) {
    EXPECT_STREQ(kBoundParameterNodes[i].path, kDocumented[i].path);
    EXPECT_EQ(kBoundParameterNodes[i].node, kDocumented[i].node) << kDocumented[i].path;
  }
}

TEST(BoundParameterNodes, DistinctPointersAllNullBeforeBinding) {
  std::set<CParameterNode**> pointers;
  std::set<std::string> paths;
  for (std::size_t i = 0; i < kBoundParameterNodeCount; ++i) {
    pointers.insert(kBoundParameterNodes[i].node);
    paths.insert(kBoundParameterNodes[i].path);
    EXPECT_EQ(*kBoundParameterNodes[i].node, nullptr) << kBoundParameterNodes[i].path;
  }
  EXPECT_EQ(pointers.size(), 140u);
  EXPECT_EQ(paths.size(), 140u);
  EXPECT_EQ(g_node_none, nullptr);
}

}  // namespace
}  // namespace Torvex
