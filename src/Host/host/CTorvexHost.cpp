// The transport-independent part of an SCPI client (see CTorvexHost.h).
#include "host/CTorvexHost.h"

#include <chrono>

#include "acquisition/CTorvexHostAcquisition.h"
#include "core/CLogger.h"
#include "host/CTorvexHostParser.h"
#include "status/ScpiErrorTable.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

namespace Torvex {

cyg_uint32 CTorvexHost::CStatusDevice::RequestService() { return m_Device != nullptr ? m_Device->RequestService() : 1; }

CTorvexHost::CTorvexHost(std::uint32_t kind, C4882Device* device, CTorvexHostParser* parser,
                         const CScpiStatus* statusTemplate)
    : m_Kind(kind),
      m_Device(device),
      m_Parser(parser),
      m_StatusDevice(device),
      m_Status(&m_StatusDevice, &m_PendingResponse, statusTemplate) {
  m_ReplyText.reserve(kHostReplyReserve);
  m_ResponseText.reserve(kHostReplyReserve);
  MessageBufferDescriptor::Init(&m_ReceiveRequest, kHostReceiveBufferSize, nullptr);
  if (m_ReceiveRequest.owned != 0) m_Ready = 1;
}

CTorvexHost::~CTorvexHost() {
  if (m_Parser != nullptr) m_Parser->ReleaseClient(this);
  // The instrument lock dies with its owner.
  if (g_node_host_if_parameters_lock != g_node_none) {
    CRecursiveLockGuard tree(g_ParameterTreeLock);
    if (g_node_host_if_parameters_lock->GetPointerAttribute(eAttrValue) == this)
      g_node_host_if_parameters_lock->SetPointerAttribute(eAttrValue, nullptr);
  }
  {
    CRecursiveLockGuard lock(m_Mutex);
    ReleasePendingResponse();
  }
  MessageBufferDescriptor::Release(&m_ReceiveRequest);
}

void CTorvexHost::PostReceiveRequest() { m_Device->PostInputBuffer(&m_ReceiveRequest); }

void CTorvexHost::ReleasePendingResponse() {
  if (m_PendingResponse.load() != nullptr) {
    MessageBufferDescriptor::Release(&m_ResponseDescriptor);
    {
      std::lock_guard<std::mutex> lock(m_ReleaseMutex);
      m_PendingResponse.store(nullptr);
    }
    m_ResponseReleased.notify_all();
  }
}

void CTorvexHost::BeginTeardown() {
  {
    CRecursiveLockGuard lock(m_Mutex);
    m_Closing = true;
  }
  if (m_Parser != nullptr) m_Parser->ReleaseClient(this);
}

std::uint32_t CTorvexHost::QueryDetected() {
  CRecursiveLockGuard lock(m_Mutex);
  if (m_ResponsePending.load() != 0) return 0;
  if (m_Device->QueryDetected() != 0) return kHostQueryRefused;
  m_ResponsePending.store(1);
  return 0;
}

std::uint32_t CTorvexHost::MessageProcessed() {
  CRecursiveLockGuard lock(m_Mutex);
  const std::uint32_t processed = m_Device->MessageProcessed();
  PostReceiveRequest();
  m_MessagesProcessed.fetch_add(1);
  return processed == 0 ? 0 : kHostMessageProcessedFailed;
}

void CTorvexHost::ClearResponsePending() {
  CRecursiveLockGuard lock(m_Mutex);
  m_ResponsePending.store(0);
}

std::uint32_t CTorvexHost::SendResponse() {
  {
    // The engine gives an interrupted or discarded reply back through its event loop, which needs the
    // host mutex: wait for it without holding that mutex.
    std::unique_lock<std::mutex> release(m_ReleaseMutex);
    m_ResponseReleased.wait_for(release, std::chrono::seconds(2),
                                [this] { return m_PendingResponse.load() == nullptr; });
  }
  CRecursiveLockGuard lock(m_Mutex);
  if (m_PendingResponse.load() != nullptr) {
    // The engine still sends the previous reply from the response buffer: it cannot take another.
    g_Logger.Printf("CTorvexHost::SendResponse: a reply is still pending\n");
    return kHostResponseFailed;
  }
  // The reply moves to the response buffer; the parser's reply text is free again at once.
  m_ResponseText.swap(m_ReplyText);
  m_ReplyText.clear();
  const std::size_t length = m_ResponseText.size();
  m_ResponseText.append(4 - length % 4, '\0');
  MessageBufferDescriptor::Init(&m_ResponseDescriptor, static_cast<std::uint32_t>(m_ResponseText.size()),
                                m_ResponseText.data());
  if (m_ResponseDescriptor.owned == 0) {
    MessageBufferDescriptor::Release(&m_ResponseDescriptor);
    return kHostResponseFailed;
  }
  m_PendingResponse.store(&m_ResponseDescriptor);
  m_ResponseDescriptor.count = static_cast<std::uint32_t>(length);
  if (m_Device->QueueResponse(&m_ResponseDescriptor, 1) != 0) {
    // Not queued: nothing will report it complete, so MAV must not stay set.
    ReleasePendingResponse();
    return kHostResponseFailed;
  }
  return 0;
}

bool CTorvexHost::DeliverInput(MessageBufferDescriptor* received) {
  if (received == nullptr) return false;
  CRecursiveLockGuard lock(m_Mutex);
  if (m_Closing) return true;  // the client is going away
  const std::size_t count = received->count;
  if (m_DiscardingInput || m_PartialInput.size() + count > kHostMaxProgramMessage) {
    // The end of an overlong message: it is dropped whole.
    if (!m_DiscardingInput) m_Status.PushError(kScpiErrorInputBufferOverrun, false);
    m_DiscardingInput = false;
    m_PartialInput.clear();
    m_Device->MessageProcessed();
    PostReceiveRequest();
    return true;
  }
  std::string text;
  text.swap(m_PartialInput);
  text.append(reinterpret_cast<const char*>(received->data), count);
  if (text.empty()) {
    // Nothing to run; the engine still hears that the message is done, or it would hold back the next.
    m_Device->MessageProcessed();
    PostReceiveRequest();
    return true;
  }
  m_Parser->QueueMessage(text, this);
  return true;
}

void CTorvexHost::HandleInputComplete(std::int32_t reason, MessageBufferDescriptor* received) {
  switch (reason) {
    case kInputReasonEnd: DeliverInput(received); break;
    case kInputReasonBufferFull: {
      CRecursiveLockGuard lock(m_Mutex);
      KeepPartialInput(received);
      PostReceiveRequest();
      break;
    }
    case kInputReasonUnterminated: {
      CRecursiveLockGuard lock(m_Mutex);
      m_Status.PushError(kScpiErrorQueryUnterminated, false);
      // The input so far (if the notice brought the buffer) runs as it is; the condition is accepted
      // in every case, with or without a buffer: until then the device takes no further message.
      DeliverInput(received);
      m_Device->AcknowledgeUnterminated();
      break;
    }
    case kInputReasonTrigger:
      if (received != nullptr) {
        // The message so far came back with the trigger: it goes on after it, and the receive buffer
        // is posted again (without it the device would take no further input at all).
        CRecursiveLockGuard lock(m_Mutex);
        KeepPartialInput(received);
        PostReceiveRequest();
      }
      HandleTrigger();
      break;
    default: break;
  }
}

void CTorvexHost::KeepPartialInput(const MessageBufferDescriptor* received) {
  if (received == nullptr || m_DiscardingInput) return;
  if (m_PartialInput.size() + received->count > kHostMaxProgramMessage) {
    m_Status.PushError(kScpiErrorInputBufferOverrun, false);
    m_PartialInput.clear();
    m_PartialInput.shrink_to_fit();
    m_DiscardingInput = true;
  } else {
    m_PartialInput.append(reinterpret_cast<const char*>(received->data), received->count);
  }
}

void CTorvexHost::HandleResponseComplete(std::int32_t reason) {
  CRecursiveLockGuard lock(m_Mutex);
  if (reason == kResponseReasonSent || reason == kResponseReasonDiscarded) {
    ReleasePendingResponse();
  } else if (reason == kResponseReasonInterrupted) {
    ReleasePendingResponse();
    m_Status.PushError(kScpiErrorQueryInterrupted, false);
  }
}

void CTorvexHost::HandleStatusByteRequest() {
  CRecursiveLockGuard lock(m_Mutex);
  const std::uint8_t statusByte = m_Status.ReadStatusByte(CScpiStatus::kReadForStatusRequest);
  m_Device->SetStatusByte(statusByte);
}

void CTorvexHost::HandleDeviceClear() {
  CRecursiveLockGuard lock(m_Mutex);
  // A message still queued held the receive buffer: post it again, or the client would stay deaf.
  // A message in execution keeps it until the parser has finished (and dropped its reply).
  const bool dropped = m_Parser->ClearClient(this);
  m_PartialInput.clear();
  m_DiscardingInput = false;
  m_ResponsePending.store(0);
  if (dropped) PostReceiveRequest();
  if (CTorvexHostAcquisition::Clear() != 0) m_Status.PushError(kScpiErrorExecutionError, false);
}

void CTorvexHost::HandleTrigger() {
  CRecursiveLockGuard lock(m_Mutex);
  if (CTorvexHostAcquisition::SendBusTrigger() != 0) m_Status.PushError(kScpiErrorTriggerError, false);
  m_Device->MessageProcessed();
}

void CTorvexHost::HandleRemoteLocalChange() { CRecursiveLockGuard lock(m_Mutex); }

}  // namespace Torvex
