// The usbredir bus thread: the guest's transfers queued per endpoint and moved a frame at a time.
#include "usb_redir_session.h"

#if TORVEX_HAVE_USBREDIR

namespace sim {
namespace redir {

void Session::Queue(Transfer t) {
  unsigned index = 0;
  std::uint8_t status = usb_redir_success;
  if (!announced_) {
    status = usb_redir_ioerror;
  } else if (t.kind == TransferKind::kControl) {
    // The bridge owns the device's address: a SET_ADDRESS from the guest is answered here.
    if (t.purpose == ControlPurpose::kPacket && SetupType(t.setup) == 0x00 &&
        SetupRequest(t.setup) == kRequestSetAddress) {
      Finish(t);
      return;
    }
  } else {
    const UsbRedirDeviceInfo::Endpoint* e = FindEndpoint(t.endpoint);
    const std::uint8_t want = t.kind == TransferKind::kBulk ? usb_redir_type_bulk : usb_redir_type_interrupt;
    if (e == nullptr || e->type != want || configuration_ == 0) {
      status = usb_redir_inval;
    } else {
      index = EpIndex(t.endpoint);
    }
  }
  std::deque<Transfer>& queue = queues_[index];
  // A guest that queues without end (or more OUT data than any transfer needs) is refused, not
  // followed until the board runs out of memory.
  if (status == usb_redir_success &&
      (queue.size() >= kMaxQueuedTransfers || queued_out_bytes_ + t.data.size() > kMaxQueuedOutBytes)) {
    status = usb_redir_ioerror;
    if (!overload_reported_) {
      owner_.Say("too many transfers queued by the guest; refused");
      overload_reported_ = true;
    }
  }
  if (status != usb_redir_success) {
    t.status = status;
    Finish(t);
    return;
  }
  queued_out_bytes_ += t.data.size();
  queue.push_back(std::move(t));
}

bool Session::Step(Transfer& t) {
  if (t.kind == TransferKind::kControl) return StepControl(t);
  return t.In() ? StepBulkIn(t) : StepOut(t);
}

bool Session::StepControl(Transfer& t) {
  UsbDeviceController& d = owner_.device;
  const std::uint8_t a = bus_address_;
  auto fail = [&](UsbHandshake h) {
    t.status = h == UsbHandshake::kStall ? usb_redir_stall : usb_redir_ioerror;
    // Endpoint 0 always answers a device at its address: silence means it has left the bus or come
    // back in its default state (a detach and attach between two looks at the pull-up).
    if (h == UsbHandshake::kNone && announced_) device_lost_ = true;
    t.stage = Transfer::Stage::kDone;
    return true;
  };
  // A NAK: the transfer waits, until the stage's limit in frames has passed.
  auto held = [&](std::uint32_t limit) {
    if (clock_.Frame() - t.stage_frame > limit) {
      t.status = usb_redir_timeout;
      t.stage = Transfer::Stage::kDone;
      return true;
    }
    return false;
  };
  if (t.stage == Transfer::Stage::kSetup) {
    if (!TakeBus(UsbFrameClock::DataBitTimes(8))) return false;
    const UsbHandshake h = d.Setup(a, t.setup);
    if (h != UsbHandshake::kAck) return fail(h);
    t.stage = SetupLength(t.setup) == 0 ? Transfer::Stage::kStatus : Transfer::Stage::kData;
    t.toggle = 1;
    t.stage_frame = clock_.Frame();
    if (t.In()) t.data.clear();
  }
  const std::size_t maxp = info_.max_packet0;
  const std::uint16_t length = SetupLength(t.setup);
  while (t.stage == Transfer::Stage::kData) {
    UsbHandshake h;
    if (t.In()) {
      if (!clock_.Fits(UsbFrameClock::DataBitTimes(maxp))) return false;
      std::vector<std::uint8_t> packet;
      unsigned toggle = 0;
      h = d.In(a, 0, &packet, &toggle);
      if (h == UsbHandshake::kAck) {
        clock_.Take(UsbFrameClock::DataBitTimes(packet.size()));
        t.stage_frame = clock_.Frame();
        if (toggle != t.toggle) continue;  // a repeat of a packet already taken
        if (packet.size() > maxp || t.data.size() + packet.size() > length) {
          t.status = usb_redir_babble;
          t.stage = Transfer::Stage::kDone;
          return true;
        }
        t.toggle ^= 1u;
        t.data.insert(t.data.end(), packet.begin(), packet.end());
        if (packet.size() < maxp || t.data.size() == length) t.stage = Transfer::Stage::kStatus;
        continue;
      }
      clock_.Take(UsbFrameClock::kHandshakeBitTimes);
    } else {
      const std::size_t n = std::min(maxp, t.data.size() - t.offset);
      if (!TakeBus(UsbFrameClock::DataBitTimes(n))) return false;
      h = d.Out(a, 0, t.data.data() + t.offset, n, t.toggle);
      if (h == UsbHandshake::kAck) {
        t.stage_frame = clock_.Frame();
        t.toggle ^= 1u;
        t.offset += n;
        if (t.offset >= t.data.size()) t.stage = Transfer::Stage::kStatus;
        continue;
      }
    }
    if (h != UsbHandshake::kNak) return fail(h);
    return held(kDataStageFrames);
  }
  if (t.stage != Transfer::Stage::kStatus) return false;
  if (!TakeBus(UsbFrameClock::DataBitTimes(0))) return false;
  UsbHandshake h;
  if (t.In() && length > 0) {
    h = d.Out(a, 0, nullptr, 0, 1);
  } else {
    std::vector<std::uint8_t> packet;
    unsigned toggle = 0;
    h = d.In(a, 0, &packet, &toggle);
    if (h == UsbHandshake::kAck && !packet.empty()) {
      t.status = usb_redir_ioerror;  // data in a status stage
      t.stage = Transfer::Stage::kDone;
      return true;
    }
  }
  if (h == UsbHandshake::kAck) {
    t.status = usb_redir_success;
    t.stage = Transfer::Stage::kDone;
    return true;
  }
  if (h != UsbHandshake::kNak) return fail(h);
  return held(kStatusStageFrames);
}

bool Session::StepBulkIn(Transfer& t) {
  UsbDeviceController& d = owner_.device;
  const UsbRedirDeviceInfo::Endpoint* e = FindEndpoint(t.endpoint);
  const std::size_t maxp = e != nullptr ? e->max_packet : hw::usbd::kFifoSize;
  unsigned& expected = toggles_[EpIndex(t.endpoint)];
  // Tokens while the frame has room; a NAK leaves the transfer pending.
  while (clock_.Fits(UsbFrameClock::DataBitTimes(maxp))) {
    std::vector<std::uint8_t> packet;
    unsigned toggle = 0;
    const UsbHandshake h = d.In(bus_address_, t.endpoint & 0x0F, &packet, &toggle);
    clock_.Take(h == UsbHandshake::kAck ? UsbFrameClock::DataBitTimes(packet.size())
                                        : UsbFrameClock::kHandshakeBitTimes);
    if (h == UsbHandshake::kNak) return false;
    if (h != UsbHandshake::kAck) {
      t.status = h == UsbHandshake::kStall ? usb_redir_stall : usb_redir_ioerror;
      return true;
    }
    if (toggle != expected) continue;  // a repeat the host has already taken
    if (packet.size() > maxp || t.data.size() + packet.size() > t.length) {
      t.status = usb_redir_babble;
      return true;
    }
    expected ^= 1u;
    t.data.insert(t.data.end(), packet.begin(), packet.end());
    if (packet.size() < maxp || t.data.size() == t.length) {
      t.status = usb_redir_success;
      return true;
    }
  }
  return false;
}

bool Session::StepOut(Transfer& t) {
  UsbDeviceController& d = owner_.device;
  const UsbRedirDeviceInfo::Endpoint* e = FindEndpoint(t.endpoint);
  const std::size_t maxp = e != nullptr ? e->max_packet : hw::usbd::kFifoSize;
  unsigned& toggle = toggles_[EpIndex(t.endpoint)];
  for (;;) {
    if (t.offset >= t.data.size() && (t.zero_length_sent || !t.data.empty())) {
      t.status = usb_redir_success;
      return true;
    }
    const std::size_t n = std::min(maxp, t.data.size() - t.offset);
    // The data packet is on the wire whatever the answer.
    if (!TakeBus(UsbFrameClock::DataBitTimes(n))) return false;
    const UsbHandshake h = d.Out(bus_address_, t.endpoint & 0x0F, t.data.data() + t.offset, n, toggle);
    if (h == UsbHandshake::kNak) return false;
    if (h != UsbHandshake::kAck) {
      t.status = h == UsbHandshake::kStall ? usb_redir_stall : usb_redir_ioerror;
      return true;
    }
    toggle ^= 1u;
    t.offset += n;
    if (n == 0) t.zero_length_sent = true;
  }
}

void Session::Finish(Transfer& t) {
  const std::uint64_t id = t.id;
  const std::uint8_t status = t.status;
  if (t.kind == TransferKind::kControl) {
    const bool ok = status == usb_redir_success;
    const std::array<std::uint8_t, 8>& s = t.setup;
    switch (t.purpose) {
      case ControlPurpose::kInternal: return;
      case ControlPurpose::kSetConfiguration: {
        if (ok) {
          configuration_ = static_cast<std::uint8_t>(SetupValue(s));
          ResetToggles(std::nullopt);
          SendDeviceInfo(false);
        }
        usb_redir_configuration_status_header r{status, configuration_};
        Complete([id, r](usbredirparser* p) mutable { usbredirparser_send_configuration_status(p, id, &r); });
        return;
      }
      case ControlPurpose::kGetConfiguration: {
        const std::uint8_t value = ok && !t.data.empty() ? t.data[0] : configuration_;
        usb_redir_configuration_status_header r{
            ok && t.data.empty() ? static_cast<std::uint8_t>(usb_redir_ioerror) : status, value};
        Complete([id, r](usbredirparser* p) mutable { usbredirparser_send_configuration_status(p, id, &r); });
        return;
      }
      case ControlPurpose::kSetAltSetting: {
        if (ok) {
          ResetToggles(static_cast<std::uint8_t>(SetupIndex(s)));
          SendDeviceInfo(false);
        }
        usb_redir_alt_setting_status_header r{status, static_cast<std::uint8_t>(SetupIndex(s)),
                                              static_cast<std::uint8_t>(SetupValue(s))};
        Complete([id, r](usbredirparser* p) mutable { usbredirparser_send_alt_setting_status(p, id, &r); });
        return;
      }
      case ControlPurpose::kGetAltSetting: {
        usb_redir_alt_setting_status_header r{
            ok && t.data.empty() ? static_cast<std::uint8_t>(usb_redir_ioerror) : status,
            static_cast<std::uint8_t>(SetupIndex(s)), ok && !t.data.empty() ? t.data[0] : static_cast<std::uint8_t>(0)};
        Complete([id, r](usbredirparser* p) mutable { usbredirparser_send_alt_setting_status(p, id, &r); });
        return;
      }
      case ControlPurpose::kPacket: break;
    }
    // Standard requests whose effect the host side keeps track of.
    if (ok && SetupType(s) == 0x02 && SetupRequest(s) == kRequestClearFeature &&
        SetupValue(s) == kFeatureEndpointHalt) {
      const std::uint8_t ep = static_cast<std::uint8_t>(SetupIndex(s) & 0x8F);
      toggles_[EpIndex(ep)] = 0;
      if ((ep & 0x80) != 0) interrupts_[ep & 0x0F].halted = false;
    }
    if (ok && SetupType(s) == 0x00 && SetupRequest(s) == kRequestSetConfiguration) {
      configuration_ = static_cast<std::uint8_t>(SetupValue(s));
      ResetToggles(std::nullopt);
    }
    if (ok && SetupType(s) == 0x01 && SetupRequest(s) == kRequestSetInterface) {
      ResetToggles(static_cast<std::uint8_t>(SetupIndex(s)));
    }
    usb_redir_control_packet_header r{};
    r.endpoint = t.In() ? 0x80 : 0x00;
    r.requesttype = SetupType(s);
    r.request = SetupRequest(s);
    r.value = SetupValue(s);
    r.index = SetupIndex(s);
    r.status = status;
    const bool in = t.In();
    r.length =
        static_cast<std::uint16_t>(in ? t.data.size() : (status == usb_redir_success ? t.data.size() : t.offset));
    std::vector<std::uint8_t> data = in ? std::move(t.data) : std::vector<std::uint8_t>();
    Complete([id, r, data = std::move(data)](usbredirparser* p) mutable {
      usbredirparser_send_control_packet(p, id, &r, data.empty() ? nullptr : data.data(),
                                         static_cast<int>(data.size()));
    });
    return;
  }
  const bool in = t.In();
  std::vector<std::uint8_t> data = in ? std::move(t.data) : std::vector<std::uint8_t>();
  const std::uint32_t actual = in ? static_cast<std::uint32_t>(data.size())
                                  : static_cast<std::uint32_t>(std::min<std::size_t>(t.offset, t.data.size()));
  if (t.kind == TransferKind::kBulk) {
    usb_redir_bulk_packet_header r{};
    r.endpoint = t.endpoint;
    r.status = status;
    r.length = static_cast<std::uint16_t>(actual & 0xFFFF);
    r.length_high = static_cast<std::uint16_t>(actual >> 16);
    Complete([id, r, data = std::move(data)](usbredirparser* p) mutable {
      usbredirparser_send_bulk_packet(p, id, &r, data.empty() ? nullptr : data.data(), static_cast<int>(data.size()));
    });
  } else {
    usb_redir_interrupt_packet_header r{t.endpoint, status, static_cast<std::uint16_t>(actual)};
    Complete([id, r](usbredirparser* p) mutable { usbredirparser_send_interrupt_packet(p, id, &r, nullptr, 0); });
  }
}

void Session::FailAll(std::uint8_t status) {
  for (auto& [index, queue] : queues_) {
    while (!queue.empty()) {
      Transfer t = std::move(queue.front());
      queue.pop_front();
      Dequeued(t);
      t.status = status;
      Finish(t);
    }
  }
}

void Session::PollInterrupts() {
  UsbDeviceController& d = owner_.device;
  for (unsigned n = 1; n < interrupts_.size(); ++n) {
    InterruptIn& r = interrupts_[n];
    if (!r.receiving || r.halted) continue;
    const std::uint64_t frame = clock_.Frame();
    if (frame < r.next_frame) continue;
    const std::uint8_t address = static_cast<std::uint8_t>(0x80 | n);
    const UsbRedirDeviceInfo::Endpoint* e = FindEndpoint(address);
    if (e == nullptr || !clock_.Fits(UsbFrameClock::DataBitTimes(e->max_packet))) continue;
    r.next_frame = frame + std::max<std::uint32_t>(e->interval, 1);
    std::vector<std::uint8_t> packet;
    unsigned toggle = 0;
    const UsbHandshake h = d.In(bus_address_, n, &packet, &toggle);
    clock_.Take(h == UsbHandshake::kAck ? UsbFrameClock::DataBitTimes(packet.size())
                                        : UsbFrameClock::kHandshakeBitTimes);
    // No answer (not configured yet, in reset) is polled again like a NAK.
    if (h == UsbHandshake::kNak || h == UsbHandshake::kNone) continue;
    std::uint8_t status = usb_redir_success;
    unsigned& expected = toggles_[EpIndex(address)];
    if (h == UsbHandshake::kStall) {
      status = usb_redir_stall;
      r.halted = true;  // until CLEAR_FEATURE(ENDPOINT_HALT), a configuration or a reset
      packet.clear();
    } else {
      if (toggle != expected) continue;
      expected ^= 1u;
      if (packet.size() > e->max_packet) {
        status = usb_redir_babble;
        packet.clear();
      }
    }
    usb_redir_interrupt_packet_header hdr{address, status, static_cast<std::uint16_t>(packet.size())};
    const std::uint64_t id = interrupt_id_++;
    Complete([id, hdr, packet = std::move(packet)](usbredirparser* p) mutable {
      usbredirparser_send_interrupt_packet(p, id, &hdr, packet.empty() ? nullptr : packet.data(),
                                           static_cast<int>(packet.size()));
    });
  }
}

void Session::BusLoop() {
  for (;;) {
    std::deque<std::function<void()>> work;
    {
      std::lock_guard<std::mutex> g(lock_);
      if (bus_stop_) break;
      work.swap(inbox_);
    }
    for (auto& w : work) w();
    bool busy = false;
    if (started_) {
      const bool attached = owner_.device.Attached();
      if (!announced_) {
        // The debounce and the retry wait count frames of the bus, however often the loop turns.
        const std::uint64_t frame = clock_.Frame();
        if (!attached) {
          attached_since_.reset();
        } else if (!attached_since_.has_value()) {
          attached_since_ = frame;
        }
        if (attached && frame - *attached_since_ >= kAttachDebounceFrames && frame >= retry_frame_) {
          std::string failed;
          if (Enumerate(&failed)) {
            announced_ = true;
            owner_.announcements.fetch_add(1);
            SendDeviceInfo(true);
            char ids[32];
            std::snprintf(ids, sizeof ids, "%04x:%04x", info_.vendor_id, info_.product_id);
            owner_.Say(std::string("device ") + ids + " announced");
          } else {
            owner_.Say("enumeration failed at " + failed);
            retry_frame_ = clock_.Frame() + kEnumerationRetryFrames;
          }
        }
      } else if (!attached || device_lost_) {
        announced_ = false;
        device_lost_ = false;
        attached_since_.reset();
        FailAll(usb_redir_ioerror);
        for (auto& r : interrupts_) r = InterruptIn{};
        configuration_ = 0;
        Complete([](usbredirparser* p) { usbredirparser_send_device_disconnect(p); });
        owner_.Say(attached ? "device stopped answering; enumerating it again" : "device left the bus");
      }
      if (announced_) {
        for (auto& [index, queue] : queues_) {
          while (!queue.empty()) {
            if (!Step(queue.front())) {
              busy = true;
              break;
            }
            Transfer t = std::move(queue.front());
            queue.pop_front();
            Dequeued(t);
            Finish(t);
          }
        }
        PollInterrupts();
        for (const auto& r : interrupts_) busy = busy || (r.receiving && !r.halted);
      }
    }
    WaitForBusOrWork(busy);
  }
}

}  // namespace redir
}  // namespace sim

#endif  // TORVEX_HAVE_USBREDIR
