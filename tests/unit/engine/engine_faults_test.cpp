// Faults of the engine that these tests pin down: the event queue's room for its abort, exceptions
// raised outside the transport's event delivery, shut-downs with events still queued, failed plug-in
// starts, the order of DoVovuriStopAll and a front used from several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "engine/CDoVovuriInterface.h"
#include "engine/CEngineDevice.h"
#include "engine/CEventQueue.h"
#include "engine/DoVovuriStatus.h"
#include "engine_fixture.h"

namespace torvex_test {
namespace {

// A full ring still takes the abort's post: every entry keeps its wake-up and the abort is seen once.
TEST(EventQueueTest, FullQueueStillTakesTheAbort) {
  CEventQueue queue(kEventQueueCapacity);
  ASSERT_TRUE(queue.IsOk());
  std::uint32_t status = kStatusNotReported;
  for (std::uint32_t i = 0; i < kEventQueueCapacity; ++i) {
    queue.Post(DoVovuriEventEntry{i, i, nullptr, nullptr, nullptr, 0}, &status);
    ASSERT_EQ(status, kStatusSuccess);
  }
  queue.Post(DoVovuriEventEntry{99, 0, nullptr, nullptr, nullptr, 0}, &status);
  EXPECT_EQ(status, kStatusEventQueueFull);
  queue.Abort(&status);
  int aborted = 0;
  int taken = 0;
  for (std::uint32_t i = 0; i <= kEventQueueCapacity; ++i) {
    queue.Wait(false, &status);
    if (status == kStatusEventWaitAborted) {
      ++aborted;
    } else {
      ASSERT_EQ(status, kStatusSuccess) << i;
      DoVovuriEventEntry entry{};
      std::uint32_t get_status = kStatusNotReported;
      queue.Get(&entry, &get_status);
      if (get_status == kStatusSuccess) ++taken;
    }
  }
  // Which wake-up reports the abort does not matter; the abort post is not lost.
  DoVovuriEventEntry entry{};
  while (queue.Count() > 0) {
    queue.Get(&entry, &status);
    ++taken;
  }
  EXPECT_EQ(aborted, 1);
  EXPECT_EQ(taken, static_cast<int>(kEventQueueCapacity));
  queue.Wait(false, &status);
  EXPECT_EQ(status, kStatusEventWaitTimedOut);
}

TEST(EventQueueTest, AbortWakesOneWaitOnly) {
  CEventQueue queue(kEventQueueCapacity);
  std::uint32_t status = kStatusNotReported;
  queue.Abort(&status);
  queue.Wait(true, &status);
  EXPECT_EQ(status, kStatusEventWaitAborted);
  queue.Wait(false, &status);
  EXPECT_EQ(status, kStatusEventWaitTimedOut);
}

using EngineFaultTest = EngineTest;

// A plug-in shut down while the event loop still has completions queued: the queued entries no longer
// point at the message buffers that go with the interface, and the application gets no buffer.
TEST_F(EngineFaultTest, PluginShutDownForgetsQueuedBuffers) {
  TestHost host;
  Latch latch;
  host.on_remote_local = [&](std::int32_t) { latch.Wait(); };
  ASSERT_EQ(host.Enable(0, "inst0", 1), 0u);
  ASSERT_EQ(host.EnableRemoteLocalEvent(1), 0u);
  ASSERT_EQ(host.PostInputBuffer(&host.input), 0u);
  CTestTransport* transport = Transport();
  transport->HostRemoteLocal(2);
  ASSERT_TRUE(WaitFor([&] { return latch.SomeoneWaits(); }));
  transport->HostWrite("*IDN?\n", true);
  ASSERT_TRUE(transport->WaitIdle());  // the input completion waits in the queue

  const int suspends = transport->Suspends();
  transport->ExceptionFromOutside(kExceptionPluginShutDown);
  EXPECT_FALSE(transport->IsTransportEnabled());
  EXPECT_EQ(transport->Suspends(), suspends + 1);  // held back like an operation
  latch.Open();
  ASSERT_TRUE(host.WaitEvents(2));
  const RecordedEvent input = host.Events()[1];
  EXPECT_EQ(input.kind, "input");
  EXPECT_FALSE(input.with_buffer);
  EXPECT_EQ(transport->Depth(), 0);
  EXPECT_EQ(transport->Violations(), 0);
  // The engine forgot the interface; it is the plug-in's to destroy.
  EXPECT_EQ(host.Disable(), 0u);
  EXPECT_EQ(TestPlugins::Factory().Alive(), 1);
  TestPlugins::Factory().DestroyInterface(transport);
}

// A transport failure reported from a thread outside the event delivery (a listener that ended) waits
// for running entry points and disables the transport; the device stays a device that can be disabled.
TEST_F(EngineFaultTest, TransportFailureOutsideTheEventsHoldsTheTransportBack) {
  TestTransportConfig config;
  config.kind = SuspensionKind::kGate;
  config.delivery_threads = 3;
  UseTransport(config);
  TestHost host;
  host.on_input = [&](std::int32_t, MessageBufferDescriptor*) {
    host.MessageProcessed();
    host.PostInputBuffer(&host.input);
  };
  ASSERT_EQ(host.Enable(0, "inst0", 1), 0u);
  ASSERT_EQ(host.PostInputBuffer(&host.input), 0u);
  CTestTransport* transport = Transport();
  for (int i = 0; i < 50; ++i) transport->HostWrite("*CLS\n", true);
  transport->ExceptionFromOutside(kExceptionTransportFailed);
  EXPECT_FALSE(transport->IsTransportEnabled());
  ASSERT_TRUE(transport->WaitIdle());
  EXPECT_EQ(transport->Depth(), 0);
  EXPECT_EQ(transport->Violations(), 0);
  EXPECT_EQ(host.MessageProcessed(), DoVovuriPublicStatus(kStatusInterfaceNotEnabled));
  EXPECT_EQ(host.Disable(), 0u);
  EXPECT_EQ(TestPlugins::Factory().Alive(), 0);
}

// A transport failure while the queue holds the transport back (nobody drains it): the disabled
// transport keeps that hold until the device is enabled again, which gives it back first, so the
// transport's Enable finds no suspension left over and the device comes back at rest.
TEST_F(EngineFaultTest, EnableAfterATransportFailureDuringAFlowHoldStartsAtRest) {
  const DoVovuriDeviceDescriptor descriptor{
      kDeviceDescriptorSize, kDeviceInterfaceVersion, kDeviceTransportVxi11, kPluginIdVxi11, {}};
  std::uint32_t status = kStatusNotReported;
  CDoVovuriInterface* device = CreateFunctionCallInterface(0x01050000, &descriptor, 0, &status);
  ASSERT_NE(device, nullptr);
  const DoVovuriVxi11Settings settings{sizeof(DoVovuriVxi11Settings), 1, {}, 1, 0};
  device->Enable(&settings, &status);
  ASSERT_EQ(status, kStatusSuccess);
  device->EnableEvent(
      kEventRemoteLocal, [](std::uint32_t, std::uint32_t, void*, void*) -> std::uint32_t { return 0; }, nullptr,
      &status);
  ASSERT_EQ(status, kStatusSuccess);
  CTestTransport* transport = Transport();
  for (std::uint32_t state : {1u, 2u, 3u, 4u, 1u}) transport->HostRemoteLocal(state);
  ASSERT_TRUE(WaitFor([&] { return transport->Depth() == 1; }));  // the queue is half full
  transport->ExceptionFromOutside(kExceptionTransportFailed);
  EXPECT_FALSE(transport->IsTransportEnabled());

  device->Enable(&settings, &status);
  EXPECT_EQ(status, kStatusSuccess);
  EXPECT_EQ(transport->Depth(), 0);
  EXPECT_EQ(transport->Violations(), 0);
  device->Disable(&status);
  EXPECT_EQ(status, kStatusSuccess);
  ReleaseFunctionCallInterface(device, &status);
}

// A failing plug-in start takes down only what it made itself; the engine and the other plug-in's
// devices go on.
TEST_F(EngineFaultTest, FailedPluginStartLeavesTheRestRunning) {
  static std::atomic<int> stops{0};
  static const DoVovuriPluginHooks failing{[](std::uint32_t* status) -> CPhysicalInterfaceFactory* {
                                             *status = kOsStatusNotStarted;  // a part of it failed
                                             return nullptr;
                                           },
                                           [] { stops.fetch_add(1); }};
  stops = 0;
  DoVovuriStopUsbPlugin();
  DoVovuriInstallPluginHooks(kPluginIdUsb, &failing);

  TestHost host;
  ASSERT_EQ(host.Enable(0, "inst0", 1), 0u);
  ASSERT_EQ(host.PostInputBuffer(&host.input), 0u);
  EXPECT_EQ(DoVovuriStartUsbPlugin(), -1);
  EXPECT_EQ(stops.load(), 1);
  EXPECT_TRUE(DoVovuriEngineStarted());
  // The VXI-11 device still answers.
  Transport()->HostWrite("*IDN?\n", true);
  ASSERT_TRUE(host.WaitEvents(1));
  EXPECT_EQ(host.LastInput(), "*IDN?\n");
  EXPECT_EQ(host.Disable(), 0u);
  TestPlugins::Install();
}

// DoVovuriStopAll with a device enabled: the interfaces go first (event loop, device, physical
// interface), while their plug-in still exists; the device object can still be disabled afterwards.
TEST_F(EngineFaultTest, StopAllStopsInterfacesBeforePlugins) {
  TestHost host;
  ASSERT_EQ(host.Enable(0, "inst0", 1), 0u);
  ASSERT_EQ(host.PostInputBuffer(&host.input), 0u);
  ASSERT_EQ(TestPlugins::Factory().Alive(), 1);
  DoVovuriStopAll();
  EXPECT_EQ(TestPlugins::AliveAtStop(), 0);
  EXPECT_EQ(TestPlugins::Factory().Alive(), 0);
  EXPECT_TRUE(host.IsEnabled());
  EXPECT_EQ(host.QueryDetected(), DoVovuriPublicStatus(kStatusDeviceNotFound));
  EXPECT_EQ(host.Disable(), 0u);
  EXPECT_FALSE(host.IsEnabled());
}

// The front from several threads at once: starts and stops of the plug-ins, devices made and released.
TEST_F(EngineFaultTest, FrontIsSerialised) {
  std::atomic<bool> failed{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failed] {
      for (int i = 0; i < 100; ++i) {
        if (t % 2 == 0) {
          DoVovuriStopUsbPlugin();
          DoVovuriStartUsbPlugin();
        } else {
          TestHost host;
          const std::uint32_t status = host.Enable(0, nullptr, 0);
          if (status != 0) failed = true;
          host.Disable();
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_FALSE(failed.load());
  EXPECT_EQ(TestPlugins::Factory().Alive(), 0);
}

}  // namespace
}  // namespace torvex_test

namespace torvex_test {
namespace {

// The gate kind of suspension: an entry point holds the back-pressure suspension it made itself, and
// another thread gives it back while that entry point still runs. The token must stay single: later
// entry points on the three delivery threads never run side by side.
TEST(TestTransportGateTest, ResumeFromAnotherThreadWhileTheHandlerRunsKeepsOneToken) {
  TestTransportConfig config;
  config.kind = SuspensionKind::kGate;
  config.delivery_threads = 3;
  std::uint32_t status = kStatusSuccess;
  CTestTransport transport(config, kPluginIdVxi11, &status);
  ASSERT_EQ(status, kStatusSuccess);
  transport.Enable(nullptr, &status);
  transport.ResumeEvents(&status);  // the engine's Enable hands the events out

  Latch suspended;
  Latch resumed;
  transport.HostCall([&](CTestTransport& t) {
    std::uint32_t own = kStatusNotReported;
    t.SuspendEvents(&own);  // flow control from inside an entry point
    suspended.Open();
    resumed.Wait();  // still running while another thread resumes
  });
  suspended.Wait();
  transport.ResumeEvents(&status);
  resumed.Open();

  std::atomic<int> inside{0};
  std::atomic<int> most{0};
  for (int i = 0; i < 200; ++i) {
    transport.HostCall([&](CTestTransport&) {
      const int now = inside.fetch_add(1) + 1;
      int seen = most.load();
      while (now > seen && !most.compare_exchange_weak(seen, now)) {
      }
      std::this_thread::yield();
      inside.fetch_sub(1);
    });
  }
  ASSERT_TRUE(transport.WaitIdle());
  EXPECT_EQ(most.load(), 1);
  EXPECT_EQ(transport.Violations(), 0);
  EXPECT_EQ(transport.Depth(), 0);
  transport.Disable(&status);
}

}  // namespace
}  // namespace torvex_test
