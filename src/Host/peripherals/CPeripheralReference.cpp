#include "peripherals/CPeripheralReference.h"

#include <utility>

namespace Torvex {

CPeripheralReference::CPeripheralReference(CTorvexPeripheral* object) : object(object) {
  if (object != nullptr) object->Retain();
}

CPeripheralReference::~CPeripheralReference() { Reset(); }

CPeripheralReference::CPeripheralReference(const CPeripheralReference& other) : CPeripheralReference(other.object) {}

CPeripheralReference& CPeripheralReference::operator=(const CPeripheralReference& other) {
  if (this != &other) {
    if (other.object != nullptr) other.object->Retain();
    Reset();
    object = other.object;
  }
  return *this;
}

CPeripheralReference::CPeripheralReference(CPeripheralReference&& other) noexcept
    : object(std::exchange(other.object, nullptr)) {}

CPeripheralReference& CPeripheralReference::operator=(CPeripheralReference&& other) noexcept {
  if (this != &other) {
    Reset();
    object = std::exchange(other.object, nullptr);
  }
  return *this;
}

void CPeripheralReference::Reset() { CTorvexPeripheral::Release(std::exchange(object, nullptr)); }

}  // namespace Torvex
