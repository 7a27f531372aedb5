#include "vxi11/Vxi11Plugin.h"

#include <atomic>
#include <new>

#include "engine/DoVovuriEngine.h"
#include "vxi11/CVxi11LinkManager.h"

namespace {

// What StartVxi11Plugin made, for StopVxi11Plugin. Start and stop are serialised by the engine front.
CVxi11PhysicalInterfaceManager* g_manager = nullptr;
CVxi11LinkManager* g_table = nullptr;
void* g_server = nullptr;
std::atomic<const Vxi11ServerHooks*> g_server_hooks{nullptr};

constexpr std::uint32_t kStartOutOfMemory = 5;
constexpr std::uint32_t kStartPartFailed = 8;

}  // namespace

CPhysicalInterfaceFactory* StartVxi11Plugin(std::uint32_t* status) {
  g_manager = new (std::nothrow) CVxi11PhysicalInterfaceManager;
  g_table = new (std::nothrow) CVxi11LinkManager;
  if (g_manager == nullptr || g_table == nullptr) {
    *status = kStartOutOfMemory;
    return nullptr;
  }
  if (g_manager->IsFailed() || g_table->IsFailed()) {
    *status = kStartPartFailed;
    return nullptr;
  }
  // The TCP side last: a client can reach the tables as soon as the listener runs.
  const Vxi11ServerHooks* hooks = g_server_hooks.load();
  if (hooks != nullptr && hooks->start != nullptr) {
    std::uint32_t server_status = kStatusSuccess;
    g_server = hooks->start(&server_status);
    if (g_server == nullptr || server_status != kStatusSuccess) {
      *status = kStartPartFailed;
      return nullptr;
    }
  }
  *status = kStatusSuccess;
  return g_manager;
}

void StopVxi11Plugin() {
  // The TCP side first: once it is gone no connection calls into the tables.
  const Vxi11ServerHooks* hooks = g_server_hooks.load();
  if (g_server != nullptr && hooks != nullptr && hooks->stop != nullptr) hooks->stop(g_server);
  g_server = nullptr;
  // Interfaces still alive are disabled by the manager (which drops their links) before the table goes.
  delete g_manager;
  g_manager = nullptr;
  delete g_table;
  g_table = nullptr;
}

void NotifyVxi11ListenerEnded(std::uint32_t code) {
  if (CVxi11PhysicalInterfaceManager* manager = Vxi11InterfaceManager()) manager->NotifyException(code);
}

void Vxi11ProvidePlugin(const Vxi11ServerHooks* server) {
  g_server_hooks.store(server);
  static const DoVovuriPluginHooks kHooks{&StartVxi11Plugin, &StopVxi11Plugin};
  DoVovuriInstallPluginHooks(kPluginIdVxi11, &kHooks);
}
