#include "vxi11/Vxi11ServerHooks.h"

#include <mutex>
#include <new>

#include "vxi11/CInstrumentServer.h"
#include "vxi11/CVxi11LinkManager.h"

namespace {

std::mutex g_options_mutex;
CVxi11ServerOptions g_options;

void* StartServer(std::uint32_t* status) {
  CVxi11ServerOptions options;
  {
    std::lock_guard<std::mutex> lock(g_options_mutex);
    options = g_options;
  }
  options.operations = Vxi11LinkTableOperations();
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

void Vxi11SetServerOptions(const CVxi11ServerOptions& options) {
  std::lock_guard<std::mutex> lock(g_options_mutex);
  g_options = options;
}

const Vxi11ServerHooks* Vxi11InstrumentServerHooks() { return &kServerHooks; }
