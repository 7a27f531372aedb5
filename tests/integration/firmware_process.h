// Test harness: runs the torvex program in a temporary board root and watches its standard error.
#pragma once

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace torvex_test {

// The board's tick in whole-firmware tests once the firmware is up (it starts at 10 ms ticks): fast,
// so that the firmware's periods pass quickly. Under the sanitizers the firmware runs several times
// slower while its time-outs (in ticks) do not, so the tick is longer there: a step with a board-time
// limit (a DSP exchange) keeps the same room in work done.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr unsigned kDefaultTickUs = 3000;
#else
inline constexpr unsigned kDefaultTickUs = 1000;
#endif

class FirmwareProcess {
 public:
  // A fresh temporary board root (removed by the destructor unless kept).
  FirmwareProcess();
  // A process on a board root the caller owns (left in place by the destructor).
  explicit FirmwareProcess(std::filesystem::path root);
  ~FirmwareProcess();

  const std::filesystem::path& Root() const { return root_; }

  // Starts `torvex --root ROOT --tick-us TICK --log-stderr ARGS...`.
  void Start(const std::vector<std::string>& extra_args = {}, unsigned tick_us = kDefaultTickUs);
  // The ROMFS image folder the next Start installs (default: the build's).
  void SetRomfsImage(const std::string& folder) { romfs_image_ = folder; }

  // Waits until standard error holds `text` (counting from the start of the run); false on time-out.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(20));
  // Waits until `text` occurs at least `count` times; false on time-out.
  bool WaitForCount(const std::string& text, int count, std::chrono::milliseconds limit = std::chrono::seconds(20));
  // Number of times `text` occurs in standard error so far.
  int CountOutput(const std::string& text);
  std::string Output();

  // Waits for the process to end; returns its exit status, or -1 on time-out, or 128+signal.
  int WaitForExit(std::chrono::milliseconds limit = std::chrono::seconds(30));
  void Signal(int sig);
  bool Running();
  int Pid() const { return pid_; }

  // Runs `torvex board --root ROOT ARGS...` and returns its standard output.
  std::string Board(const std::string& command);

  std::string ReadFile(const std::string& relative);
  bool FileExists(const std::string& relative);

 private:
  void Reader(int fd);

  std::filesystem::path root_;
  bool owns_root_ = true;
  std::string romfs_image_;
  int pid_ = -1;
  int status_ = -1;
  bool exited_ = false;
  std::thread reader_;
  std::mutex lock_;
  std::string output_;
};

}  // namespace torvex_test
