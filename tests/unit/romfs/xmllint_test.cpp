// The factory settings file must be well-formed for an XML checker that nobody here wrote.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "factory_xml_reader.h"
#include "support/temp_dir.h"

using namespace torvex_test;

namespace {

std::string Xmllint() {
  const auto found = FindInPath("xmllint");
  return found ? *found : std::string();
}

}  // namespace

TEST(FactoryXmllint, FactoryFilePassesXmllint) {
  const std::string xmllint = Xmllint();
  ASSERT_FALSE(xmllint.empty()) << "xmllint not found in PATH; install the Debian package libxml2-utils";
  const ProgramRun run = RunProgram(xmllint, {"--noout", RomfsImagePath("factory.xml")});
  EXPECT_EQ(run.exitStatus, 0) << run.output;
  EXPECT_EQ(run.output, "");
}

// The same run on a damaged copy must fail, so that a pass above means something.
TEST(FactoryXmllint, DamagedCopyIsRefused) {
  const std::string xmllint = Xmllint();
  ASSERT_FALSE(xmllint.empty()) << "xmllint not found in PATH; install the Debian package libxml2-utils";
  const auto text = ReadWholeFile(RomfsImagePath("factory.xml"));
  ASSERT_TRUE(text.has_value());
  const torvex_test::TempDir dir("xmllint");
  const auto damaged = dir.path() / "factory_damaged.xml";
  {
    std::ofstream out(damaged, std::ios::binary);
    out << text->substr(0, text->size() - 20);  // cut inside the closing lines
  }
  const ProgramRun run = RunProgram(xmllint, {"--noout", damaged.string()});
  EXPECT_NE(run.exitStatus, 0) << run.output;
}
