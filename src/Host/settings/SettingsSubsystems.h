// Settings groups: the whole tree or one of five branches stored as parameter-tree XML files under
// /yaffs/settings and recalled later, and the whole-tree save at shut-down (LastPowerOff.xml).
//
// Callers: the SCPI store and recall commands and "*RST" on the parser thread; main at shut-down
// (TorvexSaveLastPowerOff, TorvexDeleteLastPowerOff) and after a warm boot on the factory request.
// All run on the calling thread and block for the file accesses; none reports to a host itself.
//
// Every settings file is written to a temporary file beside its destination, read back and only then
// renamed over the destination. Its text is made under the tree lock with the peripherals branch
// written empty: peripheral nodes never reach a settings file, and a save leaves the running topology,
// the selected probe and the closed channel list as they were.
//
// A recalled file is checked before anything changes (TorvexCheckSettingsFile): it must be a
// well-formed parameter-tree file whose top element is the group's branch and which holds every bound
// path of the group, each with the type of the running node; a whole-tree file must also be of
// parameter-file version 3.4. A refused file changes nothing, so the bound node pointers stay valid.
// Groups that need a restart (ALL, COMMunication) do not touch the running tree: they put a start-up
// file in place of LastPowerOff.xml and ask the power control for a reset that keeps it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Torvex {

class CParameterNode;

struct SettingsSubsystemEntry {
  std::int32_t type;        // equal to the row's index
  const char* scpi_name;    // the group name of the SCPI store command
  const char* directory;    // where the group's files lie
  CParameterNode** branch;  // the bound pointer of the group's branch (read at each use)
  bool requires_restart;    // recalled through LastPowerOff.xml and a reset
};

// Rows 0-5 are the groups ALL, COMMunication, MEASure, TRIGger, REFClk and UNITs; row 6 closes the
// table (searches stop before it).
inline constexpr std::size_t kSettingsSubsystemCount = 7;
inline constexpr std::int32_t kSettingsGroupCount = 6;
extern const SettingsSubsystemEntry g_SettingsSubsystems[kSettingsSubsystemCount];

inline constexpr const char* kSettingsDirectory = "/yaffs/settings";
inline constexpr const char* kLastPowerOffPath = "/yaffs/settings/LastPowerOff.xml";
inline constexpr const char* kFactorySettingsPath = "/romfs/factory.xml";

// Result codes besides those of the tree files (4 a merge removed a node with children, 9 cannot
// create or open, 10 not a well-formed file of the group, 11 read-back failed).
inline constexpr int kSettingsNotInGroup = 6;     // the path lies in no group's directory
inline constexpr int kSettingsUnknownGroup = 48;  // no group has that name

// The type of the group whose SCPI name equals `name` exactly: 0, or 48 (`type` untouched).
int TorvexFindSettingsSubsystem(const char* name, std::int32_t& type);

// Writes the branch of group `type` (0-5) to "<directory>/<name>": 0, 9 (directory or file cannot be
// made; also for a name that is empty, holds "/" or is "." or ".."), 11 (read-back failed, nothing
// left behind) or 48 (no such group).
int TorvexSaveSettings(const char* name, std::int32_t type);

// Recalls the file at `path` (a file below a group's directory; the group is the one whose directory
// the path continues at a "/"). 0, 4, 6, 9, 10 or 11. Recalling LastPowerOff.xml itself ("*RST")
// always restarts: a good file is kept for the start, a missing or refused one is replaced by the
// running tree at the shut-down.
int TorvexLoadSettings(const char* path);

// Writes the whole tree to `path` (main at shut-down, with kLastPowerOffPath): 0, 9 or 11. When a
// recall has put a start-up file in place for the coming reset, that file is kept and nothing is
// written (0).
int TorvexSaveLastPowerOff(const char* path);

// Removes LastPowerOff.xml: 0 or 9.
int TorvexDeleteLastPowerOff();

// The checks of a recall, on the file alone: 0, 9 (cannot open) or 10 (refused). `row` is the group
// the file is recalled into; the running tree and its bound pointers give the names and types the
// file must hold. Nothing changes, whatever the file holds.
int TorvexCheckSettingsFile(const char* path, const SettingsSubsystemEntry& row);

// The group a recall path belongs to, or null when none (also for paths with "." or ".." components,
// or longer than 255 characters).
const SettingsSubsystemEntry* TorvexFindSettingsGroupOfPath(const char* path);

}  // namespace Torvex
