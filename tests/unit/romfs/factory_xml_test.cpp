// The factory settings file /romfs/factory.xml: written in the parameter-tree file format, holding
// every node that the start-up binds with the type its users rely on, and the values, limits and
// choices of factory_node_tables.h. The file is read here with expat alone, so that a fault of the tree
// loader cannot hide a fault of the file (factory_tree_test.cpp reads it with the loader).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string_view>

#include "factory_node_tables.h"
#include "factory_xml_reader.h"

using namespace torvex_test;

namespace {

// The attributes each type carries in a file, in the order they are written after the name.
const std::map<std::string, std::vector<std::string>>& WrittenAttributes() {
  static const std::map<std::string, std::vector<std::string>> table = {
      {"Branch", {}},
      {"Boolean", {"value", "default"}},
      {"Pointer", {"value"}},
      {"String", {"value", "default", "choices"}},
      {"Int32", {"value", "minimum", "maximum", "default"}},
      {"Float64", {"value", "minimum", "maximum", "default", "digits"}},
  };
  return table;
}

std::vector<std::pair<std::string, std::string>> ExpectedAttributes(const FactoryNode& node) {
  const std::string name = std::string(node.path.substr(node.path.rfind('/') + 1));
  std::vector<std::pair<std::string, std::string>> attrs{{"name", name}};
  const std::array<std::pair<const char*, const char*>, 6> slots = {{{"value", node.value},
                                                                     {"minimum", node.minimum},
                                                                     {"maximum", node.maximum},
                                                                     {"default", node.fallback},
                                                                     {"choices", node.choices},
                                                                     {"digits", node.digits}}};
  for (const auto& [attr, text] : slots) {
    if (text != nullptr) attrs.emplace_back(attr, text);
  }
  return attrs;
}

std::string Describe(const std::vector<std::pair<std::string, std::string>>& attrs) {
  std::string out;
  for (const auto& [name, text] : attrs) out += " " + name + "=\"" + text + "\"";
  return out;
}

std::vector<std::string> SplitChoices(const std::string& choices) {
  std::vector<std::string> items;
  std::istringstream in(choices);
  std::string item;
  while (std::getline(in, item, ',')) items.push_back(item);
  return items;
}

// Reads the number texts the way the file format defines them, refusing anything else.
std::optional<long long> ParseInt32(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return std::nullopt;
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) return std::nullopt;
  return v;
}

std::optional<double> ParseFloat64(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v)) return std::nullopt;
  return v;
}

class FactoryFile : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const auto text = ReadWholeFile(RomfsImagePath("factory.xml"));
    text_ = text.value_or("");
    loaded_ = text.has_value();
    doc_ = ReadParameterXml(text_);
    for (const auto& element : doc_.elements) {
      if (!element.path.empty()) byPath_.emplace(element.path, &element);
    }
  }

  void SetUp() override {
    ASSERT_TRUE(loaded_) << "missing " << RomfsImagePath("factory.xml");
    ASSERT_EQ(doc_.error, "");
  }

  static const XmlElement* Find(std::string_view path) {
    const auto it = byPath_.find(std::string(path));
    return it == byPath_.end() ? nullptr : it->second;
  }

  static std::string Attr(std::string_view path, const std::string& name) {
    const XmlElement* element = Find(path);
    if (element == nullptr) return "";
    for (const auto& [attr, text] : element->attributes) {
      if (attr == name) return text;
    }
    return "";
  }

  static double Number(std::string_view path, const std::string& name) {
    return ParseFloat64(Attr(path, name)).value_or(std::nan(""));
  }

  static inline std::string text_;
  static inline bool loaded_ = false;
  static inline XmlDocument doc_;
  static inline std::multimap<std::string, const XmlElement*> byPath_;
};

// ---------------------------------------------------------------------------------------------------

TEST_F(FactoryFile, BuiltImageMatchesSource) {
  const auto source = ReadWholeFile(SourcePath("romfs/factory.xml"));
  ASSERT_TRUE(source.has_value());
  EXPECT_EQ(*source, text_) << "the romfs image is stale; the build did not copy factory.xml";
}

// The layout the tree writer produces: no declaration, one element per line without indentation,
// the file ending with the end line of the top Branch; a few whole-line comments are allowed.
TEST_F(FactoryFile, LinesFollowTheWriterLayout) {
  const std::regex branchStart(R"(<Branch name="[^"&<]*">)");
  const std::regex branchEnd(R"(</Branch>)");
  const std::regex leaf(R"(<(Boolean|Pointer|String|Int32|Float64) name="[^"&<]*"( [a-z]+="[^"&<]*")*/>)");
  const std::regex comment(R"(<!-- [^-]*(-[^-]+)* -->)");

  ASSERT_FALSE(text_.empty());
  ASSERT_EQ(text_.back(), '\n');
  std::istringstream in(text_);
  std::string line;
  int lineNo = 0, elementLines = 0, comments = 0;
  std::string last;
  while (std::getline(in, line)) {
    ++lineNo;
    if (std::regex_match(line, comment)) {
      ++comments;
      continue;
    }
    const bool start = std::regex_match(line, branchStart) || std::regex_match(line, leaf);
    EXPECT_TRUE(start || std::regex_match(line, branchEnd)) << "line " << lineNo << ": " << line;
    elementLines += start ? 1 : 0;
    last = line;
  }
  EXPECT_EQ(elementLines, static_cast<int>(doc_.elements.size())) << "one element per line";
  EXPECT_EQ(last, "</Branch>");
  EXPECT_LE(comments, 6) << "keep the comments few";
  EXPECT_NE(text_.rfind("<?xml", 0), 0u) << "the tree files carry no XML declaration";
}

TEST_F(FactoryFile, ElementsCarryExactlyTheAttributesOfTheirType) {
  ASSERT_FALSE(doc_.elements.empty());
  EXPECT_EQ(doc_.elements.front().type, "Branch") << "the top element is a Branch";
  for (const auto& element : doc_.elements) {
    SCOPED_TRACE("line " + std::to_string(element.line) + " " + element.path);
    const auto it = WrittenAttributes().find(element.type);
    ASSERT_NE(it, WrittenAttributes().end()) << "unknown element " << element.type;
    EXPECT_FALSE(element.insideLeaf) << "only a Branch holds children";
    ASSERT_GE(element.attributes.size(), 1u);
    EXPECT_EQ(element.attributes[0].first, "name");
    std::vector<std::string> names;
    for (size_t i = 1; i < element.attributes.size(); ++i) names.push_back(element.attributes[i].first);
    EXPECT_EQ(names, it->second);
  }
}

TEST_F(FactoryFile, PathsAreUnique) {
  std::set<std::string> seen;
  for (const auto& element : doc_.elements) {
    if (element.path.empty()) continue;
    EXPECT_TRUE(seen.insert(element.path).second) << "a second node shadows " << element.path;
  }
}

// Number texts as the writer prints them ("%d", "%.15g", Booleans 0 or 1, Pointers eight zeros), so
// that loading and saving the file changes no byte of a value.
TEST_F(FactoryFile, NumberTextsAreCanonical) {
  for (const auto& element : doc_.elements) {
    SCOPED_TRACE(element.path);
    for (size_t i = 1; i < element.attributes.size(); ++i) {
      const auto& [attr, text] = element.attributes[i];
      char printed[64];
      if (element.type == "Boolean") {
        EXPECT_TRUE(text == "0" || text == "1") << attr << "=" << text;
      } else if (element.type == "Pointer") {
        EXPECT_EQ(text, "00000000");
      } else if (element.type == "Int32") {
        const auto v = ParseInt32(text);
        ASSERT_TRUE(v.has_value()) << attr << "=" << text;
        std::snprintf(printed, sizeof printed, "%d", static_cast<int>(*v));
        EXPECT_EQ(text, printed) << attr;
      } else if (element.type == "Float64") {
        const auto v = ParseFloat64(text);
        ASSERT_TRUE(v.has_value()) << attr << "=" << text;
        std::snprintf(printed, sizeof printed, "%.15g", *v);
        EXPECT_EQ(text, printed) << attr;
      }
    }
  }
}

TEST_F(FactoryFile, EveryBoundNodeIsPresentWithItsType) {
  std::string error;
  const std::vector<BoundNode> bound = LoadBoundNodes(&error);
  ASSERT_EQ(error, "");
  ASSERT_FALSE(bound.empty());
  for (const auto& node : bound) {
    const XmlElement* element = Find(node.path);
    ASSERT_NE(element, nullptr) << "missing bound node " << node.path;
    if (!node.type.empty()) {
      EXPECT_EQ(element->type, node.type) << node.path;
    }
  }
}

TEST_F(FactoryFile, LeavesMatchTheTable) {
  std::set<std::string> tabled;
  for (const auto& node : kFactoryNodes) {
    tabled.insert(std::string(node.path));
    const XmlElement* element = Find(node.path);
    ASSERT_NE(element, nullptr) << "missing " << node.path;
    EXPECT_EQ(element->type, node.type) << node.path;
    EXPECT_EQ(Describe(element->attributes), Describe(ExpectedAttributes(node))) << node.path;
  }
  for (const auto& element : doc_.elements) {
    if (element.type != "Branch") {
      EXPECT_TRUE(tabled.count(element.path)) << "untabled leaf " << element.path;
    }
  }
}

// The Branches are exactly the six stored or published top-level branches and the parents of the
// leaves; the peripherals branch starts empty (the topology fills it at run time).
TEST_F(FactoryFile, BranchesAreThoseTheLeavesNeed) {
  std::set<std::string> expected{"peripherals"};
  for (const auto& node : kFactoryNodes) {
    std::string path(node.path);
    for (auto slash = path.rfind('/'); slash != std::string::npos; slash = path.rfind('/')) {
      path.resize(slash);
      expected.insert(path);
    }
  }
  std::set<std::string> actual;
  for (const auto& element : doc_.elements) {
    if (element.type == "Branch" && !element.path.empty()) actual.insert(element.path);
  }
  EXPECT_EQ(actual, expected);
  for (const auto& element : doc_.elements) {
    EXPECT_NE(element.path.rfind("peripherals/", 0), 0u) << element.path;
  }
}

TEST_F(FactoryFile, ValuesAndDefaultsLieWithinLimitsAndChoices) {
  for (const auto& element : doc_.elements) {
    SCOPED_TRACE(element.path);
    if (element.type == "Int32" || element.type == "Float64") {
      const double lo = Number(element.path, "minimum");
      const double hi = Number(element.path, "maximum");
      EXPECT_LE(lo, hi);
      for (const char* attr : {"value", "default"}) {
        const double v = Number(element.path, attr);
        EXPECT_TRUE(lo <= v && v <= hi) << attr << " " << v << " outside [" << lo << ", " << hi << "]";
      }
    }
    if (element.type == "Float64") {
      const auto digits = ParseInt32(Attr(element.path, "digits"));
      ASSERT_TRUE(digits.has_value());
      EXPECT_GE(*digits, 0);
    }
    if (element.type == "String" && !Attr(element.path, "choices").empty()) {
      const auto items = SplitChoices(Attr(element.path, "choices"));
      for (const char* attr : {"value", "default"}) {
        EXPECT_NE(std::find(items.begin(), items.end(), Attr(element.path, attr)), items.end()) << attr;
      }
    }
  }
}

// Relations between nodes that the firmware relies on.
TEST_F(FactoryFile, CrossNodeRelationsHold) {
  // The expected search field lies inside the search window, which bounds it.
  EXPECT_EQ(Number("measure_parms/search/value", "minimum"), Number("measure_parms/search/low", "value"));
  EXPECT_EQ(Number("measure_parms/search/value", "maximum"), Number("measure_parms/search/high", "value"));
  EXPECT_LE(Number("measure_parms/search/low", "value"), Number("measure_parms/search/high", "value"));
  EXPECT_LE(Number("measure_parms/tracking/min_freq", "value"), Number("measure_parms/tracking/max_freq", "value"));

  // One results store: every result array has the capacity of results/flux/size, a trigger count
  // never asks for more, and the largest binary reply still has a six-digit length.
  const double capacity = Number("results/flux/size", "maximum");
  for (const char* node :
       {"results/sigma/size", "results/uniformity/size", "results/channel/size", "results/timestamp/size"}) {
    EXPECT_EQ(Number(node, "maximum"), capacity) << node;
  }
  EXPECT_LE(Number("trigger_parms/trigger_in/count", "maximum"), capacity);
  EXPECT_LE(capacity * 8, 999999.0);
  EXPECT_LE(Number("trigger_parms/trigger_in/count", "maximum"), 65535.0) << "the sequence uses 16 bits";

  // Intermediate arrays: a delivered length never exceeds the capacity, and a binary reply fits.
  for (const char* array : {"nmr_signal", "fft_buffer", "peak_spectrum", "fit_coeffs"}) {
    const std::string base = std::string("intermediate_results/") + array;
    EXPECT_EQ(Number(base + "/length", "maximum"), Number(base + "/size", "maximum")) << array;
    EXPECT_LE(Number(base + "/size", "maximum") * 4 + 8, 999999.0) << array;
  }

  // The timer wait is a signed 16-bit count of milliseconds, the seconds times 1000 truncated.
  EXPECT_LE(std::trunc(Number("trigger_parms/trigger_in/timer", "maximum") * 1000.0), 32767.0);
  // A zero update interval would make the temperature monitor spin.
  EXPECT_GE(Number("system/temperature/update_interval", "minimum"), 1.0);
  // A PPM reference of zero makes every conversion into PPM fail.
  EXPECT_GT(Number("units_parms/ppm_ref", "minimum"), 0.0);

  // A measurement query measures at once and once, with no expected value.
  EXPECT_EQ(Attr("trigger_parms/trigger_in/source", "default"), "IMMediate");
  EXPECT_EQ(Attr("trigger_parms/trigger_in/continuous", "default"), "0");
  EXPECT_EQ(Number("results/flux/expected_value", "value"), 0.0);

  // An empty host name makes the start-up name the instrument after its serial number.
  EXPECT_EQ(Attr("comm_parms/ethernet/id", "value"), "");
  EXPECT_EQ(Attr("system/versions/parm_file", "value"), "3.4");
}

}  // namespace
