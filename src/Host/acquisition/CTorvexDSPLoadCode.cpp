// CTorvexDSP::LoadDSPCode: resets the DSP, loads its program from the read-only file system through
// the host port and starts it. Runs on the acquisition thread at every start of the acquisition
// system; the DSP answers the start with DSP_BOOTED, which the system flow waits for.
#include "acquisition/CTorvexDSP.h"
#include "acquisition/CTorvexDSPLoader.h"
#include "core/CLogger.h"
#include "drivers/dsp_hpi.h"

namespace Torvex {

namespace {

constexpr const char* kDspProgramPath = "/romfs/Rudevu_Radi_Ziziv.out";

// Holds the DSP-interface lock for the load unless the caller already holds it, so no other thread's
// host-port sequence interleaves with the load's.
class LoadHold {
 public:
  LoadHold() : m_Took(!CTorvexDSP::HeldByCaller()) {
    if (m_Took) CTorvexDSP::TakeInterface();
  }
  ~LoadHold() {
    if (m_Took) CTorvexDSP::ReleaseInterface();
  }
  LoadHold(const LoadHold&) = delete;
  LoadHold& operator=(const LoadHold&) = delete;

 private:
  bool m_Took;
};

}  // namespace

int CTorvexDSP::LoadDSPCode() {
  try {
    // The program about to run announces itself with DSP_BOOTED: the machine must expect it again,
    // whatever state the previous program left it in.
    ResetToNotBooted();
    LoadHold hold;
    g_Logger.Printf("CTorvexDSP::LoadDSPCode\n");
    dsp_reset(true);
    dsp_emif_setup();
    {
      CTorvexDSPLoader loader;
      // A failed load leaves the DSP stopped; what was written stays in its memory.
      if (!loader.Parse(kDspProgramPath)) return kDspIfNotBooted;
      dsp_hpi_interrupt_dsp();
    }
    g_Logger.Printf("DSP code loaded!\n");
    return 0;
  } catch (...) {
    return kDspIfNotBooted;
  }
}

}  // namespace Torvex
