#include "tree/CParameterNode.h"

#include <exception>
#include <string_view>
#include <utility>

#include "core/CLogger.h"
#include "core/CRecursiveMutex.h"

namespace Torvex {

CParameterNode* g_ParameterTreeRoot = nullptr;

namespace {

using Snapshot = std::vector<NodeSubscriber>;

// Calls every subscriber of a snapshot in order; an exception ends the calls and passes on.
void Notify(const Snapshot& snapshot, CParameterNode* node, int kind) {
  for (const NodeSubscriber& s : snapshot) {
    if (s.callback != nullptr) s.callback(node, kind, s.context);
  }
}

// Calls every subscriber of a snapshot in order, catching and logging what they throw: used while a
// node is deleted, where nothing may leave the destructor and every holder must still be told.
void NotifyDuringDeletion(const Snapshot& snapshot, CParameterNode* node, int kind) {
  for (const NodeSubscriber& s : snapshot) {
    if (s.callback == nullptr) continue;
    try {
      s.callback(node, kind, s.context);
    } catch (const std::exception& e) {
      g_Logger.Printf("CParameterNode::~CParameterNode: subscriber of %s threw: %s\n", node->Name().c_str(), e.what());
    } catch (eError e) {
      g_Logger.Printf("CParameterNode::~CParameterNode: subscriber of %s threw error %d\n", node->Name().c_str(),
                      static_cast<int>(e));
    } catch (...) {
      g_Logger.Printf("CParameterNode::~CParameterNode: subscriber of %s threw\n", node->Name().c_str());
    }
  }
}

bool Creatable(eNodeType type) {
  switch (type) {
    case eNodeType::Boolean:
    case eNodeType::Pointer:
    case eNodeType::String:
    case eNodeType::Int32:
    case eNodeType::Float64: return true;
    default: return false;
  }
}

}  // namespace

// The variant's alternative index is the node type's value; other type values carry no slots.
CParameterNode::CParameterNode(const std::string& name, eNodeType type) : m_Type(type), m_Name(name) {
  switch (type) {
    case eNodeType::Boolean: m_Slots.emplace<1>(std::array<bool, 6>{}); break;
    case eNodeType::Pointer: m_Slots.emplace<2>(std::array<void*, 6>{}); break;
    case eNodeType::String: m_Slots.emplace<3>(); break;
    case eNodeType::Int32: m_Slots.emplace<4>(std::array<std::int32_t, 6>{}); break;
    case eNodeType::Float64: m_Slots.emplace<5>(std::array<double, 6>{}); break;
    default: break;
  }
}

CParameterNode::~CParameterNode() {
  Snapshot own;
  Snapshot parents;
  {
    CRecursiveLockGuard lock(g_ParameterTreeLock);
    if (m_NextSibling != nullptr) m_NextSibling->m_PreviousSibling = m_PreviousSibling;
    if (m_PreviousSibling != nullptr) m_PreviousSibling->m_NextSibling = m_NextSibling;
    if (m_Parent != nullptr && m_Parent->m_FirstChild == this) m_Parent->m_FirstChild = m_NextSibling;
    m_NextSibling = nullptr;
    m_PreviousSibling = nullptr;

    // Each child unlinks itself, so the first child moves on until none is left.
    while (m_FirstChild != nullptr) delete m_FirstChild;

    own = std::move(m_Subscribers);
    m_Subscribers.clear();
    if (m_Parent != nullptr) parents = m_Parent->m_Subscribers;
    m_Parent = nullptr;
  }
  NotifyDuringDeletion(own, this, eNotifyNodeDeleted);
  NotifyDuringDeletion(parents, this, eNotifyChildrenChanged);
}

// One path component resolved from `node`: "." is the node, ".." its parent, else its first child
// of exactly that name. The caller holds the lock.
CParameterNode* CParameterNode::Resolve(CParameterNode* node, std::string_view component) {
  if (component == ".") return node;
  if (component == "..") return node->m_Parent;
  for (CParameterNode* child = node->m_FirstChild; child != nullptr; child = child->m_NextSibling) {
    if (child->m_Name == component) return child;
  }
  return nullptr;
}

namespace {
// A copy of one field of a node, read under the tree lock.
template <typename T>
T ReadLocked(const T& field) {
  CRecursiveLockGuard lock(g_ParameterTreeLock);
  return field;
}
}  // namespace

CParameterNode* CParameterNode::Parent() const { return ReadLocked(m_Parent); }
CParameterNode* CParameterNode::FirstChild() const { return ReadLocked(m_FirstChild); }
CParameterNode* CParameterNode::NextSibling() const { return ReadLocked(m_NextSibling); }
CParameterNode* CParameterNode::PreviousSibling() const { return ReadLocked(m_PreviousSibling); }
bool CParameterNode::Keep() const { return ReadLocked(m_Keep); }

std::size_t CParameterNode::SubscriberCount() const {
  CRecursiveLockGuard lock(g_ParameterTreeLock);
  return m_Subscribers.size();
}

// --- typed attributes ------------------------------------------------------------------------------

template <eNodeType kType, typename T>
T CParameterNode::GetSlot(int attribute) const {
  CRecursiveLockGuard lock(g_ParameterTreeLock);
  if (!lock.Locked() || !HasSlot(kType, attribute)) return T{};
  return std::get<static_cast<std::size_t>(kType)>(m_Slots)[static_cast<std::size_t>(attribute)];
}

// The value arrives as a copy, so a string may be one of this node's own attributes. Plain == is the
// equality of every slot type: bool, int32 and pointer exactly, strings by length and bytes, doubles
// by IEEE (so +0.0 == -0.0 and NaN never equal).
template <eNodeType kType, typename T>
void CParameterNode::SetSlot(int attribute, T value) {
  Snapshot snapshot;
  {
    CRecursiveLockGuard lock(g_ParameterTreeLock);
    if (!lock.Locked() || !HasSlot(kType, attribute)) return;
    T& slot = std::get<static_cast<std::size_t>(kType)>(m_Slots)[static_cast<std::size_t>(attribute)];
    if (slot == value) return;
    slot = std::move(value);
    snapshot = m_Subscribers;
  }
  Notify(snapshot, this, attribute);
}

bool CParameterNode::GetBooleanAttribute(int attribute) const { return GetSlot<eNodeType::Boolean, bool>(attribute); }
void CParameterNode::SetBooleanAttribute(int attribute, bool value) {
  SetSlot<eNodeType::Boolean, bool>(attribute, value);
}
std::int32_t CParameterNode::GetInt32Attribute(int attribute) const {
  return GetSlot<eNodeType::Int32, std::int32_t>(attribute);
}
void CParameterNode::SetInt32Attribute(int attribute, std::int32_t value) {
  SetSlot<eNodeType::Int32, std::int32_t>(attribute, value);
}
void* CParameterNode::GetPointerAttribute(int attribute) const { return GetSlot<eNodeType::Pointer, void*>(attribute); }
void CParameterNode::SetPointerAttribute(int attribute, void* value) {
  SetSlot<eNodeType::Pointer, void*>(attribute, value);
}
std::string CParameterNode::GetStringAttribute(int attribute) const {
  return GetSlot<eNodeType::String, std::string>(attribute);
}
void CParameterNode::SetStringAttribute(int attribute, const std::string& value) {
  SetSlot<eNodeType::String, std::string>(attribute, std::string(value));
}
double CParameterNode::GetFloat64Attribute(int attribute) const {
  return GetSlot<eNodeType::Float64, double>(attribute);
}
void CParameterNode::SetFloat64Attribute(int attribute, double value) {
  SetSlot<eNodeType::Float64, double>(attribute, value);
}

// --- structure -------------------------------------------------------------------------------------

int CParameterNode::AddChildNode(CParameterNode* child) {
  Snapshot snapshot;
  {
    CRecursiveLockGuard lock(g_ParameterTreeLock);
    if (!lock.Locked() || child == nullptr || child->m_Parent != nullptr || child->m_NextSibling != nullptr ||
        child->m_PreviousSibling != nullptr) {
      return eNodeRefused;
    }
    // Linking a node under itself or under one of its descendants would make a cycle.
    for (const CParameterNode* n = this; n != nullptr; n = n->m_Parent) {
      if (n == child) return eNodeRefused;
    }
    if (m_FirstChild == nullptr) {
      m_FirstChild = child;
    } else {
      CParameterNode* last = m_FirstChild;
      while (last->m_NextSibling != nullptr) last = last->m_NextSibling;
      last->m_NextSibling = child;
      child->m_PreviousSibling = last;
    }
    child->m_Parent = this;
    snapshot = m_Subscribers;
  }
  Notify(snapshot, this, eNotifyChildrenChanged);
  return eSuccess;
}

int CParameterNode::FindNode(const std::string& path, CParameterNode** node) {
  CRecursiveLockGuard lock(g_ParameterTreeLock);
  if (!lock.Locked()) return eNoSuchNode;
  CParameterNode* current = this;
  std::string_view rest(path);
  for (;;) {
    const std::size_t slash = rest.find('/');
    CParameterNode* resolved = Resolve(current, rest.substr(0, slash));
    if (resolved == nullptr) return eNoSuchNode;
    if (slash == std::string_view::npos) {
      if (node != nullptr) *node = resolved;
      return eSuccess;
    }
    if (slash + 1 == rest.size()) return ePathEndsWithSlash;
    current = resolved;
    rest.remove_prefix(slash + 1);
  }
}

int CParameterNode::FindOrCreateNode(const std::string& path, eNodeType type, CParameterNode** node) {
  try {
    CRecursiveLockGuard lock(g_ParameterTreeLock);
    if (!lock.Locked()) return eNoSuchNode;
    CParameterNode* current = this;
    std::string_view rest(path);
    for (;;) {
      const std::size_t slash = rest.find('/');
      const std::string_view component = rest.substr(0, slash);
      CParameterNode* resolved = Resolve(current, component);
      if (resolved == nullptr) {
        if (component == "..") return eNoSuchNode;
        if (!Creatable(type)) return eNodeRefused;
        auto* created = new CParameterNode(std::string(component), type);
        // Runs the (current, 6) notification while this call still holds the lock.
        const int linked = current->AddChildNode(created);
        if (linked != eSuccess) {
          delete created;
          return linked;
        }
        resolved = created;
      }
      if (slash == std::string_view::npos) {
        if (node != nullptr) *node = resolved;
        return eSuccess;
      }
      if (slash + 1 == rest.size()) return ePathEndsWithSlash;
      current = resolved;
      rest.remove_prefix(slash + 1);
    }
  } catch (eError error) {
    return error;
  }
}

int CParameterNode::Subscribe(NodeCallback callback, void* context) {
  CRecursiveLockGuard lock(g_ParameterTreeLock);
  m_Subscribers.push_back({callback, context});
  return eSuccess;
}

int CParameterNode::SetKeepRecursive(bool keep) {
  CRecursiveLockGuard lock(g_ParameterTreeLock);
  for (CParameterNode* child = m_FirstChild; child != nullptr; child = child->m_NextSibling) {
    child->SetKeepRecursive(keep);
  }
  m_Keep = keep;
  return eSuccess;
}

void CParameterNode::SetKeep(bool keep) {
  CRecursiveLockGuard lock(g_ParameterTreeLock);
  m_Keep = keep;
}

int CParameterNode::PurgeUnkeptNodes(CParameterNode* node) {
  if (node == nullptr) return eSuccess;
  CRecursiveLockGuard lock(g_ParameterTreeLock);
  int result = eSuccess;
  CParameterNode* child = node->m_FirstChild;
  while (child != nullptr) {
    CParameterNode* next = child->m_NextSibling;  // before the child may be deleted
    if (PurgeUnkeptNodes(child) == ePurgedNodeWithChildren) result = ePurgedNodeWithChildren;
    child = next;
  }
  if (!node->m_Keep) {
    if (node->m_FirstChild != nullptr) result = ePurgedNodeWithChildren;
    delete node;
  }
  return result;
}

}  // namespace Torvex
