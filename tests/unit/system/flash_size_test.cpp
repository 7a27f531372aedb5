// The flash holds what its good blocks hold: a write past that fails as on a full flash and keeps the
// previous file, and the usage is reported against the same size.
#include <gtest/gtest.h>

#include <string>

#include "platform/io.h"
#include "sim/nand_flash.h"
#include "system/TorvexFileUtilities.h"
#include "system_support.h"
#include "tree/ParameterTreeXml.h"

namespace {

using namespace Torvex;
using torvex_test::ReadHostFile;
using torvex_test::WriteHostFile;

// 8 blocks of 4 pages of 512 bytes: 16 KiB.
constexpr sim::NandFlash::Geometry kSmallFlash{512, 4, 8};
constexpr std::size_t kBlockBytes = 512 * 4;

class FlashSizeTest : public torvex_test::BoardRootTest {
 protected:
  void SetUp() override {
    BoardRootTest::SetUp();
    Nand(kSmallFlash);
  }
};

TEST_F(FlashSizeTest, AWritePastTheFlashFailsAndKeepsThePreviousFile) {
  MountBoth();
  ASSERT_EQ(platform::mkdir("/yaffs/user", 0777), 0);
  ASSERT_EQ(TorvexWriteTextFile("/yaffs/user/a.txt", "previous"), 0);
  // Half the flash fits; twice the flash does not, whatever the host disk could hold.
  EXPECT_EQ(TorvexWriteTextFile("/yaffs/user/half.txt", std::string(4 * kBlockBytes, 'h').c_str()), 0);
  EXPECT_NE(TorvexWriteTextFile("/yaffs/user/a.txt", std::string(16 * kBlockBytes, 'x').c_str()), 0);
  EXPECT_EQ(ReadHostFile(Yaffs("user/a.txt")), "previous");
  EXPECT_EQ(torvex_test::HostNames(Yaffs("user")), (std::vector<std::string>{"a.txt", "half.txt"}));

  platform::BlockUsage usage{};
  ASSERT_EQ(platform::GetBlockUsage("/yaffs", &usage), 0);
  EXPECT_EQ(usage.total_blocks, 8u);
  EXPECT_EQ(usage.block_size, kBlockBytes);
  EXPECT_LE(usage.free_blocks, 4u);
}

TEST_F(FlashSizeTest, BadBlocksMakeTheFlashSmaller) {
  for (std::uint32_t block = 0; block < 5; ++block) nand_->MarkBad(block);
  MountBoth();
  platform::BlockUsage usage{};
  ASSERT_EQ(platform::GetBlockUsage("/yaffs", &usage), 0);
  EXPECT_EQ(usage.total_blocks, 3u);
  ASSERT_EQ(platform::mkdir("/yaffs/user", 0777), 0);
  // What fitted on 8 good blocks does not fit on 3.
  EXPECT_NE(TorvexWriteTextFile("/yaffs/user/half.txt", std::string(4 * kBlockBytes, 'h').c_str()), 0);
  EXPECT_FALSE(std::filesystem::exists(Yaffs("user/half.txt")));
}

TEST_F(FlashSizeTest, ASettingsFileThatDoesNotFitIsNotSaved) {
  MountBoth();
  CParameterNode root("root", eNodeType::Branch);
  auto* big = new CParameterNode("big", eNodeType::String);
  ASSERT_EQ(root.AddChildNode(big), 0);
  big->SetStringAttribute(eAttrValue, "small");
  ASSERT_EQ(platform::mkdir("/yaffs/settings", 0777), 0);
  ASSERT_EQ(SaveTreeToXml("/yaffs/settings/t.xml", &root), 0);
  const std::string saved = ReadHostFile(Yaffs("settings/t.xml"));
  big->SetStringAttribute(eAttrValue, std::string(20 * kBlockBytes, 'b'));
  EXPECT_EQ(SaveTreeToXml("/yaffs/settings/t.xml", &root), 11);
  EXPECT_EQ(ReadHostFile(Yaffs("settings/t.xml")), saved);
}

}  // namespace
