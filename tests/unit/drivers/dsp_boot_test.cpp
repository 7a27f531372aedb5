// The host-port driver against the board's DSP program: the installed image loaded and started the way
// the firmware's loader does it, DSP_BOOTED read back, and one request answered.
#include <fstream>
#include <iterator>
#include <vector>

#include "board_fixture.h"
#include "drivers/board_lines.h"
#include "drivers/dsp_hpi.h"
#include "sim/dsp_image.h"
#include "sim/dsp_program.h"

namespace torvex_test {
namespace {

using sim::DspProgram;

std::uint32_t Le32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
}

class DspBootTest : public BoardTest {
 protected:
  // The DSP's interrupt to the host is low while asserted.
  bool DspInterrupting() { return !board_line_high(hw::line::kDspInterrupt); }

  // Reset, memory interface, the loadable sections in chunks of 1024 words, each word verified.
  void LoadAndStart() {
    std::ifstream in(std::string(TORVEX_ROMFS_DIR) + "/" + sim::kDspImageName, std::ios::binary);
    const std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(file.size(), 50u);
    dsp_reset(true);
    ASSERT_TRUE(dsp_emif_setup());
    const unsigned sections = file[2] | (file[3] << 8);
    for (unsigned s = 0; s < sections; ++s) {
      const std::size_t h = 50 + 48 * s;
      const std::uint32_t size = Le32(file, h + 16), flags = Le32(file, h + 40);
      if (!(flags & 0x60) || (flags & 0x10) || static_cast<std::int32_t>(size) <= 0) continue;
      std::uint32_t address = Le32(file, h + 8);
      std::size_t raw = Le32(file, h + 20);
      for (std::uint32_t left = size / 4; left > 0;) {
        const std::uint32_t n = left < 1024 ? left : 1024;
        std::vector<cyg_uint32> words(n);
        for (std::uint32_t i = 0; i < n; ++i) words[i] = Le32(file, raw + 4 * i);
        dsp_hpi_write_block(address, words.data(), n);
        for (std::uint32_t i = 0; i < n; ++i) ASSERT_EQ(dsp_hpi_read_word(address + 4 * i), words[i]);
        address += 4 * n;
        raw += 4 * n;
        left -= n;
      }
    }
    dsp_hpi_interrupt_dsp();
  }

  std::vector<cyg_uint32> ReadReply(std::uint32_t expected) {
    EXPECT_TRUE(WaitFor([&] { return DspInterrupting(); }));
    EXPECT_EQ(dsp_hpi_read_word(DspProgram::kReplyMailbox), expected);
    std::vector<cyg_uint32> reply(DspProgram::ReplyBytes(expected) / 4);
    dsp_hpi_read_block(DspProgram::kReplyBuffer, reply.data(), static_cast<cyg_uint32>(reply.size()));
    dsp_hpi_ack_host_interrupt();
    EXPECT_FALSE(DspInterrupting());
    cyg_uint32 x = 0;
    for (cyg_uint32 w : reply) x ^= w;
    EXPECT_EQ(x, 0u);
    return reply;
  }
};

TEST_F(DspBootTest, LoadedImageBootsAndAnswers) {
  LoadAndStart();
  const auto booted = ReadReply(DspProgram::kBootedId);
  ASSERT_EQ(booted.size(), 9u);
  EXPECT_EQ(booted[4] & 0xFFFF, 2u);
  EXPECT_EQ(booted[5] & 0xFFFF, 4u);
  EXPECT_EQ(booted[6] & 0xFFFF, 1u);
  EXPECT_EQ(booted[7] & 0xFFFF, 8u);

  // One exchange as the DSP interface makes it.
  cyg_uint32 frame[4] = {0xB0, 0, 1, 0};
  frame[3] = frame[0] ^ frame[1] ^ frame[2];
  dsp_hpi_ack_host_interrupt();
  dsp_hpi_write_word(DspProgram::kRequestMailbox, frame[0]);
  dsp_hpi_write_block(DspProgram::kRequestBuffer, frame, 4);
  dsp_hpi_interrupt_dsp();
  const auto reply = ReadReply(0x100B0);
  EXPECT_EQ(reply[2] & DspProgram::kStatusError, 0u);

  // The status block's counter runs.
  cyg_uint32 first[4], later[4];
  dsp_hpi_read_block(DspProgram::kStatusBlock, first, 4);
  EXPECT_TRUE(WaitFor([&] {
    dsp_hpi_read_block(DspProgram::kStatusBlock, later, 4);
    return later[0] != first[0];
  }));
  EXPECT_EQ(board_->dsp().BusConflicts(), 0u);
}

TEST_F(DspBootTest, StartWithoutALoadNeverBoots) {
  dsp_reset(true);
  ASSERT_TRUE(dsp_emif_setup());
  dsp_hpi_interrupt_dsp();
  ASSERT_TRUE(WaitFor([&] { return board_->dsp_program().Describe().rfind("state dead", 0) == 0; }));
  EXPECT_FALSE(DspInterrupting());
}

}  // namespace
}  // namespace torvex_test
