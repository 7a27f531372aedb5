// The DSP program load: a 1 MiB program image (text and data sections, one with a ragged end) from
// /romfs into the simulated DSP through the host port, every word verified; and the same file parsed
// with nothing sent to the DSP, to tell the file reading from the host-port traffic.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "acquisition/CTMS320C67xxCoffParser.h"
#include "acquisition/CTorvexDSPLoader.h"
#include "drivers/dsp_hpi.h"
#include "platform/io.h"
#include "sim/board.h"
#include "support/coff_image.h"
#include "support/process_board.h"

namespace {

constexpr const char* kPath = "/romfs/Rudevu_Radi_Ziziv.out";
constexpr std::size_t kImageBytes = 1 << 20;

// Installs the image once; returns the bytes of section data it holds.
std::size_t InstallImage() {
  static const std::size_t loaded = [] {
    torvex_test::ProcessBoard("bench-dsp-loader");
    std::filesystem::create_directories(platform::BoardRoot() + "/romfs");
    if (!platform::IsMounted("/romfs")) platform::mount("", "/romfs", "romfs");
    using torvex_test::CoffPattern;
    const std::size_t text = kImageBytes - 64 * 1024 - 4;
    torvex_test::CoffImage image{
        // Away from the mailboxes and the status block the DSP keeps below 0x10000.
        .sections = {
            {.name = ".text", .address = 0x80100000, .flags = torvex_test::kCoffText, .data = CoffPattern(text, 1)},
            {.name = ".far",
             .address = 0x80000000,
             .flags = torvex_test::kCoffData,
             .data = CoffPattern(64 * 1024 - 2, 2)},
            {.name = ".cinit", .address = 0x80010000, .flags = torvex_test::kCoffData, .data = CoffPattern(6, 3)},
            {.name = ".bss", .address = 0x80020000, .flags = torvex_test::kCoffBss, .size = 65536}}};
    image.WriteTo(platform::BoardRoot() + kPath);
    return text + 64 * 1024 - 2 + 6;
  }();
  return loaded;
}

void BM_LoadImageThroughHostPort(benchmark::State& state) {
  const std::size_t bytes = InstallImage();
  dsp_reset(true);
  for (auto _ : state) {
    Torvex::CTorvexDSPLoader loader;
    if (!loader.Parse(kPath)) state.SkipWithError("load failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_LoadImageThroughHostPort)->Unit(benchmark::kMillisecond);

class FileOnlyParser : public Torvex::CTMS320C67xxCoffParser {
 protected:
  bool LoadSection(std::uint32_t, const std::vector<std::uint32_t>& words) override {
    benchmark::DoNotOptimize(words.data());
    return true;
  }
  bool LoadSectionTail(std::uint32_t, const std::uint8_t* bytes, std::uint32_t) override {
    benchmark::DoNotOptimize(bytes);
    return true;
  }
};

void BM_ParseImageOnly(benchmark::State& state) {
  const std::size_t bytes = InstallImage();
  for (auto _ : state) {
    FileOnlyParser parser;
    if (!parser.Parse(kPath)) state.SkipWithError("parse failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_ParseImageOnly)->Unit(benchmark::kMillisecond);

}  // namespace
