// The probe description file: a valid file with scalars and curves, a document type declaration
// without entity declarations accepted, every refusal (another or no StructVersion, not well-formed,
// an entity declaration) deleting the file and logging the rejection, a missing file, curve counts
// clamped to 128, text bounded to 512 characters, scalars with attributes and files of 1024 bytes or
// more.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "core/CLogger.h"
#include "peripherals/ProbeXml.h"
#include "platform/io.h"
#include "support/board_root.h"

namespace Torvex {
namespace {

namespace fs = std::filesystem;

std::string LogText() {
  std::unique_ptr<char[]> copy(g_Logger.CopyBuffer());
  return copy.get();
}

const char* const kRejection =
    "THE GIVEN XML FILE IS CORRUPTED OR CONTAINS A VERSION OF PARAMETERS THAT IS NOT HANDLED BY THIS FIRMWARE!\n";

class ProbeXml : public ::testing::Test {
 protected:
  void SetUp() override {
    root = torvex_test::MakeBoardRoot("probexml");
    ASSERT_EQ(platform::mount("", "/yaffs", "yaffs"), 0);
    fs::create_directories(root / "yaffs/user");
  }
  void TearDown() override { torvex_test::RemoveBoardRoot(root); }

  fs::path HostFile() const { return root / "yaffs/user/probe.xml"; }
  void Write(const std::string& text) const { std::ofstream(HostFile(), std::ios::binary) << text; }
  // Loads `text` as the probe file into a fresh record.
  int Load(const std::string& text) {
    Write(text);
    record = {};
    return LoadProbeXmlFile(kProbeXmlPath, record);
  }

  fs::path root;
  ProbeXmlRecord record;
};

const char* const kValid = R"(<?xml version="1.0"?>
<Probe>
  <StructVersion>1</StructVersion>
  <MinFreq>1.5e6</MinFreq><MaxFreq>2.13e8</MaxFreq>
  <MinIF>100</MinIF><MaxIF>2500.5</MaxIF>
  <FreqMultiplier>2</FreqMultiplier><GyroRatio>42577478.5</GyroRatio>
  <PulsePeriod>0.001</PulsePeriod><T2>0.002</T2><SampleLength>512</SampleLength>
  <Nested><DeadTime>17</DeadTime></Nested>
  <TuningCurve n="3">10,20,30</TuningCurve>
  <NoiseLevelCurve>1,2,3</NoiseLevelCurve>
  <Unknown n="5">9,9</Unknown>
</Probe>
)";

TEST_F(ProbeXml, ValidFileFillsTheRecord) {
  ASSERT_EQ(Load(kValid), 0);
  EXPECT_EQ(record.StructVersion, 1);
  EXPECT_EQ(record.MinFreq, 1.5e6);
  EXPECT_EQ(record.MaxFreq, 2.13e8);
  EXPECT_EQ(record.MaxIF, 2500.5);
  EXPECT_EQ(record.GyroRatio, 42577478.5);
  EXPECT_EQ(record.SampleLength, 512);
  EXPECT_EQ(record.DeadTime, 17) << "elements count wherever they stand";
  EXPECT_EQ(record.TuningCurve.count, 3);
  EXPECT_EQ(record.TuningCurve.points[0], 10);
  EXPECT_EQ(record.TuningCurve.points[2], 30);
  EXPECT_EQ(record.NoiseLevelCurve.count, 0) << "a curve without attribute has no points";
  EXPECT_EQ(record.NoiseLevelCurve.points[0], 0);
  EXPECT_TRUE(fs::exists(HostFile()));
  EXPECT_TRUE(ProbeXmlExists());
}

TEST_F(ProbeXml, RefusedFilesAreDeletedAndTheRejectionLogged) {
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"StructVersion 2", "<P><StructVersion>2</StructVersion><MinFreq>5</MinFreq></P>"},
      {"no StructVersion", "<P><MinFreq>5</MinFreq></P>"},
      {"not well-formed", "<P><StructVersion>1</StructVersion><MinFreq>5</P>"},
      {"empty file", ""},
      {"entity declaration", "<!DOCTYPE P [<!ENTITY a \"1\">]><P><StructVersion>&a;</StructVersion></P>"},
      {"unused entity declaration",
       "<!DOCTYPE P [<!ELEMENT P ANY><!ENTITY a \"x\">]><P><StructVersion>1</StructVersion></P>"},
      {"nested entities",
       "<!DOCTYPE P [<!ENTITY a \"1\"><!ENTITY b \"&a;&a;&a;\">]><P><StructVersion>1</StructVersion>"
       "<MinFreq>&b;</MinFreq></P>"},
      {"parameter entity declaration",
       "<!DOCTYPE P [<!ENTITY % p \"<!ELEMENT P ANY>\">]><P><StructVersion>1</StructVersion></P>"},
      {"external entity declaration",
       "<!DOCTYPE P [<!ENTITY e SYSTEM \"/etc/passwd\">]><P><StructVersion>1</StructVersion><T2>&e;</T2></P>"},
      {"junk after the root element", "<P><StructVersion>1</StructVersion></P>x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    record.MinFreq = 99;
    EXPECT_EQ(Load(c.text), 10);
    EXPECT_FALSE(fs::exists(HostFile())) << "a refused file is deleted";
    EXPECT_FALSE(ProbeXmlExists());
    const std::string log = LogText();
    ASSERT_GE(log.size(), std::strlen(kRejection));
    EXPECT_EQ(log.substr(log.size() - std::strlen(kRejection)), kRejection) << "the rejection is the last log line";
    EXPECT_EQ(record.MinFreq, 0.0) << "a refused file fills nothing";
  }
}

// A document type declaration is part of well-formed XML: without entity declarations it changes
// nothing and the file is taken.
TEST_F(ProbeXml, DocumentTypeDeclarationsWithoutEntitiesAreAccepted) {
  const char* const body = "<Probe><StructVersion>1</StructVersion><DeadTime>9</DeadTime></Probe>";
  for (const char* doctype : {"<!DOCTYPE Probe>", "<!DOCTYPE Probe SYSTEM \"probe.dtd\">",
                              "<!DOCTYPE Probe PUBLIC \"-//Probe//EN\" \"probe.dtd\">",
                              "<!DOCTYPE Probe [<!ELEMENT Probe ANY><!ATTLIST Probe id CDATA #IMPLIED>]>",
                              "<!DOCTYPE Probe [\n<!-- no entities here -->\n]>"}) {
    SCOPED_TRACE(doctype);
    ASSERT_EQ(Load(std::string("<?xml version=\"1.0\"?>\n") + doctype + "\n" + body), 0);
    EXPECT_EQ(record.StructVersion, 1);
    EXPECT_EQ(record.DeadTime, 9);
    EXPECT_TRUE(fs::exists(HostFile()));
  }
}

TEST_F(ProbeXml, MissingFileGives9AndNothingIsDeleted) {
  EXPECT_FALSE(ProbeXmlExists());
  EXPECT_EQ(LoadProbeXmlFile(kProbeXmlPath, record), 9);
  EXPECT_EQ(LoadProbeXml(), 9);
}

TEST_F(ProbeXml, ScalarWithAnAttributeIsStillAScalar) {
  ASSERT_EQ(Load("<P><StructVersion n=\"4\">1</StructVersion><MinFreq count=\"2\">7.5,8</MinFreq></P>"), 0);
  EXPECT_EQ(record.StructVersion, 1);
  EXPECT_EQ(record.MinFreq, 7.5);
  EXPECT_EQ(record.MaxFreq, 0.0) << "nothing is written beside the field";
}

TEST_F(ProbeXml, CurveCountsAreClampedTo128Points) {
  std::string points;
  for (int i = 0; i < 200; ++i) points += std::to_string(i) + ",";
  ASSERT_EQ(Load("<P><StructVersion>1</StructVersion><FreqStepCurve n=\"60000\">" + points +
                 "</FreqStepCurve><TuningCurve n=\"2\">70000,-5,3</TuningCurve></P>"),
            0);
  EXPECT_EQ(record.FreqStepCurve.count, 128);
  EXPECT_EQ(record.FreqStepCurve.points[0], 0);
  EXPECT_EQ(record.FreqStepCurve.points[127], 127);
  EXPECT_EQ(record.TuningCurve.count, 2);
  EXPECT_EQ(record.TuningCurve.points[0], 65535) << "a point beyond 16 bits saturates";
  EXPECT_EQ(record.TuningCurve.points[1], 0);
  EXPECT_EQ(record.TuningCurve.points[2], 0) << "points beyond the count are not stored";
  EXPECT_EQ(record.PulseWidthCurve.count, 0);
}

TEST_F(ProbeXml, TextBeyond512CharactersIsDropped) {
  ASSERT_EQ(Load("<P><StructVersion>1</StructVersion><SampleLength>" + std::string(5000, '0') +
                 "7</SampleLength>"
                 "<MaxFreq>" +
                 std::string(510, ' ') + "12345</MaxFreq></P>"),
            0);
  EXPECT_EQ(record.SampleLength, 0.0);
  EXPECT_EQ(record.MaxFreq, 12.0) << "the 512th and later characters of the text are dropped";
}

TEST_F(ProbeXml, FilesOf1024BytesOrMoreAreParsedCompletely) {
  for (std::size_t size : {1023u, 1024u, 1025u, 2048u, 5000u}) {
    SCOPED_TRACE(size);
    std::string head = "<P><StructVersion>1</StructVersion><!--";
    const std::string tail = "--><DeadTime>3</DeadTime></P>";
    head += std::string(size - head.size() - tail.size(), 'x');
    ASSERT_EQ((head + tail).size(), size);
    ASSERT_EQ(Load(head + tail), 0);
    EXPECT_EQ(record.DeadTime, 3);
  }
}

TEST_F(ProbeXml, LoadFillsTheGlobalRecord) {
  const ProbeXmlRecord saved = g_ProbeXmlRecord;
  Write(kValid);
  ASSERT_EQ(LoadProbeXml(), 0);
  EXPECT_EQ(g_ProbeXmlRecord.DeadTime, 17);
  g_ProbeXmlRecord = saved;
}

}  // namespace
}  // namespace Torvex
