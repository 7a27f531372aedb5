// The DSP host-port driver against the board's DSP model, mostly through the register trace.
#include <vector>

#include "board_fixture.h"
#include "drivers/dsp_hpi.h"
#include "platform/hw_registers.h"

namespace torvex_test {
namespace {

constexpr std::uint32_t kHpi = 0x08000000;

struct Op {
  bool write;
  std::uint32_t offset;
  std::uint32_t value;  // checked for writes only
  bool operator==(const Op& o) const { return write == o.write && offset == o.offset && (!write || value == o.value); }
};

std::ostream& operator<<(std::ostream& os, const Op& op) {
  return os << (op.write ? "W " : "R ") << std::hex << op.offset << " " << op.value;
}

// Host-port window accesses in the trace.
std::vector<Op> WindowOps(const std::vector<platform::regbus::Access>& trace) {
  std::vector<Op> out;
  for (const auto& a : trace) {
    if (a.address - kHpi < 0x20) out.push_back({a.write, a.address - kHpi, a.value});
  }
  return out;
}

// Levels of GPE2 (reset), GPE3, GPE4 after each GPEDAT write.
std::vector<std::array<bool, 3>> PortELevels(const std::vector<platform::regbus::Access>& trace) {
  std::vector<std::array<bool, 3>> out;
  for (const auto& a : trace) {
    if (a.write && a.address == hw::gpio::GPEDAT) {
      out.push_back({(a.value & 4u) != 0, (a.value & 8u) != 0, (a.value & 16u) != 0});
    }
  }
  return out;
}

class DspHpiTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    dsp_reset(false);
  }
};

TEST_F(DspHpiTest, ResetPulsesTheLineOnceUnlessForced) {
  const auto pulses = board_->dsp().ResetPulses();
  StartTrace();
  dsp_reset(false);
  EXPECT_TRUE(platform::regbus::TakeTrace().empty());
  EXPECT_EQ(board_->dsp().ResetPulses(), pulses);

  board_->dsp().WriteWord(0x1000, 0xABCD);
  dsp_reset(true);
  const auto trace = platform::regbus::TakeTrace();
  EXPECT_EQ(board_->dsp().ResetPulses(), pulses + 1);
  EXPECT_EQ(board_->dsp().ReadWord(0x1000), 0u);  // the reset cleared the DSP
  const std::vector<std::array<bool, 3>> expected = {
      {true, false, false},  // GPE3 low
      {true, false, true},   // GPE4 high
      {false, false, true},  // reset asserted
      {true, false, true},   // reset released
      {true, false, false},  // GPE4 low: the host port has the bus again
  };
  EXPECT_EQ(PortELevels(trace), expected);
  ASSERT_FALSE(WindowOps(trace).empty());
  EXPECT_EQ(WindowOps(trace).back(), (Op{true, 0x00, 0x00010001}));
  EXPECT_FALSE(board_->dsp().InReset());
}

TEST_F(DspHpiTest, OneWordBlockGoesThroughTheFixedRegisterOnly) {
  const std::uint32_t word = 0xCAFEF00D;
  StartTrace();
  dsp_hpi_write_block(0x90FF0000, &word, 1);
  const std::vector<Op> expected = {{true, 0x00, 0x00010001}, {true, 0x04, 0x90FF0000}, {true, 0x0C, word}};
  EXPECT_EQ(WindowOps(platform::regbus::TakeTrace()), expected);
  EXPECT_EQ(board_->dsp().ReadWord(0x90FF0000), word);
  EXPECT_EQ(board_->dsp().ReadWord(0x90FF0004), 0u);
}

TEST_F(DspHpiTest, BlocksStreamThroughTheIncrementingRegisterAndEndOnTheFixedOne) {
  const std::vector<std::uint32_t> words = {1, 2, 3, 4};
  StartTrace();
  dsp_hpi_write_block(0x90FF0000, words.data(), 4);
  const std::vector<Op> expected = {{true, 0x00, 0x00010001}, {true, 0x04, 0x90FF0000}, {true, 0x08, 1},
                                    {true, 0x08, 2},          {true, 0x08, 3},          {true, 0x0C, 4}};
  EXPECT_EQ(WindowOps(platform::regbus::TakeTrace()), expected);

  std::vector<std::uint32_t> back(4);
  dsp_hpi_read_block(0x90FF0000, back.data(), 4);
  const std::vector<Op> reads = {{true, 0x00, 0x00010001}, {true, 0x04, 0x90FF0000}, {false, 0x18, 0},
                                 {false, 0x18, 0},         {false, 0x18, 0},         {false, 0x1C, 0}};
  EXPECT_EQ(WindowOps(platform::regbus::TakeTrace()), reads);
  EXPECT_EQ(back, words);
  // The block ended on the fixed register: the address was not advanced past it.
  EXPECT_EQ(platform::regbus::Read32(kHpi + 0x14), 0x90FF000Cu);
}

TEST_F(DspHpiTest, SingleWordWritesAreIssuedTwice) {
  StartTrace();
  dsp_hpi_write_word(0xFFE0, 0x10001);
  const std::vector<Op> expected = {{true, 0x00, 0x00010001}, {true, 0x04, 0xFFE0}, {true, 0x0C, 0x10001},
                                    {true, 0x00, 0x00010001}, {true, 0x04, 0xFFE0}, {true, 0x0C, 0x10001}};
  EXPECT_EQ(WindowOps(platform::regbus::TakeTrace()), expected);
  EXPECT_EQ(board_->dsp().ReadWord(0xFFE0), 0x10001u);
}

TEST_F(DspHpiTest, SingleWordReadsTakeTheIncrementingRegisterAndDropASecondRead) {
  board_->dsp().WriteWord(0xFFE4, 0x20002);
  board_->dsp().WriteWord(0xFFE8, 0x33333);
  StartTrace();
  EXPECT_EQ(dsp_hpi_read_word(0xFFE4), 0x20002u);
  const std::vector<Op> expected = {{true, 0x00, 0x00010001}, {true, 0x04, 0xFFE4}, {false, 0x18, 0}, {false, 0x1C, 0}};
  EXPECT_EQ(WindowOps(platform::regbus::TakeTrace()), expected);
}

TEST_F(DspHpiTest, EmifSetupProgramsTheEightRegisters) {
  EXPECT_TRUE(dsp_emif_setup());
  const std::pair<std::uint32_t, std::uint32_t> expected[] = {
      {0x01800000, 0x00003060}, {0x01800004, 0xFFFFFF33}, {0x01800008, 0xFFFFFF23}, {0x01800010, 0xFFFFFF23},
      {0x01800014, 0x10D14321}, {0x01800018, 0x5733A000}, {0x0180001C, 0x0000061A}, {0x01800020, 0x0017DF2D},
  };
  for (const auto& [address, value] : expected)
    EXPECT_EQ(board_->dsp().ReadWord(address), value) << std::hex << address;
  EXPECT_EQ(board_->dsp().ReadWord(0x0180000C), 0u);
}

TEST_F(DspHpiTest, InterruptsTravelBothWays) {
  const auto before = board_->dsp().DspInterrupts();
  int hook_calls = 0;
  board_->dsp().SetDspInterruptHook([&] { ++hook_calls; });
  dsp_hpi_interrupt_dsp();
  EXPECT_EQ(board_->dsp().DspInterrupts(), before + 1);
  EXPECT_EQ(hook_calls, 1);
  board_->dsp().SetDspInterruptHook(nullptr);

  board_->dsp().RaiseHostInterrupt();
  EXPECT_TRUE(board_->dsp().HostInterruptAsserted());
  EXPECT_FALSE(board_->gpio().Level(sim::Port::F, 0));
  dsp_hpi_ack_host_interrupt();
  EXPECT_FALSE(board_->dsp().HostInterruptAsserted());
  EXPECT_TRUE(board_->gpio().Level(sim::Port::F, 0));
}

TEST_F(DspHpiTest, BusHandOverKeepsTheHostPortOffTheBusUntilReleased) {
  StartTrace();
  dsp_hpi_bus_acquire();
  const auto conflicts = board_->dsp().BusConflicts();
  std::uint32_t word = 7;
  dsp_hpi_write_block(0x2000, &word, 1);  // a fault of the caller: the NAND holds the bus
  EXPECT_GT(board_->dsp().BusConflicts(), conflicts);
  EXPECT_EQ(board_->dsp().ReadWord(0x2000), 0u);
  dsp_hpi_bus_release();
  const std::vector<std::array<bool, 3>> expected = {
      {true, false, true}, {true, true, true}, {true, false, true}, {true, false, false}};
  EXPECT_EQ(PortELevels(platform::regbus::TakeTrace()), expected);
  dsp_hpi_write_block(0x2000, &word, 1);
  EXPECT_EQ(board_->dsp().ReadWord(0x2000), 7u);
}

}  // namespace
}  // namespace torvex_test
