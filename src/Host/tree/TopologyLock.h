// g_TopologyLock: the re-entrant lock that serialises every change of the peripheral topology (the
// peripherals branch and the objects its nodes hold) against the routing operations and the settings
// saves.
//
// Lock order: g_TopologyLock first, then g_ParameterTreeLock; never the other way round. Taken by the
// topology and routing operations (parser, acquisition and main threads) and by the settings saves
// (parser thread, main at shut-down).
#pragma once

#include "core/CRecursiveMutex.h"

namespace Torvex {

extern CRecursiveMutex g_TopologyLock;

// The teardown of the peripheral topology (objects destroyed, nodes removed, selection and closed
// channel list emptied), installed by the peripherals library so that the settings saves, which sit
// below it, can ask for it. TearDownTopology returns false when none is installed. Callers hold
// g_TopologyLock (or take nothing else first).
using TopologyTeardown = void (*)();
void SetTopologyTeardown(TopologyTeardown teardown);
bool TearDownTopology();

}  // namespace Torvex
