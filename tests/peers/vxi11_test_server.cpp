// A VXI-11 instrument for the peer tests and the speed comparison: the engine with the VXI-11 plug-in
// and a small application device. The device answers "*IDN?" and keeps an IEEE 488.2 status byte:
// "*ESE n", "*SRE n", "*OPC" (sets the operation-complete event), "*CLS", "*ESR?", "*STB?".
//
// Usage: vxi11_test_server [--portmapper-port N] [--listen-any]
// Prints "READY <core port>" once it serves, and runs until SIGTERM or SIGINT.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "engine/C4882Device.h"
#include "engine/DoVovuriEngine.h"
#include "vxi11/Vxi11Plugin.h"
#include "vxi11/Vxi11ServerHooks.h"

namespace {

constexpr char kIdentity[] = "TORVEX,VXI11-TEST,0,1.0\n";

class StatusInstrument : public CTcpIpDevice {
 public:
  StatusInstrument() {
    MessageBufferDescriptor::Init(&input_, 8192, nullptr);
    MessageBufferDescriptor::Init(&response_, 8192, nullptr);
  }
  ~StatusInstrument() override {
    Disable();
    MessageBufferDescriptor::Release(&input_);
    MessageBufferDescriptor::Release(&response_);
  }

  std::uint32_t Start() {
    std::uint32_t status = Enable(0, nullptr, 1);
    if (status == 0) status = EnableTriggerEvent();
    if (status == 0) status = EnableRemoteLocalEvent(0);
    if (status == 0) status = PostInputBuffer(&input_);
    return status;
  }

  void OnInputComplete(std::int32_t, MessageBufferDescriptor* descriptor) override {
    std::string text;
    if (descriptor != nullptr) text.assign(reinterpret_cast<const char*>(descriptor->data), descriptor->count);
    std::string reply;
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find_first_of(";\n", start);
      if (end == std::string::npos) end = text.size();
      Execute(text.substr(start, end - start), &reply);
      start = end + 1;
    }
    if (!reply.empty()) {
      QueryDetected();
      std::memcpy(response_.data, reply.data(), reply.size());
      response_.count = static_cast<std::uint32_t>(reply.size());
      QueueResponse(&response_, 1);
      return;
    }
    MessageProcessed();
    PostInputBuffer(&input_);
  }
  void OnResponseComplete(std::int32_t, MessageBufferDescriptor*) override {
    MessageProcessed();
    PostInputBuffer(&input_);
  }
  void OnDeviceClear(std::uint32_t) override {}
  // A trigger is handled like a message: acknowledged, and input taken up again.
  void OnTrigger(std::uint32_t) override {
    MessageProcessed();
    PostInputBuffer(&input_);
  }

 private:
  void Execute(std::string command, std::string* reply) {
    while (!command.empty() && (command.front() == ' ' || command.front() == '\r')) command.erase(0, 1);
    while (!command.empty() && (command.back() == ' ' || command.back() == '\r')) command.pop_back();
    if (command.empty()) return;
    std::string head = command.substr(0, command.find(' '));
    for (char& c : head) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string argument = command.find(' ') == std::string::npos ? "" : command.substr(command.find(' ') + 1);
    if (head == "*IDN?") {
      *reply += kIdentity;
    } else if (head == "*ESE") {
      ese_ = static_cast<std::uint8_t>(std::strtoul(argument.c_str(), nullptr, 10));
    } else if (head == "*SRE") {
      sre_ = static_cast<std::uint8_t>(std::strtoul(argument.c_str(), nullptr, 10) & 0xBF);
    } else if (head == "*OPC") {
      esr_ |= 0x01;
    } else if (head == "*CLS") {
      esr_ = 0;
    } else if (head == "*ESR?") {
      *reply += std::to_string(esr_) + "\n";
      esr_ = 0;
    } else if (head == "*STB?") {
      *reply += std::to_string(Summary()) + "\n";
    }
    UpdateStatusByte();
  }
  std::uint8_t Summary() const { return static_cast<std::uint8_t>((esr_ & ese_) != 0 ? 0x20 : 0); }
  // The status byte follows the event registers; a newly enabled summary requests service.
  void UpdateStatusByte() {
    const std::uint8_t summary = Summary();
    const bool service = (summary & sre_) != 0;
    SetStatusByte(static_cast<std::uint8_t>(summary | (service ? 0x40 : 0)));
    if (service && !requested_) RequestService();
    requested_ = service;
  }

  MessageBufferDescriptor input_{};
  MessageBufferDescriptor response_{};
  std::uint8_t ese_ = 0;
  std::uint8_t sre_ = 0;
  std::uint8_t esr_ = 0;
  bool requested_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  CVxi11ServerOptions options;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--portmapper-port") == 0 && i + 1 < argc) {
      options.portmapper_port = static_cast<std::uint16_t>(std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--listen-any") == 0) {
      options.listen_address = 0;
    } else {
      std::fprintf(stderr, "usage: %s [--portmapper-port N] [--listen-any]\n", argv[0]);
      return 2;
    }
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // every thread after this one inherits the mask

  Vxi11SetServerOptions(options);
  Vxi11ProvidePlugin(Vxi11InstrumentServerHooks());
  if (DoVovuriStartEngine() != 0) {
    std::fprintf(stderr, "engine did not start\n");
    return 1;
  }
  if (DoVovuriStartVxi11Plugin() != 0) {
    std::fprintf(stderr, "VXI-11 server did not start (is another server registered?)\n");
    DoVovuriStopAll();
    return 1;
  }
  int rc = 0;
  {
    StatusInstrument instrument;
    const std::uint32_t status = instrument.Start();
    if (status != 0) {
      std::fprintf(stderr, "device enable failed: 0x%X\n", status);
      rc = 1;
    } else {
      std::printf("READY\n");
      std::fflush(stdout);
      int signal_number = 0;
      sigwait(&signals, &signal_number);
    }
  }
  DoVovuriStopAll();
  return rc;
}
