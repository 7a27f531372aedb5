// Keeps the descriptor lists ordered: inserts `item` into `list` after every element that does not
// sort after it. False when the list could not grow (the list is left as it was).
#pragma once

#include <new>
#include <vector>

template <typename T, typename After>
bool UsbInsertOrdered(std::vector<T*>& list, T* item, After after) {
  auto it = list.begin();
  while (it != list.end() && !after(*it)) ++it;
  try {
    list.insert(it, item);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}
