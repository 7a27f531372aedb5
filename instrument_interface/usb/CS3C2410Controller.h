// Driver of the processor's built-in full-speed USB device controller: four fixed endpoints (control
// 0, bulk-IN 0x81, bulk-OUT 0x02, interrupt-IN 0x83), no DMA, every FIFO byte moved by the processor.
//
// CS3C2410Registers does the register work shared by the endpoints (interrupt enables through a mirror,
// endpoint programming, setup-packet reading, bus events); CS3C2410FifoManager moves bytes between a
// chain of CDataBuffer objects and one endpoint FIFO. Every register sequence runs with interrupts
// disabled; FIFO loops disable them once per byte.
//
// Endpoint state words: 0 idle, 0x8400 write with packets to load, 0x4480 write whose last packet is
// loaded, 0x2410/0x2440 control data stage sent (last packet full/short) awaiting its status stage,
// 0x4420 control data stage overtaken by a setup packet while a packet was loaded, 0x8800 read in
// progress, 0x4880 read whose chain is full. Completions go to the endpoint's observer
// with result 1 (completed), 3 (aborted by Deconfigure) or 4 (control data stage overtaken by a new
// setup packet).
//
// Halts: the class's Halt (hold flag) on an IN endpoint lasts until the host has seen one STALL; a
// host's SET_FEATURE(ENDPOINT_HALT) (Stall) lasts until ClearStall. ClearStall is refused (0x543A3)
// on a bulk endpoint that the class holds.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/CDataBuffer.h"
#include "engine/COSUsbDevice.h"
#include "usb/CUsbController.h"
#include "usb/CUsbEndpoint.h"

class CS3C2410Registers {
 public:
  CS3C2410Registers();
  virtual ~CS3C2410Registers() = default;

  void EnableEndpointInterrupt(unsigned n);
  void DisableEndpointInterrupt(unsigned n);
  void ClearEndpointInterrupt(unsigned n);
  // EP_INT_EN_REG again from the mirror, endpoints 0 to 3 (after a bus reset).
  void RewriteEnables();
  bool EndpointInterruptFlag(unsigned n);
  // INDEX_REG, the kind record, MAXP_REG and (endpoints 1 to 3) the CSR defaults of the kind.
  void ProgramEndpoint(unsigned n, std::int32_t kind, std::uint16_t packet_size);
  std::int32_t KindOf(unsigned n) const { return n < 4 ? kinds_[n] : 0xFF; }
  void ReadSetup(UsbSetupPacket* setup);
  // One masked select-then-read or select-then-write of a CSR (the EP0/IN CSR1 or OUT CSR1).
  std::uint8_t ReadCsr(unsigned n, std::uint32_t reg);
  void WriteCsr(unsigned n, std::uint32_t reg, std::uint8_t value);
  // Sets and clears bits of an IN or OUT CSR1 in one masked section, never re-triggering the
  // write-1 action bits it read.
  void ModifyInCsr(unsigned n, std::uint8_t set, std::uint8_t clear);
  void ModifyOutCsr(unsigned n, std::uint8_t set, std::uint8_t clear);
  void ModifyUsbIntEnable(std::uint8_t set, std::uint8_t clear);
  std::uint8_t OutFifoCount(unsigned n);
  std::uint8_t UsbInterrupts();
  void ClearUsbInterrupt(std::uint8_t bits);

  std::atomic<std::uint8_t> soft_pending[4] = {};

 private:
  std::uint32_t mirror_;
  std::int32_t kinds_[4] = {0xFF, 0xFF, 0xFF, 0xFF};
};

class CS3C2410FifoManager {
 public:
  CS3C2410FifoManager(unsigned endpoint, std::uint16_t packet_size, unsigned direction, CS3C2410Registers* registers)
      : endpoint_(endpoint), packet_size_(packet_size), direction_(direction), registers_(registers) {}

  void Attach(CDataBuffer* chain);
  void SetPacketSize(std::uint16_t size) { packet_size_ = size; }
  void SetLengthLimit(std::uint32_t expected) {
    limited_ = true;
    expected_ = expected;
  }
  void WritePacket();
  void ReadPacket();
  // False when a setup packet that arrived meanwhile keeps endpoint 0's packet from the host.
  bool FinishPacket();
  // Flushes the endpoint's FIFO (the packet in progress counts as moved).
  void Flush(std::int32_t kind);
  void Clear();

  std::uint32_t remaining() const { return remaining_; }
  std::uint32_t total() const { return total_; }
  std::uint32_t read_count() const { return read_count_; }
  // A read whose chain filled before the packet was empty: the rest of the packet stays in the FIFO
  // for the next read, which then finishes the packet.
  void AddReadToTotal() {
    total_ += read_count_;
    packet_taken_ += read_count_;
    read_count_ = 0;
  }
  // Bytes of the last packet handed to the FIFO.
  std::uint32_t last_packet() const { return last_packet_; }
  bool last() const { return last_; }
  bool is_short() const { return short_; }
  bool full() const { return full_; }
  bool attached() const { return chain_ != nullptr; }

 private:
  std::uint32_t Left() const;

  unsigned endpoint_;
  std::uint16_t packet_size_;
  unsigned direction_;  // 0 device to host, 1 host to device
  CS3C2410Registers* registers_;
  CDataBuffer* chain_ = nullptr;
  std::uint32_t write_count_ = 0;
  std::uint32_t read_count_ = 0;
  std::uint32_t remaining_ = 0;
  std::uint32_t total_ = 0;
  bool limited_ = false;
  std::uint32_t expected_ = 0;
  bool last_ = false;
  bool short_ = false;
  bool full_ = false;
  // Bytes of the OUT packet in the FIFO that earlier reads took (kept across reads, not transfers:
  // a packet is short by its own size, not by what the last read took of it).
  std::uint32_t packet_taken_ = 0;
  std::uint32_t last_packet_ = 0;
};

class CS3C2410Controller;

// What the four endpoint classes share: registers, controller, hold flag, the clear-stall sequence.
class CS3C2410Endpoint : public CUsbControllerEndpoint {
 public:
  CS3C2410Endpoint(std::uint8_t configuration, std::uint8_t interface, std::uint8_t alternate, unsigned number,
                   std::int32_t kind, CUsbEndpointEventObserver* observer, CS3C2410Registers* registers,
                   CS3C2410Controller* controller, std::uint32_t* status)
      : CUsbControllerEndpoint(configuration, interface, alternate, static_cast<std::uint8_t>(number), kind, observer,
                               status),
        number_(number),
        registers_(registers),
        controller_(controller) {}

  void PrepareAlternate(std::uint32_t*) override {}
  bool IsInterruptPending() override;
  bool IsHeld() const { return hold_ != 0; }

 protected:
  // True when the service pass should look at the endpoint: clears its interrupt flag.
  void TakeInterrupt();
  // Repeats clearing SEND_STALL (bounded) and resets the data toggle.
  // reset_toggle: the host cleared the halt (CLEAR_FEATURE resets its toggle too); a hold that the
  // class releases before the host saw a STALL keeps the toggle, or the next packet would be taken
  // by the host as a repeat and dropped.
  void ClearStallSequence(std::uint32_t* status, bool reset_toggle = true);
  bool SendStallSet();
  void SetSendStall();

  unsigned number_;
  CS3C2410Registers* registers_;
  CS3C2410Controller* controller_;
  std::uint8_t hold_ = 0;
  // A stall set by the host (SET_FEATURE): kept until ClearStall.
  std::uint8_t host_halt_ = 0;
};

class CS3C2410ControlEndpoint : public CS3C2410Endpoint {
 public:
  CS3C2410ControlEndpoint(CUsbEndpointEventObserver* observer, CS3C2410Registers* registers,
                          CS3C2410Controller* controller, std::uint32_t* status);
  ~CS3C2410ControlEndpoint() override;

  std::uint16_t GetMaxPacketSize(std::uint32_t) override { return 8; }
  std::uint8_t GetInterval(std::uint32_t) override { return 0; }
  void StartWrite(CDataBuffer* chain, std::uint32_t* status) override;
  void CancelTransfer(std::uint32_t* count, std::uint32_t* status) override;
  bool IsFifoEmpty() override { return false; }
  void FlushFifo(std::uint32_t*) override {}
  void AcknowledgeStatus(std::uint32_t* status) override;
  void Halt(std::uint32_t* status) override;
  void ReleaseHalt(std::uint32_t* status) override { ClearStall(status); }
  void Configure(std::uint32_t* status) override;
  void Deconfigure(std::uint32_t* status) override;
  void Stall(std::uint32_t* status) override;
  bool IsStalled() override;
  void ClearStall(std::uint32_t* status) override;
  void Service(std::uint32_t* status) override;

 private:
  void LoadPacket();
  CS3C2410FifoManager* in_ = nullptr;
  CS3C2410FifoManager* out_ = nullptr;
  std::uint8_t setup_unacknowledged_ = 0;
  std::uint8_t status_pending_ = 0;
  std::uint32_t length_ = 0;
};

// Bulk-IN and interrupt-IN.
class CS3C2410InEndpoint : public CS3C2410Endpoint {
 public:
  CS3C2410InEndpoint(std::uint8_t configuration, std::uint8_t interface, std::uint8_t alternate, unsigned number,
                     std::int32_t kind, CUsbEndpointEventObserver* observer, CS3C2410Registers* registers,
                     CS3C2410Controller* controller, std::uint32_t* status);
  ~CS3C2410InEndpoint() override;

  void StartWrite(CDataBuffer* chain, std::uint32_t* status) override;
  bool IsFifoEmpty() override { return fifo_ == nullptr || fifo_->remaining() == 0; }
  void FlushFifo(std::uint32_t* status) override;
  void Halt(std::uint32_t* status) override;
  void Configure(std::uint32_t* status) override;
  void Deconfigure(std::uint32_t* status) override;
  void Stall(std::uint32_t* status) override;
  bool IsStalled() override { return SendStallSet(); }
  void Service(std::uint32_t* status) override;

 protected:
  bool PacketWaiting();
  void LoadPacket();
  CS3C2410FifoManager* fifo_ = nullptr;
};

class CS3C2410BulkInEndpoint : public CS3C2410InEndpoint {
 public:
  CS3C2410BulkInEndpoint(std::uint8_t configuration, std::uint8_t interface, std::uint8_t alternate,
                         CUsbEndpointEventObserver* observer, CS3C2410Registers* registers,
                         CS3C2410Controller* controller, std::uint32_t* status)
      : CS3C2410InEndpoint(configuration, interface, alternate, 1, kUsbKindBulkIn, observer, registers, controller,
                           status) {}
  std::uint16_t GetMaxPacketSize(std::uint32_t) override { return 64; }
  std::uint8_t GetInterval(std::uint32_t) override { return 0; }
  void CancelTransfer(std::uint32_t* count, std::uint32_t* status) override;
  void ReleaseHalt(std::uint32_t* status) override;
  void ClearStall(std::uint32_t* status) override;
};

class CS3C2410InterruptInEndpoint : public CS3C2410InEndpoint {
 public:
  CS3C2410InterruptInEndpoint(std::uint8_t configuration, std::uint8_t interface, std::uint8_t alternate,
                              CUsbEndpointEventObserver* observer, CS3C2410Registers* registers,
                              CS3C2410Controller* controller, std::uint32_t* status)
      : CS3C2410InEndpoint(configuration, interface, alternate, 3, kUsbKindInterruptIn, observer, registers, controller,
                           status) {}
  std::uint16_t GetMaxPacketSize(std::uint32_t) override { return packet_size_; }
  void SetMaxPacketSize(std::uint16_t size, std::uint32_t speed, std::uint32_t* status) override;
  std::uint8_t GetInterval(std::uint32_t) override { return interval_; }
  void SetInterval(std::uint8_t value, std::uint32_t speed, std::uint32_t* status) override;
  void CancelTransfer(std::uint32_t* count, std::uint32_t* status) override;
  void ReleaseHalt(std::uint32_t* status) override;
  void ClearStall(std::uint32_t* status) override;

 private:
  std::uint16_t packet_size_ = 64;
  std::uint8_t interval_ = 1;
};

class CS3C2410BulkOutEndpoint : public CS3C2410Endpoint {
 public:
  CS3C2410BulkOutEndpoint(std::uint8_t configuration, std::uint8_t interface, std::uint8_t alternate,
                          CUsbEndpointEventObserver* observer, CS3C2410Registers* registers,
                          CS3C2410Controller* controller, std::uint32_t* status);
  ~CS3C2410BulkOutEndpoint() override;

  std::uint16_t GetMaxPacketSize(std::uint32_t) override { return 64; }
  std::uint8_t GetInterval(std::uint32_t) override { return 0; }
  void StartRead(CDataBuffer* chain, std::uint32_t* status) override;
  void CancelTransfer(std::uint32_t* count, std::uint32_t* status) override;
  bool IsFifoEmpty() override { return registers_->OutFifoCount(2) == 0; }
  void FlushFifo(std::uint32_t* status) override;
  void Halt(std::uint32_t* status) override;
  void ReleaseHalt(std::uint32_t*) override { hold_ = 0; }
  void Configure(std::uint32_t* status) override;
  void Deconfigure(std::uint32_t* status) override;
  void Stall(std::uint32_t* status) override;
  bool IsStalled() override { return SendStallSet(); }
  void ClearStall(std::uint32_t* status) override;
  void Service(std::uint32_t* status) override;

 private:
  void Receive();
  void Complete(std::uint32_t* status);
  CS3C2410FifoManager* fifo_ = nullptr;
};

class CS3C2410Controller : public CUsbController {
 public:
  static constexpr std::uint32_t kVector = 25;

  CS3C2410Controller(COSUsbDevice* device, CUsbExceptionEventObserver* exception_observer, std::uint32_t* status);
  ~CS3C2410Controller() override;

  std::uint32_t GetSpeed() override { return kUsbSpeedFull; }
  void SetAddress(std::uint8_t address) override;
  void ResetHardware(std::uint32_t* status) override;
  void Connect(std::uint32_t* status) override;
  void Disconnect(std::uint32_t* status) override;
  void EnableInterrupts(std::uint32_t* status) override;
  void DisableInterrupts() override;
  void ServicePassStarting() override;
  bool IsInterruptPending() override { return true; }
  bool TakeSuspend() override;
  bool TakeBusReset() override;
  bool TakeResume() override { return false; }
  void ConfigurationChanged() override {}
  void ConfigurationCommitted() override {}
  void EndpointsReset(std::uint32_t*) override {}
  CUsbControllerEndpoint* CreateControlEndpoint(CUsbEndpointEventObserver* observer, std::uint32_t* status) override;
  CUsbControllerEndpoint* CreateBulkInEndpoint(std::uint8_t configuration, std::uint8_t interface,
                                               std::uint8_t alternate, CUsbEndpointEventObserver* observer,
                                               std::uint32_t* status) override;
  CUsbControllerEndpoint* CreateBulkOutEndpoint(std::uint8_t configuration, std::uint8_t interface,
                                                std::uint8_t alternate, CUsbEndpointEventObserver* observer,
                                                std::uint32_t* status) override;
  CUsbControllerEndpoint* CreateInterruptInEndpoint(std::uint8_t configuration, std::uint8_t interface,
                                                    std::uint8_t alternate, CUsbEndpointEventObserver* observer,
                                                    std::uint32_t* status) override;
  void DestroyEndpoint(CUsbControllerEndpoint* endpoint) override;

  CS3C2410Registers* registers() const { return registers_; }

  // The bus-error handler that construction installs in the C library's signal table: prints the
  // registers saved at the fault on the diagnostic console, then sets the signal to ignore, so that a
  // further bus error prints nothing. Runs on the thread that made the faulty access.
  static void DumpRegisters(int signal);

 private:
  void SetPullup(bool on);

  CS3C2410Registers* registers_ = nullptr;
  CUsbControllerEndpoint* control_ = nullptr;
  CUsbControllerEndpoint* bulk_in_ = nullptr;
  CUsbControllerEndpoint* bulk_out_ = nullptr;
  CUsbControllerEndpoint* interrupt_in_ = nullptr;
  // A pass for the soft-pending packets has been posted and has not started yet.
  std::atomic<std::uint8_t> service_posted_{0};
};
