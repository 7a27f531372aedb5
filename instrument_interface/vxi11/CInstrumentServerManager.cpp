#include "vxi11/CInstrumentServerManager.h"

#include <new>

#include "engine/COSSocket.h"
#include "vxi11/CInstrumentServer.h"
#include "vxi11/CVxi11Backoff.h"
#include "vxi11/CMiniPortMapper.h"
#include "vxi11/CPortMapperClient.h"
#include "vxi11/Vxi11Rpc.h"
#include "vxi11/Vxi11Status.h"

namespace {

constexpr std::uint32_t kProtocolTcp = 6;
constexpr std::uint32_t kLoopback = 0x7F000001;

// True when something accepts connections on the port (a live server holds the registration).
bool PortAnswers(std::uint32_t address, std::uint16_t port) {
  COSSocket probe;
  std::uint32_t status = 0;
  probe.CreateTcp(&status);
  if (status == 0) probe.Connect(address, port, 1000, &status);
  probe.Close();
  return status == 0;
}

}  // namespace

CInstrumentServerManager::CInstrumentServerManager(const CVxi11ServerOptions& options) : options_(options) {
  if (options_.operations == nullptr) return;
  mutex_ = new (std::nothrow) COSMutex;
  if (mutex_ == nullptr) return;
  mutex_->Init();
  if (mutex_->IsFailed()) return;
  portmapper_ = new (std::nothrow) CPortMapperClient(kLoopback, options_.portmapper_port);
  if (portmapper_ == nullptr) return;
  std::uint32_t status = 0;
  listen_.CreateTcp(&status);
  if (status == 0) listen_.BindAndListen(0, &status, options_.listen_address);
  if (status != 0) {
    listen_.Close();
    return;
  }
  Start(15, &status);
  if (status != 0) {
    listen_.Close();
    return;
  }
  Register(&status);
  if (status != 0) return;
  constructed_ = true;
  failed_ = 0;
}

void CInstrumentServerManager::Register(std::uint32_t* status) {
  const std::uint16_t port = listen_.GetPort();
  const std::uint16_t registered = PortMapperGetPort(portmapper_, kVxi11CoreProgram, 1, kProtocolTcp, status);
  if (*status == kVxi11StatusPortMapperNotPresent) {
    mini_ = new (std::nothrow) CMiniPortMapper(port, status, options_.portmapper_port, options_.listen_address,
                                               options_.portmapper_receive_timeout_ms);
    if (mini_ == nullptr) *status = kStatusOutOfMemory;
    return;
  }
  if (*status != 0) return;
  // A registration whose port accepts no connection was left behind by a server that has gone.
  if (registered != 0 && PortAnswers(kLoopback, registered)) {
    *status = kStatusInterfaceAlreadyBound;
    return;
  }
  PortMapperUnset(portmapper_, kVxi11CoreProgram, 1, port, status);
  if (*status != 0) return;
  PortMapperSet(portmapper_, kVxi11CoreProgram, 1, kProtocolTcp, port, status);
}

CInstrumentServerManager::~CInstrumentServerManager() {
  if (constructed_) {
    if (mini_ == nullptr) {
      std::uint32_t status = 0;
      PortMapperUnset(portmapper_, kVxi11CoreProgram, 1, listen_.GetPort(), &status);
    }
  }
  delete mini_;
  mini_ = nullptr;
  if (GetState() == kStateRunning) {
    SetState(kStateStopRequested);
    listen_.Shutdown();
    Join();
  }
  listen_.Close();
  // The list is taken whole under the mutex: connections still running may mark themselves
  // finished meanwhile, and find nothing.
  Entry* servers = nullptr;
  if (mutex_ != nullptr && !mutex_->IsFailed()) {
    std::uint32_t status = 0;
    mutex_->Lock(&status);
    servers = servers_;
    servers_ = nullptr;
    mutex_->Unlock();
  }
  while (servers != nullptr) {
    Entry* entry = servers;
    servers = entry->next;
    entry->server->Stop();
    delete entry->server;
    delete entry;
  }
  if (mutex_ != nullptr) {
    if (!mutex_->IsFailed()) mutex_->Destroy();
    delete mutex_;
  }
  delete portmapper_;
}

void CInstrumentServerManager::Run() {
  SetState(kStateRunning);
  SignalStarted();
  CVxi11Backoff backoff;
  const auto stopping = [this] { return GetState() == kStateStopRequested; };
  for (;;) {
    COSSocket accepted;
    if (!backoff.Accept(&listen_, stopping, &accepted)) return;
    // Connections beyond the limit are refused: closed before anything is made for them.
    if (Reap() >= options_.max_connections) {
      accepted.Close();
      continue;
    }
    CInstrumentServer* server =
        new (std::nothrow) CInstrumentServer(accepted, this, options_.operations, options_.reply_send_timeout_ms);
    if (server == nullptr) {
      accepted.Close();
    } else if (server->IsFailed()) {
      delete server;  // closes the connection
    }
  }
}

std::uint32_t CInstrumentServerManager::Reap() {
  std::uint32_t status = 0;
  std::uint32_t alive = 0;
  mutex_->Lock(&status);
  Entry** link = &servers_;
  while (*link != nullptr) {
    Entry* entry = *link;
    if (entry->alive == 0) {
      *link = entry->next;
      entry->server->Stop();
      delete entry->server;
      delete entry;
    } else {
      ++alive;
      link = &entry->next;
    }
  }
  mutex_->Unlock();
  return alive;
}

void CInstrumentServerManager::AddServer(CInstrumentServer* server, std::uint32_t* status) {
  Entry* entry = new (std::nothrow) Entry{1, server, nullptr};
  if (entry == nullptr) {
    *status = kStatusOutOfMemory;
    return;
  }
  std::uint32_t lock_status = 0;
  mutex_->Lock(&lock_status);
  entry->next = servers_;
  servers_ = entry;
  mutex_->Unlock();
  *status = 0;
}

void CInstrumentServerManager::MarkServerFinished(CInstrumentServer* server, std::uint32_t* status) {
  std::uint32_t lock_status = 0;
  mutex_->Lock(&lock_status);
  for (Entry* entry = servers_; entry != nullptr; entry = entry->next) {
    if (entry->server == server) entry->alive = 0;
  }
  mutex_->Unlock();
  *status = 0;
}
