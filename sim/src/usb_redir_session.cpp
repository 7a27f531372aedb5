// The usbredir connection on the server thread: the parser and its callbacks, and the hand-off of
// work to the bus thread and of completions back.
#include "usb_redir_session.h"

#if TORVEX_HAVE_USBREDIR

namespace sim {
namespace redir {

bool Session::Init() {
  wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd_ < 0) return false;
  parser_ = usbredirparser_create();
  if (parser_ == nullptr) return false;
  parser_->priv = this;
  parser_->log_func = OnLog;
  parser_->read_func = OnRead;
  parser_->write_func = OnWrite;
  parser_->hello_func = OnHello;
  parser_->reset_func = OnReset;
  parser_->set_configuration_func = OnSetConfiguration;
  parser_->get_configuration_func = OnGetConfiguration;
  parser_->set_alt_setting_func = OnSetAltSetting;
  parser_->get_alt_setting_func = OnGetAltSetting;
  parser_->start_iso_stream_func = OnStartIso;
  parser_->stop_iso_stream_func = OnStopIso;
  parser_->start_interrupt_receiving_func = OnStartInterrupt;
  parser_->stop_interrupt_receiving_func = OnStopInterrupt;
  parser_->alloc_bulk_streams_func = OnAllocStreams;
  parser_->free_bulk_streams_func = OnFreeStreams;
  parser_->cancel_data_packet_func = OnCancel;
  parser_->filter_reject_func = OnFilterReject;
  parser_->filter_filter_func = OnFilterFilter;
  parser_->device_disconnect_ack_func = OnDisconnectAck;
  parser_->start_bulk_receiving_func = OnStartBulkReceiving;
  parser_->stop_bulk_receiving_func = OnStopBulkReceiving;
  parser_->control_packet_func = OnControl;
  parser_->bulk_packet_func = OnBulk;
  parser_->iso_packet_func = OnIso;
  parser_->interrupt_packet_func = OnInterrupt;
  // The library calls a packet's callback without looking whether it is set: the packets that only
  // the device's side sends are given handlers that drop them, so a guest sending one cannot crash
  // the board.
  parser_->device_connect_func = [](void* priv, usb_redir_device_connect_header*) {
    Of(priv)->Unexpected("device_connect");
  };
  parser_->device_disconnect_func = [](void* priv) { Of(priv)->Unexpected("device_disconnect"); };
  parser_->interface_info_func = [](void* priv, usb_redir_interface_info_header*) {
    Of(priv)->Unexpected("interface_info");
  };
  parser_->ep_info_func = [](void* priv, usb_redir_ep_info_header*) { Of(priv)->Unexpected("ep_info"); };
  parser_->configuration_status_func = [](void* priv, std::uint64_t, usb_redir_configuration_status_header*) {
    Of(priv)->Unexpected("configuration_status");
  };
  parser_->alt_setting_status_func = [](void* priv, std::uint64_t, usb_redir_alt_setting_status_header*) {
    Of(priv)->Unexpected("alt_setting_status");
  };
  parser_->iso_stream_status_func = [](void* priv, std::uint64_t, usb_redir_iso_stream_status_header*) {
    Of(priv)->Unexpected("iso_stream_status");
  };
  parser_->interrupt_receiving_status_func = [](void* priv, std::uint64_t,
                                                usb_redir_interrupt_receiving_status_header*) {
    Of(priv)->Unexpected("interrupt_receiving_status");
  };
  parser_->bulk_streams_status_func = [](void* priv, std::uint64_t, usb_redir_bulk_streams_status_header*) {
    Of(priv)->Unexpected("bulk_streams_status");
  };
  parser_->bulk_receiving_status_func = [](void* priv, std::uint64_t, usb_redir_bulk_receiving_status_header*) {
    Of(priv)->Unexpected("bulk_receiving_status");
  };
  parser_->buffered_bulk_packet_func = [](void* priv, std::uint64_t, usb_redir_buffered_bulk_packet_header*,
                                          std::uint8_t* data, int len) {
    Of(priv)->TakePacketData(data, len, nullptr);
    Of(priv)->Unexpected("buffered_bulk_packet");
  };
  std::uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
  usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
  usbredirparser_init(parser_, "torvex board usbredir", caps, USB_REDIR_CAPS_SIZE, usbredirparser_fl_usb_host);
  bus_ = std::thread([this] { BusLoop(); });
  return true;
}

void Session::Run() {
  for (;;) {
    DrainCompletions();
    if (usbredirparser_has_data_to_write(parser_) > 0 && usbredirparser_do_write(parser_) != 0) {
      owner_.Say("connection lost while sending");
      return;
    }
    if (peer_gone_ || failed_) return;
    pollfd fds[4] = {};
    fds[0].fd = fd_;
    fds[0].events = static_cast<short>(POLLIN | (usbredirparser_has_data_to_write(parser_) > 0 ? POLLOUT : 0));
    fds[1].fd = wake_fd_;
    fds[1].events = POLLIN;
    fds[2].fd = owner_.stop_fd;
    fds[2].events = POLLIN;
    fds[3].fd = owner_.listen_fd;
    fds[3].events = POLLIN;
    if (::poll(fds, 4, -1) < 0) {
      if (errno == EINTR) continue;
      owner_.Say(std::string("poll failed: ") + std::strerror(errno));
      return;
    }
    if ((fds[2].revents & POLLIN) != 0 || owner_.stopping.load()) return;
    if ((fds[1].revents & POLLIN) != 0) {
      std::uint64_t v = 0;
      [[maybe_unused]] const ssize_t n = ::read(wake_fd_, &v, sizeof v);
    }
    if ((fds[3].revents & POLLIN) != 0) {
      const int extra = ::accept4(owner_.listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (extra >= 0) {
        owner_.Say("refused a second connection: one guest at a time");
        ::close(extra);
      }
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const int r = usbredirparser_do_read(parser_);
      if (r == usbredirparser_read_parse_error) {
        owner_.Say("protocol error from the guest; connection closed");
        return;
      }
      if (r != 0 && !peer_gone_) {
        owner_.Say("connection read failed");
        return;
      }
    }
  }
}

void Session::OnLog(void* priv, int level, const char* msg) {
  if (level <= usbredirparser_warning) Of(priv)->owner_.Say(std::string("parser: ") + msg);
}

int Session::OnRead(void* priv, std::uint8_t* data, int count) {
  Session* s = Of(priv);
  const ssize_t n = ::recv(s->fd_, data, static_cast<std::size_t>(count), MSG_DONTWAIT);
  if (n > 0) return static_cast<int>(n);
  if (n == 0) {
    s->peer_gone_ = true;
    s->owner_.Say("guest disconnected");
    return -1;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
  s->peer_gone_ = true;
  s->owner_.Say(std::string("guest connection failed: ") + std::strerror(errno));
  return -1;
}

int Session::OnWrite(void* priv, std::uint8_t* data, int count) {
  Session* s = Of(priv);
  const ssize_t n = ::send(s->fd_, data, static_cast<std::size_t>(count), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n >= 0) return static_cast<int>(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
  s->peer_gone_ = true;
  return -1;
}

void Session::TakePacketData(std::uint8_t* data, int len, std::vector<std::uint8_t>* out) {
  if (data == nullptr) return;
  if (out != nullptr && len > 0) out->assign(data, data + len);
  usbredirparser_free_packet_data(parser_, data);
}

void Session::OnHello(void* priv, usb_redir_hello_header* hello) {
  Session* s = Of(priv);
  std::string version(hello->version, strnlen(hello->version, sizeof hello->version));
  s->owner_.Say("guest \"" + version + "\" connected");
  s->Post([s] { s->started_ = true; });
}

void Session::OnReset(void* priv) {
  Session* s = Of(priv);
  s->Post([s] {
    if (!s->announced_) return;
    s->owner_.Say("bus reset by the guest");
    s->FailAll(usb_redir_cancelled);
    s->BusReset();
    std::vector<std::uint8_t> none;
    const std::uint8_t status =
        s->RunControlNow(MakeSetup(0x00, kRequestSetAddress, UsbRedirServer::kDeviceAddress, 0, 0), &none);
    if (status != usb_redir_success) s->owner_.Say(std::string("address after reset: ") + StatusName(status));
  });
}

void Session::OnSetConfiguration(void* priv, std::uint64_t id, usb_redir_set_configuration_header* h) {
  Session* s = Of(priv);
  const std::uint8_t value = h->configuration;
  s->Post([s, id, value] {
    Transfer t;
    t.id = id;
    t.purpose = ControlPurpose::kSetConfiguration;
    t.setup = MakeSetup(0x00, kRequestSetConfiguration, value, 0, 0);
    s->Queue(std::move(t));
  });
}

void Session::OnGetConfiguration(void* priv, std::uint64_t id) {
  Session* s = Of(priv);
  s->Post([s, id] {
    Transfer t;
    t.id = id;
    t.purpose = ControlPurpose::kGetConfiguration;
    t.setup = MakeSetup(0x80, kRequestGetConfiguration, 0, 0, 1);
    t.length = 1;
    s->Queue(std::move(t));
  });
}

void Session::OnSetAltSetting(void* priv, std::uint64_t id, usb_redir_set_alt_setting_header* h) {
  Session* s = Of(priv);
  const std::uint8_t interface = h->interface;
  const std::uint8_t alt = h->alt;
  s->Post([s, id, interface, alt] {
    Transfer t;
    t.id = id;
    t.purpose = ControlPurpose::kSetAltSetting;
    t.setup = MakeSetup(0x01, kRequestSetInterface, alt, interface, 0);
    s->Queue(std::move(t));
  });
}

void Session::OnGetAltSetting(void* priv, std::uint64_t id, usb_redir_get_alt_setting_header* h) {
  Session* s = Of(priv);
  const std::uint8_t interface = h->interface;
  s->Post([s, id, interface] {
    Transfer t;
    t.id = id;
    t.purpose = ControlPurpose::kGetAltSetting;
    t.setup = MakeSetup(0x81, kRequestGetInterface, 0, interface, 1);
    t.length = 1;
    s->Queue(std::move(t));
  });
}

void Session::OnStartIso(void* priv, std::uint64_t id, usb_redir_start_iso_stream_header* h) {
  Session* s = Of(priv);
  usb_redir_iso_stream_status_header r{usb_redir_inval, h->endpoint};
  usbredirparser_send_iso_stream_status(s->parser_, id, &r);
}

void Session::OnStopIso(void* priv, std::uint64_t id, usb_redir_stop_iso_stream_header* h) {
  Session* s = Of(priv);
  usb_redir_iso_stream_status_header r{usb_redir_inval, h->endpoint};
  usbredirparser_send_iso_stream_status(s->parser_, id, &r);
}

void Session::OnStartInterrupt(void* priv, std::uint64_t id, usb_redir_start_interrupt_receiving_header* h) {
  Session* s = Of(priv);
  const std::uint8_t ep = h->endpoint;
  s->Post([s, id, ep] {
    const UsbRedirDeviceInfo::Endpoint* e = s->FindEndpoint(ep);
    std::uint8_t status = usb_redir_success;
    if (!s->announced_ || e == nullptr || e->type != usb_redir_type_interrupt || (ep & 0x80) == 0) {
      status = usb_redir_inval;
    } else {
      auto& r = s->interrupts_[ep & 0x0F];
      r.receiving = true;
      r.next_frame = 0;
    }
    s->Complete([id, ep, status](usbredirparser* p) {
      usb_redir_interrupt_receiving_status_header r{status, ep};
      usbredirparser_send_interrupt_receiving_status(p, id, &r);
    });
  });
}

void Session::OnStopInterrupt(void* priv, std::uint64_t id, usb_redir_stop_interrupt_receiving_header* h) {
  Session* s = Of(priv);
  const std::uint8_t ep = h->endpoint;
  s->Post([s, id, ep] {
    const UsbRedirDeviceInfo::Endpoint* e = s->FindEndpoint(ep);
    std::uint8_t status = usb_redir_success;
    if (e == nullptr || e->type != usb_redir_type_interrupt || (ep & 0x80) == 0) {
      status = usb_redir_inval;
    } else {
      s->interrupts_[ep & 0x0F].receiving = false;
    }
    s->Complete([id, ep, status](usbredirparser* p) {
      usb_redir_interrupt_receiving_status_header r{status, ep};
      usbredirparser_send_interrupt_receiving_status(p, id, &r);
    });
  });
}

void Session::OnAllocStreams(void* priv, std::uint64_t id, usb_redir_alloc_bulk_streams_header* h) {
  Session* s = Of(priv);
  usb_redir_bulk_streams_status_header r{h->endpoints, 0, usb_redir_inval};
  usbredirparser_send_bulk_streams_status(s->parser_, id, &r);
}

void Session::OnFreeStreams(void* priv, std::uint64_t id, usb_redir_free_bulk_streams_header* h) {
  Session* s = Of(priv);
  usb_redir_bulk_streams_status_header r{h->endpoints, 0, usb_redir_inval};
  usbredirparser_send_bulk_streams_status(s->parser_, id, &r);
}

void Session::OnCancel(void* priv, std::uint64_t id) {
  Session* s = Of(priv);
  s->Post([s, id] {
    for (auto& [index, queue] : s->queues_) {
      for (auto it = queue.begin(); it != queue.end(); ++it) {
        if (it->id != id) continue;
        Transfer t = std::move(*it);
        queue.erase(it);
        s->Dequeued(t);
        t.status = usb_redir_cancelled;
        s->Finish(t);
        return;
      }
    }
  });
}

void Session::OnFilterReject(void*) {}

void Session::OnFilterFilter(void*, usbredirfilter_rule* rules, int) { std::free(rules); }

void Session::OnDisconnectAck(void*) {}

void Session::OnStartBulkReceiving(void* priv, std::uint64_t id, usb_redir_start_bulk_receiving_header* h) {
  Session* s = Of(priv);
  usb_redir_bulk_receiving_status_header r{h->stream_id, h->endpoint, usb_redir_inval};
  usbredirparser_send_bulk_receiving_status(s->parser_, id, &r);
}

void Session::OnStopBulkReceiving(void* priv, std::uint64_t id, usb_redir_stop_bulk_receiving_header* h) {
  Session* s = Of(priv);
  usb_redir_bulk_receiving_status_header r{h->stream_id, h->endpoint, usb_redir_inval};
  usbredirparser_send_bulk_receiving_status(s->parser_, id, &r);
}

void Session::OnControl(void* priv, std::uint64_t id, usb_redir_control_packet_header* h, std::uint8_t* data, int len) {
  Session* s = Of(priv);
  Transfer t;
  t.id = id;
  t.endpoint = h->endpoint;
  t.setup = MakeSetup(h->requesttype, h->request, h->value, h->index, h->length);
  t.length = h->length;
  s->TakePacketData(data, len, &t.data);
  const bool in = (h->requesttype & 0x80) != 0;
  // Direction in the endpoint field and the request type agree; OUT data is all there, IN has none.
  const bool valid = (h->endpoint & 0x7F) == 0 && ((h->endpoint & 0x80) != 0) == in &&
                     (in ? len <= 0 : static_cast<std::size_t>(std::max(len, 0)) == h->length);
  if (!valid) {
    usb_redir_control_packet_header r = *h;
    r.status = usb_redir_inval;
    r.length = 0;
    usbredirparser_send_control_packet(s->parser_, id, &r, nullptr, 0);
    return;
  }
  s->Post([s, t = std::move(t)]() mutable { s->Queue(std::move(t)); });
}

void Session::OnBulk(void* priv, std::uint64_t id, usb_redir_bulk_packet_header* h, std::uint8_t* data, int len) {
  Session* s = Of(priv);
  Transfer t;
  t.id = id;
  t.kind = TransferKind::kBulk;
  t.endpoint = h->endpoint;
  t.length = static_cast<std::uint32_t>(h->length) | (static_cast<std::uint32_t>(h->length_high) << 16);
  s->TakePacketData(data, len, &t.data);
  const bool in = (h->endpoint & 0x80) != 0;
  const bool valid = h->stream_id == 0 && (in ? len <= 0 : static_cast<std::size_t>(std::max(len, 0)) == t.length);
  if (!valid) {
    usb_redir_bulk_packet_header r = *h;
    r.status = usb_redir_inval;
    r.length = 0;
    r.length_high = 0;
    usbredirparser_send_bulk_packet(s->parser_, id, &r, nullptr, 0);
    return;
  }
  s->Post([s, t = std::move(t)]() mutable { s->Queue(std::move(t)); });
}

void Session::OnIso(void* priv, std::uint64_t id, usb_redir_iso_packet_header* h, std::uint8_t* data, int len) {
  Session* s = Of(priv);
  s->TakePacketData(data, len, nullptr);
  usb_redir_iso_packet_header r{h->endpoint, usb_redir_inval, 0};
  usbredirparser_send_iso_packet(s->parser_, id, &r, nullptr, 0);
}

void Session::OnInterrupt(void* priv, std::uint64_t id, usb_redir_interrupt_packet_header* h, std::uint8_t* data,
                          int len) {
  Session* s = Of(priv);
  Transfer t;
  t.id = id;
  t.kind = TransferKind::kInterruptOut;
  t.endpoint = h->endpoint;
  t.length = h->length;
  s->TakePacketData(data, len, &t.data);
  // Interrupt IN goes through start_interrupt_receiving; a packet carries OUT data only.
  if ((h->endpoint & 0x80) != 0 || static_cast<std::size_t>(std::max(len, 0)) != h->length) {
    usb_redir_interrupt_packet_header r{h->endpoint, usb_redir_inval, 0};
    usbredirparser_send_interrupt_packet(s->parser_, id, &r, nullptr, 0);
    return;
  }
  s->Post([s, t = std::move(t)]() mutable { s->Queue(std::move(t)); });
}

void Session::Post(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> g(lock_);
    inbox_.push_back(std::move(work));
  }
  work_cv_.notify_one();
  owner_.device.Poke();  // the bus thread may be waiting on the device
}

void Session::Complete(Completion c) {
  {
    std::lock_guard<std::mutex> g(lock_);
    outbox_.push_back(std::move(c));
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof one);
}

void Session::DrainCompletions() {
  std::deque<Completion> ready;
  {
    std::lock_guard<std::mutex> g(lock_);
    ready.swap(outbox_);
  }
  for (Completion& c : ready) c(parser_);
}

void Session::StopBus() {
  {
    std::lock_guard<std::mutex> g(lock_);
    bus_stop_ = true;
  }
  work_cv_.notify_all();
  owner_.device.Poke();
  if (bus_.joinable()) bus_.join();
}

}  // namespace redir
}  // namespace sim

#endif  // TORVEX_HAVE_USBREDIR
