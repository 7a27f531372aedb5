// ModuleSwitching: the host-interface modules (the TCP/IP SCPI module over VXI-11, the USB SCPI module)
// and the NetBIOS name server follow the parameter tree.
//
// main subscribes the five callbacks below to the communication settings and the network state; each
// change re-evaluates one module and starts or stops it. A running module is published as a Pointer
// value: host_if/communication/vxi11_object and usbtmc_object hold the host object as a CTorvexHost*
// (the one reference to it), null while the module is off.
//
// Threads: a callback runs on the thread that changed the node (main at start-up and shut-down, the
// network thread when it sets ethernet_active, the parser thread for SCPI commands and settings
// recalls). One re-entrant module-switch lock serialises every evaluation, so two threads never create
// two host objects, delete one twice or run two name servers. On the parser thread the evaluation is
// put off until the current program message is done: a host object is then never deleted under the
// parser, and the parser never waits for the switch lock while the thread that holds it waits for the
// parser to finish a message (which deleting a host object does).
#pragma once

#include <cstdint>
#include <string>

namespace Torvex {

class CParameterNode;

// Any change of comm_parms/ethernet/enabled: one new configuration pass of the network thread.
void OnEthernetEnabledChanged(CParameterNode* node, int kind, void* context);
// host_if/communication/ethernet_active changed: re-evaluates the TCP/IP module, then the name server.
void OnEthernetActiveChanged(CParameterNode* node, int kind, void* context);
// The TCP/IP module runs while comm_parms/vxi11/enabled and ethernet_active are both true.
void StartStopTcpIpScpiModule(CParameterNode* node, int kind, void* context);
// The USB module runs while comm_parms/usbtmc/enabled is true.
void StartStopUsbScpiModule(CParameterNode* node, int kind, void* context);
// Stops a running name server and starts it again when the interface is up and comm_parms/nbns/enabled
// is true (so a new host name or workgroup takes effect at once). Ignores its arguments.
void StartStopNbns(CParameterNode* node, int kind, void* context);

// The services the switches call. The defaults are the engine's plug-in start and stop, the name
// server and the network thread; tests put recorders in their place.
struct ModuleSwitchServices {
  int (*startVxi11Plugin)();
  void (*stopVxi11Plugin)();
  int (*startUsbPlugin)();
  void (*stopUsbPlugin)();
  std::uint8_t (*nbnsStart)(const std::string& host, const std::string& workgroup, const std::string& comment);
  std::uint8_t (*nbnsStop)();
  bool (*nbnsRunning)();
  void (*startNetworkThread)();
};
// Null restores the defaults. Not thread-safe against running switches: set it before they run.
void SetModuleSwitchServices(const ModuleSwitchServices* services);

// The USB serial-number text: the serial number as seven digits ("%07d").
std::string UsbSerialText(std::int32_t serialNumber);

}  // namespace Torvex
