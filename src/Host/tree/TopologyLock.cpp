#include "tree/TopologyLock.h"

namespace Torvex {

CRecursiveMutex g_TopologyLock;

}  // namespace Torvex
