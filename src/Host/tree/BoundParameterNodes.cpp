#include "tree/BoundParameterNodes.h"

#include <iterator>
#include <string>
#include <string_view>

#include "core/eError.h"
#include "tree/CParameterNode.h"

namespace Torvex {

CParameterNode* const g_node_none = nullptr;

#define TORVEX_BOUND_NODE_DEFINITION(name, path, type) CParameterNode* g_node_##name = nullptr;
TORVEX_BOUND_PARAMETER_NODES(TORVEX_BOUND_NODE_DEFINITION)
#undef TORVEX_BOUND_NODE_DEFINITION

constexpr BoundParameterNode kBoundParameterNodes[kBoundParameterNodeCount] = {
#define TORVEX_BOUND_NODE_ROW(name, path, type) {path, &g_node_##name, eNodeType::type},
    TORVEX_BOUND_PARAMETER_NODES(TORVEX_BOUND_NODE_ROW)
#undef TORVEX_BOUND_NODE_ROW
};

namespace {

// True when `name` is `path` with every "/" replaced by "_".
constexpr bool NameFollowsPath(std::string_view name, std::string_view path) {
  if (name.size() != path.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] != (path[i] == '/' ? '_' : path[i])) return false;
  }
  return true;
}

constexpr bool PathsDistinct() {
  for (std::size_t i = 0; i < kBoundParameterNodeCount; ++i) {
    for (std::size_t j = i + 1; j < kBoundParameterNodeCount; ++j) {
      if (std::string_view(kBoundParameterNodes[i].path) == kBoundParameterNodes[j].path) return false;
    }
  }
  return true;
}

}  // namespace

static_assert(std::size(kBoundParameterNodes) == kBoundParameterNodeCount, "one row per bound path");
static_assert(PathsDistinct(), "every bound path is bound once");

// Each row name indexes its own row, and each pointer is named after its path.
#define TORVEX_BOUND_NODE_CHECK(name, path, type) \
  static_assert(kBoundParameterNodes[kBoundNode_##name].node == &g_node_##name, #name); \
  static_assert(NameFollowsPath(#name, path), #name);
TORVEX_BOUND_PARAMETER_NODES(TORVEX_BOUND_NODE_CHECK)
#undef TORVEX_BOUND_NODE_CHECK

int BindParameterNodes(CParameterNode* root, const char** missing) {
  if (root == nullptr) return eNoSuchNode;
  for (const BoundParameterNode& bound : kBoundParameterNodes) {
    const int result = root->FindNode(bound.path, bound.node);
    if (result != 0) {
      if (missing != nullptr) *missing = bound.path;
      return result;
    }
  }
  return 0;
}

void UnbindParameterNodes() {
  for (const BoundParameterNode& bound : kBoundParameterNodes) *bound.node = nullptr;
}

}  // namespace Torvex
