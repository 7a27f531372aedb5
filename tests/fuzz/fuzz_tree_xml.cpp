// Fuzz target: any bytes as a parameter-tree file, loaded into a new tree and merged into an existing
// one. Checks: no crash or sanitizer report; a refused file leaves the existing tree exactly as it was;
// a tree the loader built always saves as a file that passes the well-formedness check.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/io.h"
#include "support/temp_dir.h"
#include "tree/CParameterNode.h"
#include "tree/ParameterTreeXml.h"

namespace {

using namespace Torvex;

std::string g_Board;

void RemoveBoard() {
  platform::umount("/yaffs");
  std::error_code ec;
  std::filesystem::remove_all(g_Board, ec);
}

void SetUpBoardOnce() {
  if (!g_Board.empty()) return;
  g_Board = torvex_test::MakeTempDir("fuzz-tree").string();
  std::filesystem::create_directories(g_Board + "/yaffs");
  platform::SetBoardRoot(g_Board);
  if (platform::mount("", "/yaffs", "yaffs") != 0) std::abort();
  std::atexit(&RemoveBoard);
}

// The tree as its file text (Pointers aside, everything a file can carry).
std::string Text(CParameterNode* node) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* memory = ::open_memstream(&buffer, &size);
  if (memory == nullptr || WriteBranchXml(node, memory) != 0) std::abort();
  std::fclose(memory);
  std::string text(buffer, size);
  std::free(buffer);
  return text;
}

CParameterNode* ExistingTree() {
  auto* root = new CParameterNode("root", eNodeType::Branch);
  CParameterNode* node = nullptr;
  root->FindOrCreateNode("system/count", eNodeType::Int32, &node);
  node->SetInt32Attribute(eAttrValue, 5);
  root->FindOrCreateNode("comm_parms/id", eNodeType::String, &node);
  node->SetStringAttribute(eAttrValue, "id");
  auto* branch = new CParameterNode("versions", eNodeType::Branch);
  root->AddChildNode(branch);
  branch->FindOrCreateNode("parm_file", eNodeType::Float64, &node);
  node->SetFloat64Attribute(eAttrValue, 3.4);
  return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  SetUpBoardOnce();
  {
    std::ofstream out(g_Board + "/yaffs/input.xml", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const char* path = "/yaffs/input.xml";
  const int checked = CheckXmlFile(path);

  CParameterNode* built = nullptr;
  const int rc = LoadTreeFromXml(path, &built, nullptr);
  if (rc == eSuccess || rc == ePurgedNodeWithChildren) {
    if (built == nullptr || checked != eSuccess) std::abort();
    if (SaveTreeToXml("/yaffs/saved.xml", built) != eSuccess) std::abort();
    if (CheckXmlFile("/yaffs/saved.xml") != eSuccess) std::abort();
    delete built;
  } else if (built != nullptr) {
    std::abort();
  }

  CParameterNode* existing = ExistingTree();
  const std::string before = Text(existing);
  CParameterNode* merged = nullptr;
  const int merge_rc = LoadTreeFromXml(path, &merged, existing);
  if (merge_rc == eCannotOpenFile || merge_rc == eNotWellFormed) {
    if (merged != existing || Text(existing) != before) std::abort();
  }
  if (merged != nullptr && merged != existing) delete merged;
  // The given root is never deleted: the top element marks it, or a new tree is built instead.
  delete existing;
  return 0;
}
