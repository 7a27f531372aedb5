// The peripheral topology: building it from the link scan, the peripherals branch, teardown and
// lookups; the peripheral start-up and the topology monitor thread.
#include <memory>

#include "core/CLogger.h"
#include "core/CThread.h"
#include "peripherals/CTorvexMultiplexer.h"
#include "peripherals/CTorvexPeripheral.h"
#include "peripherals/CTorvexPulsedCamera.h"
#include "peripherals/CTorvexPulsedCameraHead.h"
#include "peripherals/CTorvexPulsedProbe.h"
#include "peripherals/NmrPathState.h"
#include "peripherals/PeripheralLink.h"
#include "peripherals/ProbeXml.h"
#include "peripherals/PwPhysicalInformation.h"
#include "platform/kernel.h"
#include "status/CScpiStatus.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"
#include "tree/TopologyLock.h"

namespace Torvex {

std::vector<CTorvexChannel> g_CurrentChannelList;

namespace {

constexpr cyg_tick_count_t kMonitorPeriodTicks = 20;

// The Pointer value of `node`, read under the tree lock.
CTorvexPeripheral* ObjectOf(CParameterNode* node) {
  CRecursiveLockGuard tree(g_ParameterTreeLock);
  return static_cast<CTorvexPeripheral*>(node->GetPointerAttribute(eAttrValue));
}

void SetCurrentObject(CTorvexPeripheral* object) {
  if (g_node_current_probe_object != nullptr) g_node_current_probe_object->SetPointerAttribute(eAttrValue, object);
}

class CTopologyMonitorThread : public CThread {
 public:
  CTopologyMonitorThread() : CThread(kTopologyMonitorThread) {}

 protected:
  void ThreadMain() override {
    std::uint32_t current = 0;
    (void)ReadNmrPathState(&current);  // the baseline: reports nothing
    for (;;) {
      const std::uint32_t previous = current;
      (void)ReadNmrPathState(&current);  // a failed read gives 0 and counts as any other sample
      TopologyMonitorStep(previous, current);
      cyg_thread_delay(kMonitorPeriodTicks);
    }
  }
};

// Built at first use (on main, at start-up) and kept for the process: the monitor never stops.
CTopologyMonitorThread& TheMonitor() {
  static CTopologyMonitorThread* monitor = new CTopologyMonitorThread();
  return *monitor;
}

}  // namespace

void TopologyMonitorStep(std::uint32_t previous, std::uint32_t current) {
  if (previous == current) return;
  if (previous == 0) {
    g_Logger.Printf("TopologyMonitor: Peripheral plugged\n");
    CScpiStatus::SetDeviceBitRow(kStatusRowPeripheralPlugged, true, false);
    return;
  }
  if (previous == 3 && current == 2) return;
  g_Logger.Printf("TopologyMonitor: NMR Path broken\n");
  CScpiStatus::SetDeviceBitRow(kStatusRowNmrPathBroken, true, false);
  if (g_node_current_probe_nmr_path_broken != nullptr)
    g_node_current_probe_nmr_path_broken->SetBooleanAttribute(eAttrValue, true);
}

void CTorvexPeripheral::PublishPeripheral(CTorvexPeripheral* object) {
  if (object == nullptr || g_node_peripherals == nullptr) return;
  CRecursiveLockGuard topology(g_TopologyLock);
  CParameterNode* node = nullptr;
  if (g_node_peripherals->FindOrCreateNode(PathOf(object->GetChannel()), eNodeType::Pointer, &node) != 0 ||
      node == nullptr)
    return;
  node->SetPointerAttribute(eAttrValue, object);
}

void CTorvexPeripheral::DeleteTopologyNodes(CParameterNode* branch, bool purge) {
  if (branch == nullptr) return;
  CRecursiveLockGuard topology(g_TopologyLock);
  // The selection goes first, so nothing reaches an object while it is destroyed.
  if (purge) SetCurrentObject(nullptr);
  for (CParameterNode* child = nullptr;;) {
    {
      CRecursiveLockGuard tree(g_ParameterTreeLock);
      child = child == nullptr ? branch->FirstChild() : child->NextSibling();
      if (child == nullptr) break;
      child->SetKeep(false);
    }
    // The node lets go of the object first; an object still held elsewhere (a measurement) lives on
    // until its last reference goes.
    CTorvexPeripheral* object = ObjectOf(child);
    if (object != nullptr) {
      child->SetPointerAttribute(eAttrValue, nullptr);
      Release(object);
    }
    DeleteTopologyNodes(child, false);
  }
  if (purge) {
    {
      CRecursiveLockGuard tree(g_ParameterTreeLock);
      branch->SetKeep(true);  // the branch itself stays
      (void)CParameterNode::PurgeUnkeptNodes(branch);
    }
    SetCurrentObject(nullptr);
    g_CurrentChannelList.clear();
  }
}

int CTorvexPeripheral::CreateTopology(std::vector<CTorvexChannel>& list) {
  CRecursiveLockGuard topology(g_TopologyLock);
  list.clear();
  std::vector<PeripheralScanEntry> entries;
  if (const int rc = PeripheralLink::ScanTopology(entries); rc != 0) return rc;
  DeleteTopologyNodes(g_node_peripherals, true);

  for (const PeripheralScanEntry& entry : entries) {
    // The full channel: the connector level 1, then the link path. The scan never gives more than
    // four link levels; anything deeper has no room and is skipped.
    if (entry.path.Length() >= CTorvexChannel::kMaxLevels) {
      g_Logger.Printf("CreateTopology: peripheral nested too deep skipped\n");
      continue;
    }
    CTorvexChannel channel;
    channel.AppendLevel(1);
    for (std::uint8_t i = 0; i < entry.path.Length(); ++i) channel.AppendLevel(entry.path.Level(i));

    CTorvexPeripheral* object = nullptr;
    switch (entry.id.type) {
      case ePeripheralProbe2:
        object = new CTorvexPulsedProbe(channel, entry.id);
        PublishPeripheral(object);
        break;
      case ePeripheralMultiplexer: {
        auto multiplexer = std::make_unique<CTorvexMultiplexer>(channel, entry.id, entry.portCount);
        if (multiplexer->Initialize() == 0) {
          object = multiplexer.release();
          PublishPeripheral(object);
        }
        break;
      }
      case ePeripheralCamera: {
        // A camera whose initialisation failed is destroyed here and neither published nor listed.
        auto camera = std::make_unique<CTorvexPulsedCamera>(channel, entry.id);
        if (camera->Initialize() != 0) break;
        CTorvexPulsedCamera* published = camera.release();
        object = published;
        PublishPeripheral(object);
        for (std::uint8_t head = 1; head <= published->GetChildCount(); ++head) {
          CTorvexChannel headChannel = channel;
          if (!headChannel.AppendLevel(head)) {
            g_Logger.Printf("CreateTopology: camera head nested too deep skipped\n");
            continue;
          }
          auto* headObject = new CTorvexPulsedCameraHead(headChannel, published);
          PublishPeripheral(headObject);
          list.push_back(headChannel);
        }
        break;
      }
      default: break;
    }
    if (object != nullptr && object->IsMeasuring()) list.push_back(channel);
  }
  (void)NumberMeasuringPeripherals("1", 0);
  if (g_node_current_probe_nmr_path_broken != nullptr)
    g_node_current_probe_nmr_path_broken->SetBooleanAttribute(eAttrValue, false);
  return 0;
}

void CTorvexPeripheral::CollectMeasuringChannels(std::vector<CTorvexChannel>& list, CParameterNode* node, bool clear) {
  CRecursiveLockGuard topology(g_TopologyLock);
  if (clear) list.clear();
  if (node == nullptr) return;
  for (CParameterNode* child = nullptr;;) {
    {
      CRecursiveLockGuard tree(g_ParameterTreeLock);
      child = child == nullptr ? node->FirstChild() : child->NextSibling();
    }
    if (child == nullptr) break;
    // A node without object (a parent that was not published) is skipped; its children are not.
    CTorvexPeripheral* object = ObjectOf(child);
    if (object != nullptr && object->IsMeasuring()) list.push_back(object->GetChannel());
    CollectMeasuringChannels(list, child, false);
  }
}

CTorvexPeripheral* CTorvexPeripheral::FindPeripheralByPath(const std::string& path) {
  CRecursiveLockGuard topology(g_TopologyLock);
  CRecursiveLockGuard tree(g_ParameterTreeLock);
  if (g_node_peripherals == nullptr) return nullptr;
  CParameterNode* node = nullptr;
  if (g_node_peripherals->FindNode(path, &node) != 0 || node == nullptr) return nullptr;
  return static_cast<CTorvexPeripheral*>(node->GetPointerAttribute(eAttrValue));
}

CTorvexPeripheral* CTorvexPeripheral::FindPeripheralByChannel(const CTorvexChannel& channel) {
  return FindPeripheralByPath(PathOf(channel));
}

void CTorvexPeripheral::InitCTorvexPeripheral() {
  g_Logger.Printf("Entering CTorvexPeripheral::InitCTorvexPeripheral\n");
  CRecursiveLockGuard topology(g_TopologyLock);
  PeripheralLink::Init();
  if (g_node_current_probe_current_channel_list != nullptr)
    g_node_current_probe_current_channel_list->SetPointerAttribute(eAttrValue, &g_CurrentChannelList);
  SetCurrentObject(nullptr);
  PeripheralLink::ResetControllers(true);
  DeleteTopologyNodes(g_node_peripherals, true);
  g_CurrentChannelList.clear();
  SetCurrentObject(nullptr);
  TheMonitor().Start();
  g_Logger.Printf("Retrieving topology.\n");
  std::vector<CTorvexChannel> list;
  if (CreateTopology(list) != 0) g_Logger.Printf("Topology couldn't be (or not totally) retrieved.\n");
  g_ProbeInfoSource = eProbeInfoFromProbe;
  if (ProbeXmlExists() && LoadProbeXml() == 0) g_ProbeInfoSource = eProbeInfoFromFile;
}

}  // namespace Torvex
