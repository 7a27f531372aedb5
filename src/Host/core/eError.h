// eError: the application's own error codes.
//
// Operations return them as int results (0 for success); inside an operation they may be thrown as
// eError values and caught at the operation's own end. They are not rows of the SCPI error table: the
// SCPI command processing translates the values that reach it. Each module names the codes it uses.
#pragma once

namespace Torvex {

enum eError : int {
  eSuccess = 0,
  // Parameter tree.
  eNodeRefused = 2,             // a node was refused for linking or its type cannot be created
  ePurgedNodeWithChildren = 4,  // a purge deleted a node that still had children
  eNoSuchNode = 5,              // a path component does not exist
  ePathEndsWithSlash = 6,       // the path ends with '/'
  // Parameter-tree XML files.
  eUnknownAttribute = 7,  // an attribute name is unrecognised or absent for the node's type
  eBadNumber = 8,         // a number text cannot be read
  eCannotOpenFile = 9,    // a file cannot be opened
  eNotWellFormed = 10,    // a file is not well-formed XML, or not a parameter-tree file
  eWriteFailed = 11,      // writing failed
  eUnforeseen = 47,       // an unforeseen failure (for example a node of an unknown type)
};

}  // namespace Torvex
