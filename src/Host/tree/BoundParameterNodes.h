// BoundParameterNodes: one global parameter-tree node pointer per tree path that the firmware uses.
//
// Each pointer is named after its path (g_node_ + the path with "/" replaced by "_"). All are null
// until the start-up settings bind them to the nodes of the loaded tree (again after a reload); the
// tree owns the nodes. Tables (the SCPI command attributes among them) hold references to these
// pointers and read them at every use, so a rebinding is seen everywhere. After the binding the
// pointers are read by every thread without a lock of their own; only the binding and the recall of a
// settings group write them.
#pragma once

#include <cstddef>

namespace Torvex {

class CParameterNode;

// A pointer that is always null: the "no node" entry of tables that refer to bound nodes.
extern CParameterNode* const g_node_none;

// system
extern CParameterNode* g_node_system_manufacturer;
extern CParameterNode* g_node_system_model;
extern CParameterNode* g_node_system_serial_no;
extern CParameterNode* g_node_system_manuf_date;
extern CParameterNode* g_node_system_calib_date;
extern CParameterNode* g_node_system_esa;

// system/eeprom
extern CParameterNode* g_node_system_eeprom_version;
extern CParameterNode* g_node_system_eeprom_date_created;
extern CParameterNode* g_node_system_eeprom_time_created;
extern CParameterNode* g_node_system_eeprom_option_bits;

// system/versions
extern CParameterNode* g_node_system_versions_hardware;
extern CParameterNode* g_node_system_versions_arm_firmware;
extern CParameterNode* g_node_system_versions_dsp_firmware;
extern CParameterNode* g_node_system_versions_cpld;
extern CParameterNode* g_node_system_versions_parm_file;

// system/rf
extern CParameterNode* g_node_system_rf_min_freq;
extern CParameterNode* g_node_system_rf_max_freq;

// system/acquisition
extern CParameterNode* g_node_system_acquisition_short_duration;

// system/usb
extern CParameterNode* g_node_system_usb_vendor_id;
extern CParameterNode* g_node_system_usb_product_id;
extern CParameterNode* g_node_system_usb_version;
extern CParameterNode* g_node_system_usb_version_bcd;

// system/temperature
extern CParameterNode* g_node_system_temperature_current_value;
extern CParameterNode* g_node_system_temperature_update_interval;
extern CParameterNode* g_node_system_temperature_shutdown_limit;

// host_if/status
extern CParameterNode* g_node_host_if_status_ESE;
extern CParameterNode* g_node_host_if_status_SRE;
extern CParameterNode* g_node_host_if_status_OPER;
extern CParameterNode* g_node_host_if_status_QUES;
extern CParameterNode* g_node_host_if_status_BIT11;
extern CParameterNode* g_node_host_if_status_BIT12;
extern CParameterNode* g_node_host_if_status_QUESBIT12;

// host_if/communication
extern CParameterNode* g_node_host_if_communication_ethernet_active;
extern CParameterNode* g_node_host_if_communication_nbns_active;
extern CParameterNode* g_node_host_if_communication_vxi11_object;
extern CParameterNode* g_node_host_if_communication_usbtmc_object;
extern CParameterNode* g_node_host_if_communication_modbus_object;

// host_if/parameters
extern CParameterNode* g_node_host_if_parameters_format;
extern CParameterNode* g_node_host_if_parameters_lock;

// host_if/scpi_parser
extern CParameterNode* g_node_host_if_scpi_parser_object;

// current_probe
extern CParameterNode* g_node_current_probe_current_channel_list;
extern CParameterNode* g_node_current_probe_object;
extern CParameterNode* g_node_current_probe_nmr_path_broken;

// unit_conversion
extern CParameterNode* g_node_unit_conversion_nominal_p_gyro_ratio;

// ref_clock
extern CParameterNode* g_node_ref_clock_external_detected;
extern CParameterNode* g_node_ref_clock_external_locked;

// results/flux
extern CParameterNode* g_node_results_flux_size;
extern CParameterNode* g_node_results_flux_digits;
extern CParameterNode* g_node_results_flux_expected_value;

// results/sigma
extern CParameterNode* g_node_results_sigma_size;
extern CParameterNode* g_node_results_sigma_digits;

// results/uniformity
extern CParameterNode* g_node_results_uniformity_size;
extern CParameterNode* g_node_results_uniformity_digits;

// results/channel
extern CParameterNode* g_node_results_channel_size;

// results/timestamp
extern CParameterNode* g_node_results_timestamp_size;

// intermediate_results/nmr_signal
extern CParameterNode* g_node_intermediate_results_nmr_signal_size;
extern CParameterNode* g_node_intermediate_results_nmr_signal_length;
extern CParameterNode* g_node_intermediate_results_nmr_signal_sample_period;

// intermediate_results/fft_buffer
extern CParameterNode* g_node_intermediate_results_fft_buffer_size;
extern CParameterNode* g_node_intermediate_results_fft_buffer_length;
extern CParameterNode* g_node_intermediate_results_fft_buffer_resolution;
extern CParameterNode* g_node_intermediate_results_fft_buffer_noise_floor;

// intermediate_results/peak_spectrum
extern CParameterNode* g_node_intermediate_results_peak_spectrum_size;
extern CParameterNode* g_node_intermediate_results_peak_spectrum_length;
extern CParameterNode* g_node_intermediate_results_peak_spectrum_resolution;
extern CParameterNode* g_node_intermediate_results_peak_spectrum_center_frequency;

// intermediate_results/fit_coeffs
extern CParameterNode* g_node_intermediate_results_fit_coeffs_size;
extern CParameterNode* g_node_intermediate_results_fit_coeffs_length;
extern CParameterNode* g_node_intermediate_results_fit_coeffs_residue;

// intermediate_results
extern CParameterNode* g_node_intermediate_results_if_frequency;
extern CParameterNode* g_node_intermediate_results_relaxation_time;
extern CParameterNode* g_node_intermediate_results_rf_frequency;

// (top-level branches)
extern CParameterNode* g_node_peripherals;
extern CParameterNode* g_node_comm_parms;
extern CParameterNode* g_node_measure_parms;
extern CParameterNode* g_node_trigger_parms;
extern CParameterNode* g_node_ref_clock_parms;
extern CParameterNode* g_node_units_parms;

// comm_parms/ethernet
extern CParameterNode* g_node_comm_parms_ethernet_enabled;
extern CParameterNode* g_node_comm_parms_ethernet_auto_address;
extern CParameterNode* g_node_comm_parms_ethernet_ip_address;
extern CParameterNode* g_node_comm_parms_ethernet_net_mask;
extern CParameterNode* g_node_comm_parms_ethernet_broadcast;
extern CParameterNode* g_node_comm_parms_ethernet_gateway;
extern CParameterNode* g_node_comm_parms_ethernet_dns_server;
extern CParameterNode* g_node_comm_parms_ethernet_domain;
extern CParameterNode* g_node_comm_parms_ethernet_id;

// comm_parms/nbns
extern CParameterNode* g_node_comm_parms_nbns_enabled;

// comm_parms/vxi11
extern CParameterNode* g_node_comm_parms_vxi11_enabled;

// comm_parms/usbtmc
extern CParameterNode* g_node_comm_parms_usbtmc_enabled;

// comm_parms/modbus
extern CParameterNode* g_node_comm_parms_modbus_enabled;
extern CParameterNode* g_node_comm_parms_modbus_max_connections;
extern CParameterNode* g_node_comm_parms_modbus_auth_list;
extern CParameterNode* g_node_comm_parms_modbus_use_float32;

// measure_parms/search
extern CParameterNode* g_node_measure_parms_search_mode;
extern CParameterNode* g_node_measure_parms_search_low;
extern CParameterNode* g_node_measure_parms_search_high;
extern CParameterNode* g_node_measure_parms_search_value;
extern CParameterNode* g_node_measure_parms_search_level;
extern CParameterNode* g_node_measure_parms_search_fstep;

// measure_parms/measurement
extern CParameterNode* g_node_measure_parms_measurement_mode;
extern CParameterNode* g_node_measure_parms_measurement_level;
extern CParameterNode* g_node_measure_parms_measurement_reject;
extern CParameterNode* g_node_measure_parms_measurement_bandwidth;
extern CParameterNode* g_node_measure_parms_measurement_points;
extern CParameterNode* g_node_measure_parms_measurement_hysteresis;

// measure_parms/averaging/signal
extern CParameterNode* g_node_measure_parms_averaging_signal_active;
extern CParameterNode* g_node_measure_parms_averaging_signal_count;
extern CParameterNode* g_node_measure_parms_averaging_signal_type;

// measure_parms/averaging/measurement
extern CParameterNode* g_node_measure_parms_averaging_measurement_active;
extern CParameterNode* g_node_measure_parms_averaging_measurement_count;
extern CParameterNode* g_node_measure_parms_averaging_measurement_type;

// measure_parms/probe
extern CParameterNode* g_node_measure_parms_probe_matching_tuning_mode;
extern CParameterNode* g_node_measure_parms_probe_matching;
extern CParameterNode* g_node_measure_parms_probe_tuning;

// measure_parms/pulse
extern CParameterNode* g_node_measure_parms_pulse_mode;
extern CParameterNode* g_node_measure_parms_pulse_width;
extern CParameterNode* g_node_measure_parms_pulse_period;

// measure_parms/sample
extern CParameterNode* g_node_measure_parms_sample_mode;
extern CParameterNode* g_node_measure_parms_sample_length;
extern CParameterNode* g_node_measure_parms_sample_offset;
extern CParameterNode* g_node_measure_parms_sample_rate;

// measure_parms/tracking
extern CParameterNode* g_node_measure_parms_tracking_min_freq;
extern CParameterNode* g_node_measure_parms_tracking_max_freq;
extern CParameterNode* g_node_measure_parms_tracking_hysteresis;

// trigger_parms/trigger_in
extern CParameterNode* g_node_trigger_parms_trigger_in_source;
extern CParameterNode* g_node_trigger_parms_trigger_in_slope;
extern CParameterNode* g_node_trigger_parms_trigger_in_count;
extern CParameterNode* g_node_trigger_parms_trigger_in_continuous;
extern CParameterNode* g_node_trigger_parms_trigger_in_timer;

// trigger_parms/trigger_out
extern CParameterNode* g_node_trigger_parms_trigger_out_state;
extern CParameterNode* g_node_trigger_parms_trigger_out_shape;
extern CParameterNode* g_node_trigger_parms_trigger_out_polarity;
extern CParameterNode* g_node_trigger_parms_trigger_out_width;
extern CParameterNode* g_node_trigger_parms_trigger_out_delay;
extern CParameterNode* g_node_trigger_parms_trigger_out_level;
extern CParameterNode* g_node_trigger_parms_trigger_out_slope;

// ref_clock_parms
extern CParameterNode* g_node_ref_clock_parms_mode;

// units_parms
extern CParameterNode* g_node_units_parms_selected;
extern CParameterNode* g_node_units_parms_ppm_ref;

// The bound paths with their pointers, in binding order: what the binding walks.
struct BoundParameterNode {
  const char* path;
  CParameterNode** node;
};

inline constexpr std::size_t kBoundParameterNodeCount = 140;
extern const BoundParameterNode kBoundParameterNodes[];

}  // namespace Torvex
