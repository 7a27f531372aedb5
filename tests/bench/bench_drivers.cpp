// Board drivers on the simulated board: host-port block transfer rate and acquisition-pipe round trip.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "drivers/board_devices.h"
#include "drivers/dsp_hpi.h"
#include "drivers/eeprom.h"
#include "platform/devtab.h"
#include "platform/io.h"
#include "sim/board.h"
#include "support/process_board.h"

namespace {

sim::Board& TheBoard() {
  static sim::Board* board = [] {
    sim::Board* b = &torvex_test::ProcessBoard("bench");
    dsp_reset(true);
    return b;
  }();
  return *board;
}

void BM_HostPortWriteBlock(benchmark::State& state) {
  TheBoard();
  std::vector<cyg_uint32> words(static_cast<std::size_t>(state.range(0)), 0x5A5A5A5A);
  for (auto _ : state) dsp_hpi_write_block(0x90FF0000, words.data(), static_cast<cyg_uint32>(words.size()));
  state.SetBytesProcessed(state.iterations() * state.range(0) * 4);
  state.counters["words/s"] =
      benchmark::Counter(static_cast<double>(state.iterations() * state.range(0)), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_HostPortWriteBlock)->Arg(1)->Arg(64)->Arg(1024);

void BM_HostPortReadBlock(benchmark::State& state) {
  TheBoard();
  std::vector<cyg_uint32> words(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) dsp_hpi_read_block(0x90FF8000, words.data(), static_cast<cyg_uint32>(words.size()));
  state.SetBytesProcessed(state.iterations() * state.range(0) * 4);
  state.counters["words/s"] =
      benchmark::Counter(static_cast<double>(state.iterations() * state.range(0)), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_HostPortReadBlock)->Arg(1)->Arg(64)->Arg(1024);

// A 16-byte message into the command pipe, answered by an 8-byte message on the abort pipe from an
// echoing thread: the pipe round trip the acquisition's senders see.
void BM_PipeRoundTrip(benchmark::State& state) {
  TheBoard();
  const int msg = platform::open("/dev/pipeHostAcqMsg", O_RDWR);
  const int reply = platform::open("/dev/pipeHostAcqAbort", O_RDWR);
  std::atomic<bool> stop{false};
  std::thread echo([&] {
    std::uint8_t in[16];
    std::uint8_t out[8] = {};
    for (;;) {
      if (platform::read(msg, in, sizeof in) != sizeof in) break;
      if (in[0] == 0xFF) break;
      out[0] = in[0];
      platform::write(reply, out, sizeof out);
    }
  });
  std::uint8_t request[16] = {1};
  std::uint8_t answer[8];
  for (auto _ : state) {
    platform::write(msg, request, sizeof request);
    platform::read(reply, answer, sizeof answer);
  }
  request[0] = 0xFF;
  platform::write(msg, request, sizeof request);
  echo.join();
  platform::close(msg);
  platform::close(reply);
}
BENCHMARK(BM_PipeRoundTrip)->UseRealTime();

void BM_EepromIdentityRecord(benchmark::State& state) {
  TheBoard();
  std::uint8_t record[EEPROM_IDENTITY_RECORD_SIZE];
  for (auto _ : state) benchmark::DoNotOptimize(eeprom_read_record(record));
}
BENCHMARK(BM_EepromIdentityRecord)->UseRealTime();

}  // namespace
