// The common, status and system commands of the parser: the 488.2 common commands, the STATus
// registers of the client, the error queue, the help queries on the help file, the instrument lock,
// the communication settings that need more than a node write, the firmware-upgrade entry and the
// unit list. Every command runs on the parser thread for one client.
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

// Command numbers of this family (the index of the command table).
enum : std::uint8_t {
  kCmdCls = 0,
  kCmdEse = 1,
  kCmdEseQuery = 2,
  kCmdEsrQuery = 3,
  kCmdIdnQuery = 4,
  kCmdOpc = 5,
  kCmdOpcQuery = 6,
  kCmdRst = 7,
  kCmdSre = 8,
  kCmdSreQuery = 9,
  kCmdStbQuery = 10,
  kCmdTrg = 11,
  kCmdTstQuery = 12,
  kCmdWai = 13,
  kCmdErrorQuery = 14,
  kCmdVersionQuery = 15,
  kCmdHelpHeaders = 16,
  kCmdHelpSyntax = 17,
  kCmdStatusPreset = 26,
  kCmdUpgrade = 71,
  kCmdEthernetEnable = 179,
  kCmdEthernetAddress = 185,
  kCmdEthernetRestart = 198,
  kCmdUsbEnable = 208,
  kCmdVxi11Enable = 210,
  kCmdLockRequest = 211,
  kCmdLockRelease = 212,
  kCmdUnitAll = 230,
  kCmdPpmReference = 232,
};

// Status registers by number, as CScpiStatus counts them.
enum : std::uint32_t {
  kRegStatusByte = 0,
  kRegStandardEvent = 1,
  kRegOperation = 2,
  kRegQuestionable = 3,
  kRegQuestionableBit12 = 4,
  kRegOperationBit11 = 5,
  kRegOperationBit12 = 6,
};

// What a STATus command does with its register.
enum class eStatusOp { Event, Condition, EnableQuery, Enable, NegativeQuery, Negative, PositiveQuery, Positive };

struct StatusRegisterCommands {
  std::uint32_t reg;
  // EVENt?, CONDition?, ENABle?, ENABle, NTRansition?, NTRansition, PTRansition?, PTRansition
  std::uint8_t numbers[8];
};

constexpr StatusRegisterCommands kStatusCommands[] = {
    {kRegOperation, {18, 19, 20, 21, 146, 147, 148, 149}},
    {kRegQuestionable, {22, 23, 24, 25, 166, 167, 168, 169}},
    {kRegOperationBit11, {150, 151, 152, 153, 154, 155, 156, 157}},
    {kRegOperationBit12, {158, 159, 160, 161, 162, 163, 164, 165}},
    {kRegQuestionableBit12, {170, 171, 172, 173, 174, 175, 176, 177}},
};

constexpr eStatusOp kStatusOps[8] = {eStatusOp::Event,         eStatusOp::Condition, eStatusOp::EnableQuery,
                                     eStatusOp::Enable,        eStatusOp::NegativeQuery, eStatusOp::Negative,
                                     eStatusOp::PositiveQuery, eStatusOp::Positive};

// The node whose minimum, maximum and default bound the values written to a register.
CParameterNode* RegisterNode(std::uint32_t reg) {
  switch (reg) {
    case kRegStatusByte: return g_node_host_if_status_SRE;
    case kRegStandardEvent: return g_node_host_if_status_ESE;
    case kRegOperation: return g_node_host_if_status_OPER;
    case kRegQuestionable: return g_node_host_if_status_QUES;
    case kRegQuestionableBit12: return g_node_host_if_status_QUESBIT12;
    case kRegOperationBit11: return g_node_host_if_status_BIT11;
    case kRegOperationBit12: return g_node_host_if_status_BIT12;
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

void RunStatusCommand(ScpiParsedCommand& command, CScpiStatus& status, std::uint32_t reg, eStatusOp op) {
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
    case eStatusOp::Positive:
      break;
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
void RunEnableCommand(ScpiParsedCommand& command, CScpiStatus& status, std::uint32_t reg) {
  const std::int32_t requested = CTorvexHostParser::GetIntegerParameter(command, 0, RegisterNode(reg));
  if (command.errorCode != 0) return;
  std::uint16_t value = static_cast<std::uint16_t>(requested);
  status.SetEnable(reg, value, true);
}

// manufacturer,model,serial,el<hardware>-arm<arm>-dsp<dsp>-cpld<cpld>-pa<parameters>-opt<option bits>
void RunIdentify(ScpiParsedCommand& command) {
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

void RunReset(CScpiStatus& status) {
  // Recalling the power-off settings asks main for a restart; the file is taken at the next start.
  if (TorvexLoadSettings(kLastPowerOffPath) != 0) status.PushError(kScpiErrorFirmwareError, false);
  (void)CTorvexHostAcquisition::Reset();
}

void RunErrorQuery(ScpiParsedCommand& command, CScpiStatus& status) {
  std::uint32_t row = 0;
  status.PopError(row);
  std::int16_t code = 0;
  const char* text = "";
  if (!CScpiStatus::GetErrorText(row, code, text)) CScpiStatus::GetErrorText(kScpiErrorNoError, code, text);
  AppendResponse(command, FormatText("%hd", code), true);
  AppendResponse(command, "\"" + std::string(text) + "\"", true);
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

void RunHelpHeaders(ScpiParsedCommand& command) {
  std::vector<char> buffer;
  if (!ReadHelpFile(static_cast<long>(kHelpHeaderListOffset), kHelpHeaderListSize, buffer) &&
      command.errorCode == 0) {
    command.errorCode = kCommandInternal;
  }
  // At most kHelpHeaderListSize - 1 characters: the list fits four length digits.
  const std::size_t length = strnlen(buffer.data(), kHelpHeaderListSize - 1);
  AppendResponse(command, FormatText("#4%04u", static_cast<unsigned>(length)), true);
  AppendResponse(command, std::string_view(buffer.data(), length), false);
}

void RunHelpSyntax(ScpiParsedCommand& command, CScpiStatus& status) {
  const std::string text = CTorvexHostParser::GetStringParameter(command, 0, nullptr);
  if (command.errorCode != 0) return;
  const std::size_t found = FindHelpCommand(text);
  if (found == kScpiCommandCount) {
    status.PushError(kScpiErrorDataOutOfRange, true);
    return;
  }
  std::string entry;
  if (!ReadHelpSyntaxEntry(found, entry) && command.errorCode == 0) command.errorCode = kCommandInternal;
  AppendResponse(command, entry, true);
}

// SYSTem:COMMunicate:ETHernet[:ENABle] and SYSTem:COMMunicate:USBTmc[:ENABle].
void RunInterfaceEnable(CTorvexHostParser& parser, ScpiParsedCommand& command, CTorvexHost& client,
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

void RunEthernetAddress(ScpiParsedCommand& command, CScpiStatus& status) {
  const std::string text =
      CTorvexHostParser::GetStringParameter(command, 0, g_node_comm_parms_ethernet_ip_address);
  if (command.errorCode != 0) return;
  if (text == "AUTO") {
    CTorvexHostParser::SetBooleanNode(command, g_node_comm_parms_ethernet_auto_address, eAttrValue, true);
  } else {
    CTorvexHostParser::SetBooleanNode(command, g_node_comm_parms_ethernet_auto_address, eAttrValue, false);
    CTorvexHostParser::SetStringNode(command, g_node_comm_parms_ethernet_ip_address, eAttrValue, text);
  }
  if (command.errorCode == 0) status.SetBitRow(kStatusRowSettingsGroup0, true, true);
}

void RunLockRequest(ScpiParsedCommand& command, CTorvexHost& client) {
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

void RunLockRelease(CTorvexHost& client) {
  // The dispatcher refuses the release to every client but the owner; the free lock stays free.
  CParameterNode* node = g_node_host_if_parameters_lock;
  if (ReadPointerNode(node) == &client) WritePointerNode(node, nullptr);
}

void RunUnitList(ScpiParsedCommand& command) {
  const std::string choices = CTorvexHostParser::ReadStringAttribute(command, g_node_units_parms_selected, eAttrChoices);
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

void RunPpmReference(ScpiParsedCommand& command) {
  // Held results relative to the old reference are no longer answered.
  const std::string selected =
      CTorvexHostParser::ReadStringAttribute(command, g_node_units_parms_selected, eAttrValue);
  if (FindUnit(selected) == FindUnit("PPM")) {
    g_ResultsStore.Clear();
    g_IntermediateResults.Invalidate();
  }
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
  const bool ok = command < kScpiCommandCount &&
                  ReadHelpFile(static_cast<long>(kHelpSyntaxOffset + kHelpSyntaxEntrySize * command),
                               kHelpSyntaxEntrySize, buffer);
  if (buffer.empty()) buffer.assign(1, '\0');
  entry.assign(buffer.data(), strnlen(buffer.data(), kHelpSyntaxEntrySize - 1));
  return ok;
}

bool CTorvexHostParser::RunCommonCommand(ScpiParsedCommand& command, CTorvexHost& client) {
  CScpiStatus& status = client.Status();
  switch (command.commandNumber) {
    case kCmdCls:
      status.Clear();
      return true;
    case kCmdEse:
      RunEnableCommand(command, status, kRegStandardEvent);
      return true;
    case kCmdEseQuery:
    case kCmdSreQuery: {
      std::uint16_t value = 0;
      status.GetEnable(command.commandNumber == kCmdEseQuery ? kRegStandardEvent : kRegStatusByte, value);
      AppendUnsigned(command, value);
      return true;
    }
    case kCmdEsrQuery: {
      std::uint16_t value = 0;
      status.GetEvent(kRegStandardEvent, value);
      status.ClearEvent(kRegStandardEvent);
      AppendUnsigned(command, value);
      return true;
    }
    case kCmdIdnQuery:
      RunIdentify(command);
      return true;
    case kCmdOpc:
      // Commands run one after the other: every earlier one has completed.
      status.SetBitRow(kStatusRowOperationComplete, true, true);
      return true;
    case kCmdOpcQuery:
      AppendResponse(command, "1", true);
      return true;
    case kCmdRst:
      RunReset(status);
      return true;
    case kCmdSre:
      RunEnableCommand(command, status, kRegStatusByte);
      return true;
    case kCmdStbQuery:
      AppendUnsigned(command, status.ReadStatusByte(CScpiStatus::kReadForStbQuery));
      return true;
    case kCmdTrg:
      if (CTorvexHostAcquisition::SendBusTrigger() != 0) status.PushError(kScpiErrorTriggerError, false);
      return true;
    case kCmdTstQuery:
      AppendResponse(command, "0", true);  // no self-test is run
      return true;
    case kCmdWai:
      return true;  // nothing to wait for: every command has completed when the next starts
    case kCmdErrorQuery:
      RunErrorQuery(command, status);
      return true;
    case kCmdVersionQuery:
      AppendResponse(command, "1999.0", true);
      return true;
    case kCmdHelpHeaders:
      RunHelpHeaders(command);
      return true;
    case kCmdHelpSyntax:
      RunHelpSyntax(command, status);
      return true;
    case kCmdStatusPreset:
      status.Preset();
      return true;
    case kCmdUpgrade:
      g_Logger.Printf("Entering DFU mode...\n");
      CTorvexPower::RequestShutdown(eRequestFirmwareUpdate);
      return true;
    case kCmdEthernetEnable:
      RunInterfaceEnable(*this, command, client, g_node_host_if_communication_vxi11_object,
                         g_node_comm_parms_ethernet_enabled, kHostKindVxi11);
      return true;
    case kCmdEthernetAddress:
      RunEthernetAddress(command, status);
      return true;
    case kCmdEthernetRestart:
      if (g_NetworkRestartHook != nullptr) {
        g_NetworkRestartHook();
      } else {
        g_Logger.Printf("No network configuration to restart\n");
        status.PushError(kScpiErrorFirmwareError, true);
      }
      return true;
    case kCmdUsbEnable:
      RunInterfaceEnable(*this, command, client, g_node_host_if_communication_usbtmc_object,
                         g_node_comm_parms_usbtmc_enabled, kHostKindUsb);
      return true;
    case kCmdLockRequest:
      RunLockRequest(command, client);
      return true;
    case kCmdLockRelease:
      RunLockRelease(client);
      return true;
    case kCmdUnitAll:
      RunUnitList(command);
      return true;
    case kCmdPpmReference:
      RunPpmReference(command);
      return true;
    default:
      break;
  }
  for (const StatusRegisterCommands& reg : kStatusCommands) {
    for (std::size_t k = 0; k < 8; ++k) {
      if (reg.numbers[k] == command.commandNumber) {
        RunStatusCommand(command, status, reg.reg, kStatusOps[k]);
        return true;
      }
    }
  }
  return false;
}

bool RefusesOwnInterfaceSwitchOff(ScpiParsedCommand& command, CTorvexHost& client) {
  if (command.commandNumber != kCmdVxi11Enable || client.Kind() != kHostKindVxi11) return false;
  const std::uint8_t enable = CTorvexHostParser::GetBooleanParameter(command, 0, g_node_comm_parms_vxi11_enabled);
  if (command.errorCode != 0 || enable != 0) return false;
  client.Status().PushError(kScpiErrorSettingsConflict, true);
  return true;
}

}  // namespace Torvex
