// CParameterNode: a node of the parameter tree that holds every setting, state, identity value,
// published object and result of the system.
//
// Nodes are typed (eNodeType), named, linked under at most one parent (children in insertion order)
// and carry up to six typed attributes indexed by eNodeAttribute; kAttributePresence says which
// attributes a type has. A node owns its children, name and subscribers; the object behind a Pointer
// attribute is not owned. Nodes are found by '/'-separated relative paths ("." and ".." accepted,
// names compared exactly).
//
// Threads: every operation takes g_ParameterTreeLock (re-entrant) for its duration; a caller may hold
// it around a sequence of operations for a consistent view. A change (an attribute set to a different
// value, a child linked, a node deleted) notifies the node's subscribers synchronously on the changing
// thread, on a copy of the subscriber list, after the operation has released its own level of the
// lock; when the thread holds the lock at an outer level (a purge, the deletion of a parent, a
// find-or-create, a caller's own lock) the callbacks run with that level still held. A subscriber's
// exception passes through the notifying operation (remaining subscribers of that change are not
// called); during a deletion it is caught and logged instead, and the other subscribers are still told.
//
// Used by every subsystem from the main, parser, acquisition, topology monitor, power-down monitor
// and network threads.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/eError.h"

namespace Torvex {

// Node types; the names are also the XML element names of the tree files.
enum class eNodeType : std::int32_t {
  Branch = 0,   // children only, no attributes
  Boolean = 1,  // bool slots
  Pointer = 2,  // untyped object pointers, not owned
  String = 3,   // byte strings
  Int32 = 4,    // signed 32-bit integers
  Float64 = 5,  // IEEE 754 doubles
};
inline constexpr int kNodeTypeCount = 6;

// Attribute indices; the names are also the XML attribute names.
enum eNodeAttribute : int {
  eAttrValue = 0,
  eAttrMinimum = 1,
  eAttrMaximum = 2,
  eAttrDefault = 3,
  eAttrChoices = 4,
  eAttrDigits = 5,
};
inline constexpr int kNodeAttributeCount = 6;

// The kind passed to a subscriber: 0-5 the attribute with that index changed.
enum eNodeNotification : int {
  eNotifyChildrenChanged = 6,
  eNotifyNodeDeleted = 7,
};

// Which attributes exist, by [type][attribute]. The tree stores minimum, maximum, choices and digits
// but never enforces them: they are data for the code that validates host input.
inline constexpr std::uint8_t kAttributePresence[kNodeTypeCount][kNodeAttributeCount] = {
    // value minimum maximum default choices digits
    {0, 0, 0, 0, 0, 0},  // Branch
    {1, 0, 0, 1, 0, 0},  // Boolean
    {1, 0, 0, 0, 0, 0},  // Pointer
    {1, 0, 0, 1, 1, 0},  // String
    {1, 1, 1, 1, 0, 0},  // Int32
    {1, 1, 1, 1, 0, 1},  // Float64
};
static_assert(sizeof kAttributePresence == 6 * 6);

// True when a node of `type` has the attribute `attribute` (any index outside 0-5 is absent).
constexpr bool AttributePresent(eNodeType type, int attribute) {
  const auto t = static_cast<std::int32_t>(type);
  return t >= 0 && t < kNodeTypeCount && attribute >= 0 && attribute < kNodeAttributeCount &&
         kAttributePresence[t][attribute] != 0;
}

class CParameterNode;

// kind: 0-5 attribute changed, 6 children changed, 7 node deleted.
using NodeCallback = void (*)(CParameterNode* node, int kind, void* context);

struct NodeSubscriber {
  NodeCallback callback;
  void* context;  // not owned
};

class CParameterNode {
 public:
  // A new unlinked node: no subscribers, keep true, every slot at its type's zero value.
  CParameterNode(const std::string& name, eNodeType type);
  // Unlinks the node, deletes its children first to last, then tells its own subscribers (7) and
  // its parent's subscribers (6), both with this node as argument.
  ~CParameterNode();

  CParameterNode(const CParameterNode&) = delete;
  CParameterNode& operator=(const CParameterNode&) = delete;

  // Fixed at creation: safe to read without the lock.
  eNodeType Type() const { return m_Type; }
  const std::string& Name() const { return m_Name; }

  // Links, read under the lock. A walk over several nodes must hold g_ParameterTreeLock itself.
  CParameterNode* Parent() const;
  CParameterNode* FirstChild() const;
  CParameterNode* NextSibling() const;
  CParameterNode* PreviousSibling() const;
  bool Keep() const;

  // --- typed attributes --------------------------------------------------------------------------
  // An attribute is absent when the index is outside 0-5, when kAttributePresence says no for the
  // node's type, or when the accessor's type is not the node's type: a get then yields the zero
  // value and a set stores nothing and notifies nobody. A set that does not change the stored value
  // notifies nobody; Float64 compares by IEEE equality (+0.0 equals -0.0; NaN equals nothing, so
  // storing NaN always notifies).
  bool GetBooleanAttribute(int attribute) const;
  void SetBooleanAttribute(int attribute, bool value);
  std::int32_t GetInt32Attribute(int attribute) const;
  void SetInt32Attribute(int attribute, std::int32_t value);
  void* GetPointerAttribute(int attribute) const;
  void SetPointerAttribute(int attribute, void* value);
  std::string GetStringAttribute(int attribute) const;
  // `value` may be one of this node's own attributes.
  void SetStringAttribute(int attribute, const std::string& value);
  double GetFloat64Attribute(int attribute) const;
  void SetFloat64Attribute(int attribute, double value);

  // --- structure ---------------------------------------------------------------------------------
  // Appends `child` to this node's children and notifies this node's subscribers (6). Returns 0, or
  // 2 when the child is null, already linked (parent or sibling), this node, or one of its
  // ancestors; a refused child changes nothing.
  int AddChildNode(CParameterNode* child);

  // Looks `path` up from this node. Returns 0 (and writes *node), 5 when a component does not exist
  // (or ".." at a node without parent), 6 when the path ends with '/' after an existing component.
  int FindNode(const std::string& path, CParameterNode** node);

  // Like FindNode, but creates every missing component as a node of `type` (so intermediate nodes
  // get the leaf's type); only Boolean, Pointer, String, Int32 and Float64 can be created, any other
  // type gives 2. A trailing '/' creates the component and then gives 6. An eError thrown by a
  // subscriber of a link notification becomes the result.
  int FindOrCreateNode(const std::string& path, eNodeType type, CParameterNode** node);

  // Appends a subscriber (duplicates are called once per subscription). There is no unsubscribe: a
  // holder that can outlive the node subscribes to kind 7. Returns 0.
  int Subscribe(NodeCallback callback, void* context);

  // Sets the keep flag of every node below this one and then of this one. Returns 0.
  int SetKeepRecursive(bool keep);
  // Sets this node's keep flag only.
  void SetKeep(bool keep);

  // Deletes, below and including `node`, every node whose keep flag is false, with everything below
  // it. Returns 0, or 4 when a deleted node still had children. `node` itself may be deleted, so
  // this takes it as an argument. Deletion notifications run while the purge holds the lock.
  static int PurgeUnkeptNodes(CParameterNode* node);

  // For tests and diagnostics.
  std::size_t SubscriberCount() const;

 private:
  using Slots = std::variant<std::monostate, std::array<bool, 6>, std::array<void*, 6>, std::array<std::string, 6>,
                             std::array<std::int32_t, 6>, std::array<double, 6>>;

  template <eNodeType kType, typename T>
  T GetSlot(int attribute) const;
  template <eNodeType kType, typename T>
  void SetSlot(int attribute, T value);
  static CParameterNode* Resolve(CParameterNode* node, std::string_view component);
  bool HasSlot(eNodeType accessor_type, int attribute) const {
    return m_Type == accessor_type && AttributePresent(m_Type, attribute);
  }

  const eNodeType m_Type;
  const std::string m_Name;
  CParameterNode* m_Parent = nullptr;
  CParameterNode* m_FirstChild = nullptr;
  CParameterNode* m_NextSibling = nullptr;
  CParameterNode* m_PreviousSibling = nullptr;
  std::vector<NodeSubscriber> m_Subscribers;
  bool m_Keep = true;
  Slots m_Slots;
};

// The root of the tree (a Branch made by the first settings load); null before. Paths used by the
// system are relative to it.
extern CParameterNode* g_ParameterTreeRoot;

}  // namespace Torvex
