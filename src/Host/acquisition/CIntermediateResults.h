// CIntermediateResults: the intermediate data of the DSP's last measurement (NMR signal, FFT buffer,
// peak spectrum, fit coefficients and their scalars), fetched from the DSP on the first intermediate
// getter of a program message and kept for the later getters of the same message.
//
// The record is valid from a successful fetch until Invalidate (end of every program message, an
// initiate, a reset). The reader lock is held by the thread that reads the record, from its first
// getter until Release at the end of the message; it does not count, so one Release frees it however
// often the owner took it. The fetch itself (CTorvexHostAcquisition::RetrieveIntermediateResults)
// fills the fields under the reader lock; the valid flag has its own lock.
//
// Threads: the parser thread reads and fetches; the acquisition thread only allocates the arrays at its
// start.
#pragma once

#include <atomic>
#include <cstdint>

#include "acquisition/CTorvexDSP.h"
#include "platform/kernel.h"

namespace Torvex {

// One array of the record: `count` elements of `capacity` hold the last fetch.
struct IntermediateArray {
  float* data = nullptr;
  std::uint32_t capacity = 0;
  std::uint32_t count = 0;
};

class CIntermediateResults {
 public:
  CIntermediateResults();
  ~CIntermediateResults();

  CIntermediateResults(const CIntermediateResults&) = delete;
  CIntermediateResults& operator=(const CIntermediateResults&) = delete;

  // Allocates each array still absent with the maximum attribute of its size node
  // (intermediate_results/<array>/size) as capacity; a missing node or a negative maximum gives an
  // empty array.
  void AllocateArrays();

  void Invalidate();
  void SetValid();
  bool IsValid();

  // Takes the reader lock unless the calling thread already owns it.
  void Lock();
  // Frees the reader lock when the calling thread owns it; otherwise nothing.
  void Release();
  // Fetches when the record is not valid, then takes the reader lock: 0, or the fetch's non-zero code
  // (the lock is then not taken).
  int AcquireForRead();

  // Observation for tests: the thread that holds the reader lock (0: none).
  cyg_handle_t Owner() const { return m_ReaderOwner.load(); }

  // The four arrays as the fetch hands them to CTorvexDSP::CopyIntermediateResults, in reply order.
  void DescribeBlocks(IntermediateBlock blocks[kIntermediateBlockCount]);

  // The record's fields, written by the fetch under the reader lock.
  IntermediateArray nmrSignal;
  IntermediateArray fftBuffer;
  IntermediateArray peakSpectrum;
  IntermediateArray fitCoefficients;
  IntermediateScalars scalars{};

 private:
  cyg_mutex_t m_ReaderLock;
  std::atomic<cyg_handle_t> m_ReaderOwner{0};
  cyg_mutex_t m_ValidLock;
  bool m_Valid = false;
};

extern CIntermediateResults g_IntermediateResults;

}  // namespace Torvex
