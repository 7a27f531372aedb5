// The DSP host-port driver (see dsp_hpi.h).
#include "drivers/dsp_hpi.h"

#include "drivers/board_lines.h"
#include "platform/regbus.h"

namespace {

using platform::regbus::Read32;
using platform::regbus::Write32;
using namespace hw::hpi;
using hw::line::kBusHandover3;
using hw::line::kBusHandover4;
using hw::line::kDspReset;

// HPIC values: the control bits repeated in both halves.
constexpr cyg_uint32 kHalfwordOrder = BothHalves(kHpicHalfwordOrder);
constexpr cyg_uint32 kInterruptDsp = BothHalves(kHpicHalfwordOrder | kHpicDspInterrupt);
constexpr cyg_uint32 kAckHostInterrupt = BothHalves(kHpicHalfwordOrder | kHpicHostInterrupt);

constexpr cyg_uint32 kResetPulseMicroseconds = 1000;

cyg_uint32 s_hpi_base = hw::hpi::kBase;

// One host-port sequence, with interrupts disabled: never inside a flash access of another thread.
struct HpiSequence {
  HpiSequence() { cyg_interrupt_disable(); }
  ~HpiSequence() { cyg_interrupt_enable(); }
  HpiSequence(const HpiSequence&) = delete;
  HpiSequence& operator=(const HpiSequence&) = delete;
};
bool s_dsp_was_reset = false;

void set_address(cyg_uint32 address) {
  Write32(s_hpi_base + kHpicWrite, kHalfwordOrder);
  Write32(s_hpi_base + kHpiaWrite, address);
}

// The DSP's external memory interface registers and their values.
struct emif_register {
  cyg_uint32 address;
  cyg_uint32 value;
  const char* name;
};
namespace emif = hw::emif;
// A chip-enable space of the given memory type with the same setup, strobe and hold (in clocks) for
// reads and writes.
constexpr cyg_uint32 Space(cyg_uint32 memory_type, cyg_uint32 setup, cyg_uint32 strobe, cyg_uint32 hold,
                           cyg_uint32 turnaround) {
  return emif::kCectlWriteSetup.Make(setup) | emif::kCectlWriteStrobe.Make(strobe) | emif::kCectlWriteHold.Make(hold) |
         emif::kCectlReadSetup.Make(setup) | emif::kCectlTurnaround.Make(turnaround) |
         emif::kCectlReadStrobe.Make(strobe) | emif::kCectlMemoryType.Make(memory_type) |
         emif::kCectlReadHold.Make(hold);
}
// CE0 to CE2 at setup 15, strobe 63, hold 3 and turnaround 3; CE3 at setup 1,
// strobe 3, hold 1, turnaround 1.
constexpr cyg_uint32 kSlowSdram = Space(emif::kMemoryTypeSdram32, 15, 63, 3, 3);
constexpr cyg_uint32 kSlowAsync = Space(emif::kMemoryTypeAsync32, 15, 63, 3, 3);
constexpr cyg_uint32 kFastAsync = Space(emif::kMemoryTypeAsync32, 1, 3, 1, 1);
// SDRAM: four banks, row and column sizes 1, refresh on, initialised, TRCD 3, TRP 3, TRC 10.
constexpr cyg_uint32 kSdramControl =
    emif::kSdctlFourBanks | emif::kSdctlRowBits.Make(1) | emif::kSdctlColumnBits.Make(1) | emif::kSdctlRefreshEnable |
    emif::kSdctlInitialise | emif::kSdctlTrcd.Make(3) | emif::kSdctlTrp.Make(3) | emif::kSdctlTrc.Make(10);
constexpr cyg_uint32 kSdramRefreshPeriod = emif::kSdtimPeriod.Make(1562);
constexpr emif_register kEmifRegisters[] = {
    {emif::kGblctl, 0x00003060, "GBLCTL"},
    {emif::kCectl1, kSlowSdram, "CECTL1"},
    {emif::kCectl0, kSlowAsync, "CECTL0"},
    {emif::kCectl2, kSlowAsync, "CECTL2"},
    {emif::kCectl3, kFastAsync, "CECTL3"},
    {emif::kSdctl, kSdramControl, "SDCTL"},
    {emif::kSdtim, kSdramRefreshPeriod, "SDTIM"},
    {emif::kSdext, 0x0017DF2D, "SDEXT"},  // the SDRAM's command-to-command timings
};
static_assert(std::size(kEmifRegisters) == 8);
// Two groups of consecutive registers: GBLCTL..CECTL0 and CECTL2..SDEXT.
constexpr cyg_uint32 kEmifGroupStart[] = {0, 3};
constexpr cyg_uint32 kEmifGroupLength[] = {3, 5};

}  // namespace

void dsp_reset(bool force) {
  if (!force && s_dsp_was_reset) return;
  board_set_line(kBusHandover3, false);
  board_set_line(kBusHandover4, true);
  board_set_line(kDspReset, false);
  platform::kernel::DelayMicroseconds(kResetPulseMicroseconds);
  board_set_line(kDspReset, true);
  platform::kernel::DelayMicroseconds(kResetPulseMicroseconds);
  board_set_line(kBusHandover4, false);
  {
    HpiSequence sequence;
    Write32(s_hpi_base + kHpicWrite, kHalfwordOrder);
  }
  s_dsp_was_reset = true;
}

bool dsp_emif_setup() {
  HpiSequence sequence;
  for (int group = 0; group < 2; ++group) {
    const emif_register* r = &kEmifRegisters[kEmifGroupStart[group]];
    const cyg_uint32 n = kEmifGroupLength[group];
    set_address(r[0].address);
    for (cyg_uint32 k = 0; k + 1 < n; ++k) Write32(s_hpi_base + kHpidIncWrite, r[k].value);
    Write32(s_hpi_base + kHpidWrite, r[n - 1].value);
  }
  // Read back in the same groups (the values are not used).
  for (int group = 0; group < 2; ++group) {
    cyg_uint32 words[5];
    dsp_hpi_read_block(kEmifRegisters[kEmifGroupStart[group]].address, words, kEmifGroupLength[group]);
  }
  return true;
}

void dsp_hpi_write_word(cyg_uint32 address, cyg_uint32 word) {
  HpiSequence sequence;
  for (int k = 0; k < 2; ++k) {
    set_address(address);
    Write32(s_hpi_base + kHpidWrite, word);
  }
}

void dsp_hpi_write_block(cyg_uint32 address, const cyg_uint32* words, cyg_uint32 count) {
  if (words == nullptr || count == 0) return;
  HpiSequence sequence;
  set_address(address);
  for (cyg_uint32 k = 0; k + 1 < count; ++k) Write32(s_hpi_base + kHpidIncWrite, words[k]);
  Write32(s_hpi_base + kHpidWrite, words[count - 1]);
}

void dsp_hpi_read_block(cyg_uint32 address, cyg_uint32* words, cyg_uint32 count) {
  if (words == nullptr || count == 0) return;
  HpiSequence sequence;
  set_address(address);
  for (cyg_uint32 k = 0; k + 1 < count; ++k) words[k] = Read32(s_hpi_base + kHpidIncRead);
  words[count - 1] = Read32(s_hpi_base + kHpidRead);
}

cyg_uint32 dsp_hpi_read_word(cyg_uint32 address) {
  HpiSequence sequence;
  set_address(address);
  const cyg_uint32 word = Read32(s_hpi_base + kHpidIncRead);
  (void)Read32(s_hpi_base + kHpidRead);
  return word;
}

void dsp_hpi_interrupt_dsp() {
  HpiSequence sequence;
  Write32(s_hpi_base + kHpicWrite, kInterruptDsp);
}

void dsp_hpi_ack_host_interrupt() {
  HpiSequence sequence;
  Write32(s_hpi_base + kHpicWrite, kAckHostInterrupt);
}

void dsp_hpi_bus_acquire() {
  board_set_line(kBusHandover4, true);
  board_set_line(kBusHandover3, true);
}

void dsp_hpi_bus_release() {
  board_set_line(kBusHandover3, false);
  board_set_line(kBusHandover4, false);
}
