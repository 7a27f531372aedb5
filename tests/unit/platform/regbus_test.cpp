// Register bus: dispatch by address range, widths, unmapped accesses and the trace.
#include <gtest/gtest.h>

#include <map>

#include "platform/regbus.h"

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

}  // namespace
