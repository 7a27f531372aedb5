// Start-up settings: fills the empty parameter tree once at power-up from the settings saved at the
// last orderly shut-down, or from the factory file when those are missing or refused, binds the
// global node pointers (BoundParameterNodes.h), publishes the firmware version, copies the board's
// identity from the EEPROM record into the system nodes and gives the instrument a default host name.
//
// Callers: main, once, after the file systems are mounted and before any other application thread
// uses the tree. A factory file that is refused, an unreadable EEPROM or an identity record of
// another version panics (firmware-update mode).
#pragma once

#include <cstdint>
#include <string>

namespace Torvex {

class CParameterNode;

inline constexpr const char* kArmFirmwareVersion = "1.15";

// A major.minor version as the firmware compares them.
struct VersionNumber {
  std::uint16_t major;
  std::uint16_t minor;
};
inline constexpr VersionNumber kParameterFileVersion{3, 4};
inline constexpr VersionNumber kEepromRecordVersion{2, 0};

// Reads "major.minor": the text is split at its first "." (without one, both parts are the whole
// text) and each part converted like strtol (leading space and sign accepted, stops at the first
// non-digit, no digits give 0), keeping the low 16 bits.
VersionNumber TorvexParseVersion(const std::string& text);

// True when the text's version lies between `lowest` and `highest` (major first).
bool TorvexVersionAccepted(const std::string& text, VersionNumber lowest, VersionNumber highest);

// Loads the start-up settings (see above). Returns 0; does not return when it panics.
int TorvexLoadStartupSettings();

// Looks every bound path up from g_ParameterTreeRoot and stores the node in its pointer: 0, or the
// first non-zero FindNode result (5 also when there is no tree); the pointers not reached keep their
// values.
int TorvexBindParameterNodes();

// Sets every bound pointer to null (before the tree they point into is deleted).
void TorvexUnbindParameterNodes();

}  // namespace Torvex
