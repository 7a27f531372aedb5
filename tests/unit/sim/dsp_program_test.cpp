// The DSP program model driven from the host side of the host port, with raw frames: boot, frame
// checks, ABORT, faults and the NMR measurement.
#include <fftw3.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <bit>
#include <chrono>
#include <cmath>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "sim/dsp.h"
#include "sim/dsp_image.h"
#include "sim/dsp_program.h"
#include "sim/peripheral_controllers.h"
#include "support/wait_for.h"

namespace {

using namespace hw::hpi;
using sim::DspProgram;
using torvex_test::WaitFor;

constexpr double kGyro = sim::PeripheralControllers::kProtonGyroRatio;

std::uint32_t Le32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
}
std::uint16_t Le16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

// The host's side of the port, as the firmware's driver uses it.
class Host {
 public:
  explicit Host(sim::Dsp& dsp) : dsp_(dsp) {}

  void SetAddress(std::uint32_t address) {
    dsp_.Write(kBase + kHpicWrite, BothHalves(kHpicHalfwordOrder), 4);
    dsp_.Write(kBase + kHpiaWrite, address, 4);
  }
  void WriteBlock(std::uint32_t address, const std::vector<std::uint32_t>& words) {
    SetAddress(address);
    for (std::size_t i = 0; i + 1 < words.size(); ++i) dsp_.Write(kBase + kHpidIncWrite, words[i], 4);
    dsp_.Write(kBase + kHpidWrite, words.back(), 4);
  }
  std::vector<std::uint32_t> ReadBlock(std::uint32_t address, std::size_t count) {
    std::vector<std::uint32_t> words(count);
    SetAddress(address);
    for (std::size_t i = 0; i + 1 < count; ++i) words[i] = dsp_.Read(kBase + kHpidIncRead, 4);
    words[count - 1] = dsp_.Read(kBase + kHpidRead, 4);
    return words;
  }
  std::uint32_t ReadWord(std::uint32_t address) { return ReadBlock(address, 1)[0]; }
  void Interrupt() { dsp_.Write(kBase + kHpicWrite, BothHalves(kHpicHalfwordOrder | kHpicDspInterrupt), 4); }
  void Ack() { dsp_.Write(kBase + kHpicWrite, BothHalves(kHpicHalfwordOrder | kHpicHostInterrupt), 4); }
  bool Hint() { return (dsp_.Read(kBase + kHpicRead, 4) & kHpicHostInterrupt) != 0; }

  // Writes the frame (check word filled in) and its id to the mailbox, then interrupts the DSP.
  void Send(std::vector<std::uint32_t> frame) {
    std::uint32_t x = 0;
    for (std::size_t i = 0; i + 1 < frame.size(); ++i) x ^= frame[i];
    frame.back() = x;
    SendRaw(frame[0], frame);
  }
  void SendRaw(std::uint32_t mailbox, const std::vector<std::uint32_t>& frame) {
    Ack();
    WriteBlock(DspProgram::kRequestMailbox, {mailbox});
    WriteBlock(DspProgram::kRequestBuffer, frame);
    Interrupt();
  }
  // Waits for the host interrupt and reads the reply the mailbox names (its table length, at least 5
  // words); acknowledges it.
  bool Receive(std::uint32_t& id, std::vector<std::uint32_t>& reply,
               std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    if (!WaitFor([&] { return Hint(); }, limit)) return false;
    id = ReadWord(DspProgram::kReplyMailbox);
    std::uint32_t bytes = DspProgram::ReplyBytes(id);
    if (bytes == 0) bytes = DspProgram::ReplyBytes(id ^ 0x0F00);
    reply = ReadBlock(DspProgram::kReplyBuffer, bytes ? bytes / 4 : 5);
    Ack();
    return true;
  }
  std::vector<std::uint32_t> StatusBlock() { return ReadBlock(DspProgram::kStatusBlock, 4); }

 private:
  sim::Dsp& dsp_;
};

std::vector<std::uint32_t> Request(std::uint32_t id, std::uint32_t sequence = 0) {
  std::vector<std::uint32_t> f(DspProgram::RequestBytes(id) / 4, 0);
  f[0] = id;
  f[1] = sequence;
  return f;
}

void PutDouble(std::vector<std::uint32_t>& w, std::size_t i, double v) {
  const auto bits = std::bit_cast<std::uint64_t>(v);
  w[i] = static_cast<std::uint32_t>(bits >> 32);
  w[i + 1] = static_cast<std::uint32_t>(bits);
}
double DoubleAt(const std::vector<std::uint32_t>& w, std::size_t i) {
  return std::bit_cast<double>((std::uint64_t{w[i]} << 32) | w[i + 1]);
}
float FloatAt(const std::vector<std::uint32_t>& w, std::size_t i) { return std::bit_cast<float>(w[i]); }
std::uint32_t XorAll(const std::vector<std::uint32_t>& w) {
  std::uint32_t x = 0;
  for (auto v : w) x ^= v;
  return x;
}

class DspProgramTest : public ::testing::Test {
 protected:
  DspProgramTest()
      : dsp_([](bool) {}), host_(dsp_), program_(dsp_, [this] {
          std::lock_guard<std::mutex> g(world_lock_);
          return world_;
        }) {
    world_.path_intact = true;
    world_.gyro_ratio = kGyro;
    world_.min_frequency = sim::PeripheralControllers::kProbeMinFrequency;
    world_.max_frequency = sim::PeripheralControllers::kProbeMaxFrequency;
    world_.field = 1.5;
  }

  void SetWorld(bool intact, double field) {
    std::lock_guard<std::mutex> g(world_lock_);
    world_.path_intact = intact;
    world_.field = field;
  }

  void Reset() {
    dsp_.SetResetLine(false);
    dsp_.SetResetLine(true);
  }

  // Loads a COFF image through the port as the firmware's loader does: the loadable sections (text or
  // data, not copy, size above 0) at their physical address, whole words only.
  void Load(const std::vector<std::uint8_t>& file) {
    ASSERT_GE(file.size(), 50u);
    ASSERT_EQ(Le16(file, 20), 0x0099);
    ASSERT_EQ(Le16(file, 22), 0x0108);
    const unsigned sections = Le16(file, 2);
    for (unsigned s = 0; s < sections; ++s) {
      const std::size_t h = 50 + 48 * s;
      ASSERT_LE(h + 48, file.size());
      const std::uint32_t paddr = Le32(file, h + 8), vaddr = Le32(file, h + 12), size = Le32(file, h + 16);
      const std::uint32_t raw = Le32(file, h + 20), flags = Le32(file, h + 40);
      ASSERT_EQ(paddr, vaddr);
      if (!(flags & 0x60) || (flags & 0x10) || static_cast<std::int32_t>(size) <= 0) continue;
      ASSERT_LE(raw + size, file.size());
      std::vector<std::uint32_t> words(size / 4);
      for (std::size_t i = 0; i < words.size(); ++i) words[i] = Le32(file, raw + 4 * i);
      host_.WriteBlock(paddr, words);
    }
  }

  std::vector<std::uint8_t> RomfsImage() {
    std::ifstream in(std::string(TORVEX_ROMFS_DIR) + "/" + sim::kDspImageName, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  // Reset, load the installed image, start: DSP_BOOTED is read and checked.
  void Boot() {
    Reset();
    Load(RomfsImage());
    host_.Interrupt();
    std::uint32_t id = 0;
    std::vector<std::uint32_t> reply;
    ASSERT_TRUE(host_.Receive(id, reply));
    ASSERT_EQ(id, DspProgram::kBootedId);
  }

  // One exchange: the reply must come and be the request's.
  std::vector<std::uint32_t> Exchange(std::vector<std::uint32_t> request) {
    const std::uint32_t id = request[0];
    host_.Send(std::move(request));
    std::uint32_t reply_id = 0;
    std::vector<std::uint32_t> reply;
    EXPECT_TRUE(host_.Receive(reply_id, reply));
    EXPECT_EQ(reply_id, id | DspProgram::kReplyBit);
    if (!reply.empty()) {
      EXPECT_EQ(XorAll(reply), 0u);
    }
    return reply;
  }

  std::vector<std::uint32_t> Trigger(double factor, double offset) {
    auto t = Request(DspProgram::kTrigger);
    PutDouble(t, 2, factor);
    PutDouble(t, 4, offset);
    return Exchange(t);
  }

  std::vector<std::uint32_t> Search(float low, float high, bool confirm) {
    auto s = Request(DspProgram::kInitiateSearch);
    s[2] = std::bit_cast<std::uint32_t>(low);
    s[3] = std::bit_cast<std::uint32_t>(high);
    s[4] = confirm ? 1 : 0;
    return Exchange(s);
  }

  std::mutex world_lock_;
  sim::NmrWorld world_;
  sim::Dsp dsp_;
  Host host_;
  DspProgram program_;
};

TEST_F(DspProgramTest, BootsWithTheInstalledImageAndReportsItsVersions) {
  program_.SetCpldVersion({1, 8});
  Reset();
  Load(RomfsImage());
  host_.Interrupt();
  std::uint32_t id = 0;
  std::vector<std::uint32_t> reply;
  ASSERT_TRUE(host_.Receive(id, reply));
  EXPECT_EQ(id, 0x10001u);
  ASSERT_EQ(reply.size(), 9u);
  EXPECT_EQ(reply[0], 0x10001u);
  EXPECT_EQ(XorAll(reply), 0u);
  EXPECT_EQ(reply[2] & DspProgram::kStatusError, 0u);
  EXPECT_EQ(reply[4] & 0xFFFF, 2u);
  EXPECT_EQ(reply[5] & 0xFFFF, 4u);
  EXPECT_EQ(reply[6] & 0xFFFF, 1u);
  EXPECT_EQ(reply[7] & 0xFFFF, 8u);
  EXPECT_TRUE(program_.Running());
  EXPECT_EQ(program_.Boots(), 1u);
}

TEST_F(DspProgramTest, NeverBootsWithoutAWholeImage) {
  struct Case {
    const char* name;
    std::function<std::vector<std::uint8_t>(std::vector<std::uint8_t>)> image;  // empty: nothing loaded
    bool boot_fault;
  };
  const std::vector<std::uint8_t> good = sim::BuildDspImage({2, 4});
  const Case cases[] = {
      {"nothing loaded", nullptr, false},
      {"one code word changed",
       [](std::vector<std::uint8_t> f) {
         f[50 + 3 * 48 + 100] ^= 0x01;
         return f;
       },
       false},
      {"identity block changed",
       [](std::vector<std::uint8_t> f) {
         f[50 + 3 * 48 + sim::kDspTextBytes + 4] ^= 0x01;  // the major version word
         return f;
       },
       false},
      {"code section cut short",
       [](std::vector<std::uint8_t> f) {
         f[50 + 16] = 0x00;  // .text size 6144 -> 4096: the second chunk is missing
         f[50 + 17] = 0x10;
         return f;
       },
       false},
      {"whole image, no-boot fault", [](std::vector<std::uint8_t> f) { return f; }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    program_.SetBootEnabled(!c.boot_fault);
    Reset();
    if (c.image) Load(c.image(good));
    host_.Interrupt();
    ASSERT_TRUE(WaitFor([&] { return program_.Describe().rfind("state dead", 0) == 0; }));
    EXPECT_FALSE(host_.Hint());
    EXPECT_FALSE(program_.Running());
    // Further interrupts do not start it either; only a reset and a whole load do.
    host_.Interrupt();
    EXPECT_FALSE(program_.Running());
  }
  program_.SetBootEnabled(true);
  Boot();
  EXPECT_TRUE(program_.Running());
}

TEST_F(DspProgramTest, AnswersEveryRequestWithItsReply) {
  Boot();
  const std::uint32_t ids[] = {0x10, 0x20, 0x30, 0x50, 0x60, 0x80, 0x90, 0xA0, 0xB0, 0xC0, 0x8010, 0x8020, 0x8030};
  std::uint32_t sequence = 0;
  for (std::uint32_t id : ids) {
    SCOPED_TRACE(DspProgram::MessageName(id));
    const auto reply = Exchange(Request(id, sequence));
    ASSERT_EQ(reply.size(), DspProgram::ReplyBytes(id | 0x10000) / 4);
    EXPECT_EQ(reply[1], sequence);
    EXPECT_EQ(reply[2] & DspProgram::kStatusError, 0u);
    sequence += 2;
  }
  EXPECT_EQ(program_.BadFrames(), 0u);
}

TEST_F(DspProgramTest, BadFramesGetAReplyWithTheErrorFlag) {
  Boot();
  struct Case {
    const char* name;
    std::uint32_t mailbox;
    std::vector<std::uint32_t> frame;
  };
  auto good = Request(0xB0);
  good[2] = 1;
  good.back() = good[0] ^ good[1] ^ good[2];
  auto bad_check = good;
  bad_check.back() ^= 0x100;
  auto other_first_word = good;
  other_first_word[0] = 0xC0;
  other_first_word.back() = other_first_word[0] ^ other_first_word[1] ^ other_first_word[2];
  const Case cases[] = {
      {"wrong check word", 0xB0, bad_check},
      {"first word is not the mailbox id", 0xB0, other_first_word},
      {"unknown id", 0x44, {0x44, 0, 0x44}},
  };
  std::uint64_t bad = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    host_.SendRaw(c.mailbox, c.frame);
    std::uint32_t id = 0;
    std::vector<std::uint32_t> reply;
    ASSERT_TRUE(host_.Receive(id, reply));
    EXPECT_EQ(id, c.mailbox | 0x10000);
    EXPECT_NE(reply[2] & DspProgram::kStatusError, 0u);
    EXPECT_EQ(XorAll(reply), 0u);
    EXPECT_EQ(program_.BadFrames(), ++bad);
  }
  // The link goes on: a good frame is served normally.
  const auto reply = Exchange(good);
  EXPECT_EQ(reply[2] & DspProgram::kStatusError, 0u);
}

TEST_F(DspProgramTest, AbortCancelsThePendingRequestWithoutItsReply) {
  Boot();
  Exchange(Request(0x50));
  program_.SetReplyDelay(DspProgram::kTrigger, 3600 * 1000);  // the measurement never comes by itself
  auto trigger = Request(DspProgram::kTrigger);
  PutDouble(trigger, 2, 1.0);
  host_.Send(trigger);
  ASSERT_TRUE(WaitFor([&] { return program_.RequestsTaken() == 2; }));
  const auto ack = Exchange(Request(DspProgram::kAbort, 7));
  EXPECT_EQ(ack[1], 7u);
  EXPECT_EQ(program_.RepliesCancelled(), 1u);
  // What comes next is the next request's reply, never the measurement.
  program_.ClearFaults();
  const auto next = Exchange(Request(0xB0));
  EXPECT_EQ(next[0], 0x100B0u);
  EXPECT_EQ(program_.RepliesSent(), 1u + 3u);  // DSP_BOOTED, tracking, abort, reference
}

TEST_F(DspProgramTest, ResetStopsTheProgramAndClearsItsMemory) {
  Boot();
  EXPECT_NE(host_.StatusBlock()[0], 0u);
  dsp_.SetResetLine(false);
  dsp_.SetResetLine(true);
  EXPECT_FALSE(program_.Running());
  EXPECT_EQ(host_.StatusBlock()[0], 0u);
  // A start without a new load finds no program.
  host_.Interrupt();
  ASSERT_TRUE(WaitFor([&] { return program_.Describe().rfind("state dead", 0) == 0; }));
  Boot();
  EXPECT_EQ(program_.Boots(), 2u);
}

TEST_F(DspProgramTest, ActivityCounterRunsUnlessStalled) {
  Boot();
  const std::uint32_t first = host_.StatusBlock()[0];
  ASSERT_TRUE(WaitFor([&] { return host_.StatusBlock()[0] != first; }));
  program_.StallCounter(true);
  const std::uint32_t stalled = host_.StatusBlock()[0];
  const auto reply = Exchange(Request(0xB0));  // the program still answers; only its counter stands
  EXPECT_EQ(reply[2] & DspProgram::kStatusError, 0u);
  EXPECT_EQ(host_.StatusBlock()[0], stalled);
  program_.StallCounter(false);
  ASSERT_TRUE(WaitFor([&] { return host_.StatusBlock()[0] != stalled; }));
}

TEST_F(DspProgramTest, ReplyFaults) {
  Boot();
  struct Case {
    const char* name;
    std::function<void(DspProgram&)> set;
    std::function<void(std::uint32_t id, const std::vector<std::uint32_t>&)> check;
  };
  const Case cases[] = {
      {"error flag", [](DspProgram& p) { p.SetErrorFlag(1); },
       [](std::uint32_t id, const std::vector<std::uint32_t>& r) {
         EXPECT_EQ(id, 0x100B0u);
         EXPECT_NE(r[2] & DspProgram::kStatusError, 0u);
         EXPECT_EQ(XorAll(r), 0u);
       }},
      {"bad check word", [](DspProgram& p) { p.CorruptCheckWord(1); },
       [](std::uint32_t id, const std::vector<std::uint32_t>& r) {
         EXPECT_EQ(id, 0x100B0u);
         EXPECT_NE(XorAll(r), 0u);
       }},
      {"wrong mailbox id", [](DspProgram& p) { p.CorruptMailbox(1); },
       [](std::uint32_t id, const std::vector<std::uint32_t>& r) {
         EXPECT_NE(id, 0x100B0u);
         EXPECT_EQ(r[0], 0x100B0u);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.set(program_);
    host_.Send(Request(0xB0));
    std::uint32_t id = 0;
    std::vector<std::uint32_t> reply;
    ASSERT_TRUE(host_.Receive(id, reply));
    c.check(id, reply);
    // One reply only: the next is sound.
    const auto next = Exchange(Request(0xB0));
    EXPECT_EQ(next[2] & DspProgram::kStatusError, 0u);
  }
}

TEST_F(DspProgramTest, DroppedAndDelayedReplies) {
  Boot();
  program_.DropReplies(0xB0, 1);
  host_.Send(Request(0xB0));
  ASSERT_TRUE(WaitFor([&] { return program_.RepliesCancelled() == 1; }));
  EXPECT_FALSE(host_.Hint());
  Exchange(Request(0xB0));  // only the next one was dropped

  program_.SetReplyDelay(DspProgram::kAllRequests, 300);  // board ms: 30 ticks
  const auto start = std::chrono::steady_clock::now();
  Exchange(Request(0xC0));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::microseconds(300 * platform::kernel::TickMicroseconds() / 10));
}

TEST_F(DspProgramTest, ReportedVersionsFault) {
  program_.SetReportedVersions({2, 3}, {1, 7});
  Reset();
  Load(RomfsImage());
  host_.Interrupt();
  std::uint32_t id = 0;
  std::vector<std::uint32_t> reply;
  ASSERT_TRUE(host_.Receive(id, reply));
  EXPECT_EQ(reply[4], 2u);
  EXPECT_EQ(reply[5], 3u);
  EXPECT_EQ(reply[6], 1u);
  EXPECT_EQ(reply[7], 7u);
}

TEST_F(DspProgramTest, QuitStopsTheProgram) {
  Boot();
  Exchange(Request(DspProgram::kQuit));
  // Stopped by the time its acknowledgement is seen: a host that sends on at once gets no service.
  ASSERT_FALSE(program_.Running());
  const std::uint32_t counter = host_.StatusBlock()[0];
  host_.Send(Request(0xB0));
  ASSERT_TRUE(WaitFor([&] { return program_.Describe().rfind("state dead", 0) == 0; }));
  EXPECT_FALSE(host_.Hint());
  EXPECT_EQ(host_.StatusBlock()[0], counter);
}

// --- the NMR measurement -----------------------------------------------------------------------------

TEST_F(DspProgramTest, ProtonProbeAtOnePointFiveTesla) {
  Boot();
  const double expected = kGyro * 1.5;  // 63.866 MHz
  const auto search = Search(1.5e6f, 90.0e6f, false);
  const double found = DoubleAt(search, 4);
  EXPECT_NEAR(found, expected, 1.0e3);

  const auto m = Trigger(1.0 / kGyro, 0.0);  // flux in tesla
  const double frequency = DoubleAt(m, 6);
  const double flux = DoubleAt(m, 4);
  const double sigma_hz = FloatAt(m, 10) * kGyro;
  EXPECT_NEAR(frequency / 1.0e6, 63.866, 0.0005);
  EXPECT_GT(sigma_hz, 0.0);
  EXPECT_LT(sigma_hz, 20.0);
  EXPECT_LE(std::fabs(frequency - expected), 4.0 * sigma_hz);
  EXPECT_NEAR(flux, frequency / kGyro, 1e-9);
  EXPECT_GT(FloatAt(m, 12), 0.0f);  // uniformity, ppm

  // The intermediate blocks: the test's own FFT of the returned signal peaks at the returned IF.
  const auto r = Exchange(Request(DspProgram::kRequestNmrSignal));
  const double intermediate = DoubleAt(r, 4);
  const double rf = DoubleAt(r, 6);
  const double rate = FloatAt(r, 12);
  EXPECT_NEAR(rf, frequency, 1e-3);
  const std::uint32_t n = r[11];
  ASSERT_GT(n, 64u);
  const auto words = host_.ReadBlock(r[10], n);
  constexpr int kPad = 65536;
  std::vector<double> in(kPad, 0.0);
  for (std::uint32_t i = 0; i < n; ++i) in[i] = std::bit_cast<float>(words[i]);
  std::vector<fftw_complex> out(kPad / 2 + 1);
  fftw_plan plan = fftw_plan_dft_r2c_1d(kPad, in.data(), out.data(), FFTW_ESTIMATE);
  fftw_execute(plan);
  fftw_destroy_plan(plan);
  std::size_t best = 1;
  for (std::size_t k = 1; k < out.size(); ++k)
    if (std::hypot(out[k][0], out[k][1]) > std::hypot(out[best][0], out[best][1])) best = k;
  const double resolution = rate / kPad;
  EXPECT_NEAR(static_cast<double>(best) * resolution, intermediate, 2.0 * resolution);

  // FFT buffer, peak spectrum and fit coefficients are there, at their lengths.
  EXPECT_EQ(r[14], sim::NmrAnalyser::kFftSize / 2);
  const auto fft = host_.ReadBlock(r[13], r[14]);
  std::size_t fft_peak = 0;
  for (std::size_t k = 0; k < fft.size(); ++k)
    if (std::bit_cast<float>(fft[k]) > std::bit_cast<float>(fft[fft_peak])) fft_peak = k;
  EXPECT_NEAR(fft_peak * FloatAt(r, 15), intermediate, 2.0 * FloatAt(r, 15));
  EXPECT_EQ(r[18], sim::NmrAnalyser::kPeakPoints);
  EXPECT_GT(r[22], 0u);
  const auto fit = host_.ReadBlock(r[21], r[22]);
  EXPECT_NEAR(std::bit_cast<float>(fit[3]), intermediate, 1.0);
  Exchange(Request(DspProgram::kReleaseNmrSignal));
}

TEST_F(DspProgramTest, TrackingFollowsTheFieldAndTheFactorAndOffsetShapeTheFlux) {
  Boot();
  auto tracking = Request(DspProgram::kInitiateTracking);
  PutDouble(tracking, 2, kGyro * 1.0);
  Exchange(tracking);
  const double fields[] = {1.0, 1.001, 1.003};
  for (double field : fields) {
    SetWorld(true, field);
    const auto m = Trigger(2.0, 5.0);
    const double f = DoubleAt(m, 6);
    EXPECT_NEAR(f, kGyro * field, 50.0) << field;
    EXPECT_NEAR(DoubleAt(m, 4), 2.0 * f + 5.0, 1e-6);
  }
}

TEST_F(DspProgramTest, NoResonanceWithoutAProbeOrOutsideItsRange) {
  Boot();
  struct Case {
    const char* name;
    bool intact;
    double field;
  };
  const Case cases[] = {
      {"broken NMR path", false, 1.5},
      {"field above the probe's range", true, 3.0},
      {"field below the probe's range", true, 0.01},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetWorld(c.intact, c.field);
    EXPECT_EQ(DoubleAt(Search(1.0e6f, 200.0e6f, false), 4), 0.0);
    auto tracking = Request(DspProgram::kInitiateTracking);
    PutDouble(tracking, 2, kGyro * c.field);
    Exchange(tracking);
    const auto m = Trigger(1.0, 0.0);
    EXPECT_EQ(DoubleAt(m, 6), 0.0);
    EXPECT_EQ(DoubleAt(m, 4), 0.0);
  }
  // Back in range: the same DSP finds it.
  SetWorld(true, 1.5);
  EXPECT_NEAR(DoubleAt(Search(1.0e6f, 200.0e6f, false), 4), kGyro * 1.5, 1.0e3);
}

TEST_F(DspProgramTest, ConfirmationLooksOnlyAtItsFrequency) {
  Boot();
  const double f = kGyro * 1.5;
  EXPECT_NEAR(DoubleAt(Search(static_cast<float>(f), static_cast<float>(f), true), 4), f, 1.0e3);
  EXPECT_EQ(DoubleAt(Search(40.0e6f, 40.0e6f, true), 4), 0.0);
}

TEST_F(DspProgramTest, SearchReportsProgressAndBusy) {
  Boot();
  auto s = Request(DspProgram::kInitiateSearch);
  s[2] = std::bit_cast<std::uint32_t>(1.0e6f);
  s[3] = std::bit_cast<std::uint32_t>(60.0e6f);  // below the resonance: the whole window is swept
  host_.Send(s);
  std::vector<std::uint32_t> seen;
  bool busy = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!host_.Hint() && std::chrono::steady_clock::now() < deadline) {
    const auto block = host_.StatusBlock();
    if (block[2] & DspProgram::kStatusSearchBusy) {
      busy = true;
      seen.push_back(block[1]);
    }
  }
  std::uint32_t id = 0;
  std::vector<std::uint32_t> reply;
  ASSERT_TRUE(host_.Receive(id, reply));
  EXPECT_EQ(id, 0x10040u);
  EXPECT_EQ(DoubleAt(reply, 4), 0.0);
  EXPECT_TRUE(busy);
  ASSERT_FALSE(seen.empty());
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_LT(seen.front(), seen.back());
  const auto after = host_.StatusBlock();
  EXPECT_EQ(after[1], 100u);
  EXPECT_EQ(after[2] & DspProgram::kStatusSearchBusy, 0u);
}

}  // namespace

namespace {

// The program stops cleanly while the host keeps interrupting it: no hook call outlives Stop.
TEST(DspProgramLife, StopsCleanlyWhileTheHostKeepsInterrupting) {
  sim::Dsp dsp([](bool) {});
  Host host(dsp);
  dsp.SetResetLine(true);
  auto program = std::make_unique<DspProgram>(dsp, [] { return sim::NmrWorld{}; });
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  std::thread hammer([&] {
    while (!stop.load() || sent.load() < 100) {
      host.Send(Request(0xB0));
      ++sent;
    }
  });
  ASSERT_TRUE(WaitFor([&] { return sent.load() >= 50; }));
  program->Stop();
  program.reset();
  stop = true;
  hammer.join();
  EXPECT_GE(dsp.DspInterrupts(), 100u);
}

}  // namespace
