// The DSP program loader: COFF images built here are loaded into the simulated board's DSP through the
// host port; the DSP's memory (sim::Dsp::ReadWord) and the log show what arrived.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "acquisition/CCOFFParserException.h"
#include "acquisition/CTMS320C67xxCoffParser.h"
#include "acquisition/CTorvexDSP.h"
#include "acquisition/CTorvexDSPLoader.h"
#include "acquisition/DspProtocol.h"
#include "core/CLogger.h"
#include "drivers/dsp_hpi.h"
#include "platform/io.h"
#include "sim/board.h"
#include "sim/dsp_image.h"
#include "support/coff_image.h"
#include "support/process_board.h"

namespace torvex_test {
namespace {

namespace fs = std::filesystem;
using Torvex::CTorvexDSPLoader;
using Torvex::g_Logger;

constexpr const char* kImagePath = "/romfs/Rudevu_Radi_Ziziv.out";
constexpr std::uint32_t kBackground = 0x5A5A5A5A;

// The log text written after the last mark this function left.
class LogMark {
 public:
  LogMark() : mark_("dsp-loader-test mark " + std::to_string(++count_) + "\n") { g_Logger.Printf("%s", mark_.c_str()); }
  std::string Since() const {
    std::unique_ptr<char[]> text(g_Logger.CopyBuffer());
    const std::string all(text.get());
    const auto at = all.rfind(mark_);
    return at == std::string::npos ? "<mark lost>" : all.substr(at + mark_.size());
  }

 private:
  static inline int count_ = 0;
  std::string mark_;
};

class DspLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    board_ = &ProcessBoard("dsp-loader");
    romfs_ = fs::path(platform::BoardRoot()) / "romfs";
    fs::create_directories(romfs_);
    if (!platform::IsMounted("/romfs")) {
      ASSERT_EQ(platform::mount("", "/romfs", "romfs"), 0);
    }
    dsp_reset(true);  // a clean DSP memory for every test
  }

  void Install(const CoffImage& image) { image.WriteTo((romfs_ / fs::path(kImagePath).filename()).string()); }
  void InstallBytes(const std::vector<std::uint8_t>& bytes) {
    CoffImage::WriteCoffBytes((romfs_ / fs::path(kImagePath).filename()).string(), bytes);
  }
  void Remove() { fs::remove(romfs_ / fs::path(kImagePath).filename()); }

  std::uint32_t Dsp(std::uint32_t address) { return board_->dsp().ReadWord(address); }

  sim::Board* board_ = nullptr;
  fs::path romfs_;
};

std::string LoadLine(std::uint32_t address, std::size_t bytes) {
  char line[80];
  std::snprintf(line, sizeof line, "Loading code at 0x%08X , size %zu bytes\n", address, bytes);
  return line;
}

struct LoadCase {
  const char* name;
  CoffImage image;
  bool loaded;
  std::vector<std::pair<std::uint32_t, std::size_t>> lines;    // "Loading code at" address and size
  std::vector<std::pair<std::uint32_t, std::uint32_t>> words;  // DSP address, expected word
  std::vector<std::uint32_t> untouched;                        // still hold the background word
};

std::vector<LoadCase> LoadCases() {
  const auto p4096 = CoffPattern(4096, 1);
  const auto p4100 = CoffPattern(4100, 2);
  const auto p6 = CoffPattern(6, 3);
  const auto p1 = CoffPattern(1, 4);
  const auto p7 = CoffPattern(7, 5);
  const auto p16 = CoffPattern(16, 6);
  const auto p8 = CoffPattern(8, 7);
  const std::string name255(255, 'n');

  std::vector<LoadCase> cases;
  cases.push_back({"NoSections", CoffImage{}, true, {}, {}, {0x80000000}});
  cases.push_back({"ExactlyOneChunk",
                   CoffImage{.sections = {{.name = ".text", .address = 0x80000000, .data = p4096}}},
                   true,
                   {{0x80000000, 4096}},
                   {{0x80000000, CoffWordAt(p4096, 0)},
                    {0x80000800, CoffWordAt(p4096, 0x800)},
                    {0x80000FFC, CoffWordAt(p4096, 0xFFC)}},
                   {0x80001000}});
  cases.push_back({"OneChunkAndOneWord",
                   CoffImage{.sections = {{.name = ".text", .address = 0x80010000, .data = p4100}}},
                   true,
                   {{0x80010000, 4096}, {0x80011000, 4}},
                   {{0x80010000, CoffWordAt(p4100, 0)},
                    {0x80010FFC, CoffWordAt(p4100, 0xFFC)},
                    {0x80011000, CoffWordAt(p4100, 0x1000)}},
                   {0x80011004, 0x8000FFFC}});
  // Sizes that are not whole words: the last bytes are merged into the DSP word that holds them.
  cases.push_back({"SixBytes",
                   CoffImage{.sections = {{.name = ".data", .address = 0x80020000, .flags = kCoffData, .data = p6}}},
                   true,
                   {{0x80020000, 4}, {0x80020004, 2}},
                   {{0x80020000, CoffWordAt(p6, 0)}, {0x80020004, CoffWordAt(p6, 4, kBackground)}},
                   {0x80020008}});
  cases.push_back({"OneByte",
                   CoffImage{.sections = {{.name = ".const", .address = 0x80030000, .flags = kCoffData, .data = p1}}},
                   true,
                   {{0x80030000, 1}},
                   {{0x80030000, CoffWordAt(p1, 0, kBackground)}},
                   {0x80030004}});
  cases.push_back({"SevenBytes",
                   CoffImage{.sections = {{.name = ".cinit", .address = 0x80040000, .flags = kCoffData, .data = p7}}},
                   true,
                   {{0x80040000, 4}, {0x80040004, 3}},
                   {{0x80040000, CoffWordAt(p7, 0)}, {0x80040004, CoffWordAt(p7, 4, kBackground)}},
                   {0x80040008}});
  cases.push_back(
      {"PassedOverSections",
       CoffImage{
           .sections = {{.name = ".bss", .address = 0x80050000, .flags = kCoffBss, .size = 64},
                        {.name = ".copy", .address = 0x80050040, .flags = kCoffText | kCoffCopy, .data = p16},
                        {.name = ".empty", .address = 0x80050080, .flags = kCoffText},
                        {.name = ".neg", .address = 0x800500C0, .flags = kCoffData, .data = p16, .size = 0x80000010},
                        {.name = ".text", .address = 0x80050100, .data = p8}}},
       true,
       {{0x80050100, 8}},
       {{0x80050100, CoffWordAt(p8, 0)}, {0x80050104, CoffWordAt(p8, 4)}},
       {0x80050000, 0x8005003C, 0x80050040, 0x80050080, 0x800500C0}});
  cases.push_back(
      {"LongNamesAreReadAndDoNotChangeTheLoad",
       CoffImage{.sections = {{.name = ".text:long_section_name", .address = 0x80060000, .data = p16},
                              {.name = name255, .address = 0x80060010, .flags = kCoffData, .data = p8}}},
       true,
       {{0x80060000, 16}, {0x80060010, 8}},
       {{0x80060000, CoffWordAt(p16, 0)}, {0x8006000C, CoffWordAt(p16, 12)}, {0x80060014, CoffWordAt(p8, 4)}},
       {0x80060018}});
  cases.push_back({"DifferingAddressesFailAfterEarlierSections",
                   CoffImage{.sections = {{.name = ".text", .address = 0x80070000, .data = p8},
                                          {.name = ".data",
                                           .address = 0x80070100,
                                           .flags = kCoffData,
                                           .data = p8,
                                           .virtual_address = 0x00070100}}},
                   false,
                   {{0x80070000, 8}},
                   {{0x80070000, CoffWordAt(p8, 0)}, {0x80070004, CoffWordAt(p8, 4)}},
                   {0x80070100}});
  cases.push_back({"WrongTarget",
                   CoffImage{.target_id = 0x98, .sections = {{.name = ".text", .address = 0x80080000, .data = p8}}},
                   false,
                   {},
                   {},
                   {0x80080000}});
  cases.push_back({"WrongMagic",
                   CoffImage{.magic = 0x107, .sections = {{.name = ".text", .address = 0x80080000, .data = p8}}},
                   false,
                   {},
                   {},
                   {0x80080000}});
  // Files that point outside themselves fail before the section concerned is written.
  cases.push_back(
      {"DataPastTheEnd",
       CoffImage{.sections = {{.name = ".text", .address = 0x80090000, .data = p8},
                              {.name = ".data", .address = 0x80090100, .flags = kCoffData, .data = p8, .size = 4096}}},
       false,
       {{0x80090000, 8}},
       {{0x80090000, CoffWordAt(p8, 0)}},
       {0x80090100}});
  cases.push_back(
      {"DataOffsetThatWrapsAround",
       CoffImage{
           .sections = {{.name = ".text", .address = 0x800A0000, .data = p8, .size = 0x20, .data_offset = 0xFFFFFFF0}}},
       false,
       {},
       {},
       {0x800A0000}});
  cases.push_back(
      {"SectionCountPastTheEnd",
       CoffImage{.section_count = 0xFFFF, .sections = {{.name = ".text", .address = 0x800B0000, .data = p8}}},
       false,
       {},
       {},
       {0x800B0000}});
  cases.push_back(
      {"LongNamePastTheEnd",
       CoffImage{
           .sections =
               {{.name = ".text", .address = 0x800C0000, .data = p8},
                {.name = ".data", .address = 0x800C0100, .flags = kCoffData, .data = p8, .name_offset = 0xFFFFFFF0}}},
       false,
       {{0x800C0000, 8}},
       {{0x800C0000, CoffWordAt(p8, 0)}},
       {0x800C0100}});
  cases.push_back({"LongNameTooLong",
                   CoffImage{.sections = {{.name = std::string(256, 'x'), .address = 0x800D0000, .data = p8}}},
                   false,
                   {},
                   {},
                   {0x800D0000}});
  // A section that would land shifted or wrap onto the start of DSP memory is refused before it is written.
  cases.push_back({"UnalignedSection",
                   CoffImage{.sections = {{.name = ".text", .address = 0x800F0000, .data = p8},
                                          {.name = ".data", .address = 0x800F0102, .flags = kCoffData, .data = p8}}},
                   false,
                   {{0x800F0000, 8}},
                   {{0x800F0000, CoffWordAt(p8, 0)}},
                   {0x800F0100, 0x800F0104}});
  cases.push_back({"SectionThatWrapsTheAddressSpace",
                   CoffImage{.sections = {{.name = ".text", .address = 0xFFFFFFFC, .data = p8}}},
                   false,
                   {},
                   {},
                   {0xFFFFFFFC, 0x00000000}});
  cases.push_back({"SymbolTablePastTheEnd",
                   CoffImage{.symbol_table_offset = 0x7FFFFFFF,
                             .symbol_count = 0xFFFFFFFF,
                             .sections = {{.name = ".text", .address = 0x800E0000, .data = p8}}},
                   false,
                   {},
                   {},
                   {0x800E0000}});
  return cases;
}

TEST_F(DspLoaderTest, LoadsTheSectionsOfATableOfImages) {
  for (const LoadCase& c : LoadCases()) {
    SCOPED_TRACE(c.name);
    dsp_reset(true);
    for (std::uint32_t a : c.untouched) board_->dsp().WriteWord(a, kBackground);
    for (const auto& [a, w] : c.words) board_->dsp().WriteWord(a, kBackground);
    Install(c.image);

    LogMark mark;
    CTorvexDSPLoader loader;
    EXPECT_EQ(loader.Parse(kImagePath), c.loaded);

    std::string expected;
    for (const auto& [address, bytes] : c.lines) expected += LoadLine(address, bytes);
    EXPECT_EQ(mark.Since(), expected);
    for (const auto& [address, word] : c.words) {
      EXPECT_EQ(Dsp(address), word) << std::hex << "at 0x" << address;
    }
    for (std::uint32_t address : c.untouched) EXPECT_EQ(Dsp(address), kBackground) << std::hex << "at 0x" << address;
  }
}

TEST_F(DspLoaderTest, EveryWordOfAMultiChunkSectionArrives) {
  const auto data = CoffPattern(3 * 4096 + 12, 9);
  Install(CoffImage{.sections = {{.name = ".text", .address = 0x00000000, .data = data}}});
  CTorvexDSPLoader loader;
  ASSERT_TRUE(loader.Parse(kImagePath));
  for (std::size_t offset = 0; offset < data.size(); offset += 4) {
    ASSERT_EQ(Dsp(static_cast<std::uint32_t>(offset)), CoffWordAt(data, offset)) << "offset " << offset;
  }
  EXPECT_EQ(board_->dsp().WordCount(), data.size() / 4);
}

TEST_F(DspLoaderTest, MissingAndCutFilesFailWithoutLoading) {
  Remove();
  {
    LogMark mark;
    CTorvexDSPLoader loader;
    EXPECT_FALSE(loader.Parse(kImagePath));
    EXPECT_EQ(mark.Since(), "");
  }
  const auto full = CoffImage{.sections = {{.name = ".text", .address = 0x80000000, .data = CoffPattern(64)}}}.Build();
  // Cut inside the file header, the optional header, the section header and the section data.
  for (const std::size_t length : std::vector<std::size_t>{0, 10, 30, 60, 98, 130, full.size() - 5}) {
    SCOPED_TRACE(length);
    dsp_reset(true);
    InstallBytes(std::vector<std::uint8_t>(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length)));
    LogMark mark;
    CTorvexDSPLoader loader;
    EXPECT_FALSE(loader.Parse(kImagePath));
    EXPECT_EQ(mark.Since(), "");
    EXPECT_EQ(board_->dsp().WordCount(), 0u);
  }
}

TEST_F(DspLoaderTest, AVerifyMismatchFailsTheLoad) {
  // With the DSP held in reset the host-port window reads 0: the read-back differs.
  Install(
      CoffImage{.sections = {{.name = ".text", .address = 0x80000000, .data = CoffPattern(16)},
                             {.name = ".data", .address = 0x80000100, .flags = kCoffData, .data = CoffPattern(8)}}});
  board_->dsp().SetResetLine(false);
  LogMark mark;
  CTorvexDSPLoader loader;
  EXPECT_FALSE(loader.Parse(kImagePath));
  board_->dsp().SetResetLine(true);
  // The first chunk was tried; the load stopped there.
  EXPECT_EQ(mark.Since(), LoadLine(0x80000000, 16));
}

// The parse's steps, run without Parse's catch, to see the message of each failure.
class ParserSteps : public Torvex::CTMS320C67xxCoffParser {
 public:
  std::string FailureOf(const char* path) {
    try {
      m_Streamer.Open(path);
      ReadFileHeader();
      ReadOptionalHeader();
      for (std::uint32_t i = 0; i < m_FileHeader.SectionCount; ++i) LoadNextSection();
      m_Streamer.Close();
      return "";
    } catch (const Torvex::CCOFFParserException& e) {
      m_Streamer.Close();
      return e.what();
    }
  }
  std::vector<std::pair<std::uint32_t, std::size_t>> loads;

 protected:
  bool LoadSection(std::uint32_t address, const std::vector<std::uint32_t>& words) override {
    loads.emplace_back(address, words.size() * 4);
    return true;
  }
  bool LoadSectionTail(std::uint32_t address, const std::uint8_t*, std::uint32_t count) override {
    loads.emplace_back(address, count);
    return true;
  }
};

TEST_F(DspLoaderTest, EachFailureSaysWhy) {
  const auto p8 = CoffPattern(8);
  struct Case {
    const char* name;
    CoffImage image;
    const char* message;
  };
  const Case cases[] = {
      {"Good", CoffImage{.sections = {{.name = ".text", .address = 0x100, .data = p8}}}, ""},
      {"Target", CoffImage{.target_id = 0x97}, "COFF file isn't compiled for our DSP target."},
      {"Magic", CoffImage{.magic = 0x107}, "Invalid COFF Magic Number."},
      {"Virtual", CoffImage{.sections = {{.name = ".t", .address = 0x100, .data = p8, .virtual_address = 0x104}}},
       "Current implementation of the COFF reader doesn't handle virtual addresses."},
      {"SectionCount", CoffImage{.section_count = 2, .sections = {{.name = ".t", .address = 0x100}}},
       "Section headers lie past the end of the file."},
      {"SymbolTable", CoffImage{.symbol_table_offset = 0x1000, .sections = {}},
       "Symbol table lies past the end of the file."},
      {"NameOffset", CoffImage{.sections = {{.name = ".t", .address = 0x100, .data = p8, .name_offset = 0x10000}}},
       "Section name lies past the end of the file."},
      {"NameLength", CoffImage{.sections = {{.name = std::string(300, 'y'), .address = 0x100, .data = p8}}},
       "Section name is too long."},
      {"DataOffset", CoffImage{.sections = {{.name = ".t", .address = 0x100, .data = p8, .data_offset = 0x7FFFFFF0}}},
       "Section data lies past the end of the file."},
      {"DataSize", CoffImage{.sections = {{.name = ".t", .address = 0x100, .data = p8, .size = 0x7FFFFFFF}}},
       "Section data lies past the end of the file."},
      {"Unaligned", CoffImage{.sections = {{.name = ".t", .address = 0x102, .data = p8}}},
       "Section address is not word aligned."},
      {"AddressWraps", CoffImage{.sections = {{.name = ".t", .address = 0xFFFFFFFC, .data = p8}}},
       "Section runs past the end of the DSP address space."},
      {"LastWordOfTheAddressSpace", CoffImage{.sections = {{.name = ".t", .address = 0xFFFFFFF8, .data = p8}}}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Install(c.image);
    ParserSteps steps;
    EXPECT_EQ(steps.FailureOf(kImagePath), c.message);
  }
  Remove();
  ParserSteps steps;
  EXPECT_EQ(steps.FailureOf(kImagePath), "Cannot open the file.");
}

TEST_F(DspLoaderTest, ANameWithoutItsEndFailsAtTheEndOfTheFile) {
  // A long name at the section's own data, with the string table dropped: the data ends the file and
  // holds no NUL.
  constexpr std::uint32_t kDataOffset = 22 + 28 + 48;
  auto bytes =
      CoffImage{.symbol_table_offset = 0,
                .sections = {{.name = ".t", .address = 0x100, .data = {1, 2, 3, 4}, .name_offset = kDataOffset}}}
          .Build();
  bytes.resize(bytes.size() - 4);
  InstallBytes(bytes);
  ParserSteps steps;
  EXPECT_EQ(steps.FailureOf(kImagePath), "Cannot read from the specified file.");
}

TEST_F(DspLoaderTest, SectionsAreHandedOverInChunksOfAtMost4096Bytes) {
  const auto data = CoffPattern(2 * 4096 + 4 * 5 + 3, 11);
  Install(CoffImage{.sections = {{.name = ".text", .address = 0x2000, .data = data}}});
  ParserSteps steps;
  ASSERT_EQ(steps.FailureOf(kImagePath), "");
  const std::vector<std::pair<std::uint32_t, std::size_t>> expected = {
      {0x2000, 4096}, {0x3000, 4096}, {0x4000, 20}, {0x4014, 3}};
  EXPECT_EQ(steps.loads, expected);
}

TEST_F(DspLoaderTest, TheBoardsProgramImageLoadsWhole) {
  // The image the build installs: the DSP model recognises a complete load by its identity block.
  CoffImage::WriteCoffBytes((romfs_ / fs::path(kImagePath).filename()).string(), sim::BuildDspImage({3, 7}));
  board_->dsp().WriteWord(sim::kDspBssAddress, kBackground);
  CTorvexDSPLoader loader;
  ASSERT_TRUE(loader.Parse(kImagePath));
  sim::DspVersion version;
  EXPECT_TRUE(sim::VerifyDspIdentity([this](std::uint32_t a) { return Dsp(a); }, version));
  EXPECT_EQ(version.major, 3);
  EXPECT_EQ(version.minor, 7);
  EXPECT_EQ(Dsp(sim::kDspBssAddress), kBackground);  // the uninitialised section is passed over
}

// ---- CTorvexDSP::LoadDSPCode ----

class LoadDspCodeTest : public DspLoaderTest {
 protected:
  // Brings the DSP interface to Ready with a DSP_BOOTED reply placed in the DSP's memory.
  void BootInterface() {
    using namespace Torvex;
    const std::uint32_t words = DspReplyLength(kDspBooted) / 4;
    std::vector<std::uint32_t> frame(words, 0);
    frame[0] = kDspBooted;
    for (std::uint32_t i = 0; i + 1 < words; ++i) frame[words - 1] ^= frame[i];
    for (std::uint32_t i = 0; i < words; ++i) board_->dsp().WriteWord(kDspReplyBuffer + 4 * i, frame[i]);
    board_->dsp().WriteWord(kDspReplyMailbox, kDspBooted);
    std::uint32_t status = 1;
    ASSERT_EQ(CTorvexDSP::ReadMessage(kDspBooted, &status), 0);
    ASSERT_EQ(CTorvexDSP::GetState(), Ready);
  }
};

TEST_F(LoadDspCodeTest, LoadsResetsTheInterfaceAndStartsTheDsp) {
  const auto text = CoffPattern(4100, 21);
  const auto data = CoffPattern(10, 22);
  Install(CoffImage{.sections = {{.name = ".text", .address = 0x00000000, .data = text},
                                 {.name = ".far", .address = 0x80000000, .flags = kCoffData, .data = data}}});
  BootInterface();
  board_->dsp().WriteWord(0x80000008, kBackground);  // shares its word with the data's last 2 bytes
  board_->dsp().WriteWord(0x00010000, kBackground);  // away from every section
  const auto pulses = board_->dsp().ResetPulses();
  const auto interrupts = board_->dsp().DspInterrupts();

  LogMark mark;
  EXPECT_EQ(Torvex::CTorvexDSP::LoadDSPCode(), 0);

  EXPECT_EQ(mark.Since(), "CTorvexDSP::LoadDSPCode\n" + LoadLine(0x00000000, 4096) + LoadLine(0x00001000, 4) +
                              LoadLine(0x80000000, 8) + LoadLine(0x80000008, 2) + "DSP code loaded!\n");
  EXPECT_EQ(board_->dsp().ResetPulses(), pulses + 1);  // reset even though the DSP was running
  EXPECT_EQ(board_->dsp().DspInterrupts(), interrupts + 1);
  EXPECT_EQ(Dsp(0x00001000), CoffWordAt(text, 4096));
  EXPECT_EQ(Dsp(0x80000004), CoffWordAt(data, 4));
  // The reset cleared the DSP's memory before the load: the tail merged into a cleared word.
  EXPECT_EQ(Dsp(0x80000008), CoffWordAt(data, 8, 0));
  EXPECT_EQ(Dsp(0x00010000), 0u);
  // The restarted program's DSP_BOOTED is expected again, and the interface is free.
  EXPECT_EQ(Torvex::CTorvexDSP::GetState(), Torvex::NotBooted);
  EXPECT_FALSE(Torvex::CTorvexDSP::HeldByCaller());
}

TEST_F(LoadDspCodeTest, AFailedLoadGives43AndLeavesTheDspStopped) {
  const auto p8 = CoffPattern(8, 23);
  struct Case {
    const char* name;
    std::optional<CoffImage> image;  // none: no file
    std::string lines;
  };
  const Case cases[] = {
      {"MissingFile", std::nullopt, ""},
      {"WrongTarget", CoffImage{.target_id = 0x98, .sections = {{.name = ".text", .address = 0x100, .data = p8}}}, ""},
      {"WrongMagic", CoffImage{.magic = 0x109, .sections = {{.name = ".text", .address = 0x100, .data = p8}}}, ""},
      {"VirtualAddressAfterASection",
       CoffImage{
           .sections = {{.name = ".text", .address = 0x100, .data = p8},
                        {.name = ".data", .address = 0x200, .flags = kCoffData, .data = p8, .virtual_address = 0x300}}},
       LoadLine(0x100, 8)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.image) {
      Install(*c.image);
    } else {
      Remove();
    }
    BootInterface();
    const auto interrupts = board_->dsp().DspInterrupts();
    LogMark mark;
    EXPECT_EQ(Torvex::CTorvexDSP::LoadDSPCode(), 43);
    EXPECT_EQ(mark.Since(), "CTorvexDSP::LoadDSPCode\n" + c.lines);
    EXPECT_EQ(board_->dsp().DspInterrupts(), interrupts);
    EXPECT_EQ(Torvex::CTorvexDSP::GetState(), Torvex::NotBooted);
    EXPECT_FALSE(Torvex::CTorvexDSP::HeldByCaller());
  }
  // Sections written before the failure stay in the DSP's memory.
  EXPECT_EQ(Dsp(0x100), CoffWordAt(p8, 0));
  EXPECT_EQ(Dsp(0x200), 0u);
}

TEST_F(LoadDspCodeTest, AnImageWithoutSectionsStartsTheDspWithNothingLoaded) {
  Install(CoffImage{});
  const auto interrupts = board_->dsp().DspInterrupts();
  LogMark mark;
  EXPECT_EQ(Torvex::CTorvexDSP::LoadDSPCode(), 0);
  EXPECT_EQ(mark.Since(), "CTorvexDSP::LoadDSPCode\nDSP code loaded!\n");
  EXPECT_EQ(board_->dsp().DspInterrupts(), interrupts + 1);
}

}  // namespace
}  // namespace torvex_test
