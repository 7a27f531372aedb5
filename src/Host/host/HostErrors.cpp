// Translation of application error codes into SCPI error rows.
#include "host/HostErrors.h"

#include "status/ScpiErrorTable.h"

namespace Torvex {

std::uint32_t ErrorRowForApplicationError(int code) {
  switch (code) {
    case 29: return kScpiErrorInvalidChannelList;
    case 30: return kScpiErrorNoProbe;
    case 46: return kScpiErrorNoSelectedChannel;
    case 49: return kScpiErrorSettingsConflict;
    case 50: return kScpiErrorTopologyChanged;
    case 43:
    case 38: return kScpiErrorExecutionError;
    default: return kScpiErrorFirmwareError;
  }
}

}  // namespace Torvex
