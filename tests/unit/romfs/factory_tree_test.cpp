// The factory settings file read by the firmware's own tree code: it loads into an empty tree, every
// path that the start-up binds resolves (the firmware's binding table is checked against the reference
// data tests/data/bound_nodes.tsv), every leaf reads back through the typed getters with the type and
// values of factory_node_tables.h, and saving the loaded tree writes the file again byte for byte (its
// few comments aside), so the file is exactly in the format the firmware writes. The file is read as
// the firmware reads it: /romfs/factory.xml on a board whose romfs holds the built image.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>
#include <stdlib.h>

#include "factory_node_tables.h"
#include "factory_xml_reader.h"
#include "platform/io.h"
#include "support/board_root.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"
#include "tree/ParameterTreeXml.h"

using namespace Torvex;
using namespace torvex_test;
namespace fs = std::filesystem;

namespace {

class FactoryTree : public ::testing::Test {
 protected:
  void SetUp() override {
    board_ = torvex_test::MakeBoardRoot("factory");
    fs::copy(TORVEX_ROMFS_DIR, board_ / "romfs", fs::copy_options::recursive);
    ASSERT_EQ(platform::mount("", "/romfs", "romfs"), 0);
    ASSERT_EQ(platform::mount("", "/yaffs", "yaffs"), 0);
    ASSERT_EQ(LoadTreeFromXml("/romfs/factory.xml", &root_, nullptr), 0);
    ASSERT_NE(root_, nullptr);
  }

  void TearDown() override {
    delete root_;
    torvex_test::RemoveBoardRoot(board_);
  }

  CParameterNode* Node(std::string_view path) {
    CParameterNode* node = nullptr;
    return root_->FindNode(std::string(path), &node) == 0 ? node : nullptr;
  }

  fs::path board_;
  CParameterNode* root_ = nullptr;
};

std::string TypeName(eNodeType type) {
  const auto index = static_cast<int>(type);
  return index >= 0 && index < kNodeTypeCount ? kNodeTypeNames[index] : "?";
}

TEST_F(FactoryTree, EveryBoundPathResolves) {
  for (std::size_t i = 0; i < kBoundParameterNodeCount; ++i) {
    CParameterNode* node = nullptr;
    EXPECT_EQ(root_->FindNode(kBoundParameterNodes[i].path, &node), 0) << kBoundParameterNodes[i].path;
  }
}

// The cells of reference row `i` that differ from row `i` of the firmware's binding table.
std::vector<std::string> BindingDifferences(const BoundNode& expected, std::size_t i) {
  if (i >= kBoundParameterNodeCount) return {"no binding row " + std::to_string(i)};
  std::vector<std::string> out;
  const BoundParameterNode& row = kBoundParameterNodes[i];
  if (expected.path != row.path) out.push_back("path: code " + std::string(row.path) + ", data " + expected.path);
  if (!expected.type.empty() && expected.type != TypeName(row.type))
    out.push_back("type: code " + TypeName(row.type) + ", data " + expected.type);
  return out;
}

// The firmware's binding table names the paths of the reference data in the same order, each with the
// type the data gives.
TEST(FactoryBinding, BindingTableMatchesTheReferenceData) {
  std::string error;
  const std::vector<BoundNode> bound = LoadBoundNodes(&error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(bound.size(), kBoundParameterNodeCount);
  for (std::size_t i = 0; i < bound.size(); ++i) {
    for (const std::string& difference : BindingDifferences(bound[i], i))
      ADD_FAILURE() << "row " << i << ": " << difference;
  }
}

// A path or a type changed in the reference data is caught by the row check.
TEST(FactoryBinding, CheckCatchesAChangedRow) {
  std::string error;
  const std::vector<BoundNode> bound = LoadBoundNodes(&error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(bound.size(), kBoundParameterNodeCount);
  const std::size_t row = kBoundNode_units_parms_ppm_ref;
  ASSERT_TRUE(BindingDifferences(bound[row], row).empty());
  BoundNode changed = bound[row];
  changed.type = "Int32";
  EXPECT_EQ(BindingDifferences(changed, row).size(), 1u);
  changed = bound[row];
  changed.path = "units_parms/ppm_reference";
  EXPECT_EQ(BindingDifferences(changed, row).size(), 1u);
  EXPECT_FALSE(BindingDifferences(bound[row], row - 1).empty());  // a row out of its place
}

TEST_F(FactoryTree, BoundNodesHaveTheirTypes) {
  std::string error;
  const std::vector<BoundNode> bound = LoadBoundNodes(&error);
  ASSERT_EQ(error, "");
  for (const auto& node : bound) {
    CParameterNode* found = Node(node.path);
    ASSERT_NE(found, nullptr) << node.path;
    if (!node.type.empty()) {
      EXPECT_EQ(TypeName(found->Type()), node.type) << node.path;
    }
  }
}

TEST_F(FactoryTree, LeavesReadBackThroughTheTypedGetters) {
  for (const auto& row : kFactoryNodes) {
    SCOPED_TRACE(std::string(row.path));
    CParameterNode* node = Node(row.path);
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(TypeName(node->Type()), row.type);
    const std::array<const char*, kNodeAttributeCount> texts = {row.value,    row.minimum, row.maximum,
                                                                row.fallback, row.choices, row.digits};
    for (int attr = 0; attr < kNodeAttributeCount; ++attr) {
      const char* text = texts[attr];
      EXPECT_EQ(text != nullptr, AttributePresent(node->Type(), attr)) << kAttributeNames[attr];
      if (text == nullptr) continue;
      switch (node->Type()) {
        case eNodeType::Boolean:
          EXPECT_EQ(node->GetBooleanAttribute(attr), std::string(text) == "1") << kAttributeNames[attr];
          break;
        case eNodeType::Pointer: EXPECT_EQ(node->GetPointerAttribute(attr), nullptr); break;
        case eNodeType::String: EXPECT_EQ(node->GetStringAttribute(attr), text) << kAttributeNames[attr]; break;
        case eNodeType::Int32:
          EXPECT_EQ(node->GetInt32Attribute(attr), std::strtoll(text, nullptr, 10)) << kAttributeNames[attr];
          break;
        case eNodeType::Float64:
          EXPECT_EQ(node->GetFloat64Attribute(attr), std::strtod(text, nullptr)) << kAttributeNames[attr];
          break;
        default: ADD_FAILURE() << "unexpected type";
      }
    }
  }
}

TEST_F(FactoryTree, PeripheralsBranchStartsEmpty) {
  CParameterNode* peripherals = Node("peripherals");
  ASSERT_NE(peripherals, nullptr);
  EXPECT_EQ(peripherals->FirstChild(), nullptr);
}

TEST_F(FactoryTree, SavingTheLoadedTreeWritesTheFileAgain) {
  const auto source = ReadWholeFile(RomfsImagePath("factory.xml"));
  ASSERT_TRUE(source.has_value());
  std::string withoutComments;
  std::istringstream in(*source);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("<!--", 0) != 0) withoutComments += line + "\n";
  }

  ASSERT_EQ(SaveTreeToXml("/yaffs/resaved.xml", root_), 0);
  const auto written = ReadWholeFile((board_ / "yaffs" / "resaved.xml").string());
  ASSERT_TRUE(written.has_value());
  EXPECT_EQ(*written, withoutComments);
}

}  // namespace
