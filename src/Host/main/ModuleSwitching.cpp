#include "main/ModuleSwitching.h"

#include <cstdio>
#include <functional>

#include "core/CLogger.h"
#include "core/CRecursiveMutex.h"
#include "engine/DoVovuriEngine.h"
#include "host/CTorvexHost.h"
#include "host/CTorvexHostEthernet.h"
#include "host/CTorvexHostParser.h"
#include "host/CTorvexHostUsb.h"
#include "netservices/NetworkConfiguration.h"
#include "netservices/nbns.h"
#include "status/CScpiStatus.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

namespace Torvex {

namespace {

// The comment the name server announces with the host name.
constexpr const char* kNbnsComment = "Brenvold Torvex";

// USB device options handed to the USB host object: maximum power (in 2 mA units) and the option word.
constexpr std::uint8_t kUsbMaxPower = 50;
constexpr std::uint8_t kUsbOption = 1;

std::uint8_t DefaultNbnsStart(const std::string& host, const std::string& workgroup, const std::string& comment) {
  return nbns_start(host, workgroup, comment);
}
std::uint8_t DefaultNbnsStop() { return nbns_stop(); }
bool DefaultNbnsRunning() { return nbns_running(); }

const ModuleSwitchServices kDefaultServices = {
    DoVovuriStartVxi11Plugin, DoVovuriStopVxi11Plugin, DoVovuriStartUsbPlugin, DoVovuriStopUsbPlugin,
    DefaultNbnsStart,         DefaultNbnsStop,         DefaultNbnsRunning,     StartNetworkThread,
};

const ModuleSwitchServices* g_Services = &kDefaultServices;

// Serialises every evaluation of the three switches (re-entrant: OnEthernetActiveChanged runs two).
CRecursiveMutex& SwitchLock() {
  static CRecursiveMutex lock;
  return lock;
}

bool ReadBoolean(CParameterNode* node) { return node != nullptr && node->GetBooleanAttribute(eAttrValue); }
std::string ReadString(CParameterNode* node) { return node != nullptr ? node->GetStringAttribute(eAttrValue) : ""; }
std::int32_t ReadInt32(CParameterNode* node) { return node != nullptr ? node->GetInt32Attribute(eAttrValue) : 0; }
void* ReadPointer(CParameterNode* node) { return node != nullptr ? node->GetPointerAttribute(eAttrValue) : nullptr; }
void WriteBoolean(CParameterNode* node, bool value) {
  if (node != nullptr) node->SetBooleanAttribute(eAttrValue, value);
}
void WritePointer(CParameterNode* node, void* value) {
  if (node != nullptr) node->SetPointerAttribute(eAttrValue, value);
}

CTorvexHostParser* Parser() { return static_cast<CTorvexHostParser*>(ReadPointer(g_node_host_if_scpi_parser_object)); }

// Runs one evaluation under the switch lock; on the parser thread, after the current program message.
void RunSwitch(void (*evaluate)()) {
  auto locked = [evaluate] {
    SwitchLock().Lock();
    evaluate();
    SwitchLock().Unlock();
  };
  CTorvexHostParser* parser = Parser();
  if (parser != nullptr && parser->OnParserThread()) {
    parser->RunAfterMessage(locked);
    return;
  }
  locked();
}

// Deletes a host object once the parser has let go of it (its queued messages dropped, its message
// finished). The evaluations never run in the middle of a message on the parser thread, so this never
// has to put the deletion off.
void DeleteHostObject(CTorvexHost* host) {
  auto destroy = [host] {
    if (host->Kind() == kHostKindUsb) {
      auto* usb = static_cast<CTorvexHostUsb*>(host);
      usb->Close();
      delete usb;
    } else {
      auto* ethernet = static_cast<CTorvexHostEthernet*>(host);
      ethernet->Close();
      delete ethernet;
    }
  };
  CTorvexHostParser* parser = &host->Parser();
  parser->DestroyClient(host, destroy);
}

void EvaluateTcpIpModule() {
  const bool wanted =
      ReadBoolean(g_node_host_if_communication_ethernet_active) && ReadBoolean(g_node_comm_parms_vxi11_enabled);
  auto* object = static_cast<CTorvexHost*>(ReadPointer(g_node_host_if_communication_vxi11_object));
  if (!wanted && object != nullptr) {
    g_Logger.Printf("Stopping TCP/IP SCPI module.\n");
    // Unpublished first, so no reader of the value finds an object being deleted.
    WritePointer(g_node_host_if_communication_vxi11_object, nullptr);
    DeleteHostObject(object);
    g_Services->stopVxi11Plugin();
  } else if (wanted && object == nullptr) {
    g_Logger.Printf("Starting the TCP/IP SCPI module\n");
    g_Services->startVxi11Plugin();
    CTorvexHost* host = new CTorvexHostEthernet(Parser(), &g_ScpiStatusTemplate);
    WritePointer(g_node_host_if_communication_vxi11_object, host);
  }
}

void EvaluateUsbModule() {
  const bool enabled = ReadBoolean(g_node_comm_parms_usbtmc_enabled);
  auto* object = static_cast<CTorvexHost*>(ReadPointer(g_node_host_if_communication_usbtmc_object));
  if (!enabled && object != nullptr) {
    g_Logger.Printf("Stopping USB SCPI module.\n");
    WritePointer(g_node_host_if_communication_usbtmc_object, nullptr);
    DeleteHostObject(object);
    g_Services->stopUsbPlugin();
  } else if (enabled && object == nullptr) {
    g_Logger.Printf("Starting the USB SCPI module\n");
    g_Services->startUsbPlugin();
    const std::string serial = UsbSerialText(ReadInt32(g_node_system_serial_no));
    const auto vendorId = static_cast<std::uint16_t>(ReadInt32(g_node_system_usb_vendor_id));
    const auto productId = static_cast<std::uint16_t>(ReadInt32(g_node_system_usb_product_id));
    const auto release = static_cast<std::uint16_t>(ReadInt32(g_node_system_usb_version_bcd));
    const std::string manufacturer = ReadString(g_node_system_manufacturer);
    const std::string model = ReadString(g_node_system_model);
    CTorvexHost* host =
        new CTorvexHostUsb(Parser(), &g_ScpiStatusTemplate, vendorId, productId, release, manufacturer.c_str(),
                           model.c_str(), serial.c_str(), nullptr, nullptr, kUsbMaxPower, kUsbOption);
    WritePointer(g_node_host_if_communication_usbtmc_object, host);
  }
}

void EvaluateNbns() {
  // A server whose name was refused keeps running with nbns_active false: stop it all the same, so a
  // server never outlives the interface or the setting that wanted it.
  if (ReadBoolean(g_node_host_if_communication_nbns_active) || g_Services->nbnsRunning()) {
    g_Logger.Printf("Stopping NBNS...\n");
    g_Services->nbnsStop();
    WriteBoolean(g_node_host_if_communication_nbns_active, false);
  }
  if (ReadBoolean(g_node_host_if_communication_ethernet_active) && ReadBoolean(g_node_comm_parms_nbns_enabled)) {
    const std::string host = ReadString(g_node_comm_parms_ethernet_id);
    const std::string workgroup = ReadString(g_node_comm_parms_ethernet_domain);
    g_Logger.Printf("Starting NBNS: host = %s, domain = %s, comment = %s\n", host.c_str(), workgroup.c_str(),
                    kNbnsComment);
    const std::uint8_t status = g_Services->nbnsStart(host, workgroup, kNbnsComment);
    WriteBoolean(g_node_host_if_communication_nbns_active, status == 0);
  }
}

void EvaluateTcpIpModuleAndNbns() {
  EvaluateTcpIpModule();
  EvaluateNbns();
}

}  // namespace

void SetModuleSwitchServices(const ModuleSwitchServices* services) {
  g_Services = services != nullptr ? services : &kDefaultServices;
}

std::string UsbSerialText(std::int32_t serialNumber) {
  char text[16];
  std::snprintf(text, sizeof text, "%07d", serialNumber);
  return text;
}

void OnEthernetEnabledChanged(CParameterNode* node, int kind, void* /*context*/) {
  if (kind != eAttrValue || node != g_node_comm_parms_ethernet_enabled) return;
  g_Services->startNetworkThread();
}

void OnEthernetActiveChanged(CParameterNode* node, int kind, void* /*context*/) {
  if (kind != eAttrValue || node != g_node_host_if_communication_ethernet_active) return;
  RunSwitch(EvaluateTcpIpModuleAndNbns);
}

void StartStopTcpIpScpiModule(CParameterNode* node, int kind, void* /*context*/) {
  if (kind != eAttrValue || node != g_node_comm_parms_vxi11_enabled) return;
  RunSwitch(EvaluateTcpIpModule);
}

void StartStopUsbScpiModule(CParameterNode* node, int kind, void* /*context*/) {
  if (kind != eAttrValue || node != g_node_comm_parms_usbtmc_enabled) return;
  RunSwitch(EvaluateUsbModule);
}

void StartStopNbns(CParameterNode* /*node*/, int /*kind*/, void* /*context*/) { RunSwitch(EvaluateNbns); }

}  // namespace Torvex
