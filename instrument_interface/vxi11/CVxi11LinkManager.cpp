#include "vxi11/CVxi11LinkManager.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "engine/C4882Device.h"
#include "vxi11/Vxi11Status.h"

namespace {

std::atomic<CVxi11PhysicalInterfaceManager*> g_interface_manager{nullptr};
std::atomic<CVxi11LinkManager*> g_link_table{nullptr};

std::string OwnName(std::uint32_t device_index) {
  char name[24];
  std::snprintf(name, sizeof name, "inst%lu", static_cast<unsigned long>(device_index));
  return name;
}

}  // namespace

CVxi11PhysicalInterfaceManager* Vxi11InterfaceManager() { return g_interface_manager.load(); }
CVxi11LinkManager* Vxi11LinkTable() { return g_link_table.load(); }

// ===================================================================================================
// Device names

// Every name maps to its interface; a name being created maps to null until the interface exists.
struct CVxi11PhysicalInterfaceManager::Names {
  std::map<std::string, CVxi11PhysicalInterface*> by_name;
  // Held while NotifyException calls into the engine, so that no interface is deleted meanwhile.
  COSMutex notify_mutex;
};

CVxi11PhysicalInterfaceManager::CVxi11PhysicalInterfaceManager() {
  mutex_ = new (std::nothrow) COSMutex;
  if (mutex_ != nullptr) mutex_->Init();
  names_ = new (std::nothrow) Names;
  if (names_ != nullptr) names_->notify_mutex.Init();
  if (!IsFailed()) g_interface_manager.store(this);
}

bool CVxi11PhysicalInterfaceManager::IsFailed() const {
  return mutex_ == nullptr || mutex_->IsFailed() || names_ == nullptr || names_->notify_mutex.IsFailed();
}

CVxi11PhysicalInterfaceManager::~CVxi11PhysicalInterfaceManager() {
  if (!IsFailed()) {
    if (GetInterfaceCount() > 0) {
      // The engine forgets interfaces of a plug-in that goes; they are ours to delete then.
      NotifyException(kExceptionPluginShutDown);
      std::vector<CVxi11PhysicalInterface*> left;
      std::uint32_t ignored = 0;
      mutex_->Lock(&ignored);
      for (const auto& entry : names_->by_name) {
        if (entry.second == nullptr) continue;
        bool seen = false;
        for (CVxi11PhysicalInterface* p : left) seen = seen || p == entry.second;
        if (!seen) left.push_back(entry.second);
      }
      mutex_->Unlock();
      for (CVxi11PhysicalInterface* p : left) DestroyInterface(p, &ignored);
    }
  }
  CVxi11PhysicalInterfaceManager* self = this;
  g_interface_manager.compare_exchange_strong(self, nullptr);
  if (mutex_ != nullptr) {
    if (!mutex_->IsFailed()) mutex_->Destroy();
    delete mutex_;
  }
  if (names_ != nullptr) {
    if (!names_->notify_mutex.IsFailed()) names_->notify_mutex.Destroy();
    delete names_;
  }
}

CPhysicalInterface* CVxi11PhysicalInterfaceManager::CreateInterface(const DoVovuriDeviceDescriptor* descriptor,
                                                                    std::uint32_t device_index, std::uint32_t* status) {
  if (descriptor == nullptr || (descriptor->interface_version >> 8) != 0x10400) {
    *status = kVxi11StatusIncompatible;
    return nullptr;
  }
  if (IsFailed()) {
    *status = kStatusOutOfMemory;
    return nullptr;
  }
  const std::string name = OwnName(device_index);
  std::uint32_t ignored = 0;
  mutex_->Lock(&ignored);
  if (names_->by_name.count(name) != 0) {
    mutex_->Unlock();
    *status = kStatusInterfaceAlreadyBound;
    return nullptr;
  }
  try {
    names_->by_name.emplace(name, nullptr);  // reserved while the interface is made
  } catch (const std::bad_alloc&) {
    mutex_->Unlock();
    *status = kStatusOutOfMemory;
    return nullptr;
  }
  std::uint32_t construct_status = kStatusSuccess;
  auto* created = new (std::nothrow) CVxi11PhysicalInterface(device_index, descriptor->plugin_id, &construct_status);
  if (created == nullptr) {
    names_->by_name.erase(name);
    mutex_->Unlock();
    *status = kStatusOutOfMemory;
    return nullptr;
  }
  if (construct_status != kStatusSuccess || !created->IsConstructed()) {
    names_->by_name.erase(name);
    mutex_->Unlock();
    delete created;
    *status = kVxi11StatusConstructFailed;
    return nullptr;
  }
  names_->by_name[name] = created;
  ++count_;
  mutex_->Unlock();
  *status = kStatusSuccess;
  return created;
}

void CVxi11PhysicalInterfaceManager::DestroyInterface(CPhysicalInterface* physical_interface) {
  std::uint32_t ignored = 0;
  DestroyInterface(physical_interface, &ignored);
}

void CVxi11PhysicalInterfaceManager::DestroyInterface(CPhysicalInterface* physical_interface, std::uint32_t* status) {
  if (physical_interface == nullptr || physical_interface->PluginId() != kPluginIdVxi11 || IsFailed()) {
    *status = kStatusNotReported;
    return;
  }
  auto* vxi = static_cast<CVxi11PhysicalInterface*>(physical_interface);
  std::uint32_t ignored = 0;
  // No link may point to an interface that goes.
  if (vxi->IsEnabled()) vxi->Disable(&ignored);
  names_->notify_mutex.Lock(&ignored);
  mutex_->Lock(&ignored);
  bool found = false;
  for (auto it = names_->by_name.begin(); it != names_->by_name.end();) {
    if (it->second == vxi) {
      found = true;
      it = names_->by_name.erase(it);
    } else {
      ++it;
    }
  }
  if (found) --count_;
  mutex_->Unlock();
  names_->notify_mutex.Unlock();
  delete vxi;
  *status = kStatusSuccess;
}

std::int32_t CVxi11PhysicalInterfaceManager::GetInterfaceCount() {
  std::uint32_t ignored = 0;
  mutex_->Lock(&ignored);
  const std::int32_t count = count_;
  mutex_->Unlock();
  return count;
}

CVxi11PhysicalInterface* CVxi11PhysicalInterfaceManager::FindInterface(const char* name) {
  if (name == nullptr || IsFailed()) return nullptr;
  std::uint32_t ignored = 0;
  mutex_->Lock(&ignored);
  CVxi11PhysicalInterface* found = nullptr;
  auto it = names_->by_name.find(name);
  if (it != names_->by_name.end()) found = it->second;
  mutex_->Unlock();
  return found;
}

void CVxi11PhysicalInterfaceManager::NotifyException(std::uint32_t code) {
  if (IsFailed()) return;
  std::uint32_t ignored = 0;
  names_->notify_mutex.Lock(&ignored);
  std::vector<CVxi11PhysicalInterface*> distinct;
  mutex_->Lock(&ignored);
  for (const auto& entry : names_->by_name) {
    if (entry.second == nullptr) continue;
    bool seen = false;
    for (CVxi11PhysicalInterface* p : distinct) seen = seen || p == entry.second;
    if (!seen) distinct.push_back(entry.second);  // a name and its alias map to one interface
  }
  mutex_->Unlock();
  // Outside the names' mutex: the engine takes its device mutex and may disable the interface.
  for (CVxi11PhysicalInterface* p : distinct) p->NotifyExceptionOutsideEvents(code);
  names_->notify_mutex.Unlock();
}

void CVxi11PhysicalInterfaceManager::RegisterName(CVxi11PhysicalInterface* physical_interface, const void* settings,
                                                  std::uint32_t* status) {
  const auto* vxi_settings = static_cast<const DoVovuriVxi11Settings*>(settings);
  std::string alias;
  if (vxi_settings != nullptr && vxi_settings->name_given != 0) {
    const std::size_t length = strnlen(vxi_settings->device_name, sizeof vxi_settings->device_name);
    if (length == 0 || length > kVxi11MaxAliasLength) {
      *status = kVxi11StatusNameInvalid;
      return;
    }
    alias.assign(vxi_settings->device_name, length);
  }
  std::uint32_t ignored = 0;
  mutex_->Lock(&ignored);
  if (!alias.empty()) {
    auto it = names_->by_name.find(alias);
    const bool own_name = alias == OwnName(physical_interface->DeviceIndex());
    // Names stay registered until the interface goes: its own alias is accepted again at re-enable.
    if (own_name || (it != names_->by_name.end() && it->second != physical_interface)) {
      mutex_->Unlock();
      *status = kVxi11StatusNameInvalid;
      return;
    }
    if (it == names_->by_name.end()) {
      try {
        names_->by_name.emplace(alias, physical_interface);
      } catch (const std::bad_alloc&) {
        mutex_->Unlock();
        *status = kStatusOutOfMemory;
        return;
      }
    }
  }
  physical_interface->SetEnabledFlag(true);
  mutex_->Unlock();
  *status = kStatusSuccess;
}

void CVxi11PhysicalInterfaceManager::UnregisterName(CVxi11PhysicalInterface* physical_interface,
                                                    std::uint32_t* status) {
  std::uint32_t ignored = 0;
  mutex_->Lock(&ignored);
  physical_interface->SetEnabledFlag(false);
  mutex_->Unlock();
  *status = kStatusSuccess;
}

void RegisterVxi11DeviceName(CVxi11PhysicalInterface* physical_interface, const void* settings, std::uint32_t* status) {
  CVxi11PhysicalInterfaceManager* manager = g_interface_manager.load();
  if (manager == nullptr) {
    *status = kStatusInterfaceNotEnabled;  // no plug-in: nothing can reach the interface
    return;
  }
  manager->RegisterName(physical_interface, settings, status);
}

void UnregisterVxi11DeviceName(CVxi11PhysicalInterface* physical_interface, std::uint32_t* status) {
  CVxi11PhysicalInterfaceManager* manager = g_interface_manager.load();
  if (manager == nullptr) {
    physical_interface->SetEnabledFlag(false);
    *status = kStatusSuccess;
    return;
  }
  manager->UnregisterName(physical_interface, status);
}

// ===================================================================================================
// Link table

namespace {

struct Link {
  std::uint32_t id = 0;
  CVxi11PhysicalInterface* physical_interface = nullptr;
  CVxi11Connection* connection = nullptr;
  COSMutex* mutex = nullptr;  // held while an operation of the link runs
  std::uint32_t handle_length = 0;
  std::uint8_t handle[kVxi11MaxSrqHandle] = {};
  std::uint8_t holds_lock = 0;
  std::uint8_t srq_enabled = 0;
  std::uint8_t srq_pending = 0;
};

void DeleteLink(Link* link) {
  if (link->mutex != nullptr) {
    link->mutex->Destroy();
    delete link->mutex;
  }
  delete link;
}

struct SrqTarget {
  CVxi11Connection* connection;
  std::uint32_t handle_length;
  std::uint8_t handle[kVxi11MaxSrqHandle];
};

}  // namespace

struct CVxi11LinkManager::Table {
  std::map<std::uint32_t, Link*> links;
  // Sends and removals that run outside the table's mutex, so that a connection or an interface is
  // not deleted under them.
  cyg_mutex_t aux_mutex;
  cyg_cond_t aux_changed;
  std::map<CVxi11Connection*, int> sending;
  std::map<CVxi11PhysicalInterface*, int> detaching;
};

// Access to the table's internals for the free functions of this file.
struct CVxi11LinkTableAccess {
  static COSMutex& Mutex(CVxi11LinkManager* m) { return m->mutex_; }
  static CVxi11LinkManager::Table* Get(CVxi11LinkManager* m) { return m->table_; }
};

namespace {

using Access = CVxi11LinkTableAccess;

void AddCount(CVxi11LinkManager::Table* t, std::map<CVxi11Connection*, int>& counts, CVxi11Connection* key, int delta) {
  cyg_mutex_lock(&t->aux_mutex);
  int& value = counts[key];
  value += delta;
  if (value <= 0) counts.erase(key);
  cyg_cond_broadcast(&t->aux_changed);
  cyg_mutex_unlock(&t->aux_mutex);
}

void AddDetaching(CVxi11LinkManager::Table* t, CVxi11PhysicalInterface* key, int delta) {
  cyg_mutex_lock(&t->aux_mutex);
  int& value = t->detaching[key];
  value += delta;
  if (value <= 0) t->detaching.erase(key);
  cyg_cond_broadcast(&t->aux_changed);
  cyg_mutex_unlock(&t->aux_mutex);
}

// Under the table's mutex: the link of lid when it belongs to connection, else null with kVxi11StatusNoSuchLink.
Link* Lookup(CVxi11LinkManager::Table* t, CVxi11Connection* connection, std::uint32_t lid, std::uint32_t* status) {
  auto it = t->links.find(lid);
  if (it == t->links.end() || it->second->connection != connection) {
    *status = kVxi11StatusNoSuchLink;
    return nullptr;
  }
  *status = kStatusSuccess;
  return it->second;
}

// The forwarding pattern: look up under the table's mutex, take the link's mutex, free the table.
Link* Acquire(CVxi11LinkManager* table, CVxi11Connection* connection, std::uint32_t lid, std::uint32_t* status) {
  if (table == nullptr) {
    *status = kVxi11StatusNoSuchLink;
    return nullptr;
  }
  std::uint32_t ignored = 0;
  Access::Mutex(table).Lock(&ignored);
  Link* link = Lookup(Access::Get(table), connection, lid, status);
  if (link != nullptr) link->mutex->Lock(&ignored);
  Access::Mutex(table).Unlock();
  return link;
}

// Takes links that are already out of the table: ends an operation in progress on each and waits for
// it, releases a device lock when asked, and frees them.
void RetireLinks(CVxi11LinkManager::Table* t, std::vector<Link*>& links, bool release_lock) {
  std::uint32_t ignored = 0;
  for (Link* link : links) link->physical_interface->LinkGoing(link->id);
  for (Link* link : links) {
    link->mutex->Lock(&ignored);
    if (release_lock && link->holds_lock != 0) {
      link->physical_interface->LinkUnlock(link->id, &ignored);
      link->holds_lock = 0;
    }
    link->mutex->Unlock();
    CVxi11PhysicalInterface* physical_interface = link->physical_interface;
    physical_interface->LinkClosed(link->id);
    DeleteLink(link);
    AddDetaching(t, physical_interface, -1);
  }
  links.clear();
}

}  // namespace

CVxi11LinkManager::CVxi11LinkManager() {
  mutex_.Init();
  table_ = new (std::nothrow) Table;
  if (table_ != nullptr) {
    cyg_mutex_init(&table_->aux_mutex);
    cyg_cond_init(&table_->aux_changed, &table_->aux_mutex);
  }
  if (table_ == nullptr) {
    // Keep the failed state visible through IsFailed.
    if (!mutex_.IsFailed()) mutex_.Destroy();
    return;
  }
  if (!mutex_.IsFailed()) g_link_table.store(this);
}

CVxi11LinkManager::~CVxi11LinkManager() {
  CVxi11LinkManager* self = this;
  g_link_table.compare_exchange_strong(self, nullptr);
  if (table_ != nullptr) {
    for (auto& entry : table_->links) DeleteLink(entry.second);
    cyg_cond_destroy(&table_->aux_changed);
    cyg_mutex_destroy(&table_->aux_mutex);
    delete table_;
  }
  if (!mutex_.IsFailed()) mutex_.Destroy();
}

std::uint32_t CVxi11LinkManager::LinkCount() {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  const auto count = static_cast<std::uint32_t>(table_->links.size());
  mutex_.Unlock();
  return count;
}

bool CVxi11LinkManager::HasLink(std::uint32_t lid) {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  const bool has = table_->links.count(lid) != 0;
  mutex_.Unlock();
  return has;
}

bool CVxi11LinkManager::IsSrqPending(std::uint32_t lid) {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  auto it = table_->links.find(lid);
  const bool pending = it != table_->links.end() && it->second->srq_pending != 0;
  mutex_.Unlock();
  return pending;
}

// ---------------------------------------------------------------------------------------------------
// Link operations

std::uint32_t Vxi11CreateLinkHandler(CVxi11Connection* connection, bool lock_device, std::uint32_t lock_timeout,
                                     const char* name, std::uint32_t* status) {
  CVxi11LinkManager* table = g_link_table.load();
  CVxi11PhysicalInterfaceManager* manager = g_interface_manager.load();
  if (table == nullptr || manager == nullptr) {
    *status = kStatusDeviceNotFound;
    return 0;
  }
  CVxi11LinkManager::Table* t = Access::Get(table);
  std::uint32_t ignored = 0;
  Access::Mutex(table).Lock(&ignored);
  CVxi11PhysicalInterface* physical_interface = manager->FindInterface(name);
  if (physical_interface == nullptr || !physical_interface->IsEnabled()) {
    Access::Mutex(table).Unlock();
    *status = kStatusDeviceNotFound;
    return 0;
  }
  std::uint32_t id = 0;
  do {
    const auto r1 = static_cast<std::uint32_t>(std::rand());
    const auto r2 = static_cast<std::uint32_t>(std::rand());
    const auto r3 = static_cast<std::uint32_t>(std::rand());
    id = (r1 << 17) | (r2 << 2) | (r3 & 3);
  } while (id == 0 || t->links.count(id) != 0);

  Link* link = new (std::nothrow) Link;
  if (link != nullptr) {
    link->mutex = new (std::nothrow) COSMutex;
    if (link->mutex != nullptr) link->mutex->Init();
  }
  if (link == nullptr || link->mutex == nullptr || link->mutex->IsFailed()) {
    if (link != nullptr) {
      if (link->mutex != nullptr && link->mutex->IsFailed()) {
        delete link->mutex;
        link->mutex = nullptr;
      }
      DeleteLink(link);
    }
    Access::Mutex(table).Unlock();
    *status = kStatusOutOfMemory;
    return 0;
  }
  link->id = id;
  link->physical_interface = physical_interface;
  link->connection = connection;
  try {
    t->links.emplace(id, link);
    physical_interface->LinkOpened(id, connection);
  } catch (const std::bad_alloc&) {
    t->links.erase(id);
    Access::Mutex(table).Unlock();
    DeleteLink(link);
    *status = kStatusOutOfMemory;
    return 0;
  }
  *status = kStatusSuccess;
  if (!lock_device) {
    Access::Mutex(table).Unlock();
    return id;
  }
  link->mutex->Lock(&ignored);
  Access::Mutex(table).Unlock();
  physical_interface->LinkLock(id, true, lock_timeout, status);
  if (*status == kStatusSuccess) {
    link->holds_lock = 1;
    link->mutex->Unlock();
    return id;
  }
  // The lock was refused: no link is left behind.
  link->mutex->Unlock();
  Access::Mutex(table).Lock(&ignored);
  auto it = t->links.find(id);
  const bool still_there = it != t->links.end() && it->second == link;
  if (still_there) {
    t->links.erase(it);
    AddDetaching(t, physical_interface, 1);
  }
  Access::Mutex(table).Unlock();
  if (still_there) {
    std::vector<Link*> retire{link};
    RetireLinks(t, retire, false);
  }
  return 0;
}

void Vxi11DestroyLinkHandler(CVxi11Connection* connection, std::uint32_t lid, std::uint32_t* status) {
  CVxi11LinkManager* table = g_link_table.load();
  if (table == nullptr) {
    *status = kVxi11StatusNoSuchLink;
    return;
  }
  CVxi11LinkManager::Table* t = Access::Get(table);
  std::uint32_t ignored = 0;
  Access::Mutex(table).Lock(&ignored);
  Link* link = Lookup(t, connection, lid, status);
  if (link != nullptr) {
    t->links.erase(lid);
    AddDetaching(t, link->physical_interface, 1);
  }
  Access::Mutex(table).Unlock();
  if (link == nullptr) return;
  // Out of the table: wait for an operation in progress, release the lock, free.
  std::vector<Link*> retire{link};
  RetireLinks(t, retire, true);
  *status = kStatusSuccess;
}

std::uint32_t Vxi11DeviceWriteHandler(CVxi11Connection* connection, const Vxi11LinkCall& call, bool end,
                                      std::uint32_t length, const std::uint8_t* data, std::uint32_t* status) {
  Link* link = Acquire(g_link_table.load(), connection, call.lid, status);
  if (link == nullptr) return 0;
  const std::uint32_t n = link->physical_interface->LinkWrite(call, end, length, data, status);
  link->mutex->Unlock();
  return n;
}

std::uint32_t Vxi11DeviceReadHandler(CVxi11Connection* connection, const Vxi11LinkCall& call, bool termchar_set,
                                     std::uint8_t termchar, std::uint32_t count, std::uint8_t* destination,
                                     std::uint32_t* reason, std::uint32_t* status) {
  Link* link = Acquire(g_link_table.load(), connection, call.lid, status);
  if (link == nullptr) return 0;
  const std::uint32_t n =
      link->physical_interface->LinkRead(call, termchar_set, termchar, count, destination, reason, status);
  link->mutex->Unlock();
  return n;
}

void Vxi11DeviceReadStbHandler(CVxi11Connection* connection, std::uint32_t xid, const Vxi11LinkCall& call,
                               std::uint32_t* status) {
  Link* link = Acquire(g_link_table.load(), connection, call.lid, status);
  if (link == nullptr) return;
  link->physical_interface->LinkReadStatusByte(connection, xid, call, status);
  link->mutex->Unlock();
}

namespace {

using SimpleLinkOperation = void (CVxi11PhysicalInterface::*)(const Vxi11LinkCall&, std::uint32_t*);

void Forward(SimpleLinkOperation operation, CVxi11Connection* connection, const Vxi11LinkCall& call,
             std::uint32_t* status) {
  Link* link = Acquire(g_link_table.load(), connection, call.lid, status);
  if (link == nullptr) return;
  (link->physical_interface->*operation)(call, status);
  link->mutex->Unlock();
}

}  // namespace

void Vxi11DeviceTriggerHandler(CVxi11Connection* connection, const Vxi11LinkCall& call, std::uint32_t* status) {
  Forward(&CVxi11PhysicalInterface::LinkTrigger, connection, call, status);
}

void Vxi11DeviceClearHandler(CVxi11Connection* connection, const Vxi11LinkCall& call, std::uint32_t* status) {
  Forward(&CVxi11PhysicalInterface::LinkClear, connection, call, status);
}

void Vxi11DeviceRemoteHandler(CVxi11Connection* connection, const Vxi11LinkCall& call, std::uint32_t* status) {
  Forward(&CVxi11PhysicalInterface::LinkRemote, connection, call, status);
}

void Vxi11DeviceLocalHandler(CVxi11Connection* connection, const Vxi11LinkCall& call, std::uint32_t* status) {
  Forward(&CVxi11PhysicalInterface::LinkLocal, connection, call, status);
}

void Vxi11DeviceLockHandler(CVxi11Connection* connection, const Vxi11LinkCall& call, std::uint32_t* status) {
  Link* link = Acquire(g_link_table.load(), connection, call.lid, status);
  if (link == nullptr) return;
  if (link->holds_lock != 0) {
    *status = kVxi11StatusLockRefused;  // a second device_lock of the same link
  } else {
    link->physical_interface->LinkLock(call.lid, call.waitlock, call.lock_timeout, status);
    if (*status == kStatusSuccess) link->holds_lock = 1;
  }
  link->mutex->Unlock();
}

void Vxi11DeviceUnlockHandler(CVxi11Connection* connection, std::uint32_t lid, std::uint32_t* status) {
  Link* link = Acquire(g_link_table.load(), connection, lid, status);
  if (link == nullptr) return;
  if (link->holds_lock == 0) {
    *status = kVxi11StatusNotLocked;
  } else {
    link->physical_interface->LinkUnlock(lid, status);
    if (*status == kStatusSuccess) link->holds_lock = 0;
  }
  link->mutex->Unlock();
}

void Vxi11EnableSrqHandler(CVxi11Connection* connection, std::uint32_t lid, bool enable, std::uint32_t handle_length,
                           const std::uint8_t* handle, std::uint32_t* status) {
  CVxi11LinkManager* table = g_link_table.load();
  if (table == nullptr) {
    *status = kVxi11StatusNoSuchLink;
    return;
  }
  CVxi11LinkManager::Table* t = Access::Get(table);
  std::uint32_t ignored = 0;
  Access::Mutex(table).Lock(&ignored);
  Link* link = Lookup(t, connection, lid, status);
  if (link == nullptr) {
    Access::Mutex(table).Unlock();
    return;
  }
  if (handle_length > kVxi11MaxSrqHandle || (handle_length > 0 && handle == nullptr)) {
    Access::Mutex(table).Unlock();
    *status = kVxi11StatusBadParameter;
    return;
  }
  link->srq_enabled = enable ? 1 : 0;
  link->handle_length = handle_length;
  if (handle_length > 0) std::memcpy(link->handle, handle, handle_length);
  SrqTarget target{};
  bool send = false;
  if (enable && link->srq_pending != 0) {
    // The request raised while SRQ was off is delivered now, once.
    link->srq_pending = 0;
    target.connection = link->connection;
    target.handle_length = link->handle_length;
    std::memcpy(target.handle, link->handle, sizeof target.handle);
    AddCount(t, t->sending, target.connection, 1);
    send = true;
  }
  Access::Mutex(table).Unlock();
  *status = kStatusSuccess;
  if (send) {
    std::uint32_t send_status = kStatusSuccess;
    target.connection->SendSrq(target.handle_length, target.handle, &send_status);  // result not reported
    AddCount(t, t->sending, target.connection, -1);
  }
}

void Vxi11DeviceAbortHandler(CVxi11Connection* connection, std::uint32_t lid, std::uint32_t* status) {
  CVxi11LinkManager* table = g_link_table.load();
  if (table == nullptr) {
    *status = kVxi11StatusNoSuchLink;
    return;
  }
  std::uint32_t ignored = 0;
  Access::Mutex(table).Lock(&ignored);
  // The aborted operation holds the link's mutex: only the table's is taken.
  Link* link = Lookup(Access::Get(table), connection, lid, status);
  if (link != nullptr) link->physical_interface->LinkAbort(lid, status);
  Access::Mutex(table).Unlock();
}

// ---------------------------------------------------------------------------------------------------
// Engine side and connection life

void Vxi11AssertSrqHandler(CVxi11PhysicalInterface* physical_interface, std::uint32_t* status) {
  *status = kStatusSuccess;
  CVxi11LinkManager* table = g_link_table.load();
  if (table == nullptr) return;
  CVxi11LinkManager::Table* t = Access::Get(table);
  std::vector<SrqTarget> targets;
  std::uint32_t ignored = 0;
  Access::Mutex(table).Lock(&ignored);
  for (auto& entry : t->links) {
    Link* link = entry.second;
    if (link->physical_interface != physical_interface) continue;
    if (link->srq_enabled == 0) {
      link->srq_pending = 1;
      continue;
    }
    SrqTarget target{};
    target.connection = link->connection;
    target.handle_length = link->handle_length;
    std::memcpy(target.handle, link->handle, sizeof target.handle);
    try {
      targets.push_back(target);
    } catch (const std::bad_alloc&) {
      link->srq_pending = 1;  // delivered at the next enable instead
      continue;
    }
    AddCount(t, t->sending, target.connection, 1);
  }
  Access::Mutex(table).Unlock();
  // device_intr_srq goes out without the table's mutex: a slow interrupt channel never holds up the
  // other links. The connections stay alive: Vxi11DropConnectionLinks waits for these sends.
  for (const SrqTarget& target : targets) {
    std::uint32_t send_status = kStatusSuccess;
    target.connection->SendSrq(target.handle_length, target.handle, &send_status);  // result not reported
    AddCount(t, t->sending, target.connection, -1);
  }
}

void Vxi11WithdrawSrqHandler(CVxi11PhysicalInterface* physical_interface, std::uint32_t* status) {
  *status = kStatusSuccess;
  CVxi11LinkManager* table = g_link_table.load();
  if (table == nullptr) return;
  std::uint32_t ignored = 0;
  Access::Mutex(table).Lock(&ignored);
  for (auto& entry : Access::Get(table)->links) {
    if (entry.second->physical_interface == physical_interface) entry.second->srq_pending = 0;
  }
  Access::Mutex(table).Unlock();
}

namespace {

// Takes the links `belongs` picks out of the table (each counted as detaching from its interface) and
// retires them outside the table's mutex. Under memory shortage only the links collected so far go.
template <class Belongs>
void DropLinks(CVxi11LinkManager* table, Belongs belongs, bool release_lock) {
  CVxi11LinkManager::Table* t = Access::Get(table);
  std::vector<Link*> removed;
  std::uint32_t ignored = 0;
  Access::Mutex(table).Lock(&ignored);
  for (auto it = t->links.begin(); it != t->links.end();) {
    if (!belongs(*it->second)) {
      ++it;
      continue;
    }
    try {
      removed.push_back(it->second);
    } catch (const std::bad_alloc&) {
      break;
    }
    AddDetaching(t, it->second->physical_interface, 1);
    it = t->links.erase(it);
  }
  Access::Mutex(table).Unlock();
  RetireLinks(t, removed, release_lock);
}

}  // namespace

void Vxi11DropInterfaceLinks(CVxi11PhysicalInterface* physical_interface) {
  CVxi11LinkManager* table = g_link_table.load();
  if (table == nullptr) return;
  DropLinks(
      table, [&](const Link& link) { return link.physical_interface == physical_interface; }, false);
  // Links of this interface that other threads are taking out (destroy_link, a connection's end).
  CVxi11LinkManager::Table* t = Access::Get(table);
  cyg_mutex_lock(&t->aux_mutex);
  while (t->detaching.count(physical_interface) != 0) cyg_cond_wait(&t->aux_changed);
  cyg_mutex_unlock(&t->aux_mutex);
}

void Vxi11DropConnectionLinks(CVxi11Connection* connection) {
  CVxi11LinkManager* table = g_link_table.load();
  if (table == nullptr) return;
  // A connection that ends while its link holds the lock leaves the device unlocked.
  DropLinks(
      table, [&](const Link& link) { return link.connection == connection; }, true);
  CVxi11LinkManager::Table* t = Access::Get(table);
  cyg_mutex_lock(&t->aux_mutex);
  while (t->sending.count(connection) != 0) cyg_cond_wait(&t->aux_changed);
  cyg_mutex_unlock(&t->aux_mutex);
}

const CVxi11LinkOperations* Vxi11LinkTableOperations() {
  static constexpr CVxi11LinkOperations kOperations = {
      .create_link = Vxi11CreateLinkHandler,
      .destroy_link = Vxi11DestroyLinkHandler,
      .device_write = Vxi11DeviceWriteHandler,
      .device_read = Vxi11DeviceReadHandler,
      .device_readstb = Vxi11DeviceReadStbHandler,
      .device_trigger = Vxi11DeviceTriggerHandler,
      .device_clear = Vxi11DeviceClearHandler,
      .device_remote = Vxi11DeviceRemoteHandler,
      .device_local = Vxi11DeviceLocalHandler,
      .device_lock = Vxi11DeviceLockHandler,
      .device_unlock = Vxi11DeviceUnlockHandler,
      .enable_srq = Vxi11EnableSrqHandler,
      .device_abort = Vxi11DeviceAbortHandler,
      .drop_connection_links = Vxi11DropConnectionLinks,
  };
  return &kOperations;
}
