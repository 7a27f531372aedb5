#include "tree/TopologyLock.h"

#include <atomic>

namespace Torvex {

CRecursiveMutex g_TopologyLock;

namespace {
std::atomic<TopologyTeardown> g_TopologyTeardown{nullptr};
}

void SetTopologyTeardown(TopologyTeardown teardown) { g_TopologyTeardown.store(teardown); }

bool TearDownTopology() {
  const TopologyTeardown teardown = g_TopologyTeardown.load();
  if (teardown == nullptr) return false;
  teardown();
  return true;
}

}  // namespace Torvex
