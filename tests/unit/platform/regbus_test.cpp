// Register bus: dispatch by address range, widths, unmapped accesses (bus errors raised through the
// platform's signal table) and the trace; the diagnostic console's hex dump.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/diag.h"
#include "platform/regbus.h"
#include "platform/signals.h"

namespace {

struct Memory : platform::regbus::Model {
  std::map<std::uint32_t, std::uint32_t> words;
  std::uint32_t Read(std::uint32_t a, unsigned) override { return words[a]; }
  void Write(std::uint32_t a, std::uint32_t v, unsigned) override { words[a] = v; }
};

TEST(RegisterBus, DispatchesByRangeAndWidth) {
  Memory low, high;
  platform::regbus::Map(0x10000000, 0x100, &low);
  platform::regbus::Map(0x10000100, 0x100, &high);
  platform::regbus::Write32(0x10000004, 0xAABBCCDD);
  platform::regbus::Write16(0x10000104, 0x1234);
  platform::regbus::Write8(0x100001FF, 0x5A);
  EXPECT_EQ(low.words[0x10000004], 0xAABBCCDDu);
  EXPECT_EQ(high.words[0x10000104], 0x1234u);
  EXPECT_EQ(high.words[0x100001FF], 0x5Au);
  EXPECT_EQ(platform::regbus::Read8(0x10000004), 0xDDu) << "narrow reads keep the low bits";
  EXPECT_EQ(platform::regbus::Read16(0x10000004), 0xCCDDu);

  const auto before = platform::regbus::UnmappedAccesses();
  EXPECT_EQ(platform::regbus::Read32(0x10000200), 0u);
  platform::regbus::Write32(0x0FFFFFFC, 1);
  EXPECT_EQ(platform::regbus::UnmappedAccesses(), before + 2);
  platform::regbus::Unmap(&low);
  platform::regbus::Unmap(&high);
  EXPECT_EQ(platform::regbus::Read32(0x10000004), 0u);
}

TEST(RegisterBus, TraceRecordsAccessesInOrder) {
  Memory m;
  platform::regbus::Map(0x20000000, 0x10, &m);
  platform::regbus::SetTrace(true);
  platform::regbus::Write32(0x20000000, 7);
  (void)platform::regbus::Read16(0x20000000);
  const auto trace = platform::regbus::TakeTrace();
  platform::regbus::SetTrace(false);
  ASSERT_EQ(trace.size(), 2u);
  EXPECT_TRUE(trace[0].write);
  EXPECT_EQ(trace[0].width, 4u);
  EXPECT_EQ(trace[0].value, 7u);
  EXPECT_FALSE(trace[1].write);
  EXPECT_EQ(trace[1].width, 2u);
  EXPECT_EQ(trace[1].value, 7u);
  EXPECT_TRUE(platform::regbus::TakeTrace().empty());
  platform::regbus::Unmap(&m);
}

// Records every bus error raised on this thread with its saved registers.
std::vector<platform::signals::SavedRegisters> g_bus_errors;
void RecordBusError(int signal) {
  ASSERT_EQ(signal, platform::signals::kSigBus);
  ASSERT_NE(platform::signals::FaultFrame(), nullptr);
  g_bus_errors.push_back(*platform::signals::FaultFrame());
}

struct UndecodedAccess {
  const char* what;
  bool write;
  unsigned width;
  std::uint32_t address;
  std::uint32_t value;
};

TEST(RegisterBus, AnAccessNoDeviceDecodesRaisesABusErrorWithTheAccessInTheSavedRegisters) {
  Memory m;
  platform::regbus::Map(0x30000000, 0x10, &m);
  const auto previous = platform::signals::Install(platform::signals::kSigBus, &RecordBusError);
  const UndecodedAccess cases[] = {
      {"8-bit read", false, 1, 0x30000010, 0},
      {"16-bit write", true, 2, 0x2FFFFFFE, 0xBEEF},
      {"32-bit read", false, 4, 0x00000000, 0},
      {"32-bit write", true, 4, 0xFFFFFFFC, 0xDEADBEEF},
  };
  for (const UndecodedAccess& c : cases) {
    SCOPED_TRACE(c.what);
    g_bus_errors.clear();
    const auto before = platform::regbus::UnmappedAccesses();
    std::uint32_t read = 1;
    switch ((c.write ? 8 : 0) | c.width) {
      case 1: read = platform::regbus::Read8(c.address); break;
      case 4: read = platform::regbus::Read32(c.address); break;
      case 8 | 2: platform::regbus::Write16(c.address, static_cast<std::uint16_t>(c.value)); break;
      case 8 | 4: platform::regbus::Write32(c.address, c.value); break;
      default: FAIL();
    }
    if (!c.write) {
      EXPECT_EQ(read, 0u);
    }
    EXPECT_EQ(platform::regbus::UnmappedAccesses(), before + 1);
    ASSERT_EQ(g_bus_errors.size(), 1u);
    const platform::signals::SavedRegisters& frame = g_bus_errors[0];
    EXPECT_EQ(frame.r[0], c.address);
    EXPECT_EQ(frame.r[1], c.value);
    EXPECT_EQ(frame.r[2], c.width);
    EXPECT_EQ(frame.r[3], c.write ? 1u : 0u);
    EXPECT_NE(frame.pc, 0u);
    EXPECT_NE(frame.lr, 0u);
  }
  // A decoded access raises nothing; no frame outside a handler.
  g_bus_errors.clear();
  platform::regbus::Write32(0x30000004, 5);
  EXPECT_EQ(platform::regbus::Read32(0x30000004), 5u);
  EXPECT_TRUE(g_bus_errors.empty());
  EXPECT_EQ(platform::signals::FaultFrame(), nullptr);
  // Ignored, the bus error is only counted.
  platform::signals::Install(platform::signals::kSigBus, &platform::signals::Ignore);
  EXPECT_EQ(platform::regbus::Read32(0x30000010), 0u);
  EXPECT_TRUE(g_bus_errors.empty());
  EXPECT_EQ(platform::signals::Install(platform::signals::kSigBus, previous), &platform::signals::Ignore);
  platform::regbus::Unmap(&m);
}

TEST(RegisterBus, ASignalThatDoesNotExistIsAMisuseThatStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(platform::signals::Install(0, &platform::signals::Ignore), "signal 0 does not exist");
  EXPECT_DEATH(platform::signals::Install(platform::signals::kSignalCount, &platform::signals::Ignore),
               "does not exist");
}

TEST(DiagnosticConsole, DumpsABufferInLinesOfSixteenBytesWithTheirText) {
  std::string console;
  const auto previous = platform::diag::SetConsole([&](const std::string& text) { console += text; });
  const std::uint8_t bytes[20] = {'T', 'o', 'r', 0x00, 0x7F, 0x20, 0x41, 0xFF, 1,   2,
                                  3,   4,   5,   6,    7,    8,    'a',  'b',  'c', 'd'};
  diag_dump_buf(bytes, sizeof bytes);
  diag_printf("R%d: %08X \n", 6, 0x1234u);
  platform::diag::SetConsole(previous);
  EXPECT_EQ(console,
            "0000: 54 6F 72 00 7F 20 41 FF 01 02 03 04 05 06 07 08  Tor.. A.........\n"
            "0010: 61 62 63 64                                      abcd\n"
            "R6: 00001234 \n");
}

}  // namespace
