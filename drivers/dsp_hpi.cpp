// The DSP host-port driver (see dsp_hpi.h).
#include "drivers/dsp_hpi.h"

#include "drivers/board_lines.h"
#include "drivers/board_registers.h"
#include "platform/regbus.h"

namespace {

using platform::regbus::Read32;
using platform::regbus::Write32;
using namespace board_regs;

enum : cyg_uint32 {
  HPIC_W = 0x00,
  HPIA_W = 0x04,
  HPID_INC_W = 0x08,
  HPID_W = 0x0C,
  HPIA_R = 0x14,
  HPID_INC_R = 0x18,
  HPID_R = 0x1C,
};

// HPIC values: the control bits repeated in both halves.
constexpr cyg_uint32 kHpicHalfwordOrder = 0x00010001;
constexpr cyg_uint32 kHpicDspInterrupt = 0x00030003;
constexpr cyg_uint32 kHpicAckHostInterrupt = 0x00050005;

constexpr cyg_uint32 kResetPulseMicroseconds = 1000;

cyg_uint32 s_hpi_base = 0x08000000;
bool s_dsp_was_reset = false;

void set_address(cyg_uint32 address) {
  Write32(s_hpi_base + HPIC_W, kHpicHalfwordOrder);
  Write32(s_hpi_base + HPIA_W, address);
}

// The DSP's external memory interface registers and their values.
struct emif_register {
  cyg_uint32 address;
  cyg_uint32 value;
  const char* name;
};
constexpr emif_register kEmifRegisters[] = {
    {0x01800000, 0x00003060, "GBLCTL"}, {0x01800004, 0xFFFFFF33, "CECTL1"}, {0x01800008, 0xFFFFFF23, "CECTL0"},
    {0x01800010, 0xFFFFFF23, "CECTL2"}, {0x01800014, 0x10D14321, "CECTL3"}, {0x01800018, 0x5733A000, "SDCTL"},
    {0x0180001C, 0x0000061A, "SDTIM"},  {0x01800020, 0x0017DF2D, "SDEXT"},
};
static_assert(std::size(kEmifRegisters) == 8);
// Two groups of consecutive registers: GBLCTL..CECTL0 and CECTL2..SDEXT.
constexpr cyg_uint32 kEmifGroupStart[] = {0, 3};
constexpr cyg_uint32 kEmifGroupLength[] = {3, 5};

}  // namespace

void dsp_reset(bool force) {
  if (!force && s_dsp_was_reset) return;
  board_set_port_e_line(kBusHandoverLine3, false);
  board_set_port_e_line(kBusHandoverLine4, true);
  board_set_port_e_line(kDspResetLine, false);
  platform::kernel::DelayMicroseconds(kResetPulseMicroseconds);
  board_set_port_e_line(kDspResetLine, true);
  platform::kernel::DelayMicroseconds(kResetPulseMicroseconds);
  board_set_port_e_line(kBusHandoverLine4, false);
  Write32(s_hpi_base + HPIC_W, kHpicHalfwordOrder);
  s_dsp_was_reset = true;
}

bool dsp_emif_setup() {
  for (int group = 0; group < 2; ++group) {
    const emif_register* r = &kEmifRegisters[kEmifGroupStart[group]];
    const cyg_uint32 n = kEmifGroupLength[group];
    set_address(r[0].address);
    for (cyg_uint32 k = 0; k + 1 < n; ++k) Write32(s_hpi_base + HPID_INC_W, r[k].value);
    Write32(s_hpi_base + HPID_W, r[n - 1].value);
  }
  // Read back in the same groups (the values are not used).
  for (int group = 0; group < 2; ++group) {
    cyg_uint32 words[5];
    dsp_hpi_read_block(kEmifRegisters[kEmifGroupStart[group]].address, words, kEmifGroupLength[group]);
  }
  return true;
}

void dsp_hpi_write_word(cyg_uint32 address, cyg_uint32 word) {
  for (int k = 0; k < 2; ++k) {
    set_address(address);
    Write32(s_hpi_base + HPID_W, word);
  }
}

void dsp_hpi_write_block(cyg_uint32 address, const cyg_uint32* words, cyg_uint32 count) {
  if (words == nullptr || count == 0) return;
  set_address(address);
  for (cyg_uint32 k = 0; k + 1 < count; ++k) Write32(s_hpi_base + HPID_INC_W, words[k]);
  Write32(s_hpi_base + HPID_W, words[count - 1]);
}

void dsp_hpi_read_block(cyg_uint32 address, cyg_uint32* words, cyg_uint32 count) {
  if (words == nullptr || count == 0) return;
  set_address(address);
  for (cyg_uint32 k = 0; k + 1 < count; ++k) words[k] = Read32(s_hpi_base + HPID_INC_R);
  words[count - 1] = Read32(s_hpi_base + HPID_R);
}

cyg_uint32 dsp_hpi_read_word(cyg_uint32 address) {
  set_address(address);
  const cyg_uint32 word = Read32(s_hpi_base + HPID_INC_R);
  (void)Read32(s_hpi_base + HPID_R);
  return word;
}

void dsp_hpi_interrupt_dsp() { Write32(s_hpi_base + HPIC_W, kHpicDspInterrupt); }

void dsp_hpi_ack_host_interrupt() { Write32(s_hpi_base + HPIC_W, kHpicAckHostInterrupt); }

void dsp_hpi_bus_acquire() {
  board_set_port_e_line(kBusHandoverLine4, true);
  board_set_port_e_line(kBusHandoverLine3, true);
}

void dsp_hpi_bus_release() {
  board_set_port_e_line(kBusHandoverLine3, false);
  board_set_port_e_line(kBusHandoverLine4, false);
}
