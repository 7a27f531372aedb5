// Helpers shared by the status-model tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "status/CScpiStatus.h"

namespace Torvex::test {

// Stands in for a client's engine device: counts service requests and accepts or refuses them.
class CFakeDevice : public CScpiStatus::CDevice {
 public:
  cyg_uint32 RequestService() override {
    m_Requests.fetch_add(1, std::memory_order_relaxed);
    return m_Result.load(std::memory_order_relaxed);
  }
  int Requests() const { return m_Requests.load(std::memory_order_relaxed); }
  void SetResult(cyg_uint32 result) { m_Result.store(result, std::memory_order_relaxed); }

 private:
  std::atomic<int> m_Requests{0};
  std::atomic<cyg_uint32> m_Result{0};
};

// Every queued error row of `status`, oldest first; the queue is empty afterwards.
inline std::vector<std::uint32_t> DrainErrors(CScpiStatus& status) {
  std::vector<std::uint32_t> rows;
  for (int i = 0; i < 64; ++i) {
    std::uint32_t row = 0xFFFF;
    status.PopError(row);
    if (row == 0) break;
    rows.push_back(row);
  }
  return rows;
}

// The template and the module object are shared by every test of the program: device-wide rows and
// errors reach them. Each test starts and ends with them cleared of what earlier tests left.
class StatusFixture : public ::testing::Test {
 protected:
  static void ResetSharedObjects() {
    constexpr std::uint32_t kPowerOnRow = 14;  // every object holds it from power-on
    for (std::uint32_t row = 0; row < kStatusBitRowCount; ++row) {
      if (kStatusBitRows[row].deviceWide != 0) {
        CScpiStatus::BroadcastBitRow(row, row == kPowerOnRow, true);
      } else {
        g_ScpiStatusTemplate.SetBitRow(row, false, true);
        CScpiStatus::ModuleObject().SetBitRow(row, false, true);
      }
    }
    CScpiStatus::UpdateAll();
    g_ScpiStatusTemplate.Clear();
    CScpiStatus::ModuleObject().Clear();
  }
  void SetUp() override { ResetSharedObjects(); }
  void TearDown() override { ResetSharedObjects(); }
};

}  // namespace Torvex::test
