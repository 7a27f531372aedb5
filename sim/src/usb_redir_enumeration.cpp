// The usbredir bridge enumerating the device on the bus thread and announcing it to the guest.
#include "usb_redir_session.h"

#if TORVEX_HAVE_USBREDIR

namespace sim {
namespace redir {

void Session::WaitForBusOrWork(bool busy) {
  UsbDeviceController& d = owner_.device;
  // Read before looking at the inbox: a Post after the look changes it, and the wait ends at once.
  const std::uint64_t seen = d.Changes();
  {
    std::lock_guard<std::mutex> g(lock_);
    if (bus_stop_ || !inbox_.empty()) return;
  }
  const std::uint32_t packet = UsbFrameClock::DataBitTimes(hw::usbd::kFifoSize);
  UsbFrameClock::Clock::time_point until;
  if (!busy) {
    until = UsbFrameClock::Clock::now() + UsbHost::FramePeriod() * kIdleFrames;
  } else if (clock_.Fits(packet)) {
    until = clock_.LastStart(packet);
  } else {
    until = clock_.NextFrameStart();
  }
  d.WaitForChange(seen, until);
}

bool Session::TakeBus(std::uint32_t bit_times) {
  if (!clock_.Fits(bit_times)) return false;
  clock_.Take(bit_times);
  return true;
}

const UsbRedirDeviceInfo::Endpoint* Session::FindEndpoint(std::uint8_t address) const {
  for (const auto& e : info_.endpoints) {
    if (e.address == address) return &e;
  }
  return nullptr;
}

void Session::ResetToggles(std::optional<std::uint8_t> interface) {
  for (const auto& e : info_.endpoints) {
    if (interface.has_value() && e.interface != *interface) continue;
    toggles_[EpIndex(e.address)] = 0;
    if ((e.address & 0x80) != 0) interrupts_[e.address & 0x0F].halted = false;
  }
}

void Session::BusReset() {
  UsbDeviceController& d = owner_.device;
  d.BeginReset();
  std::this_thread::sleep_for(UsbHost::FramePeriod() * 10);
  d.EndReset();
  std::this_thread::sleep_for(UsbHost::FramePeriod() * 10);
  toggles_.fill(0);
  for (auto& r : interrupts_) r.halted = false;
  configuration_ = 0;
  bus_address_ = 0;
}

std::uint8_t Session::RunControlNow(const std::array<std::uint8_t, 8>& setup, std::vector<std::uint8_t>* in) {
  Transfer t;
  t.purpose = ControlPurpose::kInternal;
  t.setup = setup;
  t.length = SetupLength(setup);
  while (!StepControl(t)) {
    {
      std::lock_guard<std::mutex> g(lock_);
      if (bus_stop_) return usb_redir_cancelled;
    }
    // Posted work waits until the enumeration is over: only the device or the frame ends this wait.
    const std::uint64_t seen = owner_.device.Changes();
    const std::uint32_t packet = UsbFrameClock::DataBitTimes(info_.max_packet0);
    owner_.device.WaitForChange(seen, clock_.Fits(packet) ? clock_.LastStart(packet) : clock_.NextFrameStart());
  }
  *in = std::move(t.data);
  if (t.status == usb_redir_success && SetupType(setup) == 0x00 && SetupRequest(setup) == kRequestSetAddress) {
    bus_address_ = static_cast<std::uint8_t>(SetupValue(setup));
  }
  return t.status;
}

bool Session::Enumerate(std::string* failed_step) {
  BusReset();
  std::vector<std::uint8_t> data;
  auto step = [&](const char* name, const std::array<std::uint8_t, 8>& setup) {
    data.clear();
    const std::uint8_t status = RunControlNow(setup, &data);
    if (status != usb_redir_success) {
      *failed_step = std::string(name) + ": " + StatusName(status);
      return false;
    }
    return true;
  };
  UsbRedirDeviceInfo info;
  std::string error;
  // The first 8 bytes of the device descriptor at address 0 give endpoint 0's packet size.
  info_.max_packet0 = 8;
  if (!step("device descriptor at address 0", MakeSetup(0x80, kRequestGetDescriptor, 0x0100, 0, 8))) return false;
  if (!ParseUsbDeviceDescriptor(data.data(), data.size(), &info, &error)) {
    *failed_step = "device descriptor: " + error;
    return false;
  }
  info_.max_packet0 = info.max_packet0;
  if (!step("set address", MakeSetup(0x00, kRequestSetAddress, UsbRedirServer::kDeviceAddress, 0, 0))) return false;
  if (!step("device descriptor", MakeSetup(0x80, kRequestGetDescriptor, 0x0100, 0, 18))) return false;
  if (!ParseUsbDeviceDescriptor(data.data(), data.size(), &info, &error) || data.size() < 18) {
    *failed_step = "device descriptor: " + (error.empty() ? std::string("short") : error);
    return false;
  }
  if (!step("configuration header", MakeSetup(0x80, kRequestGetDescriptor, 0x0200, 0, 9))) return false;
  if (data.size() < 9) {
    *failed_step = "configuration header: short";
    return false;
  }
  const std::uint16_t total = static_cast<std::uint16_t>(data[2] | (data[3] << 8));
  if (!step("configuration", MakeSetup(0x80, kRequestGetDescriptor, 0x0200, 0, total))) return false;
  if (!ParseUsbConfiguration(data.data(), data.size(), &info, &error)) {
    *failed_step = "configuration: " + error;
    return false;
  }
  info_ = std::move(info);
  configuration_ = 0;
  return true;
}

void Session::SendDeviceInfo(bool connect) {
  usb_redir_interface_info_header interfaces{};
  usb_redir_ep_info_header eps{};
  std::fill(std::begin(eps.type), std::end(eps.type), static_cast<std::uint8_t>(usb_redir_type_invalid));
  eps.type[0] = eps.type[16] = usb_redir_type_control;
  eps.max_packet_size[0] = eps.max_packet_size[16] = info_.max_packet0;
  // The interfaces and their endpoints exist while the device is configured.
  if (configuration_ != 0 || connect) {
    for (const auto& i : info_.interfaces) {
      const std::uint32_t n = interfaces.interface_count++;
      interfaces.interface[n] = i.number;
      interfaces.interface_class[n] = i.interface_class;
      interfaces.interface_subclass[n] = i.subclass;
      interfaces.interface_protocol[n] = i.protocol;
    }
    for (const auto& e : info_.endpoints) {
      const unsigned n = EpIndex(e.address);
      eps.type[n] = e.type;
      eps.interval[n] = e.interval;
      eps.interface[n] = e.interface;
      eps.max_packet_size[n] = e.max_packet;
    }
  }
  usb_redir_device_connect_header device{};
  device.speed = usb_redir_speed_full;
  device.device_class = info_.device_class;
  device.device_subclass = info_.device_subclass;
  device.device_protocol = info_.device_protocol;
  device.vendor_id = info_.vendor_id;
  device.product_id = info_.product_id;
  device.device_version_bcd = info_.device_release;
  Complete([interfaces, eps, device, connect](usbredirparser* p) mutable {
    usbredirparser_send_interface_info(p, &interfaces);
    usbredirparser_send_ep_info(p, &eps);
    if (connect) usbredirparser_send_device_connect(p, &device);
  });
}

}  // namespace redir
}  // namespace sim

#endif  // TORVEX_HAVE_USBREDIR
