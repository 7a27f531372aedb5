// What the measurement flows (trigger, set-up, search, sequence) share: reads of the parameter-tree
// nodes they use, the conversion of the search window, the TIMer wait and the start of the DSP
// exchanges they run themselves.
//
// Every read takes g_ParameterTreeLock for its own duration (the flows hold no other lock then but,
// at most, the DSP-interface lock, which comes first in the lock order). A node that is not bound
// ends the measurement with CAcqError 47: the tree lacks a node the firmware needs.
#pragma once

#include <cstdint>
#include <string>

#include "acquisition/CTorvexException.h"
#include "acquisition/CTorvexHostAcquisition.h"
#include "core/CRecursiveMutex.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

namespace Torvex {
class CTorvexPeripheral;
}

namespace Torvex::acqflow {

inline CParameterNode& BoundNode(CParameterNode* node) {
  if (node == nullptr) throw CAcqError(kAcqUnforeseen);
  return *node;
}

inline std::string ReadString(CParameterNode* node) {
  CParameterNode& bound = BoundNode(node);
  CRecursiveLockGuard tree(g_ParameterTreeLock);
  return bound.GetStringAttribute(eAttrValue);
}

inline double ReadFloat64(CParameterNode* node) {
  CParameterNode& bound = BoundNode(node);
  CRecursiveLockGuard tree(g_ParameterTreeLock);
  return bound.GetFloat64Attribute(eAttrValue);
}

inline std::int32_t ReadInt32(CParameterNode* node) {
  CParameterNode& bound = BoundNode(node);
  CRecursiveLockGuard tree(g_ParameterTreeLock);
  return bound.GetInt32Attribute(eAttrValue);
}

inline bool ReadBoolean(CParameterNode* node) {
  CParameterNode& bound = BoundNode(node);
  CRecursiveLockGuard tree(g_ParameterTreeLock);
  return bound.GetBooleanAttribute(eAttrValue);
}

// Readers for callers that go on without the node: a node the tree lacks reads as false or empty.
inline bool ReadBooleanNode(CParameterNode* node) {
  if (node == nullptr) return false;
  CRecursiveLockGuard tree(g_ParameterTreeLock);
  return node->GetBooleanAttribute(eAttrValue);
}

inline std::string ReadStringNode(CParameterNode* node) {
  if (node == nullptr) return std::string();
  CRecursiveLockGuard tree(g_ParameterTreeLock);
  return node->GetStringAttribute(eAttrValue);
}

// True when measure_parms/search/mode is "MANual".
inline bool ManualSearchMode() { return ReadString(g_node_measure_parms_search_mode) == "MANual"; }

// The search window [lowTesla, highTesla] in hertz of the measuring peripheral's own probe (its
// gyromagnetic ratio). A peripheral that does not measure or has no usable ratio, or a conversion
// that fails, throws CAcqError with the conversion's code: a window in tesla is never taken as hertz.
void WindowInHertz(CTorvexPeripheral* peripheral, double lowTesla, double highTesla, double* lowHz, double* highHz);

// A TIMer trigger period in whole milliseconds (truncated); negative and NaN periods count as 0.
double TimerPeriodMs(double seconds);
// Waits one TIMer trigger period, abortable, in waits of at most 32767 ms (the longest time-out the
// event register takes), so no period is ever wrapped into a negative (endless) wait.
void WaitTimerPeriod(double seconds);

// Takes the DSP-interface lock for the calling thread and drops DSP interrupts still counted (a reply
// that came after its exchange gave up), so that none passes for the answer to the next request.
void BeginDspExchange();

}  // namespace Torvex::acqflow
