// The DSP host-port driver: plain functions over the host-port window (base 0x08000000) and the DSP's
// reset and bus hand-over lines.
//
// The functions take no lock of their own. Callers serialise them: the DSP program loader and the DSP
// interface (under the DSP-interface lock, on the acquisition and parser threads); the NAND flash
// layer calls dsp_hpi_bus_acquire before and dsp_hpi_bus_release after every flash access, with
// interrupts disabled (platform/nand.h; drivers_hardware_init installs them as its bus hooks). No
// host-port access may take place between acquire and release: every host-port sequence (HPIC, HPIA,
// data) runs with interrupts disabled too, which on this multi-core host is what keeps it from
// running while another thread holds the bus for the flash.
#pragma once

#include "platform/kernel.h"

// Resets the DSP when `force` is set or it was never reset.
void dsp_reset(bool force);
// Programs the DSP's external memory interface. Returns true.
bool dsp_emif_setup();
// Writes one word (the write is issued twice).
void dsp_hpi_write_word(cyg_uint32 address, cyg_uint32 word);
// Writes `count` (at least 1) words from `address` on; the last one through the fixed data register.
void dsp_hpi_write_block(cyg_uint32 address, const cyg_uint32* words, cyg_uint32 count);
// Reads `count` (at least 1) words from `address` on; the last one through the fixed data register.
void dsp_hpi_read_block(cyg_uint32 address, cyg_uint32* words, cyg_uint32 count);
cyg_uint32 dsp_hpi_read_word(cyg_uint32 address);
// Interrupts the DSP.
void dsp_hpi_interrupt_dsp();
// Acknowledges (clears) the DSP's interrupt to the host.
void dsp_hpi_ack_host_interrupt();
// External-bus hand-over to the NAND flash and back.
void dsp_hpi_bus_acquire();
void dsp_hpi_bus_release();
