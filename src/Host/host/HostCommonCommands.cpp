// The handlers of the common, status and system commands (HostCommandHandlers.h): the 488.2 common
// commands, the STATus registers of the client, the error queue, the help queries on the help file,
// the instrument lock, the communication settings that need more than a node write, the
// firmware-upgrade entry and the unit list. Every command runs on the parser thread for one client.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "acquisition/CIntermediateResults.h"
#include "acquisition/CResultsStore.h"
#include "acquisition/CTorvexHostAcquisition.h"
#include "core/CLogger.h"
#include "core/CRecursiveMutex.h"
#include "host/CTorvexHost.h"
#include "host/CTorvexHostParser.h"
#include "host/HostCommandHandlers.h"
#include "host/HostCommonCommands.h"
#include "host/ResponseFormatting.h"
#include "peripherals/UnitConversion.h"
#include "platform/io.h"
#include "scpi/scpi_command_table.h"
#include "scpi/scpi_engine.h"
#include "settings/SettingsSubsystems.h"
#include "status/CScpiStatus.h"
#include "system/CTorvexPower.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

namespace Torvex {
namespace {

// What a STATus command does with its register.
enum class eStatusOp { Event, Condition, EnableQuery, Enable, NegativeQuery, Negative, PositiveQuery, Positive };

constexpr std::size_t kStatusOpCount = 8;

constexpr eStatusOp kStatusOps[kStatusOpCount] = {
    eStatusOp::Event,         eStatusOp::Condition, eStatusOp::EnableQuery,   eStatusOp::Enable,
    eStatusOp::NegativeQuery, eStatusOp::Negative,  eStatusOp::PositiveQuery, eStatusOp::Positive};

// The STATus commands of each register, in the order of kStatusOps.
struct StatusRegisterCommands {
  eScpiStatusRegister reg;
  eScpiCommand commands[kStatusOpCount];
};

constexpr StatusRegisterCommands kStatusCommands[] = {
    {kOperationRegister,
     {kCmdOperationEventQuery, kCmdOperationConditionQuery, kCmdOperationEnableQuery, kCmdOperationEnable,
      kCmdOperationNegativeQuery, kCmdOperationNegative, kCmdOperationPositiveQuery, kCmdOperationPositive}},
    {kQuestionableRegister,
     {kCmdQuestionableEventQuery, kCmdQuestionableConditionQuery, kCmdQuestionableEnableQuery, kCmdQuestionableEnable,
      kCmdQuestionableNegativeQuery, kCmdQuestionableNegative, kCmdQuestionablePositiveQuery,
      kCmdQuestionablePositive}},
    {kOperationBit11Register,
     {kCmdOperationBit11EventQuery, kCmdOperationBit11ConditionQuery, kCmdOperationBit11EnableQuery,
      kCmdOperationBit11Enable, kCmdOperationBit11NegativeQuery, kCmdOperationBit11Negative,
      kCmdOperationBit11PositiveQuery, kCmdOperationBit11Positive}},
    {kOperationBit12Register,
     {kCmdOperationBit12EventQuery, kCmdOperationBit12ConditionQuery, kCmdOperationBit12EnableQuery,
      kCmdOperationBit12Enable, kCmdOperationBit12NegativeQuery, kCmdOperationBit12Negative,
      kCmdOperationBit12PositiveQuery, kCmdOperationBit12Positive}},
    {kQuestionableBit12Register,
     {kCmdQuestionableBit12EventQuery, kCmdQuestionableBit12ConditionQuery, kCmdQuestionableBit12EnableQuery,
      kCmdQuestionableBit12Enable, kCmdQuestionableBit12NegativeQuery, kCmdQuestionableBit12Negative,
      kCmdQuestionableBit12PositiveQuery, kCmdQuestionableBit12Positive}},
};

// Every row whose handler is RunStatusRegister is listed above, once.
constexpr bool StatusCommandsAreTheRowsOfRunStatusRegister() {
  std::size_t listed = 0;
  for (const StatusRegisterCommands& reg : kStatusCommands) {
    for (eScpiCommand command : reg.commands) {
      if (!command_rows::HandledBy(command, "RunStatusRegister")) return false;
      ++listed;
    }
  }
  return listed == command_rows::RowsHandledBy("RunStatusRegister");
}
static_assert(StatusCommandsAreTheRowsOfRunStatusRegister(), "kStatusCommands lists the STATus register rows");

// The node whose minimum, maximum and default bound the values written to a register.
CParameterNode* RegisterNode(std::uint32_t reg) {
  switch (reg) {
    case kStatusByteRegister: return g_node_host_if_status_SRE;
    case kStandardEventRegister: return g_node_host_if_status_ESE;
    case kOperationRegister: return g_node_host_if_status_OPER;
    case kQuestionableRegister: return g_node_host_if_status_QUES;
    case kQuestionableBit12Register: return g_node_host_if_status_QUESBIT12;
    case kOperationBit11Register: return g_node_host_if_status_BIT11;
    case kOperationBit12Register: return g_node_host_if_status_BIT12;
    default: return nullptr;
  }
}

void AppendUnsigned(ScpiParsedCommand& command, unsigned value) {
  AppendResponse(command, FormatText("%u", value), true);
}

// Reads a Pointer node's value under the tree lock; null without a node.
void* ReadPointerNode(CParameterNode* node) {
  if (node == nullptr) return nullptr;
  CRecursiveLockGuard guard(g_ParameterTreeLock);
  return node->GetPointerAttribute(eAttrValue);
}

// Writes a Pointer node's value; the node tells its subscribers after releasing the tree lock.
void WritePointerNode(CParameterNode* node, void* value) {
  if (node != nullptr) node->SetPointerAttribute(eAttrValue, value);
}

void RunStatusOp(ScpiParsedCommand& command, CScpiStatus& status, std::uint32_t reg, eStatusOp op) {
  std::uint16_t value = 0;
  switch (op) {
    case eStatusOp::Event:
      status.GetEvent(reg, value);
      status.ClearEvent(reg);
      AppendUnsigned(command, value);
      return;
    case eStatusOp::Condition:
      status.GetCondition(reg, value);
      AppendUnsigned(command, value);
      return;
    case eStatusOp::EnableQuery:
      status.GetEnable(reg, value);
      AppendUnsigned(command, value);
      return;
    case eStatusOp::NegativeQuery:
      status.GetNegativeTransitionFilter(reg, value);
      AppendUnsigned(command, value);
      return;
    case eStatusOp::PositiveQuery:
      status.GetPositiveTransitionFilter(reg, value);
      AppendUnsigned(command, value);
      return;
    case eStatusOp::Enable:
    case eStatusOp::Negative:
    case eStatusOp::Positive: break;
  }
  const std::int32_t requested = CTorvexHostParser::GetIntegerParameter(command, 0, RegisterNode(reg));
  if (command.errorCode != 0) return;  // out of the node's range: the register stays as it was
  value = static_cast<std::uint16_t>(requested);
  if (op == eStatusOp::Enable) {
    status.SetEnable(reg, value, true);
  } else if (op == eStatusOp::Negative) {
    status.SetNegativeTransitionFilter(reg, value);
  } else {
    status.SetPositiveTransitionFilter(reg, value);
  }
  const std::uint8_t row = kScpiCommandAttributes[command.commandNumber].statusRow;
  if (row != kStatusRowNone) status.SetBitRow(row, true, true);
}

// *ESE and *SRE.
void SetEnableRegister(ScpiParsedCommand& command, CScpiStatus& status, std::uint32_t reg) {
  const std::int32_t requested = CTorvexHostParser::GetIntegerParameter(command, 0, RegisterNode(reg));
  if (command.errorCode != 0) return;
  std::uint16_t value = static_cast<std::uint16_t>(requested);
  status.SetEnable(reg, value, true);
}

// *ESE? and *SRE?.
void AppendEnableRegister(ScpiParsedCommand& command, CScpiStatus& status, std::uint32_t reg) {
  std::uint16_t value = 0;
  status.GetEnable(reg, value);
  AppendUnsigned(command, value);
}

// Reads `size` bytes at `offset` of the help file into `buffer` (zero-filled first; one NUL byte more
// than `size` so the text always ends). False when the file cannot be opened or is short.
bool ReadHelpFile(long offset, std::size_t size, std::vector<char>& buffer) {
  buffer.assign(size + 1, '\0');
  std::FILE* file = platform::fopen(kHelpFilePath, "r");
  if (file == nullptr) return false;
  bool ok = std::fseek(file, offset, SEEK_SET) == 0 && std::fread(buffer.data(), size, 1, file) == 1;
  std::fclose(file);
  return ok;
}

// SYSTem:COMMunicate:ETHernet[:ENABle] and SYSTem:COMMunicate:USBTmc[:ENABle].
void SetInterfaceEnabled(CTorvexHostParser& parser, ScpiParsedCommand& command, CTorvexHost& client,
                         CParameterNode* objectNode, CParameterNode* enabledNode, std::uint32_t kind) {
  auto* host = static_cast<CTorvexHost*>(ReadPointerNode(objectNode));
  const bool enable = CTorvexHostParser::GetBooleanParameter(command, 0, enabledNode) != 0;
  if (command.errorCode != 0) return;
  if (!enable) {
    // A client cannot switch off the interface it is talking over.
    if (host == &client || client.Kind() == kind) {
      client.Status().PushError(kScpiErrorSettingsConflict, true);
      return;
    }
    // None of the other interface's queued messages runs while it stops.
    if (host != nullptr) parser.RemoveClientMessages(host);
  }
  CTorvexHostParser::SetBooleanNode(command, enabledNode, eAttrValue, enable);
  if (command.errorCode == 0) client.Status().SetBitRow(kStatusRowSettingsGroup0, true, true);
}

NetworkRestartHook g_NetworkRestartHook = nullptr;

}  // namespace

void SetNetworkRestartHook(NetworkRestartHook hook) { g_NetworkRestartHook = hook; }

std::size_t FindHelpCommand(const std::string& text) {
  // The engine matches a header behind its header path, which the message's commands have left
  // anywhere: the text is matched from the root. A later command of the same message without a
  // leading colon is therefore resolved from the root too.
  scpi_reset_line_state();
  for (std::size_t n = 0; n < kScpiCommandCount && kScpiCommandPatterns[n][0] != '\0'; ++n) {
    const char* pattern = kScpiCommandPatterns[n];
    std::uint32_t suffix = 0;
    std::uint8_t suffixFlag = 0;
    if (scpi_match_header(pattern, std::strlen(pattern), text.c_str(), text.size(), kScpiMatchHeader, &suffix,
                          &suffixFlag) == kScpiOk) {
      return n;
    }
  }
  return kScpiCommandCount;
}

bool ReadHelpSyntaxEntry(std::size_t command, std::string& entry) {
  std::vector<char> buffer;
  const bool ok =
      command < kScpiCommandCount &&
      ReadHelpFile(static_cast<long>(kHelpSyntaxOffset + kHelpSyntaxEntrySize * command), kHelpSyntaxEntrySize, buffer);
  if (buffer.empty()) buffer.assign(1, '\0');
  entry.assign(buffer.data(), strnlen(buffer.data(), kHelpSyntaxEntrySize - 1));
  return ok;
}

// ---- 488.2 common commands ---------------------------------------------------------------------------

void RunClearStatus(CTorvexHostParser&, ScpiParsedCommand&, CTorvexHost& client) { client.Status().Clear(); }

void RunStandardEventEnable(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost& client) {
  SetEnableRegister(command, client.Status(), kStandardEventRegister);
}

void RunStandardEventEnableQuery(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost& client) {
  AppendEnableRegister(command, client.Status(), kStandardEventRegister);
}

void RunStandardEventQuery(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost& client) {
  std::uint16_t value = 0;
  client.Status().GetEvent(kStandardEventRegister, value);
  client.Status().ClearEvent(kStandardEventRegister);
  AppendUnsigned(command, value);
}

// manufacturer,model,serial,el<hardware>-arm<arm>-dsp<dsp>-cpld<cpld>-pa<parameters>-opt<option bits>
void RunIdentify(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost&) {
  AppendResponse(command, CTorvexHostParser::ReadStringAttribute(command, g_node_system_manufacturer, eAttrValue),
                 true);
  AppendResponse(command, CTorvexHostParser::ReadStringAttribute(command, g_node_system_model, eAttrValue), true);
  std::int32_t serial = 0;
  std::int32_t options = 0;
  {
    CRecursiveLockGuard guard(g_ParameterTreeLock);
    if (g_node_system_serial_no != nullptr) {
      serial = g_node_system_serial_no->GetInt32Attribute(eAttrValue);
    } else if (command.errorCode == 0) {
      command.errorCode = kCommandInternal;
    }
    if (g_node_system_eeprom_option_bits != nullptr) {
      options = g_node_system_eeprom_option_bits->GetInt32Attribute(eAttrValue);
    } else if (command.errorCode == 0) {
      command.errorCode = kCommandInternal;
    }
  }
  AppendResponse(command, FormatText("%d", serial), true);
  std::string version = "el";
  version += CTorvexHostParser::ReadStringAttribute(command, g_node_system_versions_hardware, eAttrValue);
  version += "-arm";
  version += CTorvexHostParser::ReadStringAttribute(command, g_node_system_versions_arm_firmware, eAttrValue);
  version += "-dsp";
  version += CTorvexHostParser::ReadStringAttribute(command, g_node_system_versions_dsp_firmware, eAttrValue);
  version += "-cpld";
  version += CTorvexHostParser::ReadStringAttribute(command, g_node_system_versions_cpld, eAttrValue);
  version += "-pa";
  version += CTorvexHostParser::ReadStringAttribute(command, g_node_system_versions_parm_file, eAttrValue);
  AppendResponse(command, version, true);
  AppendResponse(command, FormatText("-opt%08X", static_cast<unsigned>(options)), false);
  // The identity is the last reply the message may carry.
  if (command.errorCode == 0) command.indefiniteResponse = 1;
}

// Commands run one after the other: every earlier one has completed.
void RunOperationComplete(CTorvexHostParser&, ScpiParsedCommand&, CTorvexHost& client) {
  client.Status().SetBitRow(kStatusRowOperationComplete, true, true);
}

void RunOperationCompleteQuery(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost&) {
  AppendResponse(command, "1", true);
}

void RunReset(CTorvexHostParser&, ScpiParsedCommand&, CTorvexHost& client) {
  // Recalling the power-off settings asks main for a restart; the file is taken at the next start.
  if (TorvexLoadSettings(kLastPowerOffPath) != 0) client.Status().PushError(kScpiErrorFirmwareError, false);
  (void)CTorvexHostAcquisition::Reset();
}

void RunServiceRequestEnable(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost& client) {
  SetEnableRegister(command, client.Status(), kStatusByteRegister);
}

void RunServiceRequestEnableQuery(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost& client) {
  AppendEnableRegister(command, client.Status(), kStatusByteRegister);
}

void RunStatusByteQuery(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost& client) {
  AppendUnsigned(command, client.Status().ReadStatusByte(CScpiStatus::kReadForStbQuery));
}

void RunBusTrigger(CTorvexHostParser&, ScpiParsedCommand&, CTorvexHost& client) {
  if (CTorvexHostAcquisition::SendBusTrigger() != 0) client.Status().PushError(kScpiErrorTriggerError, false);
}

void RunSelfTestQuery(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost&) {
  AppendResponse(command, "0", true);  // no self-test is run
}

// Nothing to wait for: every command has completed when the next starts.
void RunWait(CTorvexHostParser&, ScpiParsedCommand&, CTorvexHost&) {}

// ---- STATus and SYSTem -------------------------------------------------------------------------------

void RunStatusRegister(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost& client) {
  for (const StatusRegisterCommands& reg : kStatusCommands) {
    for (std::size_t k = 0; k < kStatusOpCount; ++k) {
      if (reg.commands[k] == command.commandNumber) {
        RunStatusOp(command, client.Status(), reg.reg, kStatusOps[k]);
        return;
      }
    }
  }
}

void RunStatusPreset(CTorvexHostParser&, ScpiParsedCommand&, CTorvexHost& client) { client.Status().Preset(); }

void RunErrorQuery(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost& client) {
  std::uint32_t row = 0;
  client.Status().PopError(row);
  std::int16_t code = 0;
  const char* text = "";
  if (!CScpiStatus::GetErrorText(row, code, text)) CScpiStatus::GetErrorText(kScpiErrorNoError, code, text);
  AppendResponse(command, FormatText("%hd", code), true);
  AppendResponse(command, "\"" + std::string(text) + "\"", true);
}

void RunVersionQuery(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost&) {
  AppendResponse(command, "1999.0", true);
}

void RunHelpHeaders(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost&) {
  std::vector<char> buffer;
  if (!ReadHelpFile(static_cast<long>(kHelpHeaderListOffset), kHelpHeaderListSize, buffer) && command.errorCode == 0) {
    command.errorCode = kCommandInternal;
  }
  // At most kHelpHeaderListSize - 1 characters: the list fits four length digits.
  const std::size_t length = strnlen(buffer.data(), kHelpHeaderListSize - 1);
  AppendResponse(command, FormatText("#4%04u", static_cast<unsigned>(length)), true);
  AppendResponse(command, std::string_view(buffer.data(), length), false);
}

void RunHelpSyntax(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost& client) {
  const std::string text = CTorvexHostParser::GetStringParameter(command, 0, nullptr);
  if (command.errorCode != 0) return;
  const std::size_t found = FindHelpCommand(text);
  if (found == kScpiCommandCount) {
    client.Status().PushError(kScpiErrorDataOutOfRange, true);
    return;
  }
  std::string entry;
  if (!ReadHelpSyntaxEntry(found, entry) && command.errorCode == 0) command.errorCode = kCommandInternal;
  AppendResponse(command, entry, true);
}

void RunUpgrade(CTorvexHostParser&, ScpiParsedCommand&, CTorvexHost&) {
  g_Logger.Printf("Entering DFU mode...\n");
  CTorvexPower::RequestShutdown(eRequestFirmwareUpdate);
}

// ---- SYSTem:COMMunicate and SYSTem:LOCK --------------------------------------------------------------

void RunEthernetEnable(CTorvexHostParser& parser, ScpiParsedCommand& command, CTorvexHost& client) {
  SetInterfaceEnabled(parser, command, client, g_node_host_if_communication_vxi11_object,
                      g_node_comm_parms_ethernet_enabled, kHostKindVxi11);
}

void RunUsbEnable(CTorvexHostParser& parser, ScpiParsedCommand& command, CTorvexHost& client) {
  SetInterfaceEnabled(parser, command, client, g_node_host_if_communication_usbtmc_object,
                      g_node_comm_parms_usbtmc_enabled, kHostKindUsb);
}

void RunEthernetAddress(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost& client) {
  const std::string text = CTorvexHostParser::GetStringParameter(command, 0, g_node_comm_parms_ethernet_ip_address);
  if (command.errorCode != 0) return;
  if (text == "AUTO") {
    CTorvexHostParser::SetBooleanNode(command, g_node_comm_parms_ethernet_auto_address, eAttrValue, true);
  } else {
    CTorvexHostParser::SetBooleanNode(command, g_node_comm_parms_ethernet_auto_address, eAttrValue, false);
    CTorvexHostParser::SetStringNode(command, g_node_comm_parms_ethernet_ip_address, eAttrValue, text);
  }
  if (command.errorCode == 0) client.Status().SetBitRow(kStatusRowSettingsGroup0, true, true);
}

void RunEthernetRestart(CTorvexHostParser&, ScpiParsedCommand&, CTorvexHost& client) {
  if (g_NetworkRestartHook != nullptr) {
    g_NetworkRestartHook();
    return;
  }
  g_Logger.Printf("No network configuration to restart\n");
  client.Status().PushError(kScpiErrorFirmwareError, true);
}

void RunLockRequest(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost& client) {
  CParameterNode* node = g_node_host_if_parameters_lock;
  if (node == nullptr) {
    if (command.errorCode == 0) command.errorCode = kCommandInternal;
    return;
  }
  void* owner = ReadPointerNode(node);
  if (owner == nullptr) {
    WritePointerNode(node, &client);
    owner = &client;
  }
  AppendResponse(command, owner == &client ? "1" : "0", true);
}

void RunLockRelease(CTorvexHostParser&, ScpiParsedCommand&, CTorvexHost& client) {
  // The dispatcher refuses the release to every client but the owner; the free lock stays free.
  CParameterNode* node = g_node_host_if_parameters_lock;
  if (ReadPointerNode(node) == &client) WritePointerNode(node, nullptr);
}

// ---- UNIT ----------------------------------------------------------------------------------------------

void RunUnitList(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost&) {
  const std::string choices =
      CTorvexHostParser::ReadStringAttribute(command, g_node_units_parms_selected, eAttrChoices);
  std::size_t start = 0;
  while (start <= choices.size()) {
    const std::size_t comma = choices.find(',', start);
    const std::size_t end = comma == std::string::npos ? choices.size() : comma;
    const std::string name = choices.substr(start, end - start);
    double value = 1.0;
    const auto unit = static_cast<std::uint32_t>(FindUnit(name));
    if (ConvertUnits(value, static_cast<std::uint32_t>(FindUnit("T")), unit, 0.0) != kUnitOk) value = -1.0;
    AppendResponse(command, name, true);
    AppendResponse(command, FormatText("%.15e", value), true);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
}

// After the generic handler has set the reference.
void RunPpmReference(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost&) {
  // Held results relative to the old reference are no longer answered.
  const std::string selected = CTorvexHostParser::ReadStringAttribute(command, g_node_units_parms_selected, eAttrValue);
  if (FindUnit(selected) == FindUnit("PPM")) {
    g_ResultsStore.Clear();
    g_IntermediateResults.Invalidate();
  }
}

bool RefusesOwnInterfaceSwitchOff(ScpiParsedCommand& command, CTorvexHost& client) {
  if (command.commandNumber != kCmdVxi11Enable || client.Kind() != kHostKindVxi11) return false;
  const std::uint8_t enable = CTorvexHostParser::GetBooleanParameter(command, 0, g_node_comm_parms_vxi11_enabled);
  if (command.errorCode != 0 || enable != 0) return false;
  client.Status().PushError(kScpiErrorSettingsConflict, true);
  return true;
}

}  // namespace Torvex
