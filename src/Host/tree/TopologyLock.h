// g_TopologyLock: the re-entrant lock that serialises every change of the peripheral topology (the
// peripherals branch and the objects its nodes hold) against the routing operations and the users of
// the objects.
//
// Lock order: g_TopologyLock first, then g_ParameterTreeLock; never the other way round. Taken by the
// topology and routing operations (parser, acquisition and main threads) and around the calls of
// peripheral objects found in the topology (parser and acquisition threads).
#pragma once

#include "core/CRecursiveMutex.h"

namespace Torvex {

extern CRecursiveMutex g_TopologyLock;

}  // namespace Torvex
