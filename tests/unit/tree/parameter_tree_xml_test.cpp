// Parameter-tree XML files: the exact format, save-then-load, merges with keep and purge, refused and
// hostile files, number reading, failed saves, xmllint, and loads racing with tree users.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/CLogger.h"
#include "core/CRecursiveMutex.h"
#include "core/TemporaryFiles.h"
#include "platform/io.h"
#include "support/board_root.h"
#include "tree/CParameterNode.h"
#include "tree/ParameterTreeXml.h"

namespace Torvex {
namespace {

namespace fs = std::filesystem;

// Everything a tree holds, as text: types, names, keep flags and every present attribute (doubles
// exactly, in hex), in child order.
void Dump(const CParameterNode* node, std::string& out, int depth = 0) {
  out += std::string(depth, ' ') + std::to_string(static_cast<int>(node->Type())) + " [" + node->Name() + "]" +
         (node->Keep() ? "" : " unkept");
  for (int a = 0; a < kNodeAttributeCount; ++a) {
    if (!AttributePresent(node->Type(), a)) continue;
    char text[64];
    switch (node->Type()) {
      case eNodeType::Boolean: out += node->GetBooleanAttribute(a) ? " 1" : " 0"; break;
      case eNodeType::Pointer: out += node->GetPointerAttribute(a) ? " ptr" : " null"; break;
      case eNodeType::String: out += " \"" + node->GetStringAttribute(a) + "\""; break;
      case eNodeType::Int32: out += " " + std::to_string(node->GetInt32Attribute(a)); break;
      case eNodeType::Float64:
        std::snprintf(text, sizeof text, " %a", node->GetFloat64Attribute(a));
        out += text;
        break;
      default: break;
    }
  }
  out += "\n";
  for (const CParameterNode* c = node->FirstChild(); c != nullptr; c = c->NextSibling()) Dump(c, out, depth + 1);
}

std::string Dump(const CParameterNode* node) {
  std::string out;
  if (node != nullptr) Dump(node, out);
  return out;
}

CParameterNode* Make(CParameterNode* parent, const std::string& path, eNodeType type) {
  CParameterNode* node = nullptr;
  if (type == eNodeType::Branch) {
    node = new CParameterNode(path, type);
    EXPECT_EQ(parent->AddChildNode(node), 0);
  } else {
    EXPECT_EQ(parent->FindOrCreateNode(path, type, &node), 0);
  }
  return node;
}

struct Notice {
  CParameterNode* node;
  int kind;
  bool operator==(const Notice&) const = default;
};
void Record(CParameterNode* node, int kind, void* context) {
  static_cast<std::vector<Notice>*>(context)->push_back({node, kind});
}

class Xml : public ::testing::Test {
 protected:
  void SetUp() override {
    board_ = torvex_test::MakeBoardRoot("tree");
    fs::create_directories(board_ / "yaffs" / "settings");
    ASSERT_EQ(platform::mount("", "/yaffs", "yaffs"), 0);
    ASSERT_EQ(platform::mount("", "/romfs", "romfs"), 0);
  }
  void TearDown() override {
    delete tree_;
    torvex_test::RemoveBoardRoot(board_);
  }

  // Writes `text` as the flash file /yaffs/settings/NAME and returns its firmware path.
  std::string Put(const std::string& name, const std::string& text) {
    std::ofstream(board_ / "yaffs" / "settings" / name, std::ios::binary) << text;
    return "/yaffs/settings/" + name;
  }
  std::string Host(const std::string& firmware_path) const { return (board_ / firmware_path.substr(1)).string(); }
  std::string Read(const std::string& firmware_path) const {
    std::ifstream in(Host(firmware_path), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  // A tree with every node type and awkward values.
  CParameterNode* Sample() {
    auto* root = new CParameterNode("root", eNodeType::Branch);
    auto* sys = Make(root, "system", eNodeType::Branch);
    auto* b = Make(sys, "flag", eNodeType::Boolean);
    b->SetBooleanAttribute(eAttrValue, true);
    static int object;
    Make(sys, "object", eNodeType::Pointer)->SetPointerAttribute(eAttrValue, &object);
    auto* s = Make(sys, "text & <names> \"q\"", eNodeType::String);
    s->SetStringAttribute(eAttrValue, "a&b<c\"d>e%f%%s\tg\nh\r\ni  ]]> 'j' \xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E");
    s->SetStringAttribute(eAttrDefault, " leading and trailing ");
    s->SetStringAttribute(eAttrChoices, "ASCii,INTeger");
    auto* i = Make(sys, "count", eNodeType::Int32);
    i->SetInt32Attribute(eAttrValue, -42);
    i->SetInt32Attribute(eAttrMinimum, INT32_MIN);
    i->SetInt32Attribute(eAttrMaximum, INT32_MAX);
    i->SetInt32Attribute(eAttrDefault, 7);
    auto* comm = Make(root, "comm_parms", eNodeType::Branch);
    Make(comm, "empty", eNodeType::Branch);
    auto* f = Make(comm, "ppm_ref", eNodeType::Float64);
    f->SetFloat64Attribute(eAttrValue, 3.4);
    f->SetFloat64Attribute(eAttrMinimum, -1.5e-300);
    f->SetFloat64Attribute(eAttrMaximum, HUGE_VAL);
    f->SetFloat64Attribute(eAttrDefault, 123456789012345.0);
    f->SetFloat64Attribute(eAttrDigits, 6);
    return root;
  }

  fs::path board_;
  std::vector<Notice> notices;      // outlives tree_, whose deletion it may record
  CParameterNode* tree_ = nullptr;  // deleted at the end of each test
};

TEST_F(Xml, FileFormatIsExact) {
  tree_ = new CParameterNode("root", eNodeType::Branch);
  Make(tree_, "b", eNodeType::Boolean)->SetBooleanAttribute(eAttrValue, true);
  static int object;
  Make(tree_, "p", eNodeType::Pointer)->SetPointerAttribute(eAttrValue, &object);
  auto* s = Make(tree_, "s", eNodeType::String);
  s->SetStringAttribute(eAttrValue, "a&b<c\"d\te\nf\rg%h>");
  s->SetStringAttribute(eAttrChoices, "x,y");
  auto* i = Make(tree_, "i", eNodeType::Int32);
  i->SetInt32Attribute(eAttrValue, -5);
  i->SetInt32Attribute(eAttrMaximum, INT32_MAX);
  auto* f = Make(tree_, "f", eNodeType::Float64);
  f->SetFloat64Attribute(eAttrValue, 0.1 + 0.2);
  f->SetFloat64Attribute(eAttrMinimum, -1e300);
  f->SetFloat64Attribute(eAttrMaximum, HUGE_VAL);
  f->SetFloat64Attribute(eAttrDefault, M_PI);
  f->SetFloat64Attribute(eAttrDigits, 6);
  auto* sub = Make(tree_, "sub", eNodeType::Branch);
  Make(sub, "child", eNodeType::Int32);
  CParameterNode* under_leaf = nullptr;
  ASSERT_EQ(tree_->FindOrCreateNode("i/not_written", eNodeType::Int32, &under_leaf), 0);

  ASSERT_EQ(SaveTreeToXml("/yaffs/settings/format.xml", tree_), 0);
  EXPECT_EQ(Read("/yaffs/settings/format.xml"),
            "<Branch name=\"root\">\n"
            "<Boolean name=\"b\" value=\"1\" default=\"0\"/>\n"
            "<Pointer name=\"p\" value=\"00000000\"/>\n"
            "<String name=\"s\" value=\"a&amp;b&lt;c&quot;d&#9;e&#10;f&#13;g%h>\" default=\"\" choices=\"x,y\"/>\n"
            "<Int32 name=\"i\" value=\"-5\" minimum=\"0\" maximum=\"2147483647\" default=\"0\"/>\n"
            "<Float64 name=\"f\" value=\"0.3\" minimum=\"-1e+300\" maximum=\"inf\" default=\"3.14159265358979\" "
            "digits=\"6\"/>\n"
            "<Branch name=\"sub\">\n"
            "<Int32 name=\"child\" value=\"0\" minimum=\"0\" maximum=\"0\" default=\"0\"/>\n"
            "</Branch>\n"
            "</Branch>\n");
  EXPECT_FALSE(fs::exists(Host(TemporaryFileName("/yaffs/settings/format.xml", 0))));
}

TEST_F(Xml, SaveThenLoadGivesAnIdenticalTreeWithPointersNull) {
  tree_ = Sample();
  ASSERT_EQ(SaveTreeToXml("/yaffs/settings/LastPowerOff.xml", tree_), 0);
  CParameterNode* loaded = nullptr;
  ASSERT_EQ(LoadTreeFromXml("/yaffs/settings/LastPowerOff.xml", &loaded, nullptr), 0);
  std::unique_ptr<CParameterNode> owner(loaded);
  ASSERT_NE(loaded, nullptr);

  CParameterNode* object = nullptr;
  ASSERT_EQ(tree_->FindNode("system/object", &object), 0);
  object->SetPointerAttribute(eAttrValue, nullptr);  // a load brings Pointers back null
  EXPECT_EQ(Dump(loaded), Dump(tree_));

  // Saving the loaded tree gives the same bytes again.
  ASSERT_EQ(SaveTreeToXml("/yaffs/settings/again.xml", loaded), 0);
  EXPECT_EQ(Read("/yaffs/settings/again.xml"), Read("/yaffs/settings/LastPowerOff.xml"));
}

TEST_F(Xml, Float64ValuesKeepFifteenSignificantDigits) {
  const struct {
    double value;
    const char* text;
    double loaded;
  } cases[] = {
      {0.1 + 0.2, "0.3", 0.3},
      {M_PI, "3.14159265358979", 3.14159265358979},
      {1.0 / 3.0, "0.333333333333333", 0.333333333333333},
      {-0.0, "0", 0.0},  // the sign of zero is not stored
      {2e-308, "2e-308", 2e-308},
      {4.9406564584124654e-324, "4.94065645841247e-324", 4.94065645841247e-324},
      {-HUGE_VAL, "-inf", -HUGE_VAL},
  };
  for (const auto& c : cases) {
    delete tree_;
    tree_ = new CParameterNode("root", eNodeType::Branch);
    Make(tree_, "f", eNodeType::Float64)->SetFloat64Attribute(eAttrValue, c.value);
    ASSERT_EQ(SaveTreeToXml("/yaffs/settings/f.xml", tree_), 0);
    EXPECT_NE(Read("/yaffs/settings/f.xml").find(std::string("value=\"") + c.text + "\""), std::string::npos) << c.text;
    CParameterNode* loaded = nullptr;
    ASSERT_EQ(LoadTreeFromXml("/yaffs/settings/f.xml", &loaded, nullptr), 0);
    std::unique_ptr<CParameterNode> owner(loaded);
    CParameterNode* f = nullptr;
    ASSERT_EQ(loaded->FindNode("f", &f), 0);
    EXPECT_EQ(f->GetFloat64Attribute(eAttrValue), c.loaded) << c.text;
  }
  // NaN is written and read back as NaN.
  delete tree_;
  tree_ = new CParameterNode("root", eNodeType::Branch);
  Make(tree_, "f", eNodeType::Float64)->SetFloat64Attribute(eAttrValue, std::nan(""));
  ASSERT_EQ(SaveTreeToXml("/yaffs/settings/nan.xml", tree_), 0);
  CParameterNode* loaded = nullptr;
  ASSERT_EQ(LoadTreeFromXml("/yaffs/settings/nan.xml", &loaded, nullptr), 0);
  std::unique_ptr<CParameterNode> owner(loaded);
  EXPECT_TRUE(std::isnan(loaded->FirstChild()->GetFloat64Attribute(eAttrValue)));
}

TEST_F(Xml, BytesXmlCannotCarryAreWrittenAsQuestionMarksAndTheFileStaysReadable) {
  const struct {
    std::string stored;
    std::string loaded;
  } cases[] = {
      {std::string("a\0b", 3), "a?b"},
      {"\x01\x1F\x7F", "??\x7F"},
      {"\xFF\xFE", "??"},
      {"x\xC3", "x?"},               // truncated sequence at the end
      {"\xC3(", "?("},               // bad continuation
      {"\xC0\xAF", "??"},            // overlong '/'
      {"\xED\xA0\x80", "???"},       // surrogate
      {"\xEF\xBF\xBE", "???"},       // U+FFFE
      {"\xF4\x90\x80\x80", "????"},  // beyond U+10FFFF
      {"\xC2\x80 \xEF\xBF\xBD \xF4\x8F\xBF\xBF", "\xC2\x80 \xEF\xBF\xBD \xF4\x8F\xBF\xBF"},  // valid edges
  };
  tree_ = new CParameterNode("root", eNodeType::Branch);
  std::vector<CParameterNode*> nodes;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    nodes.push_back(Make(tree_, "s" + std::to_string(i), eNodeType::String));
    nodes.back()->SetStringAttribute(eAttrValue, cases[i].stored);
  }
  Make(tree_, std::string("bad\x01name\xFF", 9), eNodeType::Int32)->SetInt32Attribute(eAttrValue, 3);
  ASSERT_EQ(SaveTreeToXml("/yaffs/settings/bytes.xml", tree_), 0);
  CParameterNode* loaded = nullptr;
  ASSERT_EQ(LoadTreeFromXml("/yaffs/settings/bytes.xml", &loaded, nullptr), 0);
  std::unique_ptr<CParameterNode> owner(loaded);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    CParameterNode* s = nullptr;
    ASSERT_EQ(loaded->FindNode("s" + std::to_string(i), &s), 0);
    EXPECT_EQ(s->GetStringAttribute(eAttrValue), cases[i].loaded) << "case " << i;
  }
  CParameterNode* renamed = nullptr;
  ASSERT_EQ(loaded->FindNode("bad?name?", &renamed), 0);
  EXPECT_EQ(renamed->GetInt32Attribute(eAttrValue), 3);
}

// Runs xmllint on a saved tree: it must say the file is well-formed.
TEST_F(Xml, SavedTreePassesXmllint) {
  std::string xmllint;
  for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
    if (::access((std::string(dir) + "/xmllint").c_str(), X_OK) == 0) xmllint = std::string(dir) + "/xmllint";
  }
  ASSERT_FALSE(xmllint.empty()) << "xmllint not found: install libxml2-utils (tools/install-deps.sh)";
  tree_ = Sample();
  Make(tree_, "controls", eNodeType::String)->SetStringAttribute(eAttrValue, std::string("\x01\x02\xFF\0end", 7));
  ASSERT_EQ(SaveTreeToXml("/yaffs/settings/lint.xml", tree_), 0);
  const std::string command = xmllint + " --noout '" + Host("/yaffs/settings/lint.xml") + "' 2>&1";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buf[256];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) output.append(buf, n);
  EXPECT_EQ(::pclose(pipe), 0) << output;
  EXPECT_EQ(output, "");
}

TEST_F(Xml, MergeSetsChangedValuesCreatesMissingNodesAndPurgesTheRest) {
  tree_ = new CParameterNode("root", eNodeType::Branch);
  auto* comm = Make(tree_, "comm_parms", eNodeType::Branch);
  auto* id = Make(comm, "id", eNodeType::String);
  id->SetStringAttribute(eAttrValue, "old");
  auto* same = Make(comm, "same", eNodeType::Int32);
  same->SetInt32Attribute(eAttrValue, 4);
  auto* object = Make(comm, "object", eNodeType::Pointer);
  static int published;
  object->SetPointerAttribute(eAttrValue, &published);
  auto* extra = Make(comm, "extra", eNodeType::Float64);
  for (CParameterNode* n : {comm, id, same, object, extra}) n->Subscribe(&Record, &notices);

  const std::string path = Put("merge.xml",
                               "<Branch name=\"root\">\n"
                               "<Branch name=\"comm_parms\">\n"
                               "<String name=\"id\" value=\"new\" default=\"old\" choices=\"\"/>\n"
                               "<Int32 name=\"same\" value=\"4\"/>\n"
                               "<Pointer name=\"object\" value=\"00000000\"/>\n"
                               "<Boolean name=\"added\" value=\"1\"/>\n"
                               "</Branch>\n"
                               "</Branch>\n");
  CParameterNode* result = nullptr;
  ASSERT_EQ(LoadTreeFromXml(path, &result, tree_), 0);
  EXPECT_EQ(result, tree_);
  CParameterNode* added = nullptr;
  ASSERT_EQ(comm->FindNode("added", &added), 0);
  EXPECT_TRUE(added->GetBooleanAttribute(eAttrValue));
  EXPECT_EQ(id->GetStringAttribute(eAttrValue), "new");
  EXPECT_EQ(id->GetStringAttribute(eAttrDefault), "old");
  EXPECT_EQ(object->GetPointerAttribute(eAttrValue), &published) << "a load never changes a Pointer";
  const std::vector<Notice> expected = {
      {id, eAttrValue},
      {id, eAttrDefault},              // the changed attributes, in document order
      {comm, eNotifyChildrenChanged},  // "added" linked
      {extra, eNotifyNodeDeleted},
      {extra, eNotifyChildrenChanged},  // purge
  };
  EXPECT_EQ(notices, expected);
  EXPECT_EQ(Dump(tree_).find("unkept"), std::string::npos);
}

TEST_F(Xml, PurgeReportsADeletedNodeThatStillHadChildren) {
  tree_ = new CParameterNode("root", eNodeType::Branch);
  auto* x = Make(tree_, "x", eNodeType::Branch);
  Make(x, "y", eNodeType::Int32);
  // The file reaches y through a path name but never names x itself.
  const std::string path = Put("purge.xml", "<Branch name=\"root\"><Int32 name=\"x/y\" value=\"1\"/></Branch>");
  CParameterNode* result = nullptr;
  EXPECT_EQ(LoadTreeFromXml(path, &result, tree_), 4);
  EXPECT_EQ(tree_->FirstChild(), nullptr);
}

TEST_F(Xml, NamesFollowThePathRulesAndBranchEndsReturnToTheEnclosingBranch) {
  tree_ = new CParameterNode("root", eNodeType::Branch);
  auto* a = Make(tree_, "a", eNodeType::Branch);
  auto* b = Make(a, "b", eNodeType::Int32);
  const std::string path = Put("paths.xml",
                               "<Branch name=\"root\">"
                               "<Branch name=\"a\">"
                               "<Int32 name=\"./b\" value=\"9\"/>"
                               "<Branch name=\"..\"></Branch>"  // resolves to root; its end returns to a
                               "<Int32 name=\"c\" value=\"3\"/>"
                               "</Branch>"
                               "</Branch>");
  CParameterNode* result = nullptr;
  ASSERT_EQ(LoadTreeFromXml(path, &result, tree_), 0);
  EXPECT_EQ(b->GetInt32Attribute(eAttrValue), 9);
  CParameterNode* c = nullptr;
  EXPECT_EQ(tree_->FindNode("a/c", &c), 0);
  EXPECT_EQ(c->GetInt32Attribute(eAttrValue), 3);
}

TEST_F(Xml, AttributeTextsThatCannotBeSetEndTheElementsAttributesButNotTheLoad) {
  struct Case {
    const char* element;
    const char* expected;  // Dump of the node after the load
  };
  const Case cases[] = {
      {"<Int32 name=\"n\" value=\"5\" bogus=\"1\" default=\"7\"/>", "4 [n] 5 0 0 0\n"},
      {"<Int32 name=\"n\" choices=\"1\" value=\"5\"/>", "4 [n] 0 0 0 0\n"},
      {"<Int32 name=\"n\" value=\" 12abc\" default=\"+7\"/>", "4 [n] 12 0 0 7\n"},
      {"<Boolean name=\"n\" value=\"2\" default=\"0\"/>", "1 [n] 1 0\n"},
      {"<Boolean name=\"n\" minimum=\"1\" value=\"1\"/>", "1 [n] 0 0\n"},
      {"<Float64 name=\"n\" value=\"inf\" minimum=\"1e-320\" maximum=\"0x1p3\" digits=\"2.5\"/>",
       "5 [n] 0x0p+0 0x0.00000000007e8p-1022 0x1p+3 0x0p+0 0x1.4p+1\n"},  // outside its range: default
      {"<Float64 name=\"n\" choices=\"1\"/>", "5 [n] 0x0p+0 0x0p+0 0x0p+0 0x0p+0 0x0p+0\n"},
      {"<String name=\"n\" value=\"  %d %s \" digits=\"x\" default=\"d\"/>", "3 [n] \"  %d %s \" \"\" \"\"\n"},
      {"<String name=\"n\" value=\"a&#10;b&#x9;c\" default=\"a\nb\tc\"/>", "3 [n] \"a\nb\tc\" \"a b c\" \"\"\n"},
  };
  for (const Case& c : cases) {
    CParameterNode* result = nullptr;
    const std::string path = Put("attrs.xml", std::string("<Branch name=\"root\">") + c.element + "</Branch>");
    ASSERT_EQ(LoadTreeFromXml(path, &result, nullptr), 0) << c.element;
    std::unique_ptr<CParameterNode> owner(result);
    EXPECT_EQ(Dump(result->FirstChild()), c.expected) << c.element;
  }
}

// Writes a unique mark into the log; LogAfter gives what was logged after it.
std::string MarkLog() {
  static std::atomic<unsigned> next{0};
  const std::string mark = "test mark " + std::to_string(next.fetch_add(1)) + "\n";
  g_Logger.Printf("%s", mark.c_str());
  return mark;
}
std::string LogAfter(const std::string& mark) {
  std::unique_ptr<char[]> copy(g_Logger.CopyBuffer());
  const std::string text(copy.get());
  const std::size_t at = text.rfind(mark);
  return at == std::string::npos ? text : text.substr(at + mark.size());
}

// A number that cannot be read, or that its type cannot hold, refuses the whole file with its line;
// the tree merged into is left as it was.
TEST_F(Xml, UnreadableNumbersRefuseTheFileWithTheirLine) {
  const char* elements[] = {
      "<Int32 name=\"n\" value=\"abc\" default=\"7\"/>", "<Int32 name=\"n\" value=\"1\" maximum=\"2147483648\"/>",
      "<Int32 name=\"n\" value=\"-2147483649\"/>",       "<Int32 name=\"n\" value=\"99999999999999999999\"/>",
      "<Boolean name=\"n\" value=\"4294967297\"/>",      "<Float64 name=\"n\" value=\"1e999\" default=\"2\"/>",
      "<Float64 name=\"n\" value=\"-1e999\"/>",          "<Float64 name=\"n\" value=\"\"/>",
  };
  for (const char* element : elements) {
    SCOPED_TRACE(element);
    tree_ = new CParameterNode("root", eNodeType::Branch);
    auto* n = Make(tree_, "n", eNodeType::Int32);
    n->SetInt32Attribute(eAttrValue, 5);
    const std::string mark = MarkLog();
    const std::string path =
        Put("numbers.xml",
            std::string("<Branch name=\"root\">\n<Int32 name=\"m\" value=\"1\"/>\n") + element + "\n</Branch>");
    CParameterNode* result = nullptr;
    EXPECT_EQ(LoadTreeFromXml(path, &result, tree_), eNotWellFormed);
    EXPECT_EQ(n->GetInt32Attribute(eAttrValue), 5);
    EXPECT_NE(tree_->FindNode("m", nullptr), 0) << "nothing of a refused file is merged";
    const std::string log = LogAfter(mark);
    EXPECT_NE(log.find("unreadable number"), std::string::npos) << log;
    EXPECT_NE(log.find("at line 3"), std::string::npos) << log;
    delete tree_;
    tree_ = nullptr;
  }
}

// A value outside its node's range takes the node's default, with a log line; the range is the
// one the running tree holds, not the one the file claims.
TEST_F(Xml, ValuesOutsideTheRunningRangeTakeTheDefault) {
  struct Case {
    const char* element;
    std::int32_t value;  // after the load
  };
  const Case cases[] = {
      {"<Int32 name=\"limit\" value=\"500\" minimum=\"40\" maximum=\"100\" default=\"70\"/>", 70},
      {"<Int32 name=\"limit\" value=\"500\" minimum=\"40\" maximum=\"1000\" default=\"600\"/>", 70},
      {"<Int32 name=\"limit\" value=\"39\"/>", 70},
      {"<Int32 name=\"limit\" value=\"40\"/>", 40},
      {"<Int32 name=\"limit\" value=\"100\"/>", 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.element);
    tree_ = new CParameterNode("root", eNodeType::Branch);
    auto* limit = Make(tree_, "limit", eNodeType::Int32);
    limit->SetInt32Attribute(eAttrMinimum, 40);
    limit->SetInt32Attribute(eAttrMaximum, 100);
    limit->SetInt32Attribute(eAttrDefault, 70);
    limit->SetInt32Attribute(eAttrValue, 80);
    const std::string path = Put("range.xml", std::string("<Branch name=\"root\">") + c.element + "</Branch>");
    CParameterNode* result = nullptr;
    ASSERT_EQ(LoadTreeFromXml(path, &result, tree_), 0);
    EXPECT_EQ(limit->GetInt32Attribute(eAttrValue), c.value);
    EXPECT_EQ(limit->GetInt32Attribute(eAttrMaximum), 100);
    EXPECT_EQ(limit->GetInt32Attribute(eAttrDefault), 70);
    delete tree_;
    tree_ = nullptr;
  }
  // A Float64 node of a new tree is checked against the range its file gives.
  const std::string path = Put(
      "new.xml",
      "<Branch name=\"root\"><Float64 name=\"f\" value=\"2.5\" minimum=\"0\" maximum=\"1\" default=\"0.5\"/></Branch>");
  const std::string mark = MarkLog();
  CParameterNode* result = nullptr;
  ASSERT_EQ(LoadTreeFromXml(path, &result, nullptr), 0);
  std::unique_ptr<CParameterNode> owner(result);
  EXPECT_EQ(result->FirstChild()->GetFloat64Attribute(eAttrValue), 0.5);
  EXPECT_NE(LogAfter(mark).find("LoadTreeFromXml: f value 2.5 refused (0 to 1), default 0.5 taken"), std::string::npos);
}

TEST_F(Xml, ElementsOfAnotherTypeThanTheExistingNodeAreIgnoredAndTheNodeKept) {
  tree_ = new CParameterNode("root", eNodeType::Branch);
  auto* x = Make(tree_, "x", eNodeType::Int32);
  x->SetInt32Attribute(eAttrValue, 5);
  CParameterNode* leaf_child = nullptr;
  ASSERT_EQ(tree_->FindOrCreateNode("y/z", eNodeType::Int32, &leaf_child), 0);
  const std::string path = Put("types.xml",
                               "<Branch name=\"root\">"
                               "<String name=\"x\" value=\"hello\"/>"
                               "<Branch name=\"y\"><Int32 name=\"new\" value=\"1\"/></Branch>"
                               "<Mystery name=\"m\" value=\"1\"/>"
                               "<Int32 name=\"after\" value=\"2\"/>"
                               "</Branch>");
  CParameterNode* result = nullptr;
  ASSERT_EQ(LoadTreeFromXml(path, &result, tree_), 0);
  EXPECT_EQ(Dump(tree_),
            "0 [root]\n"
            " 4 [x] 5 0 0 0\n"
            " 4 [y] 0 0 0 0\n"
            "  4 [z] 0 0 0 0\n"
            " 4 [after] 2 0 0 0\n");
  std::unique_ptr<char[]> log(g_Logger.CopyBuffer());
  EXPECT_NE(std::string(log.get()).find("LoadTreeFromXml: String element \"x\" ignored: the node's type is Int32\n"),
            std::string::npos);
}

TEST_F(Xml, ATopElementOfAnotherNameBuildsANewTreeAndLeavesTheGivenOne) {
  tree_ = Sample();
  const std::string before = Dump(tree_);
  const std::string path = Put("other.xml", "<Branch name=\"other\"><Int32 name=\"i\" value=\"1\"/></Branch>");
  CParameterNode* result = tree_;
  ASSERT_EQ(LoadTreeFromXml(path, &result, tree_), 0);
  std::unique_ptr<CParameterNode> owner(result);
  EXPECT_NE(result, tree_);
  EXPECT_EQ(Dump(result), "0 [other]\n 4 [i] 1 0 0 0\n");
  EXPECT_EQ(Dump(tree_), before);
}

TEST_F(Xml, RefusedAndHostileFilesLeaveTheTreeAsItWas) {
  std::string deep_ok = "<Branch name=\"root\">";
  std::string deep_bad = deep_ok;
  for (int i = 1; i < kMaxXmlDepth; ++i) deep_ok += "<Branch name=\"d\">";
  for (int i = 1; i < kMaxXmlDepth; ++i) deep_ok += "</Branch>";
  deep_ok += "</Branch>";
  for (int i = 1; i <= kMaxXmlDepth; ++i) deep_bad += "<Branch name=\"d\">";
  for (int i = 1; i <= kMaxXmlDepth; ++i) deep_bad += "</Branch>";
  deep_bad += "</Branch>";
  std::string late_failure = "<Branch name=\"root\"><Branch name=\"system\">";
  for (int i = 0; i < 200; ++i) late_failure += "<Int32 name=\"count\" value=\"" + std::to_string(i) + "\"/>\n";
  late_failure += "<Int32 name=\"count\" value=\"1\"</Branch></Branch>";

  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"empty", ""},
      {"ends inside an element", "<Branch name=\"root\"><Branch name=\"system\"><Int32 name=\"count\" val"},
      {"missing end", "<Branch name=\"root\"><Branch name=\"system\"></Branch>"},
      {"fails late, after many changes", late_failure},
      {"element without attributes", "<Branch name=\"root\"><Branch name=\"system\"><Int32/></Branch></Branch>"},
      {"top element without attributes", "<Branch></Branch>"},
      {"top element not a Branch", "<Int32 name=\"root\" value=\"1\"/>"},
      {"two top elements", "<Branch name=\"root\"></Branch><Branch name=\"root\"></Branch>"},
      {"DOCTYPE",
       "<!DOCTYPE x [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]>"
       "<Branch name=\"root\"><String name=\"s\" value=\"&b;\"/></Branch>"},
      {"undeclared entity", "<Branch name=\"root\"><String name=\"s\" value=\"&nope;\"/></Branch>"},
      {"nested deeper than the limit", deep_bad},
      {"broken UTF-8", "<Branch name=\"root\"><String name=\"s\" value=\"\xFF\"/></Branch>"},
      {"NUL byte", std::string("<Branch name=\"root\">\0</Branch>", 22)},
      {"binary", std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16)},
  };
  tree_ = Sample();
  CParameterNode* count = nullptr;
  ASSERT_EQ(tree_->FindNode("system/count", &count), 0);
  count->Subscribe(&Record, &notices);
  const std::string before = Dump(tree_);
  for (const auto& c : cases) {
    const std::string path = Put("bad.xml", c.text);
    EXPECT_EQ(CheckXmlFile(path), c.what == std::string("element without attributes") ||
                                          c.what == std::string("top element without attributes") ||
                                          c.what == std::string("top element not a Branch")
                                      ? 0
                                      : 10)
        << c.what;
    CParameterNode* result = nullptr;
    EXPECT_EQ(LoadTreeFromXml(path, &result, tree_), 10) << c.what;
    EXPECT_EQ(result, tree_) << c.what;
    EXPECT_EQ(Dump(tree_), before) << c.what;
    EXPECT_TRUE(notices.empty()) << c.what;

    result = reinterpret_cast<CParameterNode*>(0x1);
    EXPECT_EQ(LoadTreeFromXml(path, &result, nullptr), 10) << c.what;
    EXPECT_EQ(result, nullptr) << c.what;
  }

  const std::string ok = Put("deep.xml", deep_ok);
  CParameterNode* result = nullptr;
  EXPECT_EQ(CheckXmlFile(ok), 0);
  ASSERT_EQ(LoadTreeFromXml(ok, &result, nullptr), 0) << "exactly the limit loads";
  delete result;
}

TEST_F(Xml, AFileThatCannotBeOpenedChangesNothing) {
  tree_ = Sample();
  const std::string before = Dump(tree_);
  CParameterNode* result = nullptr;
  EXPECT_EQ(LoadTreeFromXml("/yaffs/settings/missing.xml", &result, tree_), 9);
  EXPECT_EQ(result, tree_) << "the caller's pointer to the tree it still has is kept";
  EXPECT_EQ(Dump(tree_), before);
  EXPECT_EQ(LoadTreeFromXml("/yaffs/settings/missing.xml", &result, nullptr), 9);
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(CheckXmlFile("/yaffs/settings/missing.xml"), 9);
  EXPECT_EQ(LoadTreeFromXml("/elsewhere/x.xml", &result, nullptr), 9);
}

// Names with path syntax reach nodes deeper than the element nesting shows. A load must still never
// build a tree deeper than a file may be, or that tree could never be saved again.
TEST_F(Xml, PathNamesNeverMakeTheTreeDeeperThanAFileMayBe) {
  // Levels below the top element, all named "d", as an element chain and as a path.
  const auto chain = [](int levels, const std::string& inner) {
    std::string text;
    for (int i = 0; i < levels; ++i) text += "<Branch name=\"d\">";
    text += inner;
    for (int i = 0; i < levels; ++i) text += "</Branch>";
    return text;
  };
  std::string deepest = "d";
  for (int i = 2; i < kMaxXmlDepth; ++i) deepest += "/d";  // the node at the deepest allowed level
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"a Branch below the deepest level",
       "<Branch name=\"root\">" + chain(kMaxXmlDepth - 1, "") + "<Branch name=\"" + deepest +
           "\"><Branch name=\"below\"><Int32 name=\"leaf\" value=\"1\"/></Branch></Branch></Branch>"},
      {"a leaf below the deepest level", "<Branch name=\"root\">" + chain(kMaxXmlDepth - 1, "") + "<Branch name=\"" +
                                             deepest + "\"><Int32 name=\"leaf\" value=\"1\"/></Branch></Branch>"},
  };
  for (const auto& c : cases) {
    const std::string path = Put("deep-path.xml", c.text);
    CParameterNode* result = nullptr;
    ASSERT_EQ(LoadTreeFromXml(path, &result, nullptr), 0) << c.what;
    std::unique_ptr<CParameterNode> owner(result);
    CParameterNode* bottom = nullptr;
    ASSERT_EQ(result->FindNode(deepest, &bottom), 0) << c.what << ": the allowed levels load";
    EXPECT_EQ(bottom->FirstChild(), nullptr) << c.what << ": nothing is made below them";
    EXPECT_EQ(SaveTreeToXml("/yaffs/settings/deep-saved.xml", result), 0) << c.what;
  }

  // A branch file merged below the top of the tree counts the levels above it too.
  tree_ = new CParameterNode("root", eNodeType::Branch);
  auto* group = Make(tree_, "group", eNodeType::Branch);
  const std::string path = Put("deep-group.xml", "<Branch name=\"group\">" + chain(kMaxXmlDepth - 1, "") + "</Branch>");
  CParameterNode* result = nullptr;
  ASSERT_EQ(CheckXmlFile(path), 0);
  ASSERT_EQ(LoadTreeFromXml(path, &result, group), 0);
  EXPECT_EQ(result, group);
  EXPECT_EQ(SaveTreeToXml("/yaffs/settings/deep-whole.xml", tree_), 0) << "the whole tree still saves";
  std::unique_ptr<char[]> log(g_Logger.CopyBuffer());
  EXPECT_NE(std::string(log.get()).find("LoadTreeFromXml: Branch element \"d\" ignored: deeper than 64 levels\n"),
            std::string::npos);
}

// Every element is looked up among its siblings one by one, so a huge file would hold the loading
// thread for minutes and its recorded elements would take many times its size in memory.
TEST_F(Xml, FilesLargerThanTheLimitAreRefusedAndNeverWritten) {
  const std::string body = "<Branch name=\"root\"><Int32 name=\"i\" value=\"1\"/></Branch>";
  const auto padded = [&](std::size_t size) { return body + std::string(size - body.size() - 1, ' ') + "\n"; };
  tree_ = Sample();
  const std::string before = Dump(tree_);

  const std::string at_limit = Put("limit.xml", padded(kMaxXmlFileSize));
  EXPECT_EQ(CheckXmlFile(at_limit), 0);
  CParameterNode* result = nullptr;
  ASSERT_EQ(LoadTreeFromXml(at_limit, &result, nullptr), 0) << "a file of exactly the limit loads";
  delete result;

  const std::string over = Put("over.xml", padded(kMaxXmlFileSize + 1));
  EXPECT_EQ(CheckXmlFile(over), 10);
  result = nullptr;
  EXPECT_EQ(LoadTreeFromXml(over, &result, tree_), 10);
  EXPECT_EQ(result, tree_);
  EXPECT_EQ(Dump(tree_), before);
  std::unique_ptr<char[]> log(g_Logger.CopyBuffer());
  EXPECT_NE(std::string(log.get()).find("LoadTreeFromXml: /yaffs/settings/over.xml refused: larger than 524288 bytes"),
            std::string::npos);

  // A tree whose file would be too large to load again is not saved; the previous file stays.
  const std::string path = "/yaffs/settings/big.xml";
  ASSERT_EQ(SaveTreeToXml(path, tree_), 0);
  const std::string previous = Read(path);
  Make(tree_, "huge", eNodeType::String)->SetStringAttribute(eAttrValue, std::string(kMaxXmlFileSize, 'x'));
  EXPECT_EQ(SaveTreeToXml(path, tree_), 11);
  EXPECT_EQ(Read(path), previous);
  EXPECT_FALSE(fs::exists(Host(TemporaryFileName(path, 0))));
}

TEST_F(Xml, FilesOfWholeChunksLoad) {
  for (std::size_t size : {1024u, 2048u, 3072u}) {
    std::string text = "<Branch name=\"root\"><Int32 name=\"i\" value=\"1\"/></Branch>";
    text += std::string(size - text.size() - 1, ' ') + "\n";
    ASSERT_EQ(text.size(), size);
    CParameterNode* result = nullptr;
    const std::string path = Put("chunks.xml", text);
    EXPECT_EQ(CheckXmlFile(path), 0) << size;
    ASSERT_EQ(LoadTreeFromXml(path, &result, nullptr), 0) << size;
    EXPECT_EQ(Dump(result), "0 [root]\n 4 [i] 1 0 0 0\n");
    delete result;
  }
}

TEST_F(Xml, AFailedSaveKeepsThePreviousFile) {
  tree_ = Sample();
  const std::string path = "/yaffs/settings/keep.xml";
  ASSERT_EQ(SaveTreeToXml(path, tree_), 0);
  const std::string previous = Read(path);

  // A node of no known type: nothing is written, the temporary file is removed.
  auto* bad = new CParameterNode("bad", static_cast<eNodeType>(9));
  ASSERT_EQ(tree_->AddChildNode(bad), 0);
  EXPECT_EQ(SaveTreeToXml(path, tree_), 47);
  EXPECT_EQ(Read(path), previous);
  EXPECT_FALSE(fs::exists(Host(TemporaryFileName(path, 0))));
  delete bad;

  // The temporary file cannot be made.
  fs::create_directory(Host(TemporaryFileName(path, 0)));
  EXPECT_EQ(SaveTreeToXml(path, tree_), 9);
  EXPECT_EQ(Read(path), previous);
  fs::remove(Host(TemporaryFileName(path, 0)));

  // Read-only and unmounted file systems.
  EXPECT_EQ(SaveTreeToXml("/romfs/factory.xml", tree_), 9);
  EXPECT_EQ(SaveTreeToXml("/nowhere/x.xml", tree_), 9);
  EXPECT_EQ(SaveTreeToXml(path, nullptr), 47);
  EXPECT_EQ(Read(path), previous);
}

TEST_F(Xml, WriteBranchXmlReportsAFailedWrite) {
  tree_ = Sample();
  std::FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  std::setvbuf(full, nullptr, _IONBF, 0);
  EXPECT_EQ(WriteBranchXml(tree_, full), 11);
  std::fclose(full);
}

TEST_F(Xml, ASubscriberThrowingDuringALoadDeletesNothing) {
  tree_ = Sample();
  CParameterNode* count = nullptr;
  ASSERT_EQ(tree_->FindNode("system/count", &count), 0);
  count->Subscribe([](CParameterNode*, int, void*) { throw static_cast<eError>(49); }, nullptr);
  const std::string path = Put("throw.xml",
                               "<Branch name=\"root\"><Branch name=\"system\">"
                               "<Int32 name=\"count\" value=\"1\"/><Int32 name=\"later\" value=\"1\"/>"
                               "</Branch></Branch>");
  CParameterNode* result = nullptr;
  EXPECT_EQ(LoadTreeFromXml(path, &result, tree_), 49);
  EXPECT_EQ(result, tree_);
  EXPECT_EQ(count->GetInt32Attribute(eAttrValue), 1) << "the change made before the throw stays";
  const std::string after = Dump(tree_);
  EXPECT_EQ(after.find("unkept"), std::string::npos) << "keep flags restored";
  EXPECT_NE(after.find("[comm_parms]"), std::string::npos) << "nothing purged";
  EXPECT_EQ(g_ParameterTreeLock.Count(), 0u);
}

// Bounded stress: merges and saves while other threads read and write the same nodes.
TEST_F(Xml, LoadsAndSavesRaceCleanlyWithTreeUsers) {
  tree_ = Sample();
  ASSERT_EQ(SaveTreeToXml("/yaffs/settings/race.xml", tree_), 0);
  CParameterNode* count = nullptr;
  ASSERT_EQ(tree_->FindNode("system/count", &count), 0);
  std::atomic<bool> failed{false};
  std::thread loader([&] {
    for (int i = 0; i < 30; ++i) {
      CParameterNode* result = nullptr;
      if (LoadTreeFromXml("/yaffs/settings/race.xml", &result, tree_) != 0 || result != tree_) failed = true;
    }
  });
  std::thread saver([&] {
    for (int i = 0; i < 30; ++i) {
      if (SaveTreeToXml("/yaffs/settings/race-copy.xml", tree_) != 0) failed = true;
    }
  });
  std::thread user([&] {
    for (int i = 0; i < 3000; ++i) {
      count->SetInt32Attribute(eAttrDefault, i);
      CParameterNode* found = nullptr;
      if (tree_->FindNode("comm_parms/ppm_ref", &found) != 0) failed = true;
      (void)found->GetFloat64Attribute(eAttrValue);
    }
  });
  loader.join();
  saver.join();
  user.join();
  EXPECT_FALSE(failed.load());
  EXPECT_EQ(CheckXmlFile("/yaffs/settings/race-copy.xml"), 0);
}

}  // namespace
}  // namespace Torvex
