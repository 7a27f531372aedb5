#include "usb/controller/CS3C2410Controller.h"

#include <new>

#include "platform/diag.h"
#include "platform/hw_registers.h"
#include "platform/interrupt.h"
#include "platform/kernel.h"
#include "platform/regbus.h"
#include "platform/signals.h"
#include "usb/controller/CS3C2410BulkInEndpoint.h"
#include "usb/controller/CS3C2410BulkOutEndpoint.h"
#include "usb/controller/CS3C2410ControlEndpoint.h"
#include "usb/controller/CS3C2410InterruptInEndpoint.h"
#include "usb/controller/CS3C2410InterruptMask.h"

namespace u = hw::usbd;
using platform::regbus::Read8;
using platform::regbus::Write8;

namespace {

// Bounds of the busy wait on the end of a bus reset.
constexpr unsigned kResetWaitPolls = 2000;  // 50 us apart: 100 ms
constexpr std::uint32_t kResetPollMicroseconds = 50;

// Every flag of EP_INT_REG (endpoints 0 to 4) and of USB_INT_REG, to clear them all at once.
constexpr std::uint8_t kAllEndpointInterrupts = (1u << u::kEndpointCount) - 1;
constexpr std::uint8_t kAllBusInterrupts = u::kIntSuspend | u::kIntResume | u::kIntReset;

}  // namespace

CS3C2410Controller::CS3C2410Controller(COSUsbDevice* device, CUsbExceptionEventObserver* exception_observer,
                                       std::uint32_t* status)
    : CUsbController(device, exception_observer, 4, status) {
  if (*status != 0) return;
  registers_ = new (std::nothrow) CS3C2410Registers();
  if (registers_ == nullptr) {
    *status = kStatusOutOfMemory;
    return;
  }
  platform::signals::Install(platform::signals::kSigBus, &DumpRegisters);
  const cyg_vector_t vectors[] = {kVector, 0};
  std::uint32_t s = 0;
  device_->AttachInterrupts(vectors, &s);
  if (s != 0) *status = kStatusOutOfMemory;
}

namespace {

// The banner of the bus-error dump, one row per line.
constexpr const char* kBusErrorBanner[] = {
    "      \n", " >`)  \n", " ( \\  \n", "  ^   \n", "      \n",
};
static_assert(sizeof kBusErrorBanner / sizeof kBusErrorBanner[0] == 5, "five banner lines");
constexpr std::uint32_t kBusErrorDumpBytes = 128;
static_assert(sizeof(platform::signals::SavedRegisters) >= kBusErrorDumpBytes, "the dump stays inside the frame");

}  // namespace

void CS3C2410Controller::DumpRegisters(int) {
  static const platform::signals::SavedRegisters kNoFrame{};
  const platform::signals::SavedRegisters* frame = platform::signals::FaultFrame();
  if (frame == nullptr) frame = &kNoFrame;  // called other than for a fault: nothing was saved
  for (const char* line : kBusErrorBanner) diag_printf("%s", line);
  diag_dump_buf(frame, kBusErrorDumpBytes);
  diag_printf("Registers:\n");
  for (int i = 0; i <= 10; ++i) {
    if (i == 0 || i == 6) diag_printf("R%d: ", i);
    diag_printf("%08X ", static_cast<unsigned>(frame->r[i]));
    if (i == 5 || i == 10) diag_printf("\n");
  }
  diag_printf("FP: %08X, SP: %08X, LR: %08X, PC: %08X, PSR: %08X\n", static_cast<unsigned>(frame->fp),
              static_cast<unsigned>(frame->sp), static_cast<unsigned>(frame->lr), static_cast<unsigned>(frame->pc),
              static_cast<unsigned>(frame->cpsr));
  platform::signals::Install(platform::signals::kSigBus, &platform::signals::Ignore);
}

CS3C2410Controller::~CS3C2410Controller() {
  DetachInterruptHookup();
  cyg_interrupt_mask(kVector);
  delete registers_;
}

void CS3C2410Controller::SetAddress(std::uint8_t address) {
  CS3C2410InterruptMask masked;
  Write8(u::FUNC_ADDR_REG, static_cast<std::uint8_t>((address & u::kAddrMask) | u::kAddrUpdate));
}

void CS3C2410Controller::ResetHardware(std::uint32_t* status) {
  if (*status != 0) return;
  CS3C2410InterruptMask masked;
  Write8(u::EP_INT_REG, kAllEndpointInterrupts);
  Write8(u::USB_INT_REG, kAllBusInterrupts);
  Write8(u::EP_INT_EN_REG, 0);
  Write8(u::USB_INT_EN_REG, 0);
  for (auto& flag : registers_->soft_pending) flag.store(0);
}

void CS3C2410Controller::SetPullup(bool on) {
  // The port is shared with the other drivers: one read-modify-write with interrupts disabled.
  CS3C2410InterruptMask masked;
  std::uint32_t dat = platform::regbus::Read32(hw::gpio::GPEDAT);
  if (on) {
    dat |= hw::line::kUsbPullup.Mask();
  } else {
    dat &= ~hw::line::kUsbPullup.Mask();
  }
  platform::regbus::Write32(hw::gpio::GPEDAT, dat);
}

void CS3C2410Controller::Connect(std::uint32_t* status) {
  if (*status != 0) return;
  SetPullup(true);
  cyg_interrupt_acknowledge(kVector);
  cyg_interrupt_unmask(kVector);
  registers_->ModifyUsbIntEnable(u::kIntReset, 0);
  registers_->ModifyUsbIntEnable(u::kIntSuspend, 0);
}

void CS3C2410Controller::Disconnect(std::uint32_t* status) {
  if (*status != 0) return;
  cyg_interrupt_mask(kVector);
  registers_->ModifyUsbIntEnable(0, u::kIntReset);
  registers_->ModifyUsbIntEnable(0, u::kIntSuspend);
  SetPullup(false);
}

void CS3C2410Controller::EnableInterrupts(std::uint32_t* status) {
  if (*status != 0) return;
  registers_->ModifyUsbIntEnable(u::kIntReset | u::kIntSuspend, 0);
  cyg_interrupt_unmask(kVector);
  CS3C2410InterruptMask masked;
  bool soft = false;
  for (auto& flag : registers_->soft_pending) soft = soft || flag.load() != 0;
  if (soft && service_posted_.load() == 0) {
    service_posted_.store(1);
    device_->PostService();
  }
}

void CS3C2410Controller::DisableInterrupts() {
  registers_->ModifyUsbIntEnable(0, u::kIntReset | u::kIntSuspend);
  cyg_interrupt_mask(kVector);
  cyg_interrupt_acknowledge(kVector);
  service_posted_.store(0);
}

void CS3C2410Controller::ServicePassStarting() {
  // A posted pass is not started by the interrupt, so nothing else clears the mark; left set, it
  // would keep the next soft-pending packet (a header already in the FIFO) from ever being posted.
  service_posted_.store(0);
}

bool CS3C2410Controller::TakeSuspend() {
  const std::uint8_t pending = registers_->UsbInterrupts();
  if ((pending & u::kIntSuspend) != 0) {
    registers_->ClearUsbInterrupt(u::kIntSuspend);
    return true;
  }
  if ((pending & u::kIntResume) != 0) registers_->ClearUsbInterrupt(u::kIntResume);
  return false;
}

bool CS3C2410Controller::TakeBusReset() {
  if ((registers_->UsbInterrupts() & u::kIntReset) == 0) return false;
  registers_->ClearUsbInterrupt(u::kIntReset);
  // The host holds the reset for at least 10 ms; the wait is bounded so that a line stuck in reset
  // cannot hold the service thread.
  for (unsigned i = 0; i < kResetWaitPolls; ++i) {
    std::uint8_t pwr = 0;
    {
      CS3C2410InterruptMask masked;
      pwr = Read8(u::PWR_REG);
    }
    if ((pwr & u::kPwrUsbReset) == 0) break;
    platform::kernel::DelayMicroseconds(kResetPollMicroseconds);
  }
  // The reset sets the enables to their defaults: the mirror goes back.
  registers_->RewriteEnables();
  return true;
}

template <typename Endpoint, typename... Args>
CUsbControllerEndpoint* CS3C2410Controller::MakeEndpoint(CUsbControllerEndpoint** slot, std::uint32_t* status,
                                                         Args... args) {
  if (*status != 0) return nullptr;
  auto* e = new (std::nothrow) Endpoint(args..., registers_, this, status);
  if (e == nullptr) {
    *status = kStatusOutOfMemory;
    return nullptr;
  }
  if (*status != 0) {
    delete e;
    return nullptr;
  }
  *slot = e;
  return e;
}

CUsbControllerEndpoint* CS3C2410Controller::CreateControlEndpoint(CUsbEndpointEventObserver* observer,
                                                                  std::uint32_t* status) {
  return MakeEndpoint<CS3C2410ControlEndpoint>(&control_, status, observer);
}

CUsbControllerEndpoint* CS3C2410Controller::CreateBulkInEndpoint(std::uint8_t configuration, std::uint8_t interface,
                                                                 std::uint8_t alternate,
                                                                 CUsbEndpointEventObserver* observer,
                                                                 std::uint32_t* status) {
  return MakeEndpoint<CS3C2410BulkInEndpoint>(&bulk_in_, status, configuration, interface, alternate, observer);
}

CUsbControllerEndpoint* CS3C2410Controller::CreateBulkOutEndpoint(std::uint8_t configuration, std::uint8_t interface,
                                                                  std::uint8_t alternate,
                                                                  CUsbEndpointEventObserver* observer,
                                                                  std::uint32_t* status) {
  return MakeEndpoint<CS3C2410BulkOutEndpoint>(&bulk_out_, status, configuration, interface, alternate, observer);
}

CUsbControllerEndpoint* CS3C2410Controller::CreateInterruptInEndpoint(std::uint8_t configuration,
                                                                      std::uint8_t interface, std::uint8_t alternate,
                                                                      CUsbEndpointEventObserver* observer,
                                                                      std::uint32_t* status) {
  return MakeEndpoint<CS3C2410InterruptInEndpoint>(&interrupt_in_, status, configuration, interface, alternate,
                                                   observer);
}

void CS3C2410Controller::DestroyEndpoint(CUsbControllerEndpoint* endpoint) {
  if (endpoint == nullptr) return;
  if (control_ == endpoint) control_ = nullptr;
  if (bulk_in_ == endpoint) bulk_in_ = nullptr;
  if (bulk_out_ == endpoint) bulk_out_ = nullptr;
  if (interrupt_in_ == endpoint) interrupt_in_ = nullptr;
  delete endpoint;
}
