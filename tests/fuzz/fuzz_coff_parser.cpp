// DSP program files: any bytes as /romfs/Rudevu_Radi_Ziziv.out, parsed twice: by a parser that only
// records what it is handed (every chunk at most 1024 words, every tail 1 to 3 bytes, the file closed
// afterwards), and by the real loader into the simulated DSP, which must reach the same verdict.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "acquisition/CTMS320C67xxCoffParser.h"
#include "acquisition/CTorvexDSPLoader.h"
#include "drivers/dsp_hpi.h"
#include "platform/io.h"
#include "sim/board.h"
#include "support/process_board.h"

namespace {

constexpr const char* kPath = "/romfs/Rudevu_Radi_Ziziv.out";

void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz_coff_parser: %s\n", what);
    std::abort();
  }
}

class RecordingParser : public Torvex::CTMS320C67xxCoffParser {
 public:
  bool Closed() const { return !m_Streamer.IsOpen() && m_Streamer.RemainingLength() == 0; }
  std::uint64_t bytes = 0;

 protected:
  bool LoadSection(std::uint32_t, const std::vector<std::uint32_t>& words) override {
    Require(!words.empty() && words.size() <= kChunkWords, "chunk of a bad size");
    bytes += 4 * words.size();
    return true;
  }
  bool LoadSectionTail(std::uint32_t, const std::uint8_t*, std::uint32_t count) override {
    Require(count >= 1 && count <= 3, "tail of a bad size");
    bytes += count;
    return true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static sim::Board& board = []() -> sim::Board& {
    sim::Board& made = torvex_test::ProcessBoard("fuzz-coff");
    std::filesystem::create_directories(platform::BoardRoot() + "/romfs");
    if (!platform::IsMounted("/romfs") && platform::mount("", "/romfs", "romfs") != 0) std::abort();
    return made;
  }();
  if (size > 65536) return 0;
  std::ofstream(platform::BoardRoot() + kPath, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

  RecordingParser recorder;
  const bool parsed = recorder.Parse(kPath);
  Require(recorder.Closed(), "file left open");

  dsp_reset(true);
  Torvex::CTorvexDSPLoader loader;
  Require(loader.Parse(kPath) == parsed, "the loader and the recorder disagree");
  // Every DSP word written holds at least one byte handed over.
  Require(board.dsp().WordCount() <= recorder.bytes, "more DSP words than bytes handed over");
  return 0;
}
