// CTorvexHostClient: what the two SCPI clients (CTorvexHostEthernet, CTorvexHostUsb) share, written once
// over the transport's device class (CTcpIpDevice or CUsbDevice): the engine's event operations,
// which the device's event-loop thread calls and which hand every event to CTorvexHost, and the
// teardown (the parser lets go of the client before the device is disabled, and the device is disabled
// while the overrides below still exist).
//
// An owner calls Close() before it deletes the client: the event-loop thread may be inside one of the
// overrides below until the device is disabled, and a destructor that has begun already rewrites the
// object's dispatch table under that call. The destructor closes a client its owner did not.
//
// A transport client derives from it with its device class and enables the device in its constructor.
#pragma once

#include <cstdint>

#include "engine/C4882Device.h"
#include "host/CTorvexHost.h"

namespace Torvex {

template <class TransportDevice>
class CTorvexHostClient : public TransportDevice, public CTorvexHost {
 public:
  ~CTorvexHostClient() override { Close(); }

  // The parser lets go of the client and the device is disabled, which ends its event-loop thread.
  // Only the owner's thread calls it; a second call does nothing.
  void Close() {
    if (closed_) return;
    closed_ = true;
    BeginTeardown();
    this->Disable();
  }

  void OnInputComplete(std::int32_t reason, MessageBufferDescriptor* descriptor) override {
    HandleInputComplete(reason, descriptor);
  }
  void OnResponseComplete(std::int32_t reason, MessageBufferDescriptor*) override { HandleResponseComplete(reason); }
  void OnStatusByteRequest(std::uint32_t) override { HandleStatusByteRequest(); }
  void OnDeviceClear(std::uint32_t) override { HandleDeviceClear(); }
  void OnTrigger(std::uint32_t) override { HandleTrigger(); }
  void OnRemoteLocalChange(std::int32_t) override { HandleRemoteLocalChange(); }

 protected:
  CTorvexHostClient(std::uint32_t kind, CTorvexHostParser* parser, const CScpiStatus* statusTemplate)
      : CTorvexHost(kind, this, parser, statusTemplate) {}

 private:
  bool closed_ = false;
};

}  // namespace Torvex
