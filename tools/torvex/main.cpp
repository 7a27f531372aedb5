// torvex: the simulated board running the firmware.
//
//   torvex --root DIR [--tick-us N] [--log-stderr] [--boot-condition N] [--net sim|linux[:IFNAME]]
//          [--portmapper-port N] [--nbns-ports NAME,DATAGRAM] [--usbredir-port N]
//   torvex board --root DIR COMMAND...
//
// The first form builds the board kept in DIR (made when missing: the read-only file system from the
// build's ROMFS image, an empty flash, the default EEPROM image) and runs the firmware's main on it.
// The board carries out what the firmware asks of the hardware and the boot loader:
//  - power off (the power line dropped): the process ends with status 0;
//  - reset, and a watchdog expiry: the firmware starts again in a fresh process image (same process
//    id) with the warm boot condition;
//  - firmware-update mode: "board: firmware-update mode" and status 3.
// SIGTERM and SIGINT are a short push of the on/off button; SIGKILL is a power cut.
//
// --tick-us N (or TORVEX_TICK_US) is the tick length once the firmware has come up ("board: ready");
// the start-up runs at the instrument's 10 ms tick.
//
// The network interface eth0 is the simulated link (sim/network.h) unless --net linux (or the
// environment variable TORVEX_NET=linux) puts it on the Linux interface IFNAME (default eth0) of the
// process's network namespace: meant only for a namespace a test made for it.
//
// The VXI-11 server asks the portmapper at 127.0.0.1 port 111, and serves one of its own there when
// none answers; the name server binds UDP 137 and 138. On the simulated link all of them listen on the
// loopback only; with --net linux on every address of the namespace. Both need the right to bind ports below 1024:
// --portmapper-port and --nbns-ports (or TORVEX_PORTMAPPER_PORT and TORVEX_NBNS_PORTS) move them for
// runs without it, 0 taking any free port (then nobody outside finds them: for tests that run boards
// side by side).
//
// The board's USB port is the device controller model (sim/usb_device.h). --usbredir-port N (or
// TORVEX_USBREDIR_PORT) joins its cable to a USB host over the usbredir protocol on 127.0.0.1 port N
// (0: any free port), for a virtual machine's usb-redir device; the port is printed as
// "board: usbredir on 127.0.0.1:N". Off by default.
//
// The second form drives a running board through its control socket (see BoardControl.h).
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BoardCommands.h"
#include "BoardControl.h"
#include "Options.h"
#include "core/CLogger.h"
#include "drivers/board_devices.h"
#include "main/TorvexMain.h"
#include "netservices/nbns.h"
#include "platform/board_state.h"
#include "platform/bootloader.h"
#include "platform/devtab.h"
#include "platform/io.h"
#include "platform/kernel.h"
#include "platform/net.h"
#include "sim/board.h"
#include "sim/board_description.h"
#include "sim/nand_flash.h"
#include "sim/network.h"
#include "sim/usb_redir.h"
#include "sim/watchdog_timer.h"
#include "vxi11/Vxi11ServerHooks.h"

namespace {

namespace fs = std::filesystem;
using board::Options;
using board::Usage;

// The tick of the start-up (the instrument's).
constexpr std::uint32_t kStartUpTickUs = 10000;

std::vector<std::string> g_argv;  // for the re-start after a reset

// SIGTERM and SIGINT are blocked in every thread, from before the first static initialiser makes a
// thread: the board's signal thread takes them with sigwait (a push of the button).
sigset_t ShutdownSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}
struct BlockShutdownSignals {
  BlockShutdownSignals() {
    const sigset_t set = ShutdownSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
  }
};
[[maybe_unused]] BlockShutdownSignals g_block_signals __attribute__((init_priority(101)));

board::ControlServer* g_control = nullptr;  // its socket file goes with the process

// The process ends without running static destructors or at-exit hooks: the board is gone.
[[noreturn]] void EndProcess(int status) {
  if (g_control != nullptr) g_control->RemoveSocketFile();
  std::fflush(stdout);
  std::fflush(stderr);
  ::_exit(status);
}

// A reset: the same program again, in this process, with the warm boot condition.
[[noreturn]] void Restart() {
  std::vector<std::string> args;
  for (std::size_t i = 0; i < g_argv.size(); ++i) {
    if (g_argv[i] == "--boot-condition" && i + 1 < g_argv.size()) {
      ++i;
      continue;
    }
    args.push_back(g_argv[i]);
  }
  args.push_back("--boot-condition");
  args.push_back(std::to_string(platform::bootloader::kWarmBoot));
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::fprintf(stderr, "board: reset\n");
  std::fflush(stderr);
  ::execv("/proc/self/exe", argv.data());
  std::fprintf(stderr, "board: cannot restart: %s\n", std::strerror(errno));
  EndProcess(1);
}

// One firmware per board root: an exclusive lock on <root>/board.lock, held for the life of the
// process and released by the kernel when it ends, however it ends. A reset starts the program again
// in this process with the descriptor still open (its number in kLockFdVariable), so the lock is kept
// through it. The file holds the process id of the holder, for the refusal message.
constexpr const char* kLockFileName = "board.lock";
constexpr const char* kLockFdVariable = "TORVEX_BOARD_LOCK_FD";

bool SameFile(int fd, const std::string& path) {
  struct stat a {
  }, b{};
  return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool LockRoot(const std::string& root, std::string& error) {
  const std::string path = (fs::path(root) / kLockFileName).string();
  if (const char* inherited = std::getenv(kLockFdVariable); inherited != nullptr) {
    const int fd = std::atoi(inherited);
    if (fd > 2 && SameFile(fd, path) && ::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0644);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int why = errno;
    char holder[32] = {};
    const ssize_t n = ::pread(fd, holder, sizeof holder - 1, 0);
    ::close(fd);
    if (why == EWOULDBLOCK) {
      error = root + " is in use by another torvex";
      if (n > 0) error += std::string(" (process ") + std::string(holder, std::strcspn(holder, "\n")) + ")";
      error += "; one firmware runs per board root";
    } else {
      error = "cannot lock " + path + ": " + std::strerror(why);
    }
    return false;
  }
  const std::string pid = std::to_string(::getpid()) + "\n";
  // The pid is only for the message; the lock is what counts.
  [[maybe_unused]] const bool noted = ::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.data(), pid.size(), 0) > 0;
  ::setenv(kLockFdVariable, std::to_string(fd).c_str(), 1);
  return true;
}

// Makes the parts of the board root that are missing; the read-only file system is the build's image,
// laid anew at every start like a firmware image.
void PrepareRoot(const std::string& root) {
  fs::create_directories(root);
  fs::create_directories(fs::path(root) / "yaffs");
  const fs::path romfs = fs::path(root) / "romfs";
  std::error_code ec;
  fs::remove_all(romfs, ec);
  fs::create_directories(romfs);
  // The build's image, unless the environment names another one (tests of a damaged image).
  const char* override_image = std::getenv("TORVEX_ROMFS_IMAGE");
  const fs::path image = override_image != nullptr && *override_image != '\0' ? override_image : TORVEX_ROMFS_IMAGE;
  if (fs::is_directory(image)) {
    fs::copy(image, romfs, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  } else {
    std::fprintf(stderr, "board: no ROMFS image at %s; /romfs is empty\n", image.c_str());
  }
}

int BoardClient(int argc, char** argv) {
  std::string root;
  std::string line;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--root" && i + 1 < argc) {
      root = argv[++i];
    } else {
      line += (line.empty() ? "" : " ") + arg;
    }
  }
  if (root.empty() || line.empty()) Usage("board needs --root DIR and a command");
  try {
    const std::string reply = board::SendRequest(root, line);
    const bool ok = reply == "ok" || reply.rfind("ok ", 0) == 0;
    std::printf("%s\n", ok ? (reply.size() > 3 ? reply.c_str() + 3 : "ok") : reply.c_str());
    return ok ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "torvex board: %s\n", e.what());
    return 1;
  }
}

}  // namespace

#if defined(__SANITIZE_THREAD__)
// The firmware's threads run until the power goes: the process ends with them still there, by design.
extern "C" const char* __tsan_default_options() { return "report_thread_leaks=0"; }
#endif

namespace {

// What the board is made of besides the firmware: kept for the life of the process.
struct BoardParts {
  std::unique_ptr<sim::Board> board;
  std::unique_ptr<sim::UsbRedirServer> usbredir;
  std::unique_ptr<sim::NandFlash> nand;
  std::unique_ptr<sim::Network> sim_link;
  std::unique_ptr<platform::net::Backend> linux_link;
};

// Locks the board root and lays out its missing parts. 0, or the process's exit status.
int TakeRoot(const Options& options) {
  std::error_code ec;
  fs::create_directories(options.root, ec);
  std::string lock_error;
  if (!LockRoot(options.root, lock_error)) {
    std::fprintf(stderr, "board: %s\n", lock_error.c_str());
    return 1;
  }
  try {
    PrepareRoot(options.root);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "board: cannot prepare %s: %s\n", options.root.c_str(), e.what());
    return 1;
  }
  platform::SetBoardRoot(options.root);
  return 0;
}

// The board as its description in the root gives it (temperature, CPLD, what is plugged, the flash),
// with its USB cable joined to a usbredir guest when asked. 0, or the process's exit status.
int AssembleBoard(const Options& options, BoardParts& parts) {
  sim::BoardDescription description;
  std::string error;
  if (!sim::LoadBoardDescription(options.root, description, error)) {
    std::fprintf(stderr, "board: %s\n", error.c_str());
    return 2;
  }
  try {
    parts.board = std::make_unique<sim::Board>(options.root);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "board: %s\n", e.what());
    return 1;
  }
  sim::Board& board = *parts.board;
  board.SetTemperature(description.temperature);
  board.dsp_program().SetCpldVersion({description.cpld_major, description.cpld_minor});
  for (const auto& [path, kind] : description.plugged) {
    if (!board.peripherals().Plug(path, kind, &error)) {
      std::fprintf(stderr, "board: %s: plug %s %s: %s\n", sim::kBoardDescriptionName, path.c_str(), kind.c_str(),
                   error.c_str());
      return 2;
    }
  }
  if (options.usbredir_port) {
    parts.usbredir = std::make_unique<sim::UsbRedirServer>(
        board.usb(), [](const std::string& line) { std::fprintf(stderr, "board: usbredir: %s\n", line.c_str()); });
    if (!parts.usbredir->Start(static_cast<std::uint16_t>(*options.usbredir_port), &error)) {
      std::fprintf(stderr, "board: usbredir: %s\n", error.c_str());
      return 1;
    }
    std::fprintf(stderr, "board: usbredir on 127.0.0.1:%u\n", static_cast<unsigned>(parts.usbredir->Port()));
  }
  sim::NandFlash::Geometry geometry;
  geometry.block_count = description.flash_blocks;
  parts.nand =
      std::make_unique<sim::NandFlash>(platform::nand::kFlashDeviceName, geometry,
                                       std::vector<platform::nand::Partition>{{0, description.flash_blocks - 1}});
  for (const std::uint32_t block : description.bad_blocks) parts.nand->MarkBad(block);
  parts.nand->Register();
  sim::WatchdogTimer::Instance();
  return 0;
}

// The network interface on the simulated link or on a Linux interface, and the addresses and ports
// the network services listen on. 0, or the process's exit status.
int ConnectNetwork(const Options& options, BoardParts& parts) {
  if (options.net == "sim") {
    parts.sim_link = std::make_unique<sim::Network>();
    parts.sim_link->Install();
  } else {
    std::string error;
    parts.linux_link = platform::net::MakeLinuxBackend(options.net.substr(6), error);
    if (parts.linux_link == nullptr) {
      std::fprintf(stderr, "board: network: %s\n", error.c_str());
      return 1;
    }
    platform::net::InstallBackend(parts.linux_link.get());
  }

  // On the simulated link every service listens on this machine's loopback only; on a real interface
  // (in a namespace made for the board) on every address, as the instrument's own stack does.
  const bool real_link = options.net != "sim";
  CVxi11ServerOptions vxi11;
  vxi11.portmapper_port = static_cast<std::uint16_t>(options.portmapper_port);
  vxi11.listen_address = real_link ? 0 : 0x7F000001;
  Vxi11SetServerOptions(vxi11);
  Torvex::nbns_set_ports(static_cast<std::uint16_t>(options.nbns_name_port),
                         static_cast<std::uint16_t>(options.nbns_datagram_port));
  Torvex::nbns_set_loopback_only(!real_link);
  return 0;
}

// What the boot loader does for a reset, firmware-update mode and power off.
void InstallBootLoader(const Options& options) {
  platform::bootloader::SetBootCondition(options.boot_condition);
  platform::bootloader::Hooks hooks;
  hooks.reset = [] { Restart(); };
  hooks.firmware_update = [] {
    std::fprintf(stderr, "board: firmware-update mode\n");
    EndProcess(3);
  };
  hooks.power_off = [] {
    std::fprintf(stderr, "board: power off\n");
    EndProcess(0);
  };
  platform::bootloader::SetHooks(hooks);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "board") == 0) return BoardClient(argc, argv);
  g_argv.assign(argv, argv + argc);
  const Options options = board::ParseOptions(argc, argv);
  // The board starts at the instrument's own 10 ms tick and takes the run's tick (--tick-us, else
  // TORVEX_TICK_US) once the firmware is up. Main's start-up waits (the DSP, then 500 ms for the
  // acquisition) and the first DSP exchanges cover work of the host's threads, which a fast tick does
  // not make faster: on a loaded host a few milliseconds of wall time would not hold it. The fast
  // tick is for the periods of the running firmware.
  const std::uint32_t run_tick_us =
      options.tick_us != 0 ? static_cast<std::uint32_t>(options.tick_us) : platform::kernel::TickMicroseconds();
  platform::kernel::SetTickMicroseconds(kStartUpTickUs);
  if (const int status = TakeRoot(options); status != 0) return status;

  const sigset_t signals = ShutdownSignals();
  BoardParts parts;
  if (const int status = AssembleBoard(options, parts); status != 0) return status;
  if (const int status = ConnectNetwork(options, parts); status != 0) return status;
  InstallBootLoader(options);

  drivers_hardware_init();
  drivers_register_devices();
  platform::devtab::InitAll();
  platform::mount("", "/dev", "devfs");  // the device file system is there before main, as on the board

  Torvex::g_Logger.SetMirrorToStderr(options.log_stderr);

  platform::board::SetRunStateListener([run_tick_us](platform::board::RunState state) {
    if (state != platform::board::RunState::kReady) return;
    if (run_tick_us != kStartUpTickUs) platform::kernel::SetTickMicroseconds(run_tick_us);
    std::fprintf(stderr, "board: ready\n");
  });

  board::ControlServer control;
  board::AddControlCommands(control, *parts.board, parts.sim_link.get());
  std::string error;
  if (!control.Start(options.root, error)) {
    std::fprintf(stderr, "board: %s\n", error.c_str());
    EndProcess(1);
  }
  g_control = &control;

  std::thread([&parts, signals] {
    for (;;) {
      int sig = 0;
      if (sigwait(&signals, &sig) == 0) board::PushButton(*parts.board, board::ShortPush());
    }
  }).detach();

  Torvex::main();
  // The firmware's main never returns while the board runs; if it does, the board ends in the boot
  // loader's firmware-update mode, as a program exit does.
  std::fprintf(stderr, "board: firmware-update mode\n");
  EndProcess(3);
}
