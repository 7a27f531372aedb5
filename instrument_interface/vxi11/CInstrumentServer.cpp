#include "vxi11/CInstrumentServer.h"

#include <new>

#include "vxi11/CInstrumentServerManager.h"
#include "vxi11/CVxi11AbortChannel.h"
#include "vxi11/CVxi11CoreChannel.h"
#include "vxi11/CVxi11InterruptChannel.h"
#include "vxi11/Vxi11LinkOperations.h"
#include "vxi11/Vxi11Status.h"

namespace {}  // namespace

CInstrumentServer::CInstrumentServer(const COSSocket& connection, CInstrumentServerManager* manager,
                                     const CVxi11LinkOperations* operations, std::uint32_t send_timeout_ms)
    : manager_(manager), operations_(operations), pending_connection_(connection) {
  mutex_ = new (std::nothrow) COSMutex;
  if (mutex_ == nullptr) return;
  mutex_->Init();
  if (mutex_->IsFailed()) return;
  // The abort channel listens on the address the client reached us at.
  abort_ = new (std::nothrow) CVxi11AbortChannel(this, connection.local_address, send_timeout_ms);
  if (abort_ == nullptr || abort_->IsFailed()) return;
  interrupt_ = new (std::nothrow) CVxi11InterruptChannel;
  if (interrupt_ == nullptr || interrupt_->IsFailed()) return;
  core_ = new (std::nothrow) CVxi11CoreChannel(connection, this, operations, send_timeout_ms);
  if (core_ == nullptr) return;
  pending_connection_ = COSSocket{};  // the core channel owns the connection now
  if (core_->IsFailed()) return;
  std::uint32_t status = 0;
  Start(15, &status);
  if (status == 0) failed_ = 0;
}

CInstrumentServer::~CInstrumentServer() {
  Join();
  delete core_;
  delete interrupt_;
  delete abort_;
  pending_connection_.Close();
  if (mutex_ != nullptr) {
    if (!mutex_->IsFailed()) mutex_->Destroy();
    delete mutex_;
  }
}

void CInstrumentServer::Run() {
  std::uint32_t status = 0;
  manager_->AddServer(this, &status);
  if (status != 0) {
    SetState(kStateCannotRun);
    SignalStarted();
    return;
  }
  SetState(kStateRunning);
  SignalStarted();
  core_->Serve();
  operations_->drop_connection_links(this);
  mutex_->Lock(&status);
  CVxi11CoreChannel* core = core_;
  CVxi11InterruptChannel* interrupt = interrupt_;
  CVxi11AbortChannel* abort_channel = abort_;
  core_ = nullptr;
  interrupt_ = nullptr;
  abort_ = nullptr;
  mutex_->Unlock();
  delete core;
  delete interrupt;
  delete abort_channel;
  manager_->MarkServerFinished(this, &status);
}

void CInstrumentServer::Stop() {
  if (mutex_ != nullptr && !mutex_->IsFailed()) {
    std::uint32_t status = 0;
    mutex_->Lock(&status);
    if (core_ != nullptr) core_->MarkClosing();
    mutex_->Unlock();
  }
  Join();
}

std::uint16_t CInstrumentServer::GetAbortPort() { return abort_ != nullptr ? abort_->GetPort() : 0; }

void CInstrumentServer::CreateInterruptChannel(std::uint32_t host_address, std::uint16_t host_port, std::int32_t family,
                                               std::uint32_t* status) {
  interrupt_->Create(host_address, host_port, family, status);
}

void CInstrumentServer::DestroyInterruptChannel(std::uint32_t* status) { interrupt_->Destroy(status); }

void CInstrumentServer::SendSrq(std::uint32_t handle_length, const std::uint8_t* handle, std::uint32_t* status) {
  std::uint32_t lock_status = 0;
  mutex_->Lock(&lock_status);
  if (interrupt_ == nullptr) {
    *status = kVxi11StatusChannelNotEstablished;
  } else {
    interrupt_->SendSrq(handle_length, handle, status);
  }
  mutex_->Unlock();
}

void CInstrumentServer::SendReadStbReply(std::uint32_t xid, std::uint8_t status_byte, std::uint32_t internal_status,
                                         std::uint32_t* status) {
  if (core_ == nullptr) {
    *status = kVxi11StatusChannelNotEstablished;
    return;
  }
  core_->KeepReadStbReply(xid, status_byte, internal_status);
  *status = 0;
}

bool CInstrumentServer::IsGone() { return core_ == nullptr || core_->PeerClosed(); }
