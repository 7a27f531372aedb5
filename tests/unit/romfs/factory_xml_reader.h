// Test helpers for the read-only file system image: where the built image and its sources lie, a
// plain expat reading of a parameter-tree file into a flat list of elements (independent of the tree
// code, so that the file is checked against its format and not against the loader), and a way to run
// an outside program with its output captured.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace torvex_test {

// Path of a file inside the built romfs image, and of a file under the source tree.
std::string RomfsImagePath(const std::string& relative);
std::string SourcePath(const std::string& relative);

std::optional<std::string> ReadWholeFile(const std::string& path);

// One element of a parameter-tree file, in document order.
struct XmlElement {
  std::string type;                                             // element name: "Branch", "Int32", ...
  std::string path;                                             // names joined by '/', the top element's left out
  std::vector<std::pair<std::string, std::string>> attributes;  // in document order
  int line = 0;
  bool insideLeaf = false;  // nested inside an element that is not a Branch
};

struct XmlDocument {
  std::vector<XmlElement> elements;
  std::string error;  // empty when expat accepted the whole file
};

XmlDocument ReadParameterXml(const std::string& text);

// The executable named `name` found in the PATH directories, or nothing.
std::optional<std::string> FindInPath(const std::string& name);

struct ProgramRun {
  int exitStatus = -1;  // exit code, or -1 when the program did not exit normally
  std::string output;   // standard output and standard error together
};

// Runs `program` with `args` (no shell involved) and waits for it.
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args);

}  // namespace torvex_test
