// The mass-memory and route commands through a client of the engine's test transport, against the
// simulated board (the flash file system, the probe topology on the connector) and the settings code;
// and the path and block rules those commands are built on.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/HostCommandHelpers.h"
#include "host/HostMassMemoryPaths.h"
#include "host_fixture.h"
#include "platform/nand.h"
#include "settings/SettingsSubsystems.h"
#include "sim/nand_flash.h"
#include "status/ScpiStatusBitRows.h"
#include "system/CTorvexPower.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

namespace torvex_test {
namespace {

namespace fs = std::filesystem;
using Torvex::eAttrValue;

// ---- the rules, without the parser ----------------------------------------------------------------

TEST(MassMemoryPaths, CanonicalFormFoldsOrRefuses) {
  struct Case {
    std::string raw;
    bool accepted;
    std::string canonical;
  };
  const Case cases[] = {
      {"/yaffs/user/x.txt", true, "/yaffs/user/x.txt"},
      {"//yaffs///user//x.txt", true, "/yaffs/user/x.txt"},
      {"/yaffs/./user/./x.txt", true, "/yaffs/user/x.txt"},
      {"/yaffs/user/", true, "/yaffs/user"},
      {"", false, ""},
      {"/", false, ""},
      {"//./", false, ""},
      {"yaffs/user/x.txt", false, ""},
      {"./x.txt", false, ""},
      {"/yaffs/user/../settings/LastPowerOff.xml", false, ""},
      {"/yaffs/..", false, ""},
      {"/..", false, ""},
      {"/yaffs/user/..x", true, "/yaffs/user/..x"},
      {std::string("/yaffs/user/x\0.txt", 18), false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.raw);
    std::string out = "untouched";
    EXPECT_EQ(Torvex::CanonicalMassMemoryPath(c.raw, &out), c.accepted);
    EXPECT_EQ(out, c.accepted ? c.canonical : "untouched");
  }
}

TEST(MassMemoryPaths, PrefixesAndReadableFileSystems) {
  EXPECT_TRUE(Torvex::MassMemoryPathIsBelow("/yaffs/user/x", "/yaffs/user/"));
  EXPECT_TRUE(Torvex::MassMemoryPathIsBelow("/yaffs/user/a/b", "/yaffs/user/"));
  EXPECT_FALSE(Torvex::MassMemoryPathIsBelow("/yaffs/user", "/yaffs/user/"));
  EXPECT_FALSE(Torvex::MassMemoryPathIsBelow("/yaffs/userx", "/yaffs/user/"));
  EXPECT_TRUE(Torvex::MassMemoryPathIsReadable("/yaffs/x"));
  EXPECT_TRUE(Torvex::MassMemoryPathIsReadable("/romfs/help.dat"));
  EXPECT_FALSE(Torvex::MassMemoryPathIsReadable("/dev/ser0"));
  EXPECT_FALSE(Torvex::MassMemoryPathIsReadable("/romfs"));
  EXPECT_FALSE(Torvex::MassMemoryPathIsReadable("/romfsx/a"));
}

TEST(MassMemoryPaths, SettingsFileNamesArePlainNames) {
  EXPECT_TRUE(Torvex::IsPlainSettingsFileName("a.xml"));
  EXPECT_TRUE(Torvex::IsPlainSettingsFileName("..a"));
  for (const std::string& name : {std::string(), std::string("."), std::string(".."), std::string("x/a.xml"),
                                  std::string("/a.xml"), std::string("a\0b", 3)}) {
    EXPECT_FALSE(Torvex::IsPlainSettingsFileName(name)) << name;
  }
}

// Names of the firmware's temporary files ("~tmp" and a number at the end) are no names a host may
// write; names that only look alike are.
TEST(MassMemoryPaths, TemporaryFileNamesAreRefusedForWriting) {
  struct Case {
    const char* path;
    bool temporary;
  };
  const Case cases[] = {
      {"/yaffs/user/x.txt~tmp0", true}, {"/yaffs/user/x~tmp12", true},    {"x.xml~tmp1", true},
      {"/yaffs/user/x.txt", false},     {"/yaffs/user/x.txt~tmp", false}, {"/yaffs/user/x~tmp0.txt", false},
      {"/yaffs/user/~tmp0", false},     {"/yaffs/user/x~TMP0", false},    {"/yaffs/a~tmp0/x.txt", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Torvex::NamesTemporaryFile(c.path), c.temporary) << c.path;
  }
  EXPECT_FALSE(Torvex::IsPlainSettingsFileName("s1.xml~tmp0"));
  EXPECT_TRUE(Torvex::IsPlainSettingsFileName("s1~tmp0.xml"));
}

// The block of the low-level query counts its length at full width (no 16-bit wrap-around).
TEST(DefiniteLengthBlocks, HeaderHasAsManyDigitsAsTheLengthNeeds) {
  EXPECT_EQ(Torvex::DefiniteLengthHeader(1), "#11");
  EXPECT_EQ(Torvex::DefiniteLengthHeader(5), "#15");
  EXPECT_EQ(Torvex::DefiniteLengthHeader(12), "#212");
  EXPECT_EQ(Torvex::DefiniteLengthHeader(65535), "#565535");
  EXPECT_EQ(Torvex::DefiniteLengthHeader(65536), "#565536");
  EXPECT_EQ(Torvex::DefiniteLengthHeader(1000000), "#71000000");
}

TEST(ChannelLists, TextForm) {
  auto channel = [](std::initializer_list<std::uint8_t> levels) {
    Torvex::CTorvexChannel c;
    for (std::uint8_t l : levels) c.AppendLevel(l);
    return c;
  };
  EXPECT_EQ(Torvex::ChannelListToText({}), "(@)");
  EXPECT_EQ(Torvex::ChannelListToText({channel({1})}), "(@1)");
  EXPECT_EQ(Torvex::ChannelListToText({channel({1, 2}), channel({1, 3})}), "(@1!2,1!3)");
  EXPECT_EQ(Torvex::ChannelListToText({channel({1, 16, 2, 255, 4})}), "(@1!16!2!255!4)");
}

// ---- the commands ---------------------------------------------------------------------------------

std::string HostFile(const std::string& firmwarePath) { return platform::BoardRoot() + firmwarePath; }

std::string ReadHost(const std::string& hostPath) {
  std::ifstream in(hostPath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The flash of the board (its usage figures feed the catalogue), mounted at /yaffs once per program.
void MountFlash() {
  static const bool mounted = [] {
    static sim::NandFlash flash(
        platform::nand::kFlashDeviceName, sim::NandFlash::Geometry{},
        std::vector<platform::nand::Partition>{{0, sim::NandFlash::Geometry{}.block_count - 1}});
    flash.Register();
    fs::create_directories(HostFile("/yaffs"));
    return platform::IsMounted("/yaffs") || platform::mount("onboard/0", "/yaffs", "yaffs") == 0;
  }();
  ASSERT_TRUE(mounted);
}

// A reply longer than one transfer: reads until the chunk that carries END.
std::string ReadWholeReply(HostClient& client) {
  CTestTransport& transport = client.Transport();
  const std::size_t before = transport.Received().size();
  std::size_t chunks = transport.Chunks().size();
  for (int reads = 0; reads < 4096; ++reads) {
    transport.HostRead(1u << 20);
    if (!WaitFor([&] { return transport.Chunks().size() > chunks; })) return std::string();
    const std::vector<SentChunk> all = transport.Chunks();
    chunks = all.size();
    if (all.back().end) return transport.Received().substr(before);
  }
  return std::string();
}

class MassMemoryRouteTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    MountFlash();
    fs::remove_all(HostFile("/yaffs/user"));
    fs::remove_all(HostFile("/yaffs/settings"));
    EnsureProbeOnConnector();
    ASSERT_TRUE(A().Send("ROUT:CLOS (@1)"));
    ASSERT_EQ(A().Errors(), std::vector<int>{}) << LogText();
  }

  void TearDown() override {
    if (a_ != nullptr && a_->Ready()) {
      (void)A().Send("ABOR;:FORM ASC;:UNIT T;:TRIG:SOUR IMM");
      (void)A().Errors();
    }
    EXPECT_TRUE(WaitFor([] { return !Torvex::g_TriggerActive.load(); }));
    EnsureProbeOnConnector();
    fs::remove_all(HostFile("/yaffs/user"));
    fs::remove_all(HostFile("/yaffs/settings"));
    HostTest::TearDown();
  }

  // The world's topology back to one probe on the connector, as the fixture built it.
  void EnsureProbeOnConnector() {
    sim::PeripheralControllers& world = world_->board->peripherals();
    const std::vector<std::string> lines = world.Describe();
    if (lines.size() != 1 || lines[0].rfind("1 probe", 0) != 0) {
      std::string error;
      if (!lines.empty()) {
        ASSERT_TRUE(world.Unplug("1", &error)) << error;
      }
      ASSERT_TRUE(world.Plug("1", "probe", &error)) << error;
    }
    // The firmware's topology too (a whole-tree store empties it).
    std::vector<Torvex::CTorvexChannel> list;
    ASSERT_TRUE(WaitFor([&] { return Torvex::CTorvexPeripheral::RetrieveTopology(list) == 0; })) << LogText();
  }

  // A multiplexer on the connector with probes on its ports 2 and 3.
  void PlugMultiplexerWithTwoProbes() {
    sim::PeripheralControllers& world = world_->board->peripherals();
    std::string error;
    ASSERT_TRUE(world.Unplug("1", &error)) << error;
    ASSERT_TRUE(world.Plug("1", "multiplexer", &error)) << error;
    ASSERT_TRUE(world.Plug("1/2", "probe", &error)) << error;
    ASSERT_TRUE(world.Plug("1/3", "probe", &error)) << error;
  }

  // The client's errors without "Topology Changed", which the measurement side may report on its own
  // after the topology of the world changed.
  std::vector<int> ErrorsBesidesBrokenPath() {
    std::vector<int> errors = A().Errors();
    std::erase(errors, 205);
    return errors;
  }

  std::uint16_t OperationBit11Event() {
    std::uint16_t value = 0;
    A().Host().Status().GetEvent(Torvex::kOperationBit11Register, value);
    return value;
  }

  // Model and serial number (decimal) of the peripheral the world has at `path`.
  std::pair<std::string, std::string> ModelAndSerial(const std::string& path) {
    for (const std::string& line : world_->board->peripherals().Describe()) {
      std::smatch m;
      if (std::regex_search(line, m, std::regex("^" + path + " [a-z:0-9]+ model 0x([0-9a-f]+) serial 0x([0-9a-f]+)")))
        return {std::to_string(std::stoul(m[1], nullptr, 16)), std::to_string(std::stoul(m[2], nullptr, 16))};
    }
    return {};
  }
};

// DATA writes a user file, DATA? answers its bytes as they are, the catalogue lists it.
TEST_F(MassMemoryRouteTest, DataRoundTripAndCatalogue) {
  (void)OperationBit11Event();
  ASSERT_TRUE(A().Send("MMEM:DATA '/yaffs/user/x.txt',#15hello"));
  EXPECT_EQ(A().Errors(), std::vector<int>{});
  EXPECT_EQ(ReadHost(HostFile("/yaffs/user/x.txt")), "hello");
  EXPECT_EQ(OperationBit11Event() & 0x0008, 0x0008);
  EXPECT_EQ(A().Query("MMEM:DATA? '/yaffs/user/x.txt'"), "hello\n");

  const std::string binary("a\0b\n\xff", 5);
  ASSERT_TRUE(A().Send("MMEM:DATA '/yaffs/user/b.bin',#15" + binary));
  EXPECT_EQ(A().Query("MMEM:DATA? '/yaffs/user/b.bin'"), binary + "\n");

  const std::string catalogue = A().Query("MMEM?");
  EXPECT_TRUE(std::regex_search(catalogue, std::regex("^[0-9]+,[0-9]+,"))) << catalogue;
  EXPECT_NE(catalogue.find(",/yaffs/user/x.txt,,5"), std::string::npos) << catalogue;
  EXPECT_NE(catalogue.find(",/yaffs/user/b.bin,,5"), std::string::npos) << catalogue;
  EXPECT_EQ(A().Errors(), std::vector<int>{});
}

// DATA? reads any file of the two file systems, the read-only one included.
TEST_F(MassMemoryRouteTest, DataQueryReadsTheReadOnlyFileSystem) {
  const std::string help = ReadHost(HostFile("/romfs/help.dat"));
  ASSERT_FALSE(help.empty());
  ASSERT_TRUE(A().Send("MMEM:DATA? '/romfs/help.dat'"));
  const std::string reply = ReadWholeReply(A());
  EXPECT_EQ(reply.size(), help.size() + 1);
  EXPECT_TRUE(reply == help + "\n");
  EXPECT_EQ(A().Errors(), std::vector<int>{});
}

// Paths that are empty, relative, climb with "..", leave the allowed folders or name a device are
// refused with -257 before anything is touched; folded spellings of an allowed path are accepted.
TEST_F(MassMemoryRouteTest, PathsOutsideTheirFoldersAreRefused) {
  ASSERT_TRUE(A().Send("MMEM:DATA '/yaffs/user/x.txt',#15hello"));
  ASSERT_EQ(A().Errors(), std::vector<int>{});
  fs::create_directories(HostFile("/yaffs/settings"));
  std::ofstream(HostFile("/yaffs/settings/keep.xml")) << "keep";
  struct Case {
    std::string message;
    int error;  // 0: accepted
  };
  const Case cases[] = {
      {"MMEM:DATA? ''", -257},
      {"MMEM:DATA? 'x.txt'", -257},
      {"MMEM:DATA? '/yaffs/user/../user/x.txt'", -257},
      {"MMEM:DATA? '/yaffs/../romfs/help.dat'", -257},
      {"MMEM:DATA? '/dev/ser0'", -257},
      {"MMEM:DATA? '/yaffs'", -257},
      {"MMEM:DATA? '/yaffs/user/missing.txt'", -311},
      {"MMEM:DATA? '//yaffs//user/./x.txt'", 0},
      {"MMEM:DATA '/yaffs/x.txt',#15hello", -257},
      {"MMEM:DATA '/yaffs/user/../x.txt',#15hello", -257},
      {"MMEM:DATA '/yaffs/user/',#15hello", -257},
      {"MMEM:DATA 'yaffs/user/y.txt',#15hello", -257},
      {"MMEM:DATA '/yaffs/user/sub/x.txt',#15hello", -311},
      {"MMEM:DEL '/romfs/help.dat'", -257},
      {"MMEM:DEL '/yaffs/user/../../romfs/help.dat'", -257},
      {"MMEM:DEL '/yaffs/user/../settings/keep.xml'", -257},
      {"MMEM:DEL '/dev/ser0'", -257},
      {"MMEM:DEL '/yaffs/user/missing.txt'", -311},
      {"MMEM:LOAD 1,'/yaffs/settings/keep.xml'", -120},
      {"MMEM:LOAD 0,'/yaffs/user/x.txt'", -257},
      {"MMEM:LOAD 0,'/yaffs/settings/../user/x.txt'", -257},
      {"MMEM:LOAD 0,'/yaffs/settings/measure_parms/missing.xml'", -311},
      {"MMEM:STOR 0,'x/a.xml',MEAS", -257},
      {"MMEM:STOR 0,'',MEAS", -257},
      {"MMEM:STOR 0,'.',MEAS", -257},
      {"MMEM:STOR 0,'..',MEAS", -257},
      {"MMEM:STOR 1,'a.xml',MEAS", -120},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    // Every message ends with a query, so that each has a reply to read: a refused read adds nothing.
    const std::string reply = A().Query(c.message + ";:UNIT?");
    if (c.message.find('?') != std::string::npos && c.error == 0) {
      EXPECT_EQ(reply, "hello;T\n");
    } else {
      EXPECT_TRUE(reply == "T\n" || reply == ";T\n") << reply;
    }
    EXPECT_EQ(A().Errors(), c.error == 0 ? std::vector<int>{} : std::vector<int>{c.error});
  }
  EXPECT_EQ(ReadHost(HostFile("/yaffs/user/x.txt")), "hello");
  EXPECT_EQ(ReadHost(HostFile("/yaffs/settings/keep.xml")), "keep");
  EXPECT_FALSE(fs::exists(HostFile("/yaffs/x.txt")));
  EXPECT_FALSE(fs::exists(HostFile("/yaffs/settings/measure_parms/a.xml")));
}

// A refused read answers nothing at all, so the reply of the message holds only the other answers.
TEST_F(MassMemoryRouteTest, RefusedReadAnswersNothing) {
  const std::string reply = A().Query("MMEM:DATA? '/dev/ser0';:UNIT?");
  EXPECT_TRUE(reply == "T\n" || reply == ";T\n") << reply;
  EXPECT_EQ(A().Errors(), std::vector<int>{-257});
}

// A file larger than one reply can carry is refused with -225 before it is read.
TEST_F(MassMemoryRouteTest, FileTooLargeForOneReply) {
  fs::create_directories(HostFile("/yaffs/user"));
  {
    std::ofstream big(HostFile("/yaffs/user/big.bin"), std::ios::binary);
    big << std::string(Torvex::kMaxMassMemoryReplyBytes + 1, 'x');
  }
  const std::string reply = A().Query("MMEM:DATA? '/yaffs/user/big.bin';:UNIT?");
  EXPECT_TRUE(reply == "T\n" || reply == ";T\n") << reply.size();
  EXPECT_EQ(A().Errors(), std::vector<int>{-225});
}

TEST_F(MassMemoryRouteTest, DeleteRemovesAFlashFile) {
  ASSERT_TRUE(A().Send("MMEM:DATA '/yaffs/user/x.txt',#15hello"));
  (void)OperationBit11Event();
  ASSERT_TRUE(A().Send("MMEM:DEL '/yaffs/user/x.txt'"));
  EXPECT_EQ(A().Errors(), std::vector<int>{});
  EXPECT_FALSE(fs::exists(HostFile("/yaffs/user/x.txt")));
  EXPECT_EQ(OperationBit11Event() & 0x0008, 0x0008);
}

// A user file named like a temporary file would be hidden from the catalogue and removed at the next
// start as an unfinished write: DATA and STORe refuse such names with -257 and write nothing, while a
// name that only looks alike is written and listed.
TEST_F(MassMemoryRouteTest, NamesOfTemporaryFilesAreRefused) {
  struct Case {
    std::string message;
    std::string hostFile;
    int error;  // 0: accepted
  };
  const Case cases[] = {
      {"MMEM:DATA '/yaffs/user/t.txt~tmp0',#15hello", "/yaffs/user/t.txt~tmp0", -257},
      {"MMEM:DATA '/yaffs/user/t~tmp37',#15hello", "/yaffs/user/t~tmp37", -257},
      {"MMEM:STOR 0,'t.xml~tmp1',MEAS", "/yaffs/settings/measure_parms/t.xml~tmp1", -257},
      {"MMEM:DATA '/yaffs/user/t~tmp0.txt',#15hello", "/yaffs/user/t~tmp0.txt", 0},
      {"MMEM:STOR 0,'t~tmp1.xml',MEAS", "/yaffs/settings/measure_parms/t~tmp1.xml", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    ASSERT_TRUE(A().Send(c.message));
    EXPECT_EQ(A().Errors(), c.error == 0 ? std::vector<int>{} : std::vector<int>{c.error}) << LogText();
    EXPECT_EQ(fs::exists(HostFile(c.hostFile)), c.error == 0);
  }
  const std::string catalogue = A().Query("MMEM?");
  EXPECT_NE(catalogue.find(",/yaffs/user/t~tmp0.txt,,5"), std::string::npos) << catalogue;
  EXPECT_NE(catalogue.find(",/yaffs/settings/measure_parms/t~tmp1.xml,,"), std::string::npos) << catalogue;
  ASSERT_TRUE(A().Send("MMEM:DEL '/yaffs/user/t~tmp0.txt';:MMEM:DEL '/yaffs/settings/measure_parms/t~tmp1.xml'"));
  EXPECT_EQ(A().Errors(), std::vector<int>{});
}

// A group stored under a name is recalled from its folder at once (no restart for MEASure).
TEST_F(MassMemoryRouteTest, StoreThenLoadMeasurementSettings) {
  Torvex::CParameterNode* level = Torvex::g_node_measure_parms_measurement_level;
  const double level0 = level->GetFloat64Attribute(eAttrValue);
  const double stored = level0 != 0.2 ? 0.2 : 0.3;
  ASSERT_TRUE(A().Send("CONF:MEAS:LEV " + std::to_string(stored)));
  ASSERT_TRUE(A().Send("MMEM:STOR 0,'a.xml',MEAS"));
  ASSERT_EQ(A().Errors(), std::vector<int>{}) << LogText();
  EXPECT_TRUE(fs::exists(HostFile("/yaffs/settings/measure_parms/a.xml")));

  ASSERT_TRUE(A().Send("CONF:MEAS:LEV " + std::to_string(stored == 0.2 ? 0.3 : 0.2)));
  (void)OperationBit11Event();
  ASSERT_TRUE(A().Send("MMEM:LOAD 0,'/yaffs/settings/measure_parms/a.xml'"));
  EXPECT_EQ(A().Errors(), std::vector<int>{}) << LogText();
  EXPECT_DOUBLE_EQ(level->GetFloat64Attribute(eAttrValue), stored);
  EXPECT_EQ(OperationBit11Event(), 0x7FFF);
  level->SetFloat64Attribute(eAttrValue, level0);
}

// The whole tree stored and recalled becomes the start-up settings and asks for a restart that keeps
// them; the running tree is not touched.
TEST_F(MassMemoryRouteTest, StoreThenLoadWholeTreeTakesTheRestartPath) {
  ASSERT_TRUE(A().Send("MMEM:STOR 0,'a.xml',ALL"));
  ASSERT_EQ(A().Errors(), std::vector<int>{}) << LogText();
  const std::string stored = ReadHost(HostFile("/yaffs/settings/a.xml"));
  ASSERT_FALSE(stored.empty());
  ASSERT_TRUE(A().Send("MMEM:LOAD 0,'/yaffs/settings/a.xml'"));
  ASSERT_EQ(A().Errors(), std::vector<int>{}) << LogText();
  EXPECT_EQ(ReadHost(HostFile(Torvex::kLastPowerOffPath)), stored);
  EXPECT_EQ(Torvex::CTorvexPower::WaitForShutdownRequest(), Torvex::eShutdownReset);
  EXPECT_TRUE(Torvex::CTorvexPower::TakeKeepSavedSettings());
}

// ROUT:CLOS selects the probe; STATe? answers the closed list, ACTive? the selected channel, in
// text and in binary; a refused list leaves nothing selected.
TEST_F(MassMemoryRouteTest, CloseStateAndActive) {
  EXPECT_EQ(A().Query("ROUT:CLOS:STAT?"), "(@1)\n");
  EXPECT_EQ(A().Query("ROUT:CLOS:ACT?"), "(@1)\n");
  ASSERT_TRUE(A().Send("FORM INT"));
  EXPECT_EQ(A().Query("ROUT:CLOS:STAT?"), std::string("#6000001\x01\n"));
  EXPECT_EQ(A().Query("ROUT:CLOS:ACT?"), std::string("#6000001\x01\n"));

  ASSERT_TRUE(A().Send("ROUT:CLOS (@1!9)"));
  EXPECT_EQ(A().Errors(), std::vector<int>{203});
  EXPECT_EQ(A().Query("ROUT:CLOS:ACT?"), "#10\n");
  EXPECT_EQ(A().Query("ROUT:CLOS:STAT?"), "#6000000\n");
  ASSERT_TRUE(A().Send("FORM ASC"));
  EXPECT_EQ(A().Query("ROUT:CLOS:ACT?"), "(@)\n");
  EXPECT_EQ(A().Query("ROUT:CLOS:STAT?"), "(@)\n");
  EXPECT_EQ(A().Errors(), std::vector<int>{});
}

// Stress: the closed channel list is replaced by the routing code (here from another thread, as the
// acquisition and the monitor do) while a client reads it: every answer is one whole list, and the
// program runs clean under the thread sanitizer.
TEST_F(MassMemoryRouteTest, ClosedListReadWhileRoutesChange) {
  std::atomic<bool> stop{false};
  std::atomic<int> changes{0};
  std::thread router([&] {
    Torvex::CTorvexChannel probe;
    probe.AppendLevel(1);
    Torvex::CTorvexChannel nothing = probe;
    nothing.AppendLevel(9);
    while (!stop.load() && changes.load() < 100) {
      (void)Torvex::CTorvexPeripheral::CloseRoute({probe});
      std::this_thread::yield();  // lets the parser take the topology lock between two changes
      (void)Torvex::CTorvexPeripheral::CloseRoute({nothing});
      changes.fetch_add(1);
      std::this_thread::yield();
    }
  });
  for (int k = 0; k < 20; ++k) {
    const std::string reply = A().Query("ROUT:CLOS:STAT?");
    ASSERT_TRUE(reply == "(@1)\n" || reply == "(@)\n") << reply;
  }
  stop = true;
  router.join();
  EXPECT_GT(changes.load(), 0);
  ASSERT_TRUE(A().Send("ROUT:CLOS (@1)"));
  EXPECT_EQ(A().Errors(), std::vector<int>{});
}

// While a triggered measurement runs, ROUT:CLOS is refused and changes nothing, and SCAN? answers
// the empty list with -221.
TEST_F(MassMemoryRouteTest, RouteCommandsWhileMeasuring) {
  ASSERT_TRUE(A().Send("TRIG:SOUR BUS;:INIT"));
  ASSERT_TRUE(Torvex::g_TriggerActive.load()) << LogText();
  ASSERT_TRUE(A().Send("ROUT:CLOS (@1!2)"));
  EXPECT_EQ(A().Errors(), std::vector<int>{-221});
  EXPECT_EQ(A().Query("ROUT:CLOS:STAT?"), "(@1)\n");
  EXPECT_EQ(A().Query("ROUT:PROB:SCAN?"), "(@)\n");
  EXPECT_EQ(A().Errors(), std::vector<int>{-221});
  ASSERT_TRUE(A().Send("ABOR;:TRIG:SOUR IMM"));
}

// SCAN? lists the measuring channels of the simulated topology, in text and as a block; the probe
// queries answer per channel.
TEST_F(MassMemoryRouteTest, ScanAndProbeQueriesOverAMultiplexer) {
  EXPECT_EQ(A().Query("ROUT:PROB:SCAN?"), "(@1)\n");
  PlugMultiplexerWithTwoProbes();
  // A multiplexer on the connector breaks the NMR path; the monitor's report is not this test's.
  ASSERT_TRUE(WaitFor([] { return Torvex::g_node_current_probe_nmr_path_broken->GetBooleanAttribute(eAttrValue); }));
  EXPECT_EQ(A().Query("ROUT:PROB:SCAN?"), "(@1!2,1!3)\n") << LogText();
  ASSERT_TRUE(A().Send("FORM INT"));
  EXPECT_EQ(A().Query("ROUT:PROB:SCAN?"), std::string("#6000005\x01\x02\x00\x01\x03\n", 14));
  ASSERT_TRUE(A().Send("FORM ASC"));
  EXPECT_EQ(ErrorsBesidesBrokenPath(), std::vector<int>{});

  const auto [model2, serial2] = ModelAndSerial("1/2");
  const auto [model3, serial3] = ModelAndSerial("1/3");
  ASSERT_FALSE(model2.empty());
  EXPECT_EQ(A().Query("ROUT:PROB:MOD? (@1!2,1!3)"), model2 + "," + model3 + "\n");
  EXPECT_EQ(A().Query("ROUT:PROB:SER? (@1!2,1!3)"), serial2 + "," + serial3 + "\n");
  EXPECT_EQ(ErrorsBesidesBrokenPath(), std::vector<int>{});

  // A channel without a peripheral answers -1 and reports 203; the other items stay.
  EXPECT_EQ(A().Query("ROUT:PROB:MOD? (@1!2,1!9)"), model2 + ",-1\n");
  EXPECT_EQ(ErrorsBesidesBrokenPath(), std::vector<int>{203});
  // The multiplexer has no frequency range: -1 and 204.
  EXPECT_EQ(A().Query("ROUT:PROB:MIN? (@1)"), "-1\n");
  EXPECT_EQ(ErrorsBesidesBrokenPath(), std::vector<int>{204});
}

// MINimum? and MAXimum? answer the probe's frequency range as fields in the selected unit.
TEST_F(MassMemoryRouteTest, ProbeRangeInTheSelectedUnit) {
  const double ratio = sim::PeripheralControllers::kProtonGyroRatio;
  const double low = sim::PeripheralControllers::kProbeMinFrequency / ratio;
  const double high = sim::PeripheralControllers::kProbeMaxFrequency / ratio;
  std::smatch m;
  const std::string min = A().Query("ROUT:PROB:MIN? (@1)");
  ASSERT_TRUE(std::regex_match(min, m, std::regex("([-+.0-9eE]+) T\n"))) << min;
  EXPECT_NEAR(std::strtod(std::string(m[1]).c_str(), nullptr), low, low * 1e-6);
  ASSERT_TRUE(A().Send("UNIT MT"));
  const std::string max = A().Query("ROUT:PROB:MAX? (@1)");
  ASSERT_TRUE(std::regex_match(max, m, std::regex("([-+.0-9eE]+) MT\n"))) << max;
  EXPECT_NEAR(std::strtod(std::string(m[1]).c_str(), nullptr), high * 1e3, high * 1e-3);
  EXPECT_FALSE(A().Query("ROUT:PROB:DES? (@1)").empty());
  EXPECT_EQ(A().Errors(), std::vector<int>{});
}

// All Hall queries of one message answer one reading of the sensor.
TEST_F(MassMemoryRouteTest, HallQueriesShareOneReading) {
  sim::PeripheralControllers& world = world_->board->peripherals();
  std::uint64_t before = world.RequestsSeen();
  const std::string one = A().Query("ROUT:PROB:HALL:Z?");
  const std::uint64_t perReading = world.RequestsSeen() - before;
  ASSERT_GT(perReading, 0u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(one, m, std::regex("(-?[0-9]+)\n"))) << one;
  EXPECT_GT(std::strtol(std::string(m[1]).c_str(), nullptr, 10), 0);

  before = world.RequestsSeen();
  const std::string four = A().Query("ROUT:PROB:HALL:X?;Y?;Z?;:ROUT:PROB:HALL?");
  EXPECT_EQ(world.RequestsSeen() - before, perReading);
  ASSERT_TRUE(std::regex_match(four, m, std::regex("(-?[0-9]+);(-?[0-9]+);(-?[0-9]+);(-?[0-9]+)\n"))) << four;
  // The field points along Z: the total is Z's size, X and Y are near zero.
  const long x = std::strtol(std::string(m[1]).c_str(), nullptr, 10);
  const long z = std::strtol(std::string(m[3]).c_str(), nullptr, 10);
  const long total = std::strtol(std::string(m[4]).c_str(), nullptr, 10);
  EXPECT_LT(std::labs(x), z / 100);
  EXPECT_NEAR(static_cast<double>(total), static_cast<double>(z), z * 0.01);
  EXPECT_EQ(A().Errors(), std::vector<int>{});

  ASSERT_TRUE(A().Send("ROUT:CLOS (@1!9)"));
  EXPECT_EQ(A().Errors(), std::vector<int>{203});
  const std::string none = A().Query("ROUT:PROB:HALL?;:UNIT?");
  EXPECT_TRUE(none == "T\n" || none == ";T\n") << none;
  EXPECT_EQ(A().Errors(), std::vector<int>{201});
}

// LOWLevel passes a raw frame and answers the status byte and the controller's frame in one block.
TEST_F(MassMemoryRouteTest, LowLevelAnswersTheControllersFrame) {
  // A read of the identification frame: address byte 0x25, length 4, check byte.
  const std::string read("\x25\x00\x04\x21", 4);
  const std::string reply = A().Query("ROUT:PROB:LOWL? #14" + read);
  ASSERT_GE(reply.size(), 5u) << LogText();
  const std::size_t digits = static_cast<std::size_t>(reply[1] - '0');
  ASSERT_EQ(reply[0], '#');
  const std::size_t length = std::stoul(reply.substr(2, digits));
  ASSERT_EQ(reply.size(), 2 + digits + length + 1);
  const std::string frame = reply.substr(2 + digits + 1, length - 1);
  EXPECT_EQ(static_cast<std::uint8_t>(reply[2 + digits]) & 1, 1);  // ready
  ASSERT_GE(frame.size(), 4u);
  EXPECT_EQ(static_cast<std::uint8_t>(frame[0]), 0x25);
  EXPECT_EQ((static_cast<std::size_t>(static_cast<std::uint8_t>(frame[1])) << 8) | static_cast<std::uint8_t>(frame[2]),
            frame.size());
  std::uint8_t check = 0;
  for (char c : frame) check ^= static_cast<std::uint8_t>(c);
  EXPECT_EQ(check, 0);
  EXPECT_EQ(A().Errors(), std::vector<int>{});

  // A write (the change request) has no reply frame: the block holds the status byte alone.
  const std::string write("\x22\x00\x04\x26", 4);
  const std::string ack = A().Query("ROUT:PROB:LOWL? #14" + write);
  ASSERT_EQ(ack.size(), 5u);
  EXPECT_EQ(ack.substr(0, 3), "#11");
  EXPECT_EQ(A().Errors(), std::vector<int>{});
}

// A read request is its address byte: a block of that byte alone, or followed by anything, answers the
// controller's frame as the whole frame does.
TEST_F(MassMemoryRouteTest, LowLevelReadUsesOnlyTheAddressByte) {
  for (const std::string& read : {std::string("\x25", 1), std::string("\x25\x00", 2), std::string("\x25\x00\x09", 3),
                                  std::string("\x25\x00\x04\x21", 4)}) {
    SCOPED_TRACE(read.size());
    const std::string reply = A().Query("ROUT:PROB:LOWL? #1" + std::to_string(read.size()) + read);
    // "#217", the status byte and the 16-byte identification frame.
    ASSERT_EQ(reply.size(), 4u + 17u + 1u) << reply;
    EXPECT_EQ(reply.substr(0, 4), "#217");
    EXPECT_EQ(static_cast<std::uint8_t>(reply[5]), 0x25);
    EXPECT_EQ(A().Errors(), std::vector<int>{});
  }
}

// An empty block, and a write ('b' = 0x62, bit 0 clear) that is not a whole frame, are refused.
TEST_F(MassMemoryRouteTest, LowLevelRefusals) {
  for (const char* message : {"ROUT:PROB:LOWL? #10;:UNIT?", "ROUT:PROB:LOWL? #13bcd;:UNIT?"}) {
    const std::string reply = A().Query(message);
    EXPECT_TRUE(reply == "T\n" || reply == ";T\n") << reply;
  }
  EXPECT_EQ(A().Errors(), (std::vector<int>{-161, 204}));
}

}  // namespace
}  // namespace torvex_test
