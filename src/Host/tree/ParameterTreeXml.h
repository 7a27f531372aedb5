// Parameter-tree XML files: the factory defaults, the tree saved at power-off and the settings groups.
//
// File format: no declaration, no comments, one element per line, children in tree order. A branch is
// <Branch name="N"> ... </Branch>; a leaf is one empty element named after its type carrying the
// name and then every attribute its type has, in index order, e.g.
//   <Float64 name="N" value="1.5" minimum="0" maximum="3" default="1" digits="6"/>
// Booleans and Int32 as "%d", Float64 as "%.15g", strings as text; a Pointer is always written with
// value="00000000" and a load never changes a Pointer value. In names and strings '&', '<' and '"'
// become entity references and TAB, LF and CR character references, so every value loads back
// unchanged; a byte XML cannot carry (a control character, a broken UTF-8 sequence) is written as '?'.
//
// Called from the main thread (start-up load, shut-down save) and the parser thread (settings
// commands). The writer holds g_ParameterTreeLock while it turns the branch into text, then writes the
// file without it; the loader takes the lock for each node access, so other threads may see a partly
// merged tree while a file loads, and subscribers are told of every change on the loading thread.
#pragma once

#include <cstddef>
#include <cstdio>
#include <iterator>
#include <string>

#include "tree/CParameterNode.h"

namespace Torvex {

// Element names by eNodeType and attribute names by eNodeAttribute.
inline constexpr const char* kNodeTypeNames[] = {"Branch", "Boolean", "Pointer", "String", "Int32", "Float64"};
inline constexpr const char* kAttributeNames[] = {"value", "minimum", "maximum", "default", "choices", "digits"};
static_assert(std::size(kNodeTypeNames) == kNodeTypeCount);
static_assert(std::size(kAttributeNames) == kNodeAttributeCount);

// Files nested deeper than this many elements are refused.
inline constexpr int kMaxXmlDepth = 64;
// Files larger than this are refused, by the loader and by the read-back of a save alike. A tree file
// of the system is some tens of kilobytes; every element of a file is looked up among its siblings
// one by one, so a much larger file would hold the loading thread for minutes.
inline constexpr std::size_t kMaxXmlFileSize = 512 * 1024;

// Writes `node` and everything below it to `path`. The text goes to "<path>.tmp" first, which is
// read back with CheckXmlFile and only then renamed over `path`, so a failed save keeps the previous
// file. Returns 0; 9 when the temporary file cannot be opened; 11 when writing, the read-back or the
// rename fails; 47 when a node has an unknown type (the temporary file is removed on every failure).
int SaveTreeToXml(const std::string& path, CParameterNode* node);

// The two halves of a save, so that a caller holding locks makes the text under them and writes the
// file after releasing them: TreeToXmlText makes the text of `node` and its subtree under the tree
// lock (0 or 47); SaveXmlTextToFile writes it as SaveTreeToXml does (0, 9 or 11). A branch that is
// `without_children` is written as an empty Branch element and left as it is in the tree (the
// settings files never hold the peripheral nodes, which live only while the instrument runs).
int TreeToXmlText(CParameterNode* node, std::string& text, const CParameterNode* without_children = nullptr);
int SaveXmlTextToFile(const std::string& path, const std::string& text);

// Writes `node` as a Branch element with its subtree to an open file. Returns 0, 11 (the write
// failed) or 47 (a node of an unknown type; nothing is written).
int WriteBranchXml(CParameterNode* node, std::FILE* file);

// Merges the file at `path` into the tree at `root`, or builds a new tree when `root` is null, and
// stores the resulting root in *result.
//  - Every node under `root` that the file does not mention is deleted afterwards (keep and purge);
//    missing nodes are created; attribute values are set through the node's setters.
//  - The top element must be a Branch. When its name differs from `root`'s, a new tree is built
//    from the file and becomes the result; `root` is left as it was.
//  - An element whose type differs from that of the existing node of its name is ignored with its
//    content, and that node is kept as it is. An unknown attribute name, an attribute the type does
//    not have or an unreadable or overflowing number ends the setting of that element's attributes.
//  - A node that would lie deeper than kMaxXmlDepth levels in its whole tree (names with path syntax
//    reach below the file's own nesting) is not created: its element is ignored with its content.
// Returns 0, 4 (the purge deleted a node that still had children), 9 (cannot be opened), 10 (not
// well-formed XML, a DOCTYPE, nesting deeper than kMaxXmlDepth, larger than kMaxXmlFileSize bytes, an
// element without attributes, a top element that is not a Branch, or `root` is not a Branch), or the
// eError a subscriber threw (47 for another exception). The whole file is checked before the tree
// changes, so on 9 and 10 nothing was changed; when a subscriber throws, what was merged so far stays
// and nothing is deleted. On every failure *result is `root` again. `result` must not be null (47).
int LoadTreeFromXml(const std::string& path, CParameterNode** result, CParameterNode* root);

// Reads the whole file and checks that it is well-formed XML (without DOCTYPE, at most kMaxXmlDepth
// levels deep, at most kMaxXmlFileSize bytes). Returns 0, 9 (cannot be opened) or 10.
int CheckXmlFile(const std::string& path);

// Gives every Int32 and Float64 node of `tree` that `reference` also holds (same path, same type)
// the reference's minimum, maximum and default; a value outside that range takes the default, with a
// log line. A file's own claims about its ranges are thereby never trusted. Returns the number of
// values replaced.
int ApplyReferenceLimits(CParameterNode* tree, CParameterNode* reference);

}  // namespace Torvex
