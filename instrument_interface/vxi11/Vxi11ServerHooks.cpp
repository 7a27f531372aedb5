#include "vxi11/Vxi11ServerHooks.h"

#include <mutex>
#include <new>

#include "vxi11/CInstrumentServer.h"
#include "vxi11/CVxi11LinkManager.h"

namespace {

std::uint32_t CreateLink(CInstrumentServer* server, bool lock_device, std::uint32_t lock_timeout, const char* name,
                         std::uint32_t* status) {
  return Vxi11CreateLinkHandler(Vxi11LinkTable(), server, lock_device, lock_timeout, name, status);
}

void DestroyLink(CInstrumentServer* server, std::uint32_t lid, std::uint32_t* status) {
  Vxi11DestroyLinkHandler(Vxi11LinkTable(), server, lid, status);
}

std::uint32_t DeviceWrite(CInstrumentServer* server, std::uint32_t lid, bool waitlock, std::uint32_t lock_timeout,
                          bool end, std::uint32_t io_timeout, std::uint32_t length, const std::uint8_t* data,
                          std::uint32_t* status) {
  return Vxi11DeviceWriteHandler(Vxi11LinkTable(), server, lid, waitlock, lock_timeout, end, io_timeout, length,
                                 data, status);
}

std::uint32_t DeviceRead(CInstrumentServer* server, std::uint32_t lid, bool waitlock, std::uint32_t lock_timeout,
                         bool termchar_set, std::uint8_t term_char, std::uint32_t io_timeout, std::uint32_t count,
                         std::uint8_t* data, std::uint32_t* reason, std::uint32_t* status) {
  return Vxi11DeviceReadHandler(Vxi11LinkTable(), server, lid, waitlock, lock_timeout, termchar_set, term_char,
                                io_timeout, count, data, reason, status);
}

void DeviceReadStb(CInstrumentServer* server, std::uint32_t xid, std::uint32_t lid, bool waitlock,
                   std::uint32_t lock_timeout, std::uint32_t io_timeout, std::uint32_t* status) {
  Vxi11DeviceReadStbHandler(Vxi11LinkTable(), server, xid, lid, waitlock, lock_timeout, io_timeout, status);
}

void DeviceTrigger(CInstrumentServer* server, std::uint32_t lid, bool waitlock, std::uint32_t lock_timeout,
                   std::uint32_t io_timeout, std::uint32_t* status) {
  Vxi11DeviceTriggerHandler(Vxi11LinkTable(), server, lid, waitlock, lock_timeout, io_timeout, status);
}

void DeviceClear(CInstrumentServer* server, std::uint32_t lid, bool waitlock, std::uint32_t lock_timeout,
                 std::uint32_t io_timeout, std::uint32_t* status) {
  Vxi11DeviceClearHandler(Vxi11LinkTable(), server, lid, waitlock, lock_timeout, io_timeout, status);
}

void DeviceRemote(CInstrumentServer* server, std::uint32_t lid, bool waitlock, std::uint32_t lock_timeout,
                  std::uint32_t io_timeout, std::uint32_t* status) {
  Vxi11DeviceRemoteHandler(Vxi11LinkTable(), server, lid, waitlock, lock_timeout, io_timeout, status);
}

void DeviceLocal(CInstrumentServer* server, std::uint32_t lid, bool waitlock, std::uint32_t lock_timeout,
                 std::uint32_t io_timeout, std::uint32_t* status) {
  Vxi11DeviceLocalHandler(Vxi11LinkTable(), server, lid, waitlock, lock_timeout, io_timeout, status);
}

void DeviceLock(CInstrumentServer* server, std::uint32_t lid, bool waitlock, std::uint32_t lock_timeout,
                std::uint32_t* status) {
  Vxi11DeviceLockHandler(Vxi11LinkTable(), server, lid, waitlock, lock_timeout, status);
}

void DeviceUnlock(CInstrumentServer* server, std::uint32_t lid, std::uint32_t* status) {
  Vxi11DeviceUnlockHandler(Vxi11LinkTable(), server, lid, status);
}

void EnableSrq(CInstrumentServer* server, std::uint32_t lid, bool enable, std::uint32_t handle_length,
               const std::uint8_t* handle, std::uint32_t* status) {
  Vxi11EnableSrqHandler(Vxi11LinkTable(), server, lid, enable, handle_length, handle, status);
}

void DeviceAbort(CInstrumentServer* server, std::uint32_t lid, std::uint32_t* status) {
  Vxi11DeviceAbortHandler(Vxi11LinkTable(), server, lid, status);
}

void DropConnectionLinks(CInstrumentServer* server) { Vxi11DropConnectionLinks(server); }

const CVxi11LinkOperations kLinkTableOperations = {
    CreateLink,  DestroyLink, DeviceWrite, DeviceRead,   DeviceReadStb, DeviceTrigger, DeviceClear,
    DeviceRemote, DeviceLocal, DeviceLock, DeviceUnlock, EnableSrq,     DeviceAbort,   DropConnectionLinks,
};

std::mutex g_options_mutex;
CVxi11ServerOptions g_options;

void* StartServer(std::uint32_t* status) {
  CVxi11ServerOptions options;
  {
    std::lock_guard<std::mutex> lock(g_options_mutex);
    options = g_options;
  }
  options.operations = &kLinkTableOperations;
  auto* manager = new (std::nothrow) CInstrumentServerManager(options);
  if (manager == nullptr) {
    *status = 5;
    return nullptr;
  }
  if (manager->IsFailed()) {
    delete manager;
    *status = 8;
    return nullptr;
  }
  *status = 0;
  return manager;
}

void StopServer(void* server) { delete static_cast<CInstrumentServerManager*>(server); }

const Vxi11ServerHooks kServerHooks = {StartServer, StopServer};

}  // namespace

const CVxi11LinkOperations* Vxi11LinkTableOperations() { return &kLinkTableOperations; }

void Vxi11SetServerOptions(const CVxi11ServerOptions& options) {
  std::lock_guard<std::mutex> lock(g_options_mutex);
  g_options = options;
}

const Vxi11ServerHooks* Vxi11InstrumentServerHooks() { return &kServerHooks; }
