// The handlers of the mass-memory and route commands (HostCommandHandlers.h): the flash catalogue,
// reading, writing and deleting files, storing and recalling settings groups, and the probe routing
// queries and settings. Parser thread only.
//
// Every host-given path is brought to its canonical form first (HostMassMemoryPaths.h); the prefix
// rules are checked on that form and only that form reaches the file system.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "acquisition/CTorvexHostAcquisition.h"
#include "core/CRecursiveMutex.h"
#include "core/CTorvexChannel.h"
#include "core/eError.h"
#include "host/CTorvexHost.h"
#include "host/CTorvexHostParser.h"
#include "host/HostCommandHandlers.h"
#include "host/HostCommandHelpers.h"
#include "host/HostErrors.h"
#include "host/HostMassMemoryPaths.h"
#include "host/ResponseFormatting.h"
#include "peripherals/CTorvexPeripheral.h"
#include "peripherals/CTorvexPwMeasuringPeripheral.h"
#include "peripherals/UnitConversion.h"
#include "settings/SettingsSubsystems.h"
#include "status/CScpiStatus.h"
#include "status/ScpiErrorTable.h"
#include "status/ScpiStatusBitRows.h"
#include "system/TorvexFileUtilities.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"
#include "tree/TopologyLock.h"

namespace Torvex {
namespace {

// A failing command queues one row of the error table and writes nothing more
// (ReportCommandFailures).
[[noreturn]] void Fail(std::uint32_t row) { FailCommand(row); }

// The canonical form of the path in `slot`; "File name error" when it is empty or refused.
std::string PathParameter(ScpiParsedCommand& command, std::size_t slot) {
  const std::string raw = CTorvexHostParser::GetStringParameter(command, slot, nullptr);
  std::string path;
  if (!CanonicalMassMemoryPath(raw, &path)) Fail(kScpiErrorFileNameError);
  return path;
}

// The register number of the settings commands: only 0 exists.
void RequireRegisterZero(ScpiParsedCommand& command) {
  const std::uint8_t before = command.errorCode;
  const std::int32_t reg = CTorvexHostParser::GetIntegerParameter(command, 0, nullptr);
  if (command.errorCode != before || reg != 0) Fail(kScpiErrorNumericDataError);
}

const std::vector<std::uint8_t>& BlockParameter(const ScpiParsedCommand& command, std::size_t slot) {
  static const std::vector<std::uint8_t> kNone;
  if (slot >= kScpiParameterSlots || command.values[slot].kind != kScpiValueBlock) return kNone;
  return command.values[slot].block;
}

// ---- mass memory --------------------------------------------------------------------------------

void Catalog(ScpiParsedCommand& command) {
  std::vector<FileCatalogEntry> files;
  if (TorvexListDirectory("/yaffs", files, true) != 0) Fail(kScpiErrorFirmwareError);
  std::uint64_t used = 0;
  std::uint64_t free = 0;
  std::uint8_t percent = 0;
  if (TorvexGetFlashUsage(used, free, percent) != 0) Fail(kScpiErrorFirmwareError);
  AppendResponse(command, FormatText("%llu", static_cast<unsigned long long>(used)), true);
  AppendResponse(command, FormatText("%llu", static_cast<unsigned long long>(free)), true);
  for (const FileCatalogEntry& file : files) {
    AppendResponse(command, file.path, true);
    AppendResponse(command, file.type, true);
    AppendResponse(command, FormatText("%lu", static_cast<unsigned long>(file.size)), true);
  }
}

// The file's bytes as they are, no block header. Only files of the two file systems can be read (the
// device table never); a file larger than one reply can carry is refused before it is read.
void DataQuery(ScpiParsedCommand& command) {
  const std::string path = PathParameter(command, 0);
  if (!MassMemoryPathIsReadable(path)) Fail(kScpiErrorFileNameError);
  std::int32_t size = 0;
  if (TorvexGetFileSize(path.c_str(), size) != 0 || size < 0) Fail(kScpiErrorMemoryError);
  if (static_cast<std::size_t>(size) > kMaxMassMemoryReplyBytes) Fail(kScpiErrorOutOfMemory225);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  if (size > 0 && TorvexReadFile(path.c_str(), bytes.data(), bytes.size(), 1, bytes.size()) != 0)
    Fail(kScpiErrorMemoryError);
  std::uint8_t* room = ReserveResponse(command, bytes.size());
  if (room == nullptr) Fail(kScpiErrorOutOfMemory225);
  if (!bytes.empty()) std::memcpy(room, bytes.data(), bytes.size());
}

// Writes a user file below /yaffs/user/ (the folder itself is made when missing, deeper ones not).
// Names of the firmware's temporary files are refused: such a file would be lost at the next start.
void Data(ScpiParsedCommand& command, CScpiStatus& status) {
  const std::string path = PathParameter(command, 0);
  if (!MassMemoryPathIsBelow(path, "/yaffs/user/") || NamesTemporaryFile(path)) Fail(kScpiErrorFileNameError);
  const std::vector<std::uint8_t>& data = BlockParameter(command, 1);
  (void)TorvexMakeDirectoryPath("/yaffs/user", 0777);
  if (TorvexWriteBinaryFile(path.c_str(), data.data(), 1, data.size()) != 0) Fail(kScpiErrorMemoryError);
  status.SetBitRow(kStatusRowSettingsGroup3, true, true);
}

void Delete(ScpiParsedCommand& command, CScpiStatus& status) {
  const std::string path = PathParameter(command, 0);
  if (!MassMemoryPathIsBelow(path, "/yaffs/")) Fail(kScpiErrorFileNameError);
  if (TorvexRemoveFile(path.c_str()) != 0) Fail(kScpiErrorMemoryError);
  status.SetBitRow(kStatusRowSettingsGroup3, true, true);
}

// Recalls a settings file: groups that need a restart become the start-up settings and ask for the
// restart; the others are merged into the running tree at once.
void Load(ScpiParsedCommand& command, CScpiStatus& status) {
  RequireRegisterZero(command);
  const std::string path = PathParameter(command, 1);
  if (!MassMemoryPathIsBelow(path, "/yaffs/settings/")) Fail(kScpiErrorFileNameError);
  if (TorvexLoadSettings(path.c_str()) != 0) Fail(kScpiErrorMemoryError);
  status.SetBitRow(kStatusRowSettingsGroup2, true, true);
  status.SetBitRow(kStatusRowAllSettingsGroups, true, true);
}

// Stores a settings group under a plain file name in the group's folder.
void Store(ScpiParsedCommand& command, CScpiStatus& status) {
  RequireRegisterZero(command);
  const std::string name = CTorvexHostParser::GetStringParameter(command, 1, nullptr);
  const std::string group = command.values[2].kind == kScpiValueChoice ? command.values[2].text : std::string();
  if (!IsPlainSettingsFileName(name)) Fail(kScpiErrorFileNameError);
  std::int32_t type = 0;
  if (TorvexFindSettingsSubsystem(group.c_str(), type) != 0) Fail(kScpiErrorInvalidStringData);
  if (TorvexSaveSettings(name.c_str(), type) != 0) Fail(kScpiErrorMemoryError);
  status.SetBitRow(kStatusRowSettingsGroup3, true, true);
}

// ---- route ----------------------------------------------------------------------------------------

// The empty list where a command answers one although it failed: "(@)" or the empty "#1" block.
void AppendEmptyChannelList(ScpiParsedCommand& command, bool text) {
  AppendResponse(command, text ? "(@)" : "#10", true);
}

void AppendChannelList(ScpiParsedCommand& command, const std::vector<CTorvexChannel>& channels) {
  AppendResponse(command, ReplyInTextFormat() ? ChannelListToText(channels) : ChannelListToBlock(channels), true);
}

void Close(ScpiParsedCommand& command, CScpiStatus& status) {
  status.SetBitRow(kStatusRowSettingsGroup5, true, false);
  const std::vector<CTorvexChannel> channels = CTorvexHostParser::GetChannelListParameter(command, 0);
  if (const int rc = CTorvexPeripheral::CloseRoute(channels); rc != 0) Fail(ErrorRowForApplicationError(rc));
}

// Only "no probe" kinds of failure keep their own rows here; anything else is a firmware error.
std::uint32_t ShortMappedRow(int code) {
  switch (code) {
    case 29:
    case 30:
    case 46: return ErrorRowForApplicationError(code);
    default: return kScpiErrorFirmwareError;
  }
}

void CloseState(ScpiParsedCommand& command) {
  try {
    AppendChannelList(command, CopyCurrentChannelList());
  } catch (const eError& e) {
    Fail(ShortMappedRow(static_cast<int>(e)));
  }
}

void CloseActive(ScpiParsedCommand& command) {
  const bool text = ReplyInTextFormat();
  CRecursiveLockGuard topology(g_TopologyLock);  // the peripheral stays alive while it is read
  CTorvexPeripheral* peripheral = nullptr;
  const int rc = CTorvexPeripheral::GetCurrentProbePath(&peripheral);
  if (rc == ePeripheralNoProbe) {
    AppendEmptyChannelList(command, text);
    return;
  }
  if (rc != 0 || peripheral == nullptr) Fail(kScpiErrorFirmwareError);
  const CTorvexChannel channel = peripheral->GetChannel();
  if (text) {
    AppendResponse(command, ChannelListToText({channel}), true);
    return;
  }
  std::string block = FormatText("#6%06u", static_cast<unsigned>(channel.Length()));
  for (std::uint8_t level = 0; level < channel.Length(); ++level) block += static_cast<char>(channel.Level(level));
  AppendResponse(command, block, true);
}

// One item per channel of the list; channels without a peripheral answer -1 and make the command
// report "Invalid Channel List", values that cannot be had answer -1 and report "Data not all
// available". The items stay in the reply either way.
std::uint32_t QueryProbeInfo(ScpiParsedCommand& command) {
  const std::vector<CTorvexChannel> channels = CTorvexHostParser::GetChannelListParameter(command, 0);
  if (channels.empty()) return kScpiErrorInvalidChannelList;
  const std::uint8_t number = command.commandNumber;
  std::string unitName;
  std::uint32_t unit = 0;
  if (number == kCmdRouteProbeMinimumQuery || number == kCmdRouteProbeMaximumQuery) {
    if (g_node_units_parms_selected != nullptr) unitName = g_node_units_parms_selected->GetStringAttribute(eAttrValue);
    unit = static_cast<std::uint32_t>(FindUnit(unitName));
  }
  bool notFound = false;
  bool unavailable = false;
  CRecursiveLockGuard topology(g_TopologyLock);  // the peripherals found stay alive while they answer
  for (const CTorvexChannel& channel : channels) {
    CTorvexPeripheral* peripheral = CTorvexPeripheral::FindPeripheralByChannel(channel);
    std::string item = "-1";
    if (peripheral == nullptr) {
      notFound = true;
    } else if (number == kCmdRouteProbeModelQuery) {
      item = FormatText("%d", static_cast<int>(peripheral->GetModel()));
    } else if (number == kCmdRouteProbeSerialQuery) {
      item = FormatText("%d", peripheral->GetSerialNumber());
    } else if (number == kCmdRouteProbeDesignationQuery) {
      item = peripheral->GetDesignation();
    } else {
      auto* probe = peripheral->IsMeasuring() && peripheral->IsInitialized()
                        ? dynamic_cast<CTorvexPwMeasuringPeripheral*>(peripheral)
                        : nullptr;
      double value = 0.0;
      if (probe != nullptr) {
        value = number == kCmdRouteProbeMinimumQuery ? probe->GetMinFrequency() : probe->GetMaxFrequency();
        if (ConvertUnits(value, kUnitHertz, unit, probe->GetGyromagneticRatio()) != 0) probe = nullptr;
      }
      if (probe == nullptr) unavailable = true;
      else item = FormatText("%.15g ", value) + unitName;
    }
    AppendResponse(command, item, true);
  }
  if (notFound) return kScpiErrorInvalidChannelList;
  if (unavailable) return kScpiErrorDataNotAllAvailable;
  return 0;
}

// The list of the topology, kept for the parser's whole run and refilled by every scan.
std::vector<CTorvexChannel>& ScanList() {
  static std::vector<CTorvexChannel> list;
  return list;
}

void Scan(ScpiParsedCommand& command, CScpiStatus& status) {
  const bool text = ReplyInTextFormat();
  if (g_TriggerActive.load()) {
    AppendEmptyChannelList(command, text);
    Fail(kScpiErrorSettingsConflict);
  }
  std::vector<CTorvexChannel>& list = ScanList();
  status.SetBitRow(kStatusRowOperationBit2, true, false);
  const int rc = CTorvexPeripheral::RetrieveTopology(list);
  status.SetBitRow(kStatusRowOperationBit2, false, true);
  if (rc != 0 && rc != ePeripheralNoProbe) {
    AppendEmptyChannelList(command, text);
    Fail(kScpiErrorNoProbe);
  }
  AppendResponse(command, text ? ChannelListToText(list) : ChannelListToBlock(list), true);
}

// One reading of the current probe's Hall sensor serves every Hall query of the program message.
std::uint32_t QueryProbeHall(CTorvexHostParser& parser, ScpiParsedCommand& command) {
  HallReadingCache& cache = parser.HallCache();
  if (!cache.valid) {
    CRecursiveLockGuard topology(g_TopologyLock);
    CTorvexPeripheral* peripheral = nullptr;
    const int rc = CTorvexPeripheral::GetCurrentProbePath(&peripheral);
    if (rc == 29) return kScpiErrorInvalidChannelList;
    if (rc == 30) return kScpiErrorNoProbe;
    if (rc == 46) return kScpiErrorNoSelectedChannel;
    auto* probe = rc == 0 ? dynamic_cast<CTorvexPwMeasuringPeripheral*>(peripheral) : nullptr;
    if (probe == nullptr) return kScpiErrorFirmwareError;
    int x = 0;
    int y = 0;
    int z = 0;
    unsigned int total = 0;
    if (probe->ReadHallField(&x, &y, &z, &total) != 0) return kScpiErrorDataNotAllAvailable;
    cache.x = x;
    cache.y = y;
    cache.z = z;
    cache.total = static_cast<std::int32_t>(
        std::min<unsigned int>(total, static_cast<unsigned int>(std::numeric_limits<std::int32_t>::max())));
    cache.valid = true;
  }
  std::int32_t value = cache.total;
  if (command.commandNumber == kCmdRouteHallXQuery) value = cache.x;
  else if (command.commandNumber == kCmdRouteHallYQuery) value = cache.y;
  else if (command.commandNumber == kCmdRouteHallZQuery) value = cache.z;
  AppendResponse(command, FormatText("%d", static_cast<int>(value)), true);
  return 0;
}

// Passes a raw frame to the peripheral controllers and answers a definite-length block of the status
// byte followed by the controller's reply. The length is counted at full width: a reply of 65535
// bytes gives a block of 65536.
void LowLevel(ScpiParsedCommand& command) {
  std::vector<std::uint8_t> bytes = BlockParameter(command, 0);
  if (bytes.empty()) Fail(kScpiErrorInvalidBlockData);
  std::uint8_t statusByte = 0;
  if (CTorvexPeripheral::LowLevelQuery(bytes, &statusByte) != 0) Fail(kScpiErrorDataNotAllAvailable);
  std::string block = DefiniteLengthHeader(bytes.size() + 1);
  block += static_cast<char>(statusByte);  // one byte whatever its value, 0 included
  block.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  AppendResponse(command, block, true);
}

}  // namespace

// ---- the handlers ------------------------------------------------------------------------------------

void RunCatalog(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [&] { Catalog(command); });
}

void RunFileDataQuery(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [&] { DataQuery(command); });
}

void RunFileData(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [&] { Data(command, client.Status()); });
}

void RunFileDelete(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [&] { Delete(command, client.Status()); });
}

void RunLoadSettings(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [&] { Load(command, client.Status()); });
}

void RunStoreSettings(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [&] { Store(command, client.Status()); });
}

void RunRouteClose(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [&] { Close(command, client.Status()); });
}

void RunRouteCloseState(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [&] { CloseState(command); });
}

void RunRouteCloseActive(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [&] { CloseActive(command); });
}

// ROUTe:PROBe:MODel?, SERialno?, DESignation?, MINimum? and MAXimum?.
void RunProbeInfo(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [&] {
    if (const std::uint32_t row = QueryProbeInfo(command); row != 0) Fail(row);
  });
}

void RunProbeScan(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [&] { Scan(command, client.Status()); });
}

// ROUTe:PROBe:HALL[:TOTal]?, :X?, :Y? and :Z?.
void RunProbeHall(CTorvexHostParser& parser, ScpiParsedCommand& command, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [&] {
    if (const std::uint32_t row = QueryProbeHall(parser, command); row != 0) Fail(row);
  });
}

void RunLowLevel(CTorvexHostParser&, ScpiParsedCommand& command, CTorvexHost& client) {
  ReportCommandFailures(client.Status(), [&] { LowLevel(command); });
}

}  // namespace Torvex
