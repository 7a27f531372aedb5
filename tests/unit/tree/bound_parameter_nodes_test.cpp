// The bound node pointers, by their properties: every bound path is in the factory settings file with
// the node type the firmware expects of it; binding sets every pointer to the node at its path, each
// to a different node; a path missing from the tree stops the binding and leaves its pointer null.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "core/eError.h"
#include "platform/io.h"
#include "support/board_root.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"
#include "tree/ParameterTreeXml.h"

namespace Torvex {
namespace {

namespace fs = std::filesystem;

class BoundParameterNodesTest : public ::testing::Test {
 protected:
  void SetUp() override { UnbindParameterNodes(); }

  void TearDown() override {
    UnbindParameterNodes();
    delete root_;
    if (!board_.empty()) torvex_test::RemoveBoardRoot(board_);
  }

  // The factory settings file as the firmware reads it: /romfs/factory.xml of the built image.
  void LoadFactoryFile() {
    board_ = torvex_test::MakeBoardRoot("bound");
    fs::copy(TORVEX_ROMFS_DIR, board_ / "romfs", fs::copy_options::recursive);
    ASSERT_EQ(platform::mount("", "/romfs", "romfs"), 0);
    ASSERT_EQ(LoadTreeFromXml("/romfs/factory.xml", &root_, nullptr), 0);
    ASSERT_NE(root_, nullptr);
  }

  // A tree with a node of the expected type at every bound path but the one of row `skipped` (the
  // folders on the way are branches).
  void BuildTreeWithout(std::size_t skipped) {
    root_ = new CParameterNode("root", eNodeType::Branch);
    for (std::size_t i = 0; i < kBoundParameterNodeCount; ++i) {
      if (i == skipped) continue;
      const std::string path = kBoundParameterNodes[i].path;
      CParameterNode* parent = root_;
      std::size_t begin = 0;
      for (;;) {
        const std::size_t slash = path.find('/', begin);
        const bool last = slash == std::string::npos;
        CParameterNode* node = nullptr;
        if (root_->FindNode(path.substr(0, slash), &node) != 0) {
          node = new CParameterNode(path.substr(begin, slash - begin),
                                    last ? kBoundParameterNodes[i].type : eNodeType::Branch);
          ASSERT_EQ(parent->AddChildNode(node), 0) << path;
        }
        if (last) break;
        parent = node;
        begin = slash + 1;
      }
    }
  }

  fs::path board_;
  CParameterNode* root_ = nullptr;
};

TEST_F(BoundParameterNodesTest, FactoryFileHoldsEveryBoundPathWithTheExpectedType) {
  LoadFactoryFile();
  for (const BoundParameterNode& bound : kBoundParameterNodes) {
    CParameterNode* node = nullptr;
    ASSERT_EQ(root_->FindNode(bound.path, &node), 0) << bound.path;
    EXPECT_EQ(node->Type(), bound.type) << bound.path;
  }
}

TEST_F(BoundParameterNodesTest, BindingSetsEveryPointerToItsOwnNode) {
  LoadFactoryFile();
  for (const BoundParameterNode& bound : kBoundParameterNodes) EXPECT_EQ(*bound.node, nullptr) << bound.path;

  ASSERT_EQ(BindParameterNodes(root_), 0);
  std::set<CParameterNode**> pointers;
  std::set<CParameterNode*> nodes;
  for (const BoundParameterNode& bound : kBoundParameterNodes) {
    CParameterNode* expected = nullptr;
    ASSERT_EQ(root_->FindNode(bound.path, &expected), 0) << bound.path;
    EXPECT_EQ(*bound.node, expected) << bound.path;
    pointers.insert(bound.node);
    nodes.insert(*bound.node);
  }
  EXPECT_EQ(pointers.size(), kBoundParameterNodeCount);
  EXPECT_EQ(nodes.size(), kBoundParameterNodeCount);
  EXPECT_EQ(g_node_none, nullptr);
  // The names reach the same pointers as the table.
  EXPECT_EQ(*kBoundParameterNodes[kBoundNode_units_parms_ppm_ref].node, g_node_units_parms_ppm_ref);
  EXPECT_EQ(g_node_units_parms_ppm_ref->Type(), eNodeType::Float64);

  UnbindParameterNodes();
  for (const BoundParameterNode& bound : kBoundParameterNodes) EXPECT_EQ(*bound.node, nullptr) << bound.path;
}

// A missing path: the binding fails with "no such node", the rows before it are bound, its own
// pointer and those after it stay null.
TEST_F(BoundParameterNodesTest, MissingPathStopsTheBindingAndLeavesItsPointerNull) {
  const std::size_t cases[] = {kBoundNode_system_manufacturer, kBoundNode_current_probe_object, kBoundNode_peripherals,
                               kBoundNode_units_parms_ppm_ref};
  for (const std::size_t missing : cases) {
    SCOPED_TRACE(kBoundParameterNodes[missing].path);
    BuildTreeWithout(missing);
    EXPECT_EQ(BindParameterNodes(root_), eNoSuchNode);
    for (std::size_t i = 0; i < kBoundParameterNodeCount; ++i) {
      if (i < missing) {
        EXPECT_NE(*kBoundParameterNodes[i].node, nullptr) << kBoundParameterNodes[i].path;
      } else {
        EXPECT_EQ(*kBoundParameterNodes[i].node, nullptr) << kBoundParameterNodes[i].path;
      }
    }
    UnbindParameterNodes();
    delete root_;
    root_ = nullptr;
  }
}

TEST_F(BoundParameterNodesTest, NoTreeBindsNothing) {
  EXPECT_EQ(BindParameterNodes(nullptr), eNoSuchNode);
  for (const BoundParameterNode& bound : kBoundParameterNodes) EXPECT_EQ(*bound.node, nullptr) << bound.path;
}

}  // namespace
}  // namespace Torvex
