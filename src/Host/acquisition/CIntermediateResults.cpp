#include "acquisition/CIntermediateResults.h"

#include "core/CRecursiveMutex.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

namespace Torvex {

namespace {

std::uint32_t MaximumOf(CParameterNode* node) {
  if (node == nullptr) return 0;
  const std::int32_t maximum = node->GetInt32Attribute(eAttrMaximum);
  return maximum > 0 ? static_cast<std::uint32_t>(maximum) : 0;
}

void AllocateArray(IntermediateArray& array, CParameterNode* sizeNode) {
  if (array.data != nullptr) return;
  array.capacity = MaximumOf(sizeNode);
  array.count = 0;
  array.data = new float[array.capacity]();
}

}  // namespace

CIntermediateResults::CIntermediateResults() {
  cyg_mutex_init(&m_ReaderLock);
  cyg_mutex_init(&m_ValidLock);
}

CIntermediateResults::~CIntermediateResults() {
  for (IntermediateArray* array : {&nmrSignal, &fftBuffer, &peakSpectrum, &fitCoefficients}) {
    delete[] array->data;
    array->data = nullptr;
    array->capacity = 0;
    array->count = 0;
  }
  cyg_mutex_destroy(&m_ValidLock);
  cyg_mutex_destroy(&m_ReaderLock);
}

void CIntermediateResults::AllocateArrays() {
  cyg_mutex_lock(&m_ValidLock);
  {
    CRecursiveLockGuard tree(g_ParameterTreeLock);
    AllocateArray(nmrSignal, g_node_intermediate_results_nmr_signal_size);
    AllocateArray(fftBuffer, g_node_intermediate_results_fft_buffer_size);
    AllocateArray(peakSpectrum, g_node_intermediate_results_peak_spectrum_size);
    AllocateArray(fitCoefficients, g_node_intermediate_results_fit_coeffs_size);
  }
  cyg_mutex_unlock(&m_ValidLock);
}

void CIntermediateResults::Invalidate() {
  cyg_mutex_lock(&m_ValidLock);
  m_Valid = false;
  cyg_mutex_unlock(&m_ValidLock);
}

void CIntermediateResults::SetValid() {
  cyg_mutex_lock(&m_ValidLock);
  m_Valid = true;
  cyg_mutex_unlock(&m_ValidLock);
}

bool CIntermediateResults::IsValid() {
  cyg_mutex_lock(&m_ValidLock);
  const bool valid = m_Valid;
  cyg_mutex_unlock(&m_ValidLock);
  return valid;
}

void CIntermediateResults::Lock() {
  const cyg_handle_t self = cyg_thread_self();
  cyg_scheduler_lock();
  const bool owned = m_ReaderOwner.load() == self;
  cyg_scheduler_unlock();
  if (owned) return;
  // Only the owner itself can clear the owner field, so the test above stays true for the caller once
  // it holds the lock; the wait for another owner happens outside the scheduler lock.
  cyg_mutex_lock(&m_ReaderLock);
  cyg_scheduler_lock();
  m_ReaderOwner.store(self);
  cyg_scheduler_unlock();
}

void CIntermediateResults::Release() {
  const cyg_handle_t self = cyg_thread_self();
  cyg_scheduler_lock();
  const bool owned = m_ReaderOwner.load() == self;
  if (owned) m_ReaderOwner.store(0);
  cyg_scheduler_unlock();
  if (owned) cyg_mutex_unlock(&m_ReaderLock);
}

void CIntermediateResults::DescribeBlocks(IntermediateBlock blocks[kIntermediateBlockCount]) {
  IntermediateArray* arrays[kIntermediateBlockCount] = {&nmrSignal, &fftBuffer, &peakSpectrum, &fitCoefficients};
  for (int i = 0; i < kIntermediateBlockCount; ++i) {
    blocks[i].data = arrays[i]->data;
    blocks[i].capacity = arrays[i]->data != nullptr ? arrays[i]->capacity : 0;
    blocks[i].count = &arrays[i]->count;
  }
}

}  // namespace Torvex
