#include "peripherals/CTorvexPeripheral.h"

#include <cstdio>

#include "core/CRecursiveMutex.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"
#include "tree/TopologyLock.h"

namespace Torvex {
namespace {

// The object published at `path` below `peripherals`, or null.
CTorvexPeripheral* FindPeripheral(const std::string& path) {
  CRecursiveLockGuard tree(g_ParameterTreeLock);
  if (g_node_peripherals == nullptr) return nullptr;
  CParameterNode* node = nullptr;
  if (g_node_peripherals->FindNode(path, &node) != 0 || node == nullptr) return nullptr;
  return static_cast<CTorvexPeripheral*>(node->GetPointerAttribute(eAttrValue));
}

}  // namespace

CTorvexPeripheral::CTorvexPeripheral(const CTorvexChannel& channel) : channel(channel) {}

void CTorvexPeripheral::Retain() { references.fetch_add(1, std::memory_order_relaxed); }

void CTorvexPeripheral::Release(CTorvexPeripheral* object) {
  if (object == nullptr) return;
  // The last reference sees every use made through the others before it destroys the object.
  if (object->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete object;
}

std::string CTorvexPeripheral::PathOf(const CTorvexChannel& channel) {
  std::string path;
  for (std::uint8_t i = 0; i < channel.Length(); ++i) {
    char level[8];
    std::snprintf(level, sizeof level, "%u", static_cast<unsigned>(channel.Level(i)));
    if (i > 0) path += '/';
    path += level;
  }
  return path;
}

std::uint16_t CTorvexPeripheral::NumberMeasuringPeripherals(const std::string& path, std::uint16_t next) {
  CRecursiveLockGuard topology(g_TopologyLock);
  CTorvexPeripheral* object = FindPeripheral(path);
  if (object == nullptr) return next;
  if (object->IsMeasuring()) {
    object->measuringIndex = next;
    return static_cast<std::uint16_t>(next + 1);
  }
  for (unsigned port = 1; port <= object->GetChildCount(); ++port) {
    next = NumberMeasuringPeripherals(path + "/" + std::to_string(port), next);
  }
  return next;
}

int CTorvexPeripheral::InitializeChannels(const std::vector<CTorvexChannel>& list) {
  CRecursiveLockGuard topology(g_TopologyLock);
  for (std::size_t i = 0; i < list.size(); ++i) {
    CTorvexPeripheral* object = FindPeripheral(PathOf(list[i]));
    if (object == nullptr) return ePeripheralInvalidChannel;
    const int result = object->Initialize();
    if (result != 0) return result;
  }
  return 0;
}

}  // namespace Torvex
