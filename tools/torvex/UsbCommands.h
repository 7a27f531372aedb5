// The board commands that talk to the running firmware over the simulated USB cable, as a computer
// with the usbtmc driver would: "usb TEXT..." sends one SCPI message and, for a query, prints the
// reply; "usbtmc OPERATION ..." runs one USBTMC or USB488 operation on its own (aborts, clear,
// status byte, remote/local requests, chunked reads) for tests and for looking at the device closely.
//
// The host enumerates the device on first use and again whenever the firmware has attached it anew
// (the USB module switched off and on). Called by the control server, one request at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/board.h"
#include "sim/usb_device.h"
#include "sim/usbtmc_client.h"

namespace board {

class UsbCommands {
 public:
  // A read that times out ends its request on the device, so that one query without a reply does
  // not keep the device from the next message.
  explicit UsbCommands(sim::Board& board) : board_(board), host_(board.usb()), bus_(host_), client_(bus_) {
    client_.set_abort_on_timeout(true);
  }

  // "usb TEXT...": the words joined by single spaces are the message.
  std::string Usb(const std::vector<std::string>& args);
  // "usbtmc OPERATION ARGS...".
  std::string Usbtmc(const std::vector<std::string>& args);

 private:
  // Opens the device when it has not been opened since it last attached; throws with the cause.
  void EnsureOpen();
  // Throws std::invalid_argument with the failure's description.
  void Check(const sim::UsbtmcResult& result);
  std::string ReadReply(const sim::UsbtmcReadOptions& options);

  // The usbtmc operations, one handler each (args[0] is the operation's name).
  using Args = std::vector<std::string>;
  std::string UsbtmcOpen(const Args& args);
  std::string UsbtmcWrite(const Args& args);
  std::string UsbtmcRead(const Args& args);
  std::string UsbtmcChunk(const Args& args);
  std::string UsbtmcRequest(const Args& args);
  std::string UsbtmcPartial(const Args& args);
  std::string UsbtmcRepeat(const Args& args);
  std::string UsbtmcTrigger(const Args& args);
  std::string UsbtmcAbortOut(const Args& args);
  std::string UsbtmcAbortIn(const Args& args);
  std::string UsbtmcClear(const Args& args);
  std::string UsbtmcStatusByte(const Args& args);
  std::string UsbtmcServiceRequest(const Args& args);
  std::string UsbtmcRen(const Args& args);
  std::string UsbtmcGoToLocal(const Args& args);
  std::string UsbtmcLocalLockout(const Args& args);
  std::string UsbtmcCapabilities(const Args& args);

  static constexpr std::size_t kAnyCount = static_cast<std::size_t>(-1);
  struct UsbtmcOperation {
    const char* name;
    std::size_t min_words;
    std::size_t max_words;
    bool needs_open;
    std::string (UsbCommands::*run)(const Args& args);
  };
  static const UsbtmcOperation kUsbtmcOperations[];

  sim::Board& board_;
  sim::UsbHost host_;
  sim::UsbHostBus bus_;
  sim::UsbtmcClient client_;
  std::uint64_t opened_at_attach_ = 0;
};

}  // namespace board
