// The firmware's main unit (see TorvexMain.h).
#include "main/TorvexMain.h"

#include "acquisition/CTorvexHostAcquisition.h"
#include "core/CLogger.h"
#include "engine/DoVovuriEngine.h"
#include "host/CTorvexHostParser.h"
#include "host/HostCommonCommands.h"
#include "main/ModuleSwitching.h"
#include "netservices/NetworkConfiguration.h"
#include "peripherals/CTorvexPeripheral.h"
#include "platform/board_state.h"
#include "platform/kernel.h"
#include "settings/SettingsSubsystems.h"
#include "settings/StartupSettings.h"
#include "status/CScpiStatus.h"
#include "status/ScpiStatusBitRows.h"
#include "system/CKeepAliveThread.h"
#include "system/CTorvexPower.h"
#include "system/TorvexFileSystems.h"
#include "system/TorvexFileUtilities.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"
#include "usb/UsbPlugin.h"
#include "vxi11/Vxi11Plugin.h"
#include "vxi11/Vxi11ServerHooks.h"

namespace Torvex {

// Built before main runs (g_Logger is built first of all, see CLogger.cpp).
CKeepAliveThread g_KeepAliveThread;

namespace {

constexpr const char* kDebugLogPath = "/yaffs/user/DebugLog.txt";

// Writes the log ring, oldest first, to the debug log file. A failure does not stop the shut-down.
void SaveDebugLog() {
  char* text = g_Logger.CopyBuffer();
  if (text == nullptr) return;
  TorvexMakeDirectoryPath("/yaffs/user", 0777);  // a new flash has no user folder yet
  TorvexWriteTextFile(kDebugLogPath, text);
  delete[] text;
}

}  // namespace

const char* BootConditionText(std::uint32_t condition) {
  switch (condition) {
    case 0: return "Cold boot";
    case 2: return "Warm boot";
    case 3: return "Warm boot on Factory";
    case 5: return "Warm boot with ignored hard reset";
    default: return "Unknown";
  }
}

int main() {
  // Start-up.
  g_Logger.Printf("Starting main thread; id = %d\n", cyg_thread_get_id(cyg_thread_self()));
  g_KeepAliveThread.Start();
  const std::uint32_t condition = CTorvexPower::GetBootCondition();
  g_Logger.Printf("Boot conditions: %s\n", BootConditionText(condition));
  TorvexMountFileSystems();
  if (condition == 3) TorvexDeleteLastPowerOff();  // a factory request: the factory settings load
  TorvexLoadStartupSettings();
  // The peripherals right after the start-up settings: link, first topology, topology monitor and
  // the probe description file /yaffs/user/probe.xml.
  CTorvexPeripheral::InitCTorvexPeripheral();
  _StartPowerDownMonitor();

  // The acquisition: its thread boots the DSP; a DSP that does not start (or is refused) leaves the
  // firmware running with "measurement not started" set, but an acquisition that then does not
  // come up at all is fatal.
  g_Logger.Printf("Starting the Acquisition module.\n");
  StartAcquisitionModule();
  bool dspVersionAccepted = false;
  bool startupChecksPassed = false;
  const bool dspStarted = WaitForDspStarted(10000, &dspVersionAccepted, &startupChecksPassed);
  g_ScpiStatusTemplate.SetBitRow(kStatusRowMeasurementNotStarted,
                                 !dspStarted || !dspVersionAccepted || !startupChecksPassed, false);
  if (!WaitForAcqStarted(500)) CTorvexPower::Panic();

  // The SCPI parser: one thread for the program messages of every client, published for the host
  // objects. It lives for the whole run.
  g_Logger.Printf("Starting the SCPI parser.\n");
  auto* parser = new CTorvexHostParser();
  g_node_host_if_scpi_parser_object->SetPointerAttribute(eAttrValue, parser);
  g_Logger.Printf("SCPI parser started.\n");

  // The instrument-interface engine, with the VXI-11 and USB transports provided to it. Its result is
  // not examined: the host objects then fail in their own starts.
  g_Logger.Printf("Starting the DO-Vovuri Engine.\n");
  Vxi11ProvidePlugin(Vxi11InstrumentServerHooks());
  UsbProvidePlugin();
  DoVovuriStartEngine();

  // The interface modules follow the tree from here on: USB at once, TCP/IP and the name server when
  // the network configuration has brought the interface up.
  StartStopUsbScpiModule(g_node_comm_parms_usbtmc_enabled, eAttrValue, nullptr);
  g_node_host_if_communication_ethernet_active->SetBooleanAttribute(eAttrValue, false);
  g_node_host_if_communication_nbns_active->SetBooleanAttribute(eAttrValue, false);
  g_node_comm_parms_ethernet_enabled->Subscribe(OnEthernetEnabledChanged, nullptr);
  g_node_host_if_communication_ethernet_active->Subscribe(OnEthernetActiveChanged, nullptr);
  g_node_comm_parms_usbtmc_enabled->Subscribe(StartStopUsbScpiModule, nullptr);
  g_node_comm_parms_vxi11_enabled->Subscribe(StartStopTcpIpScpiModule, nullptr);
  g_node_comm_parms_nbns_enabled->Subscribe(StartStopNbns, nullptr);
  g_node_comm_parms_ethernet_id->Subscribe(StartStopNbns, nullptr);
  g_node_comm_parms_ethernet_domain->Subscribe(StartStopNbns, nullptr);
  // ETHernet:RESTart runs a new pass the same way.
  SetNetworkRestartHook(StartNetworkThread);
  // The network configuration: one pass on its own thread, which sets ethernet_active when the
  // interface is up.
  StartNetworkThread();

  platform::board::SetRunState(platform::board::RunState::kReady);
  const std::int32_t reason = CTorvexPower::WaitForShutdownRequest();
  platform::board::SetRunState(platform::board::RunState::kShuttingDown);

  // Shut-down.
  SaveDebugLog();
  switch (reason) {
    case eShutdownStandard:
    case eShutdownReset:
    case eShutdownFirmwareUpdate:
      // After a recall that asked for this reset, the save keeps the recalled file instead.
      TorvexSaveLastPowerOff(kLastPowerOffPath);
      break;
    case eShutdownLongPush: TorvexDeleteLastPowerOff(); break;
    default: break;
  }
  TorvexUnmountFileSystems();
  // The interface modules stop through their switches: USB, then TCP/IP with the name server. The
  // settings were saved before, so USB starts again at the next power-up when it was on.
  g_node_comm_parms_usbtmc_enabled->SetBooleanAttribute(eAttrValue, false);
  g_node_host_if_communication_ethernet_active->SetBooleanAttribute(eAttrValue, false);

  switch (reason) {
    case eShutdownStandard:
    case eShutdownLongPush: CTorvexPower::PowerAction(ePowerActionOff); break;
    case eShutdownReset: CTorvexPower::PowerAction(ePowerActionReset); break;
    case eShutdownFirmwareUpdate: CTorvexPower::PowerAction(ePowerActionFirmwareUpdate); break;
    default: break;
  }
  CTorvexPower::Panic();
  return 0;
}

}  // namespace Torvex
