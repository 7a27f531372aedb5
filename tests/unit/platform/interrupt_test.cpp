// Interrupt controller and interrupt objects: masking, latching, level sources, ISR then DSR.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/interrupt.h"
#include "platform/regbus.h"
#include "support/wait_for.h"

namespace {

constexpr cyg_vector_t kVector = 9;

struct Recorder {
  std::atomic<int> isr{0};
  std::atomic<int> dsr{0};
  std::atomic<bool> lock_held_in_isr{false};
  bool mask_in_isr = true;
  cyg_interrupt object;
  cyg_handle_t handle = 0;

  static cyg_uint32 Isr(cyg_vector_t v, cyg_addrword_t data) {
    auto* r = reinterpret_cast<Recorder*>(data);
    r->lock_held_in_isr = cyg_scheduler_read_lock() > 0;
    if (r->mask_in_isr) cyg_interrupt_mask(v);
    cyg_interrupt_acknowledge(v);
    r->isr.fetch_add(1);
    return CYG_ISR_HANDLED | CYG_ISR_CALL_DSR;
  }
  static void Dsr(cyg_vector_t, cyg_ucount32 count, cyg_addrword_t data) {
    auto* r = reinterpret_cast<Recorder*>(data);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(r->isr.load(), r->dsr.load() + 1) << "DSR must follow its ISR";
    r->dsr.fetch_add(1);
  }
  void Attach(cyg_vector_t v) {
    cyg_interrupt_create(v, 1, reinterpret_cast<cyg_addrword_t>(this), &Isr, &Dsr, &handle, &object);
    cyg_interrupt_attach(handle);
  }
  ~Recorder() {
    if (handle != 0) {
      cyg_interrupt_detach(handle);
      cyg_interrupt_delete(handle);
    }
  }
};

class InterruptTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::interrupts::ResetController(); }
  void TearDown() override { platform::interrupts::ResetController(); }
};

TEST_F(InterruptTest, RaiseWhileMaskedIsLatchedAndDeliveredOnceOnUnmask) {
  Recorder r;
  r.Attach(kVector);
  cyg_interrupt_mask(kVector);
  platform::interrupts::RaiseSource(kVector);
  platform::interrupts::RaiseSource(kVector);  // a second raise while pending is the same event
  ASSERT_TRUE(platform::interrupts::WaitIdle());
  EXPECT_EQ(r.isr.load(), 0);
  EXPECT_TRUE(platform::interrupts::IsPending(kVector));

  cyg_interrupt_unmask(kVector);
  ASSERT_TRUE(platform::interrupts::WaitIdle());
  EXPECT_EQ(r.isr.load(), 1);
  EXPECT_EQ(r.dsr.load(), 1);
  EXPECT_TRUE(r.lock_held_in_isr.load());
  EXPECT_FALSE(platform::interrupts::IsPending(kVector));
  EXPECT_TRUE(platform::interrupts::IsMasked(kVector));  // the ISR masked it
}

TEST_F(InterruptTest, LevelSourceStaysPendingAfterAcknowledgeWhileAsserted) {
  Recorder r;
  r.Attach(kVector);
  platform::interrupts::SetSourceLevel(kVector, true);
  cyg_interrupt_unmask(kVector);
  ASSERT_TRUE(platform::interrupts::WaitIdle());
  EXPECT_EQ(r.isr.load(), 1);
  EXPECT_TRUE(platform::interrupts::IsPending(kVector)) << "level still asserted";
  cyg_interrupt_unmask(kVector);  // fires again while the line stays asserted
  ASSERT_TRUE(platform::interrupts::WaitIdle());
  EXPECT_EQ(r.isr.load(), 2);
  platform::interrupts::SetSourceLevel(kVector, false);
  cyg_interrupt_acknowledge(kVector);
  EXPECT_FALSE(platform::interrupts::IsPending(kVector));
  cyg_interrupt_unmask(kVector);
  ASSERT_TRUE(platform::interrupts::WaitIdle());
  EXPECT_EQ(r.isr.load(), 2);
}

TEST_F(InterruptTest, NotDeliveredWhileTheKernelLockIsHeld) {
  Recorder r;
  r.Attach(kVector);
  cyg_interrupt_unmask(kVector);
  cyg_interrupt_disable();
  platform::interrupts::RaiseSource(kVector);
  for (int i = 0; i < 2000; ++i) std::this_thread::yield();
  EXPECT_EQ(r.isr.load(), 0);
  cyg_interrupt_enable();
  ASSERT_TRUE(platform::interrupts::WaitIdle());
  EXPECT_EQ(r.isr.load(), 1);
}

TEST_F(InterruptTest, SourcePendingRegisterClearsByWritingOne) {
  Recorder r;
  r.Attach(kVector);
  platform::interrupts::RaiseSource(kVector);  // masked after reset
  EXPECT_EQ(platform::regbus::Read32(platform::interrupts::kControllerBase) & (1u << kVector), 1u << kVector);
  platform::regbus::Write32(platform::interrupts::kControllerBase, 1u << kVector);
  EXPECT_FALSE(platform::interrupts::IsPending(kVector));
  // INTMSK written as a register is the same mask the kernel calls change.
  platform::regbus::Write32(platform::interrupts::kControllerBase + 0x08, ~(1u << kVector));
  EXPECT_FALSE(platform::interrupts::IsMasked(kVector));
}

TEST_F(InterruptTest, DetachedVectorIsNotDelivered) {
  Recorder r;
  r.Attach(kVector);
  cyg_interrupt_detach(r.handle);
  cyg_interrupt_unmask(kVector);
  platform::interrupts::RaiseSource(kVector);
  ASSERT_TRUE(platform::interrupts::WaitIdle());
  EXPECT_EQ(r.isr.load(), 0);
  cyg_interrupt_attach(r.handle);
  ASSERT_TRUE(platform::interrupts::WaitIdle());
  EXPECT_EQ(r.isr.load(), 1);
}

}  // namespace

// A thread with interrupts disabled detaches a vector raised meanwhile: the detach returns (it must
// not wait for a delivery that itself waits for the kernel lock) and the ISR never runs.
TEST_F(InterruptTest, DetachWithInterruptsDisabledWhileTheVectorIsRaised) {
  Recorder r;
  r.Attach(kVector);
  cyg_interrupt_unmask(kVector);
  std::atomic<bool> detached{false};
  std::thread holder([&] {
    cyg_interrupt_disable();
    platform::interrupts::RaiseSource(kVector);
    // Give the delivery thread the chance to take up the raised vector.
    torvex_test::WaitFor([] { return platform::interrupts::DeliveredCount(kVector) > 0; },
                         std::chrono::milliseconds(200));
    cyg_interrupt_detach(r.handle);
    detached = true;
    cyg_interrupt_enable();
  });
  if (!torvex_test::WaitFor([&] { return detached.load(); }, std::chrono::seconds(5))) {
    // The holder and the delivery thread wait for each other for good: nothing can end the test.
    std::fprintf(stderr, "detach with interrupts disabled never returned\n");
    std::abort();
  }
  holder.join();
  ASSERT_TRUE(platform::interrupts::WaitIdle());
  EXPECT_EQ(r.isr.load(), 0);
  r.handle = 0;  // detached already
  cyg_interrupt_delete(reinterpret_cast<cyg_handle_t>(&r.object));
}

// An ISR that detaches its own object and asks for its DSR: deleting the object from another
// thread waits until the DSR is over, so the object can be freed afterwards.
TEST_F(InterruptTest, DeleteWaitsForTheDsrOfAnObjectItsIsrDetached) {
  struct SelfDetaching {
    cyg_interrupt object;
    cyg_handle_t handle = 0;
    std::atomic<bool> in_dsr{false};
    std::atomic<bool> dsr_done{false};
    std::atomic<bool> deleting{false};
    static cyg_uint32 Isr(cyg_vector_t v, cyg_addrword_t data) {
      auto* s = reinterpret_cast<SelfDetaching*>(data);
      cyg_interrupt_mask(v);
      cyg_interrupt_acknowledge(v);
      cyg_interrupt_detach(s->handle);
      return CYG_ISR_HANDLED | CYG_ISR_CALL_DSR;
    }
    static void Dsr(cyg_vector_t, cyg_ucount32, cyg_addrword_t data) {
      auto* s = reinterpret_cast<SelfDetaching*>(data);
      s->in_dsr = true;
      torvex_test::WaitFor([&] { return s->deleting.load(); }, std::chrono::seconds(3));
      for (int i = 0; i < 2000; ++i) std::this_thread::yield();
      s->dsr_done = true;
    }
  } s;
  cyg_interrupt_create(kVector, 1, reinterpret_cast<cyg_addrword_t>(&s), &SelfDetaching::Isr, &SelfDetaching::Dsr,
                       &s.handle, &s.object);
  cyg_interrupt_attach(s.handle);
  cyg_interrupt_unmask(kVector);
  platform::interrupts::RaiseSource(kVector);
  ASSERT_TRUE(torvex_test::WaitFor([&] { return s.in_dsr.load(); }));
  s.deleting = true;
  cyg_interrupt_delete(s.handle);
  EXPECT_TRUE(s.dsr_done.load()) << "delete returned while the DSR still ran";
  ASSERT_TRUE(platform::interrupts::WaitIdle());
}
