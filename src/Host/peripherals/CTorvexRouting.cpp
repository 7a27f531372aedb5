// Channel selection and routing (see CTorvexPeripheral.h): every operation but RetrieveTopology holds
// g_TopologyLock from start to end; each restores a defined state on failure.
#include "core/CLogger.h"
#include "peripherals/CTorvexPeripheral.h"
#include "peripherals/CTorvexPwMeasuringPeripheral.h"
#include "peripherals/PeripheralLink.h"
#include "peripherals/SearchLimits.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"
#include "tree/TopologyLock.h"

namespace Torvex {
namespace {

void SetCurrentObject(CTorvexPeripheral* object) {
  if (g_node_current_probe_object != nullptr) g_node_current_probe_object->SetPointerAttribute(eAttrValue, object);
}

CTorvexPeripheral* CurrentObject() {
  if (g_node_current_probe_object == nullptr) return nullptr;
  return static_cast<CTorvexPeripheral*>(g_node_current_probe_object->GetPointerAttribute(eAttrValue));
}

bool NmrPathBroken() {
  return g_node_current_probe_nmr_path_broken != nullptr &&
         g_node_current_probe_nmr_path_broken->GetBooleanAttribute(eAttrValue);
}

CTorvexPwMeasuringPeripheral* Measuring(CTorvexPeripheral* object) {
  if (object == nullptr || !object->IsMeasuring()) return nullptr;
  return static_cast<CTorvexPwMeasuringPeripheral*>(object);
}

bool SearchSubtree(CParameterNode* node) {
  for (CParameterNode* child = nullptr;;) {
    {
      CRecursiveLockGuard tree(g_ParameterTreeLock);
      child = child == nullptr ? node->FirstChild() : child->NextSibling();
    }
    if (child == nullptr) return false;
    CTorvexPeripheral* object = nullptr;
    {
      CRecursiveLockGuard tree(g_ParameterTreeLock);
      object = static_cast<CTorvexPeripheral*>(child->GetPointerAttribute(eAttrValue));
    }
    if (object != nullptr && object->IsMeasuring()) return true;
    if (SearchSubtree(child)) return true;
  }
}

}  // namespace

int CTorvexPeripheral::SelectChannel(const std::string& path, CTorvexPeripheral** out) {
  CRecursiveLockGuard topology(g_TopologyLock);
  g_Logger.Printf("CTorvexPeripheral::SelectChannel %s\n", path.c_str());
  int result = 0;
  CTorvexPwMeasuringPeripheral* object = Measuring(FindPeripheralByPath(path));
  if (object == nullptr) {
    result = ePeripheralInvalidChannel;
  } else if (object->Activate() != 0) {
    result = ePeripheralNoProbe;
  }
  if (result != 0) {
    SetCurrentObject(nullptr);
    if (out != nullptr) *out = nullptr;
    return result;
  }
  SetCurrentObject(object);
  if (out != nullptr) *out = object;
  return 0;
}

bool CTorvexPeripheral::HasMeasuringPeripheral(CParameterNode* node) {
  CRecursiveLockGuard topology(g_TopologyLock);
  if (node == nullptr) return false;
  bool empty = false;
  {
    CRecursiveLockGuard tree(g_ParameterTreeLock);
    empty = node->FirstChild() == nullptr;
  }
  if (empty) {
    SetCurrentObject(nullptr);
    return false;
  }
  return SearchSubtree(node);
}

int CTorvexPeripheral::GetCurrentProbePath(CTorvexPeripheral** out) {
  CRecursiveLockGuard topology(g_TopologyLock);
  int result = 0;
  CTorvexPeripheral* object = nullptr;
  do {
    if (!HasMeasuringPeripheral(g_node_peripherals)) {
      result = ePeripheralNoProbe;
      break;
    }
    CTorvexChannel route;
    std::uint16_t model = 0;
    std::uint32_t serial = 0;
    if (const int rc = PeripheralLink::GetActiveRoute(route, model, serial); rc != 0) {
      result = rc;
      break;
    }
    CTorvexChannel full;
    full.AppendLevel(1);
    for (std::uint8_t i = 0; i < route.Length(); ++i) full.AppendLevel(route.Level(i));
    const std::string path = PathOf(full);
    object = CurrentObject();
    if (object == nullptr) {
      result = ePeripheralNoProbe;
      break;
    }
    if (!object->IsMeasuring() || PathOf(object->GetChannel()) != path) {
      result = ePeripheralWrongRoute;
      break;
    }
    g_Logger.Printf("CurrentProbePath \"%s\"\n", path.c_str());
  } while (false);
  if (result != 0) {
    SetCurrentObject(nullptr);
    object = nullptr;
  }
  if (out != nullptr) *out = object;
  return result;
}

int CTorvexPeripheral::CloseRoute(const std::vector<CTorvexChannel>& list) {
  CRecursiveLockGuard topology(g_TopologyLock);
  int result = 0;
  do {
    if (list.empty()) {
      result = ePeripheralInvalidChannel;
      break;
    }
    for (const CTorvexChannel& channel : list) {
      if (Measuring(FindPeripheralByChannel(channel)) == nullptr) result = ePeripheralInvalidChannel;
    }
    if (result != 0) break;
    if ((result = InitializeChannels(list)) != 0) break;
    double low = 0;
    double high = 0;
    for (std::size_t i = 0; i < list.size(); ++i) {
      CTorvexPwMeasuringPeripheral* object = Measuring(FindPeripheralByChannel(list[i]));
      if (object == nullptr) {
        result = ePeripheralInvalidChannel;
        break;
      }
      const double ratio = object->GetGyromagneticRatio();
      const double l = object->GetMinFrequency() / ratio;
      const double h = object->GetMaxFrequency() / ratio;
      if (i == 0 || l < low) low = l;
      if (i == 0 || h > high) high = h;
    }
    if (result != 0) break;
    SetSearchRangeFromProbe(low, high);
    if (SelectChannel(PathOf(list.front()), nullptr) != 0) {
      result = ePeripheralNoProbe;
      break;
    }
    g_CurrentChannelList = list;
  } while (false);
  if (result != 0) {
    g_CurrentChannelList.clear();
    SetCurrentObject(nullptr);
  }
  return result;
}

int CTorvexPeripheral::HasTopologyChanged(bool* changed) {
  CRecursiveLockGuard topology(g_TopologyLock);
  *changed = false;
  std::uint32_t indicator = 0;
  if (const int rc = PeripheralLink::ReadChangeIndicator(indicator); rc != 0) return rc;
  if (indicator != 0 || NmrPathBroken()) {
    *changed = true;
    return 0;
  }
  CTorvexPeripheral* object = FindPeripheralByPath("1");
  if (object == nullptr) {
    *changed = true;
    return 0;
  }
  PeripheralIdentification id;
  if (const int rc = PeripheralLink::ReadIdentification(id); rc != 0) return rc;
  *changed = id.model != object->GetModel() || static_cast<int>(id.serial) != object->GetSerialNumber();
  return 0;
}

int CTorvexPeripheral::RetrieveTopology(std::vector<CTorvexChannel>& list) {
  list.clear();
  int result = 0;
  bool changed = false;
  if (HasTopologyChanged(&changed) != 0) {
    result = ePeripheralNoProbe;
  } else if (!changed) {
    g_Logger.Printf("Topology didn't change\n");
    CollectMeasuringChannels(list, g_node_peripherals, true);
  } else {
    g_Logger.Printf("Retrieving topology.\n");
    result = CreateTopology(list);
    if (result != 0) g_Logger.Printf("\nTopology couldn't be (or not totally) retrieved.\n");
  }
  if (result != 0) {
    DeleteTopologyNodes(g_node_peripherals, true);
    list.clear();
    return result;
  }
  if (list.empty()) {
    g_Logger.Printf("EMPTY\n");
    return ePeripheralNoProbe;
  }
  return 0;
}

int CTorvexPeripheral::LowLevelQuery(std::vector<std::uint8_t>& bytes, std::uint8_t* status) {
  CRecursiveLockGuard topology(g_TopologyLock);
  // A read (address byte with bit 0 set) is that byte alone; whatever follows it is not used. A write
  // is a whole frame: address byte, length (which must be its size), content, check byte.
  const bool read = !bytes.empty() && (bytes[0] & 1) != 0;
  if (bytes.empty() || (!read && (bytes.size() < kLinkEmptyFrameSize || bytes.size() > 0xffff ||
                                  ((std::size_t{bytes[1]} << 8) | bytes[2]) != bytes.size()))) {
    bytes.clear();
    return eLinkRefused;
  }
  if (const int rc = PeripheralLink::PollStatus(nullptr); rc != 0) {
    bytes.clear();
    return rc;
  }
  if (read) {
    const std::uint8_t* frame = nullptr;
    std::uint16_t length = 0;
    if (PeripheralLink::ReceiveFrame(bytes[0], &frame, &length) == 0) bytes.assign(frame, frame + length);
    else bytes.clear();
  } else {
    (void)PeripheralLink::SendFrame(bytes.data(), bytes.size());
    bytes.clear();
  }
  std::uint8_t last = 0;
  if (const int rc = PeripheralLink::PollStatus(&last); rc != 0) {
    bytes.clear();
    return rc;
  }
  if (status != nullptr) *status = last;
  return 0;
}

}  // namespace Torvex
