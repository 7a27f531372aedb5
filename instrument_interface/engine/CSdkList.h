// Singly linked list of the instrument-interface layer, over a value type compared with ==.
//
// Not locked: its owner's mutex protects it. The owner empties it before destroying it (the destructor
// frees nothing).
#pragma once

#include <new>

template <typename T>
class CSdkList {
 public:
  struct Node {
    T value;
    Node* next;
  };
  using Cursor = Node*;

  void Init() {
    head_ = nullptr;
    tail_ = nullptr;
  }
  bool IsEmpty() const { return head_ == nullptr; }

  // False when the node could not be allocated.
  bool PushBack(const T& value) {
    Node* node = new (std::nothrow) Node{value, nullptr};
    if (node == nullptr) return false;
    if (tail_ == nullptr) {
      head_ = node;
    } else {
      tail_->next = node;
    }
    tail_ = node;
    return true;
  }

  bool PopFront(T* value) {
    Node* node = head_;
    if (node == nullptr) return false;
    head_ = node->next;
    if (head_ == nullptr) tail_ = nullptr;
    *value = node->value;
    delete node;
    return true;
  }

  // Unlinks and frees the first node holding `value`; false when there is none.
  bool Remove(const T& value) {
    Node* previous = nullptr;
    for (Node* node = head_; node != nullptr; previous = node, node = node->next) {
      if (!(node->value == value)) continue;
      if (previous == nullptr) {
        head_ = node->next;
      } else {
        previous->next = node->next;
      }
      if (tail_ == node) tail_ = previous;
      delete node;
      return true;
    }
    return false;
  }

  void Begin(Cursor* cursor) const { *cursor = nullptr; }
  // Moves the cursor to the first node (after Begin) or the next one; false past the end.
  bool Next(Cursor* cursor, T* value) const {
    Node* node = *cursor == nullptr ? head_ : (*cursor)->next;
    if (node == nullptr) {
      // Stay past the end: a further Next keeps answering false.
      *cursor = tail_;
      return false;
    }
    *cursor = node;
    *value = node->value;
    return true;
  }

 private:
  Node* head_ = nullptr;
  Node* tail_ = nullptr;
};
