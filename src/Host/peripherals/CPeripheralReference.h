// CPeripheralReference: one counted reference on a peripheral object, for a thread that goes on using
// the object after it has let go of g_TopologyLock (the acquisition keeps its measuring peripheral for
// a whole acquisition). While a reference is held, a teardown of the topology removes the object's
// node but not the object: the object is destroyed with its last reference, so nothing is ever used
// after it was destroyed.
//
// Made on the thread that uses it, from an object found in the topology while that thread holds
// g_TopologyLock, or from another reference. One reference belongs to one thread; the count itself
// may change on any thread.
#pragma once

#include "peripherals/CTorvexPeripheral.h"

namespace Torvex {

class CPeripheralReference {
 public:
  CPeripheralReference() = default;
  // A reference on `object` (null: none).
  explicit CPeripheralReference(CTorvexPeripheral* object);
  ~CPeripheralReference();
  CPeripheralReference(const CPeripheralReference& other);
  CPeripheralReference& operator=(const CPeripheralReference& other);
  CPeripheralReference(CPeripheralReference&& other) noexcept;
  CPeripheralReference& operator=(CPeripheralReference&& other) noexcept;

  CTorvexPeripheral* Get() const { return object; }
  CTorvexPeripheral* operator->() const { return object; }
  explicit operator bool() const { return object != nullptr; }
  // Gives the reference up; the object is destroyed when it was the last one.
  void Reset();

 private:
  CTorvexPeripheral* object = nullptr;
};

}  // namespace Torvex
