#include "settings/StartupSettings.h"

#include <cstdio>
#include <cstdlib>

#include "core/CLogger.h"
#include "core/CRecursiveMutex.h"
#include "drivers/eeprom.h"
#include "settings/EepromIdentityRecord.h"
#include "settings/SettingsSubsystems.h"
#include "system/CTorvexPower.h"
#include "system/TorvexFileUtilities.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"
#include "tree/ParameterTreeXml.h"

namespace Torvex {

namespace {

std::uint16_t VersionPart(const std::string& part) {
  return static_cast<std::uint16_t>(std::strtol(part.c_str(), nullptr, 10));
}

bool NotBelow(VersionNumber version, VersionNumber bound) {
  return version.major != bound.major ? version.major > bound.major : version.minor >= bound.minor;
}

// Deletes whatever tree a refused file left and forgets every pointer into it.
void DiscardTree() {
  CRecursiveLockGuard lock(g_ParameterTreeLock);
  TorvexUnbindParameterNodes();
  CParameterNode* root = g_ParameterTreeRoot;
  g_ParameterTreeRoot = nullptr;
  delete root;
}

// Loads a settings file into an empty tree, binds the nodes and checks the parameter-file version.
// Each refusal names its reason in the log.
bool LoadSettingsFile(const char* path) {
  g_Logger.Printf("TorvexLoadStartupSettings: Reading %s\n", path);
  if (const int rc = LoadTreeFromXml(path, &g_ParameterTreeRoot, g_ParameterTreeRoot); rc != 0) {
    g_Logger.Printf("TorvexLoadStartupSettings: %s cannot be loaded (error %d)\n", path, rc);
    return false;
  }
  const char* missing = nullptr;
  if (BindParameterNodes(g_ParameterTreeRoot, &missing) != 0) {
    g_Logger.Printf("TorvexLoadStartupSettings: %s lacks the node %s\n", path, missing != nullptr ? missing : "?");
    return false;
  }
  const std::string version = g_node_system_versions_parm_file->GetStringAttribute(eAttrValue);
  if (!TorvexVersionAccepted(version, kParameterFileVersion, kParameterFileVersion)) {
    g_Logger.Printf("TorvexLoadStartupSettings: %s has parameter-file version \"%s\", not %u.%u\n", path,
                    version.c_str(), static_cast<unsigned>(kParameterFileVersion.major),
                    static_cast<unsigned>(kParameterFileVersion.minor));
    return false;
  }
  return true;
}

// A saved file's ranges are its own claims: the factory file's minimum, maximum and default hold,
// and a value outside them takes the default.
void ApplyFactoryLimits() {
  CParameterNode* factory = nullptr;
  if (LoadTreeFromXml(kFactorySettingsPath, &factory, nullptr) != 0 || factory == nullptr) {
    g_Logger.Printf("TorvexLoadStartupSettings: %s cannot be read for the ranges\n", kFactorySettingsPath);
    return;
  }
  ApplyReferenceLimits(g_ParameterTreeRoot, factory);
  delete factory;
}

}  // namespace

VersionNumber TorvexParseVersion(const std::string& text) {
  const std::size_t dot = text.find('.');
  if (dot == std::string::npos) {
    const std::uint16_t both = VersionPart(text);
    return {both, both};
  }
  return {VersionPart(text.substr(0, dot)), VersionPart(text.substr(dot + 1))};
}

bool TorvexVersionAccepted(const std::string& text, VersionNumber lowest, VersionNumber highest) {
  const VersionNumber version = TorvexParseVersion(text);
  return NotBelow(version, lowest) && NotBelow(highest, version);
}

int TorvexBindParameterNodes() { return BindParameterNodes(g_ParameterTreeRoot); }

void TorvexUnbindParameterNodes() { UnbindParameterNodes(); }

int TorvexLoadStartupSettings() {
  if (!LoadSettingsFile(kLastPowerOffPath)) {
    g_Logger.Printf("TorvexLoadStartupSettings: Error in file; deleting %s\n", kLastPowerOffPath);
    TorvexRemoveFile(kLastPowerOffPath);
    // The factory settings go into an empty tree: nothing of the refused file may survive in it.
    DiscardTree();
    if (!LoadSettingsFile(kFactorySettingsPath)) {
      DiscardTree();
      TorvexPanic();
      return eUnforeseen;
    }
  } else {
    ApplyFactoryLimits();
  }

  g_node_system_versions_arm_firmware->SetStringAttribute(eAttrValue, kArmFirmwareVersion);

  g_Logger.Printf("TorvexLoadStartupSettings: Reading EEPROM\n");
  EepromIdentityRecord record{};
  if (eeprom_read_record(record.bytes.data()) != 0) {
    g_Logger.Printf("TorvexLoadStartupSettings: EEPROM identity record cannot be read\n");
    TorvexPanic();
    return eUnforeseen;
  }
  if (!TorvexVersionAccepted(EepromVersionText(record), kEepromRecordVersion, kEepromRecordVersion)) {
    // A garbage image's version field is shown with its unprintable bytes as '?'.
    std::string shown = EepromVersionText(record);
    for (char& c : shown) {
      if (c < 0x20 || c > 0x7e) c = '?';
    }
    g_Logger.Printf("TorvexLoadStartupSettings: EEPROM identity record refused: version \"%s\" is not %u.%u\n",
                    shown.c_str(), static_cast<unsigned>(kEepromRecordVersion.major),
                    static_cast<unsigned>(kEepromRecordVersion.minor));
    TorvexPanic();
    return eUnforeseen;
  }
  TorvexApplyEepromIdentity(record);

  if (g_node_comm_parms_ethernet_id->GetStringAttribute(eAttrValue).empty()) {
    char host_name[32];
    std::snprintf(host_name, sizeof host_name, "Torvex_%05d", static_cast<std::int32_t>(EepromSerialNumber(record)));
    g_node_comm_parms_ethernet_id->SetStringAttribute(eAttrValue, host_name);
  }
  return 0;
}

}  // namespace Torvex
