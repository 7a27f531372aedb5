#include "settings/SettingsSubsystems.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "core/CLogger.h"
#include "core/TemporaryFiles.h"
#include "platform/io.h"
#include "settings/StartupSettings.h"
#include "system/CTorvexPower.h"
#include "system/TorvexFileUtilities.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"
#include "tree/ParameterTreeXml.h"

namespace Torvex {

const SettingsSubsystemEntry g_SettingsSubsystems[kSettingsSubsystemCount] = {
    {0, "ALL", "/yaffs/settings", &g_ParameterTreeRoot, true},
    {1, "COMMunication", "/yaffs/settings/comm_parms", &g_node_comm_parms, true},
    {2, "MEASure", "/yaffs/settings/measure_parms", &g_node_measure_parms, false},
    {3, "TRIGger", "/yaffs/settings/trigger_parms", &g_node_trigger_parms, false},
    {4, "REFClk", "/yaffs/settings/ref_clock_parms", &g_node_ref_clock_parms, false},
    {5, "UNITs", "/yaffs/settings/units_parms", &g_node_units_parms, false},
    {6, "", "", nullptr, false},
};
static_assert(sizeof g_SettingsSubsystems / sizeof g_SettingsSubsystems[0] == kSettingsSubsystemCount);

namespace {

constexpr std::size_t kMaxPathLength = 255;
// Read, write and search for everybody.
constexpr unsigned int kDirectoryMode = 0777;

// Deletes a tree built from a file when it goes out of scope.
class CScratchTree {
 public:
  CScratchTree() = default;
  ~CScratchTree() { delete m_Root; }
  CScratchTree(const CScratchTree&) = delete;
  CScratchTree& operator=(const CScratchTree&) = delete;
  CParameterNode** Out() { return &m_Root; }
  CParameterNode* Get() const { return m_Root; }

 private:
  CParameterNode* m_Root = nullptr;
};

bool IsPathSyntaxName(std::string_view name) {
  return name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos;
}

bool HasDotComponent(std::string_view path) {
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view component = path.substr(0, slash);
    if (component == "." || component == "..") return true;
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return false;
}

// True when `path` names LastPowerOff.xml (repeated "/" read as one; dot components are refused before).
bool IsStartupFilePath(std::string_view path) {
  std::string collapsed;
  for (char c : path) {
    if (c != '/' || collapsed.empty() || collapsed.back() != '/') collapsed.push_back(c);
  }
  return collapsed == kLastPowerOffPath;
}

// The bound path of a group's branch pointer ("" for the tree root).
std::string_view BranchPath(const SettingsSubsystemEntry& row) {
  for (std::size_t i = 0; i < kBoundParameterNodeCount; ++i) {
    const auto& bound = kBoundParameterNodes[i];
    if (bound.node == row.branch) return bound.path;
  }
  return {};
}

// The path of a bound entry relative to the group's branch, or false when it lies outside the group.
bool RelativeToBranch(std::string_view path, std::string_view branch, std::string_view& relative) {
  if (branch.empty()) {
    relative = path;
    return true;
  }
  if (path == branch) {
    relative = {};
    return true;
  }
  if (path.size() > branch.size() && path.substr(0, branch.size()) == branch && path[branch.size()] == '/') {
    relative = path.substr(branch.size() + 1);
    return true;
  }
  return false;
}

// Makes the XML text of `node` with its subtree under the tree lock, with the peripherals branch
// written empty (peripheral nodes never reach a settings file; the running topology, the selection and
// the closed channel list stay as they are), then makes `directory` and writes the file after
// releasing the lock, so that a store during a measurement holds no tree user for the flash write:
// 0, 9 or 11. When the directory cannot be made, 9 is returned with its error number in
// `directory_error` (0 otherwise). The file is written under a temporary name, read back and only
// then renamed over `path`, so a failed save leaves the previous file in place.
int WriteSettingsFile(const char* directory, const char* path, CParameterNode* node, int& directory_error) {
  directory_error = 0;
  std::string text;
  const int made = node == nullptr ? eCannotOpenFile : TreeToXmlText(node, text, g_node_peripherals);
  if (TorvexMakeDirectoryPath(directory, kDirectoryMode) != 0) {
    directory_error = errno != 0 ? errno : EIO;
    return eCannotOpenFile;
  }
  if (made != eSuccess) return made == eCannotOpenFile ? made : eWriteFailed;
  const int result = SaveXmlTextToFile(path, text);
  return result == 0 || result == eCannotOpenFile ? result : eWriteFailed;
}

// Every node the file would merge into the running branch must have the running node's type, and no
// element may name a node with path syntax (which the merge would resolve outside the branch).
bool MatchesRunningTypes(CParameterNode* file_node, CParameterNode* running_node) {
  for (CParameterNode* child = file_node->FirstChild(); child != nullptr; child = child->NextSibling()) {
    if (IsPathSyntaxName(child->Name())) return false;
    CParameterNode* running_child = nullptr;
    if (running_node != nullptr && running_node->FindNode(child->Name(), &running_child) == 0) {
      if (running_child->Type() != child->Type()) return false;
    } else {
      running_child = nullptr;
    }
    if (!MatchesRunningTypes(child, running_child)) return false;
  }
  return true;
}

// COMMunication recall: the next start-up file is the running tree with the recalled branch merged
// into it (never the branch alone). 0, 9, 10 or 11.
int WriteStartupFileWithBranch(const char* group_file, const SettingsSubsystemEntry& row) {
  const std::string running = TemporaryFileName(kLastPowerOffPath, 1);
  std::string text;
  if (TreeToXmlText(g_ParameterTreeRoot, text, g_node_peripherals) != 0) return eWriteFailed;
  if (const int result = SaveXmlTextToFile(running, text); result != 0) {
    return result == eCannotOpenFile ? result : eWriteFailed;
  }
  CScratchTree copy;
  const int loaded = LoadTreeFromXml(running, copy.Out(), nullptr);
  platform::unlink(running.c_str());
  if (loaded != 0 || copy.Get() == nullptr) return loaded == eCannotOpenFile ? loaded : eNotWellFormed;

  CParameterNode* branch = nullptr;
  if (copy.Get()->FindNode(std::string(BranchPath(row)), &branch) != 0) return eNotWellFormed;
  CParameterNode* merged = branch;
  const int result = LoadTreeFromXml(group_file, &merged, branch);
  if (result != 0 && result != ePurgedNodeWithChildren) return result;

  const int written = SaveTreeToXml(kLastPowerOffPath, copy.Get());
  return written == 0 || written == eCannotOpenFile ? written : eWriteFailed;
}

}  // namespace

int TorvexFindSettingsSubsystem(const char* name, std::int32_t& type) {
  if (name == nullptr) return kSettingsUnknownGroup;
  for (std::int32_t row = 0; row < kSettingsGroupCount; ++row) {
    if (std::strcmp(name, g_SettingsSubsystems[row].scpi_name) == 0) {
      type = g_SettingsSubsystems[row].type;
      return 0;
    }
  }
  return kSettingsUnknownGroup;
}

const SettingsSubsystemEntry* TorvexFindSettingsGroupOfPath(const char* path) {
  if (path == nullptr) return nullptr;
  const std::string_view text(path);
  if (text.size() > kMaxPathLength || HasDotComponent(text)) return nullptr;
  // The group is the one whose directory the path begins with (a file in measure_parms_old/ is a
  // MEASure file): the groups with their own directories first, then ALL, whose directory holds
  // theirs and must be a whole folder of the path.
  for (std::int32_t index : {1, 2, 3, 4, 5, 0}) {
    const std::string_view directory = g_SettingsSubsystems[index].directory;
    if (text.size() > directory.size() + 1 && text.substr(0, directory.size()) == directory &&
        (index != 0 || text[directory.size()] == '/')) {
      return &g_SettingsSubsystems[index];
    }
  }
  return nullptr;
}

int TorvexCheckSettingsFile(const char* path, const SettingsSubsystemEntry& row) {
  if (row.branch == nullptr || *row.branch == nullptr) return eNotWellFormed;
  CScratchTree file;
  const int loaded = LoadTreeFromXml(path, file.Out(), nullptr);
  if (loaded == eCannotOpenFile) return eCannotOpenFile;
  CParameterNode* top = file.Get();
  CParameterNode* running = *row.branch;
  if (loaded != 0 || top == nullptr || top->Type() != eNodeType::Branch || top->Name() != running->Name()) {
    return eNotWellFormed;
  }

  // Every bound path of the group, with the running node's type.
  const std::string_view branch_path = BranchPath(row);
  for (std::size_t i = 0; i < kBoundParameterNodeCount; ++i) {
    const auto& bound = kBoundParameterNodes[i];
    std::string_view relative;
    if (!RelativeToBranch(bound.path, branch_path, relative)) continue;
    CParameterNode* node = top;
    if (!relative.empty() && top->FindNode(std::string(relative), &node) != 0) return eNotWellFormed;
    if (*bound.node == nullptr || node->Type() != (*bound.node)->Type()) return eNotWellFormed;
  }

  if (row.type == 0) {
    CParameterNode* version = nullptr;
    if (top->FindNode("system/versions/parm_file", &version) != 0 ||
        !TorvexVersionAccepted(version->GetStringAttribute(eAttrValue), kParameterFileVersion, kParameterFileVersion)) {
      return eNotWellFormed;
    }
  }
  return MatchesRunningTypes(top, running) ? 0 : eNotWellFormed;
}

int TorvexSaveSettings(const char* name, std::int32_t type) {
  if (type < 0 || type >= kSettingsGroupCount) return kSettingsUnknownGroup;
  const SettingsSubsystemEntry& row = g_SettingsSubsystems[type];
  if (name == nullptr || IsPathSyntaxName(name)) return eCannotOpenFile;
  const std::string path = std::string(row.directory) + "/" + name;
  if (path.size() > kMaxPathLength) return eCannotOpenFile;

  g_Logger.Printf("Saving parms in %s\n", path.c_str());
  int directory_error = 0;
  const int result = WriteSettingsFile(row.directory, path.c_str(), *row.branch, directory_error);
  if (directory_error != 0) {
    g_Logger.Printf("%s not saved (cannot create %s: %s)\n", path.c_str(), row.directory,
                    std::strerror(directory_error));
  }
  if (result != 0) return result;
  g_Logger.Printf("Settings successfully written to yaffs\n");
  return 0;
}

int TorvexSaveLastPowerOff(const char* path) {
  if (CTorvexPower::TakeKeepSavedSettings()) {
    g_Logger.Printf("Keeping the recalled settings in %s\n", path);
    return 0;
  }
  g_Logger.Printf("Writing %s\n", path);
  int directory_error = 0;
  const int result = WriteSettingsFile(kSettingsDirectory, path, g_ParameterTreeRoot, directory_error);
  if (directory_error != 0) {
    g_Logger.Printf("Could not create 'settings' directory: %s\n", std::strerror(directory_error));
    g_Logger.Printf("%s not saved (cannot create %s: %s)\n", path, kSettingsDirectory, std::strerror(directory_error));
  }
  if (result != 0) return result;
  g_Logger.Printf("Settings successfully written to yaffs\n");
  return 0;
}

int TorvexDeleteLastPowerOff() { return TorvexRemoveFile(kLastPowerOffPath); }

int TorvexLoadSettings(const char* path) {
  g_Logger.Printf("TorvexLoadSettings %s\n", path != nullptr ? path : "");
  const SettingsSubsystemEntry* row = TorvexFindSettingsGroupOfPath(path);
  if (row == nullptr) return kSettingsNotInGroup;
  g_Logger.Printf("File type %d located in %s. Requires restart: %s\n", static_cast<int>(row->type), row->directory,
                  row->requires_restart ? "Yes" : "No");

  // "*RST" recalls the start-up file itself: there is nothing to copy, and the reset is an ordinary
  // one whose shut-down saves the running tree, whether or not a start-up file exists.
  if (IsStartupFilePath(path)) {
    CTorvexPower::RequestRestart();
    return 0;
  }
  const int checked = TorvexCheckSettingsFile(path, *row);
  if (checked != 0) return checked;

  if (row->requires_restart) {
    int result = 0;
    if (row->type == 0) {
      result = TorvexCopyFile(kLastPowerOffPath, path);
    } else {
      if (TorvexMakeDirectoryPath(kSettingsDirectory, kDirectoryMode) != 0) return eCannotOpenFile;
      result = WriteStartupFileWithBranch(path, *row);
    }
    if (result != 0) return result;
    CTorvexPower::RequestRestartKeepingSettings();
    return 0;
  }

  // The file holds every bound node of the branch, so the merge keeps them all (and the branch).
  CParameterNode* branch = *row->branch;
  CParameterNode* merged = branch;
  const int result = LoadTreeFromXml(path, &merged, branch);
  // Other threads read the bound pointer without a lock: it is written only when it really changes.
  if (merged != nullptr && merged != branch) *row->branch = merged;
  return result;
}

}  // namespace Torvex
