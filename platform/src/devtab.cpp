// The device table and the select wake-up records (see platform/devtab.h).
#include "platform/devtab.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "select_internal.h"

namespace platform::devtab {
namespace {

struct Table {
  std::mutex lock;
  std::vector<cyg_devtab_entry*> entries;
};

Table& TheTable() {
  static Table* t = new Table;
  return *t;
}

}  // namespace

void Register(cyg_devtab_entry* entry) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> g(t.lock);
  std::erase_if(t.entries, [&](cyg_devtab_entry* e) { return std::strcmp(e->name, entry->name) == 0; });
  t.entries.push_back(entry);
}

void Unregister(cyg_devtab_entry* entry) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> g(t.lock);
  std::erase(t.entries, entry);
}

void InitAll() {
  std::vector<cyg_devtab_entry*> todo;
  {
    Table& t = TheTable();
    std::lock_guard<std::mutex> g(t.lock);
    for (auto* e : t.entries) {
      if (!e->initialised) todo.push_back(e);
    }
  }
  for (auto* e : todo) e->initialised = e->init == nullptr || e->init(e);
}

cyg_devtab_entry* Find(const char* name) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> g(t.lock);
  for (auto* e : t.entries) {
    if (std::strcmp(e->name, name) == 0) return e;
  }
  return nullptr;
}

}  // namespace platform::devtab

Cyg_ErrNo cyg_io_lookup(const char* name, cyg_io_handle_t* handle) {
  cyg_devtab_entry* e = name != nullptr ? platform::devtab::Find(name) : nullptr;
  if (e == nullptr || !e->initialised) return -ENOENT;
  if (e->lookup != nullptr) {
    cyg_devtab_entry* tab = e;
    const Cyg_ErrNo r = e->lookup(&tab, nullptr, name);
    if (r != 0) return r;
    e = tab;
  }
  *handle = reinterpret_cast<cyg_io_handle_t>(e);
  return 0;
}

Cyg_ErrNo cyg_io_read(cyg_io_handle_t handle, void* buf, cyg_uint32* len) {
  cyg_devtab_entry* e = cyg_io_entry(handle);
  if (e == nullptr || e->handlers == nullptr || e->handlers->read == nullptr) return -ENOSYS;
  return e->handlers->read(handle, buf, len);
}

Cyg_ErrNo cyg_io_write(cyg_io_handle_t handle, const void* buf, cyg_uint32* len) {
  cyg_devtab_entry* e = cyg_io_entry(handle);
  if (e == nullptr || e->handlers == nullptr || e->handlers->write == nullptr) return -ENOSYS;
  return e->handlers->write(handle, buf, len);
}

cyg_bool_t cyg_io_select(cyg_io_handle_t handle, cyg_uint32 which, cyg_addrword_t info) {
  cyg_devtab_entry* e = cyg_io_entry(handle);
  if (e == nullptr || e->handlers == nullptr || e->handlers->select == nullptr) return true;
  return e->handlers->select(handle, which, info);
}

Cyg_ErrNo cyg_io_get_config(cyg_io_handle_t handle, cyg_uint32 key, void* buf, cyg_uint32* len) {
  cyg_devtab_entry* e = cyg_io_entry(handle);
  if (e == nullptr || e->handlers == nullptr || e->handlers->get_config == nullptr) return -ENOSYS;
  return e->handlers->get_config(handle, key, buf, len);
}

Cyg_ErrNo cyg_io_set_config(cyg_io_handle_t handle, cyg_uint32 key, const void* buf, cyg_uint32* len) {
  cyg_devtab_entry* e = cyg_io_entry(handle);
  if (e == nullptr || e->handlers == nullptr || e->handlers->set_config == nullptr) return -ENOSYS;
  return e->handlers->set_config(handle, key, buf, len);
}

// --- select records --------------------------------------------------------------------------------

void cyg_selinit(cyg_selinfo* sip) {
  std::lock_guard<std::mutex> g(platform::selectwait::Lock());
  for (auto& w : sip->waiters) w = 0;
  sip->collision = false;
}

void cyg_selrecord(cyg_addrword_t info, cyg_selinfo* sip) {
  const auto id = static_cast<std::uint64_t>(info);
  std::lock_guard<std::mutex> g(platform::selectwait::Lock());
  for (auto& w : sip->waiters) {
    if (w == id) return;
  }
  for (auto& w : sip->waiters) {
    if (w == 0) {
      w = id;
      return;
    }
  }
  sip->collision = true;
}

void cyg_selwakeup(cyg_selinfo* sip) {
  std::lock_guard<std::mutex> g(platform::selectwait::Lock());
  if (sip->collision) {
    platform::selectwait::WakeAllLocked();
    sip->collision = false;
  }
  for (auto& w : sip->waiters) {
    if (w != 0) platform::selectwait::WakeLocked(w);
    w = 0;
  }
}
