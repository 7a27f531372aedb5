#include "tree/ParameterTreeXml.h"

#include <expat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>

#include "core/CLogger.h"
#include "core/TemporaryFiles.h"
#include "core/CRecursiveMutex.h"
#include "platform/io.h"

namespace Torvex {

namespace {

constexpr std::size_t kChunkSize = 1024;

// --- writing ---------------------------------------------------------------------------------------

// Length of the well-formed UTF-8 sequence at s[0..n) that encodes a character XML may carry, or 0.
std::size_t XmlCharLength(const unsigned char* s, std::size_t n) {
  const unsigned char c = s[0];
  if (c < 0x80) return (c >= 0x20 || c == '\t' || c == '\n' || c == '\r') ? 1 : 0;
  std::size_t length;
  std::uint32_t cp;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (n < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (s[i] & 0x3F);
  }
  const std::uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < minimum[length] || cp > 0x10FFFF) return 0;  // overlong or beyond Unicode
  if (cp >= 0xD800 && cp <= 0xDFFF) return 0;           // surrogates
  if (cp == 0xFFFE || cp == 0xFFFF) return 0;           // not XML characters
  return length;
}

// Appends `text` as the content of a quoted attribute value.
void AppendEscaped(std::string& out, const std::string& text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    switch (s[i]) {
      case '&':
        out += "&amp;";
        ++i;
        continue;
      case '<':
        out += "&lt;";
        ++i;
        continue;
      case '"':
        out += "&quot;";
        ++i;
        continue;
      // Parsers turn literal white space in attribute values into blanks: keep it by reference.
      case '\t':
        out += "&#9;";
        ++i;
        continue;
      case '\n':
        out += "&#10;";
        ++i;
        continue;
      case '\r':
        out += "&#13;";
        ++i;
        continue;
      default: break;
    }
    const std::size_t length = XmlCharLength(s + i, n - i);
    if (length == 0) {
      out += '?';
      ++i;
    } else {
      out.append(reinterpret_cast<const char*>(s + i), length);
      i += length;
    }
  }
}

void AppendFormatted(std::string& out, const char* format, auto value) {
  char text[64];
  const int n = std::snprintf(text, sizeof text, format, value);
  if (n > 0) out.append(text, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof text - 1));
}

void AppendNameAttribute(std::string& out, const CParameterNode* node) {
  out += " name=\"";
  AppendEscaped(out, node->Name());
  out += '"';
}

// One empty-element line of a Boolean, Pointer, String, Int32 or Float64 node.
void AppendLeaf(std::string& out, const CParameterNode* node) {
  const eNodeType type = node->Type();
  out += '<';
  out += kNodeTypeNames[static_cast<int>(type)];
  AppendNameAttribute(out, node);
  for (int a = 0; a < kNodeAttributeCount; ++a) {
    if (!AttributePresent(type, a)) continue;
    out += ' ';
    out += kAttributeNames[a];
    out += "=\"";
    switch (type) {
      case eNodeType::Boolean: AppendFormatted(out, "%d", node->GetBooleanAttribute(a) ? 1 : 0); break;
      case eNodeType::Pointer: out += "00000000"; break;  // objects are never saved
      case eNodeType::String: AppendEscaped(out, node->GetStringAttribute(a)); break;
      case eNodeType::Int32: AppendFormatted(out, "%d", static_cast<int>(node->GetInt32Attribute(a))); break;
      case eNodeType::Float64: AppendFormatted(out, "%.15g", node->GetFloat64Attribute(a)); break;
      default: break;
    }
    out += '"';
  }
  out += "/>\n";
}

// The Branch element of `node` with its subtree (none for `without_children`); the caller holds the
// tree lock. 0 or 47.
int AppendBranch(std::string& out, const CParameterNode* node, const CParameterNode* without_children) {
  out += "<Branch";
  AppendNameAttribute(out, node);
  out += ">\n";
  const CParameterNode* first = node == without_children ? nullptr : node->FirstChild();
  for (const CParameterNode* child = first; child != nullptr; child = child->NextSibling()) {
    switch (child->Type()) {
      case eNodeType::Branch:
        if (const int rc = AppendBranch(out, child, without_children); rc != eSuccess) return rc;
        break;
      case eNodeType::Boolean:
      case eNodeType::Pointer:
      case eNodeType::String:
      case eNodeType::Int32:
      case eNodeType::Float64: AppendLeaf(out, child); break;
      default: return eUnforeseen;
    }
  }
  out += "</Branch>\n";
  return eSuccess;
}

// --- parsing ---------------------------------------------------------------------------------------

// The number reading of the "%d" scan: leading blanks, an optional sign, digits; the rest of the
// text is ignored. Overflowing numbers are refused.
bool ReadInt32(const std::string& text, std::int32_t& value) {
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (end == text.c_str() || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
  value = static_cast<std::int32_t>(v);
  return true;
}

// The number reading of the "%lf" scan; overflowing numbers are refused (infinity written as "inf"
// is read back; values too small to be normal read as what strtod gives).
bool ReadFloat64(const std::string& text, double& value) {
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end == text.c_str()) return false;
  if (errno == ERANGE && std::isinf(v)) return false;
  value = v;
  return true;
}

// One element event of a file, recorded so that the whole file is checked before the tree changes.
struct XmlEvent {
  bool start;
  std::string element;
  std::vector<std::pair<std::string, std::string>> attributes;  // start events only
};

struct XmlParseState {
  XML_Parser parser = nullptr;
  std::vector<XmlEvent>* events = nullptr;  // null: check only
  int depth = 0;
  const char* refusal = nullptr;  // why the file was refused by the handlers
  std::string refusal_text;       // its text, when it names what was refused
};

// True when every attribute after the name of a numeric element is a number its type can hold.
bool NumbersReadable(const XML_Char* element, const XML_Char** attributes, std::string& refused) {
  const bool floating = std::strcmp(element, "Float64") == 0;
  if (!floating && std::strcmp(element, "Int32") != 0 && std::strcmp(element, "Boolean") != 0) return true;
  for (int i = 2; attributes[i] != nullptr; i += 2) {
    std::int32_t i32;
    double f64;
    const bool ok = floating ? ReadFloat64(attributes[i + 1], f64) : ReadInt32(attributes[i + 1], i32);
    if (!ok) {
      refused = std::string("unreadable number ") + attributes[i] + "=\"" + attributes[i + 1] + "\" of " + element +
                " \"" + attributes[1] + "\"";
      return false;
    }
  }
  return true;
}

void Refuse(XmlParseState* state, const char* why) {
  if (state->refusal == nullptr) state->refusal = why;
  XML_StopParser(state->parser, XML_FALSE);
}

void XMLCALL OnParseStart(void* data, const XML_Char* element, const XML_Char** attributes) {
  auto* state = static_cast<XmlParseState*>(data);
  if (++state->depth > kMaxXmlDepth) return Refuse(state, "nested too deeply");
  if (state->events == nullptr) return;
  // A tree file names every element with its first attribute, and its top element is a Branch.
  if (attributes[0] == nullptr) return Refuse(state, "element without a name");
  if (state->depth == 1 && std::strcmp(element, "Branch") != 0) return Refuse(state, "top element is not a Branch");
  // A number that cannot be read refuses the file: merging it would leave the node half set.
  if (!NumbersReadable(element, attributes, state->refusal_text)) return Refuse(state, state->refusal_text.c_str());
  XmlEvent event{true, element, {}};
  for (int i = 0; attributes[i] != nullptr; i += 2) event.attributes.emplace_back(attributes[i], attributes[i + 1]);
  state->events->push_back(std::move(event));
}

void XMLCALL OnParseEnd(void* data, const XML_Char* element) {
  auto* state = static_cast<XmlParseState*>(data);
  --state->depth;
  if (state->events != nullptr) state->events->push_back({false, element, {}});
}

// Entity declarations live in a DOCTYPE; refusing it refuses every entity expansion attack.
void XMLCALL OnDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  Refuse(static_cast<XmlParseState*>(data), "DOCTYPE");
}

// Parses the file in 1024-byte chunks, the last one (shorter, possibly empty) marked final.
// Returns 0, 9 or 10; with `events` it records every element of a file that is accepted.
int ParseXmlFile(const char* who, const std::string& path, std::vector<XmlEvent>* events) {
  std::FILE* file = platform::fopen(path.c_str(), "r");
  if (file == nullptr) return eCannotOpenFile;

  XmlParseState state;
  state.events = events;
  state.parser = XML_ParserCreate(nullptr);
  if (state.parser == nullptr) {
    std::fclose(file);
    return eNotWellFormed;
  }
  XML_SetUserData(state.parser, &state);
  XML_SetElementHandler(state.parser, &OnParseStart, &OnParseEnd);
  XML_SetStartDoctypeDeclHandler(state.parser, &OnDoctype);

  int result = eSuccess;
  char buffer[kChunkSize];
  std::size_t total = 0;
  char too_large[48];
  for (;;) {
    const std::size_t n = std::fread(buffer, 1, sizeof buffer, file);
    if (n < sizeof buffer && std::ferror(file)) {
      state.refusal = "read error";
      result = eNotWellFormed;
      break;
    }
    total += n;
    if (total > kMaxXmlFileSize) {
      std::snprintf(too_large, sizeof too_large, "larger than %zu bytes", kMaxXmlFileSize);
      state.refusal = too_large;
      result = eNotWellFormed;
      break;
    }
    const bool final = n < sizeof buffer;
    if (XML_Parse(state.parser, buffer, static_cast<int>(n), final) != XML_STATUS_OK) {
      result = eNotWellFormed;
      break;
    }
    if (final) break;
  }
  if (result != eSuccess) {
    g_Logger.Printf("%s: %s refused: %s at line %lu\n", who, path.c_str(),
                    state.refusal != nullptr ? state.refusal : XML_ErrorString(XML_GetErrorCode(state.parser)),
                    static_cast<unsigned long>(XML_GetCurrentLineNumber(state.parser)));
  }
  XML_ParserFree(state.parser);
  std::fclose(file);
  return result;
}

// --- merging ---------------------------------------------------------------------------------------

// The loader's state while it applies the recorded elements to the tree.
struct XmlLoadContext {
  CParameterNode* root;               // the tree merged into; null until the top element for a new tree
  CParameterNode* given_root;         // the root the caller passed
  std::vector<CParameterNode*> open;  // the Branch nodes whose elements are open; back() is current
  int skipping = 0;                   // depth inside an ignored element
  bool refused = false;               // the top element cannot be merged
};

int TypeIndex(const std::string& element) {
  for (int t = 0; t < kNodeTypeCount; ++t) {
    if (element == kNodeTypeNames[t]) return t;
  }
  return -1;
}

int AttributeIndex(const std::string& name) {
  for (int a = 0; a < kNodeAttributeCount; ++a) {
    if (name == kAttributeNames[a]) return a;
  }
  return -1;
}

// Sets the attributes after the name from their texts, in document order. The first unknown or
// absent attribute (7) or unreadable number (8) ends the setting; a Pointer is never set. With
// `keep_limits` the node's minimum, maximum and default stay as the running tree holds them.
int SetAttributesFromText(CParameterNode* node, const std::vector<std::pair<std::string, std::string>>& pairs,
                          bool keep_limits) {
  const eNodeType type = node->Type();
  if (type == eNodeType::Pointer) return eSuccess;
  for (std::size_t i = 1; i < pairs.size(); ++i) {
    const int a = AttributeIndex(pairs[i].first);
    if (!AttributePresent(type, a)) return eUnknownAttribute;
    if (keep_limits && (type == eNodeType::Int32 || type == eNodeType::Float64) &&
        (a == eAttrMinimum || a == eAttrMaximum || a == eAttrDefault)) {
      continue;
    }
    const std::string& text = pairs[i].second;
    switch (type) {
      case eNodeType::String: node->SetStringAttribute(a, text); break;
      case eNodeType::Boolean: {
        std::int32_t v;
        if (!ReadInt32(text, v)) return eBadNumber;
        node->SetBooleanAttribute(a, v != 0);
        break;
      }
      case eNodeType::Int32: {
        std::int32_t v;
        if (!ReadInt32(text, v)) return eBadNumber;
        node->SetInt32Attribute(a, v);
        break;
      }
      case eNodeType::Float64: {
        double v;
        if (!ReadFloat64(text, v)) return eBadNumber;
        node->SetFloat64Attribute(a, v);
        break;
      }
      default: return eUnknownAttribute;
    }
  }
  return eSuccess;
}

// A number outside its node's minimum..maximum would reach the code that trusts the tree (a
// temperature cut-off of 500 degrees turns the cut-off off): the node takes its default instead.
// A node whose minimum and maximum are both 0 has no range.
bool TakeDefaultWhenOutOfRange(CParameterNode* node) {
  const eNodeType type = node->Type();
  if (type == eNodeType::Int32) {
    const std::int32_t v = node->GetInt32Attribute(eAttrValue);
    const std::int32_t lo = node->GetInt32Attribute(eAttrMinimum);
    const std::int32_t hi = node->GetInt32Attribute(eAttrMaximum);
    if ((lo == 0 && hi == 0) || lo > hi || (v >= lo && v <= hi)) return false;
    const std::int32_t d = node->GetInt32Attribute(eAttrDefault);
    g_Logger.Printf("LoadTreeFromXml: %s value %d refused (%d to %d), default %d taken\n", node->Name().c_str(),
                    static_cast<int>(v), static_cast<int>(lo), static_cast<int>(hi), static_cast<int>(d));
    node->SetInt32Attribute(eAttrValue, d);
    return true;
  }
  if (type == eNodeType::Float64) {
    const double v = node->GetFloat64Attribute(eAttrValue);
    const double lo = node->GetFloat64Attribute(eAttrMinimum);
    const double hi = node->GetFloat64Attribute(eAttrMaximum);
    // NaN limits or a NaN value are left alone.
    if ((lo == 0 && hi == 0) || !(lo <= hi) || !(v < lo || v > hi)) return false;
    const double d = node->GetFloat64Attribute(eAttrDefault);
    g_Logger.Printf("LoadTreeFromXml: %s value %.17g refused (%.17g to %.17g), default %.17g taken\n",
                    node->Name().c_str(), v, lo, hi, d);
    node->SetFloat64Attribute(eAttrValue, d);
    return true;
  }
  return false;
}

// An element that cannot be merged: it is ignored with its content, and the node of its name, if
// any, is kept with everything below it, so that nothing is lost.
void IgnoreElement(XmlLoadContext& context, const XmlEvent& event, CParameterNode* existing) {
  context.skipping = 1;
  if (existing != nullptr) existing->SetKeepRecursive(true);
  const char* existing_type =
      existing == nullptr ? "none"
      : static_cast<int>(existing->Type()) >= 0 && static_cast<int>(existing->Type()) < kNodeTypeCount
          ? kNodeTypeNames[static_cast<int>(existing->Type())]
          : "unknown";
  g_Logger.Printf("LoadTreeFromXml: %s element \"%s\" ignored: the node's type is %s\n", event.element.c_str(),
                  event.attributes[0].second.c_str(), existing_type);
}

// The level of `node` in the whole tree it belongs to (its top node is level 1).
int TreeLevel(const CParameterNode* node) {
  CRecursiveLockGuard lock(g_ParameterTreeLock);
  int level = 0;
  for (; node != nullptr; node = node->Parent()) ++level;
  return level;
}

void OnXmlStartElement(XmlLoadContext& context, const XmlEvent& event) {
  if (context.skipping > 0) {
    ++context.skipping;
    return;
  }
  const std::string& name = event.attributes[0].second;  // the first attribute, whatever it is called
  const int type = TypeIndex(event.element);

  if (context.open.empty()) {  // the top element, always a Branch (checked while parsing)
    if (context.root == nullptr || context.root->Name() != name) {
      // A new tree; a given tree of another name is left as it was.
      if (context.root != nullptr) context.root->SetKeepRecursive(true);
      context.root = new CParameterNode(name, eNodeType::Branch);
    } else if (context.root->Type() != eNodeType::Branch) {
      context.refused = true;
      context.skipping = 1;
      return;
    }
    context.root->SetKeep(true);
    context.open.push_back(context.root);
    return;
  }

  CParameterNode* current = context.open.back();
  CParameterNode* node = nullptr;
  const bool found = current->FindNode(name, &node) == eSuccess;
  if (found && static_cast<int>(node->Type()) != type) return IgnoreElement(context, event, node);
  if (!found) {
    if (type < 0) return IgnoreElement(context, event, nullptr);
    // Names with path syntax reach below the file's own nesting. A node deeper than a file may be
    // would make the whole tree unsavable (the read-back refuses it), so it is not created.
    if (TreeLevel(current) >= kMaxXmlDepth) {
      context.skipping = 1;
      g_Logger.Printf("LoadTreeFromXml: %s element \"%s\" ignored: deeper than %d levels\n", event.element.c_str(),
                      name.c_str(), kMaxXmlDepth);
      return;
    }
    node = new CParameterNode(name, static_cast<eNodeType>(type));
    if (current->AddChildNode(node) != eSuccess) {  // cannot happen for a new node; never leak it
      delete node;
      return IgnoreElement(context, event, nullptr);
    }
  }
  if (type == static_cast<int>(eNodeType::Branch)) {
    node->SetKeep(true);
    context.open.push_back(node);
    return;
  }
  // Elements nested in a leaf element are merged as its siblings: the current node stays.
  SetAttributesFromText(node, event.attributes, found);
  TakeDefaultWhenOutOfRange(node);
  node->SetKeep(true);
}

void OnXmlEndElement(XmlLoadContext& context, const XmlEvent& event) {
  if (context.skipping > 0) {
    --context.skipping;
    return;
  }
  // Back to the Branch that was current before this one opened (a name with path syntax such as
  // ".." must not move the merge elsewhere).
  if (event.element == "Branch" && !context.open.empty()) context.open.pop_back();
}

}  // namespace

int WriteBranchXml(CParameterNode* node, std::FILE* file) {
  if (node == nullptr || file == nullptr) return eUnforeseen;
  std::string text;
  int rc;
  {
    CRecursiveLockGuard lock(g_ParameterTreeLock);
    rc = AppendBranch(text, node, nullptr);
  }
  if (rc != eSuccess) return rc;
  if (std::fwrite(text.data(), 1, text.size(), file) != text.size()) return eWriteFailed;
  return eSuccess;
}

int TreeToXmlText(CParameterNode* node, std::string& text, const CParameterNode* without_children) {
  text.clear();
  if (node == nullptr) return eUnforeseen;
  CRecursiveLockGuard lock(g_ParameterTreeLock);
  const int rc = AppendBranch(text, node, without_children);
  if (rc != eSuccess) text.clear();
  return rc;
}

int SaveXmlTextToFile(const std::string& path, const std::string& text) {
  const std::string temporary = TemporaryFileName(path, 0);
  std::FILE* file = platform::fopen(temporary.c_str(), "w");
  if (file == nullptr) {
    g_Logger.Printf("SaveTreeToXml: %s not saved (cannot open: %s)\n", path.c_str(), std::strerror(errno));
    return eCannotOpenFile;
  }
  int rc = std::fwrite(text.data(), 1, text.size(), file) == text.size() ? eSuccess : eWriteFailed;
  if (std::fflush(file) != 0 || platform::fsync(platform::fileno(file)) != 0) rc = eWriteFailed;
  if (std::fclose(file) != 0) rc = eWriteFailed;
  if (rc == eSuccess && CheckXmlFile(temporary) != eSuccess) rc = eWriteFailed;
  if (rc == eSuccess && platform::rename(temporary.c_str(), path.c_str()) != 0) rc = eWriteFailed;
  if (rc != eSuccess) {
    platform::unlink(temporary.c_str());
    g_Logger.Printf("SaveTreeToXml: %s not saved (error %d)\n", path.c_str(), rc);
  }
  return rc;
}

int SaveTreeToXml(const std::string& path, CParameterNode* node) {
  if (node == nullptr) return eUnforeseen;
  std::string text;
  if (const int rc = TreeToXmlText(node, text); rc != eSuccess) {
    g_Logger.Printf("SaveTreeToXml: %s not saved (error %d)\n", path.c_str(), rc);
    return rc;
  }
  return SaveXmlTextToFile(path, text);
}

int CheckXmlFile(const std::string& path) { return ParseXmlFile("CheckXmlFile", path, nullptr); }

namespace {
int ApplyLimitsBelow(CParameterNode* node, CParameterNode* reference) {
  int replaced = 0;
  for (CParameterNode* ref = reference->FirstChild(); ref != nullptr; ref = ref->NextSibling()) {
    CParameterNode* mine = nullptr;
    if (node->FindNode(ref->Name(), &mine) != eSuccess || mine->Type() != ref->Type()) continue;
    switch (ref->Type()) {
      case eNodeType::Branch: replaced += ApplyLimitsBelow(mine, ref); continue;
      case eNodeType::Int32:
        for (const int a : {eAttrMinimum, eAttrMaximum, eAttrDefault})
          mine->SetInt32Attribute(a, ref->GetInt32Attribute(a));
        break;
      case eNodeType::Float64:
        for (const int a : {eAttrMinimum, eAttrMaximum, eAttrDefault}) {
          mine->SetFloat64Attribute(a, ref->GetFloat64Attribute(a));
        }
        break;
      default: continue;
    }
    if (TakeDefaultWhenOutOfRange(mine)) ++replaced;
  }
  return replaced;
}
}  // namespace

int ApplyReferenceLimits(CParameterNode* tree, CParameterNode* reference) {
  if (tree == nullptr || reference == nullptr) return 0;
  CRecursiveLockGuard lock(g_ParameterTreeLock);
  return ApplyLimitsBelow(tree, reference);
}

int LoadTreeFromXml(const std::string& path, CParameterNode** result, CParameterNode* root) {
  if (result == nullptr) return eUnforeseen;
  *result = root;

  // The whole file is read and checked before anything in the tree changes.
  std::vector<XmlEvent> events;
  if (const int rc = ParseXmlFile("LoadTreeFromXml", path, &events); rc != eSuccess) return rc;

  XmlLoadContext context{root, root, {}, 0, false};
  if (root != nullptr) root->SetKeepRecursive(false);
  try {
    for (const XmlEvent& event : events) {
      if (event.start) {
        OnXmlStartElement(context, event);
      } else {
        OnXmlEndElement(context, event);
      }
    }
  } catch (...) {
    // A subscriber threw: keep everything that exists and drop only a tree made by this load.
    int rc = eUnforeseen;
    try {
      throw;
    } catch (eError error) {
      rc = error;
    } catch (...) {
    }
    g_Logger.Printf("LoadTreeFromXml: %s: a subscriber failed (%d); nothing deleted\n", path.c_str(), rc);
    if (context.root != nullptr && context.root != root) delete context.root;
    if (root != nullptr) root->SetKeepRecursive(true);
    return rc;
  }
  if (context.refused) {
    root->SetKeepRecursive(true);
    g_Logger.Printf("LoadTreeFromXml: %s refused: the node it would merge into is not a Branch\n", path.c_str());
    return eNotWellFormed;
  }
  *result = context.root;
  return CParameterNode::PurgeUnkeptNodes(context.root);
}

}  // namespace Torvex
