// Replies of the DSP, through the DSP interface: the reply check (id, length, error flag, check word),
// the state machine, and the getters that take values out of the accepted reply, including the block
// copies of RETURN_NMR_SIGNAL, whose DSP addresses and lengths come from the reply.
//
// Input: a sequence of records {selector, n, n little-endian words}. The selector picks the expected
// reply id (a row of the reply table; 0xFF: the id is the next word of the input). Each record is read
// as the answer to an ABORT: the words go to the reply buffer, the first of them to the reply mailbox.
#include <cstdint>
#include <cstring>
#include <vector>

#include "acquisition/CTorvexDSP.h"
#include "acquisition/DspProtocol.h"
#include "drivers/dsp_hpi.h"
#include "sim/board.h"
#include "support/process_board.h"

namespace {

using namespace Torvex;

sim::Board& Board() {
  static sim::Board* board = [] {
    sim::Board* b = &torvex_test::ProcessBoard("fuzz-dsp");
    // The input plays the DSP: the board's program model stays out of the way.
    b->dsp_program().Stop();
    dsp_reset(true);
    return b;
  }();
  return *board;
}

std::uint32_t Word(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void PlaceReply(sim::Dsp& dsp, const std::vector<std::uint32_t>& words) {
  for (std::size_t i = 0; i < words.size(); ++i)
    dsp.WriteWord(kDspReplyBuffer + 4 * static_cast<std::uint32_t>(i), words[i]);
  dsp.WriteWord(kDspReplyMailbox, words.empty() ? 0 : words[0]);
  dsp.RaiseHostInterrupt();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sim::Dsp& dsp = Board().dsp();
  CTorvexDSP::ResetToNotBooted();
  std::size_t pos = 0;
  while (pos + 2 <= size) {
    const std::uint8_t selector = data[pos];
    const std::size_t n = data[pos + 1];
    pos += 2;
    std::uint32_t expected = kDspReplyRows[selector % kDspReplyCount].id;
    if (selector == 0xFF) {
      if (pos + 4 > size) break;
      expected = Word(data + pos);
      pos += 4;
    }
    std::vector<std::uint32_t> words;
    for (std::size_t i = 0; i < n && pos + 4 <= size; ++i, pos += 4) words.push_back(Word(data + pos));

    if (CTorvexDSP::GetState() == Ready) CTorvexDSP::SendRequest(kDspAbort);
    PlaceReply(dsp, words);
    std::uint32_t status = 0;
    const int result = CTorvexDSP::ReadMessage(expected, &status);
    if (result == 0 && expected == DspReplyId(kDspRequestNmrSignal)) {
      float nmr[64], fft[16], peak[8], fit[4];
      std::uint32_t counts[4] = {};
      const IntermediateBlock blocks[4] = {
          {nmr, 64, &counts[0]}, {fft, 16, &counts[1]}, {peak, 0, &counts[2]}, {fit, 4, &counts[3]}};
      IntermediateScalars scalars;
      CTorvexDSP::CopyIntermediateResults(blocks, &scalars);
      if (counts[0] > 64 || counts[1] > 16 || counts[2] != 0 || counts[3] > 4) __builtin_trap();
    } else if (result == 0) {
      std::uint16_t v[4];
      CTorvexDSP::GetVersions(&v[0], &v[1], &v[2], &v[3]);
      double flux, frequency;
      int unit;
      float sigma, uniformity, matching, tuning;
      std::uint32_t word11;
      std::uint64_t stamp;
      CTorvexDSP::GetPwMeasurement(&flux, &unit, &frequency, &sigma, &word11, &uniformity, &matching, &tuning, &stamp);
      (void)CTorvexDSP::GetSearchResult();
    }
    if (result != 0 && status != 0) __builtin_trap();  // a refused reply gives no status
    CTorvexDSP::ReleaseInterface();
  }
  CTorvexDSP::ReleaseInterface();
  dsp_hpi_ack_host_interrupt();
  return 0;
}
