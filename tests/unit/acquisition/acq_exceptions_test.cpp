#include <gtest/gtest.h>

#include <string>

#include "acquisition/CTorvexException.h"

namespace Torvex {
namespace {

TEST(AcqExceptions, MessagesAndKinds) {
  CAcqError plain(50);
  EXPECT_STREQ(plain.what(), "HostAcq encountered an error.\n");
  EXPECT_TRUE(plain.IsError());
  EXPECT_FALSE(plain.IsAbort());
  EXPECT_EQ(plain.m_Code, 50);

  CAcqError located("acq.cpp:12", 38);
  EXPECT_STREQ(located.what(), "HostAcq encountered an error at: acq.cpp:12.\n");
  EXPECT_EQ(located.m_Code, 38);

  cyg_sem_t sem;
  cyg_semaphore_init(&sem, 0);
  {
    CAbortException abort(&sem);
    EXPECT_STREQ(abort.what(), "HostAcq was asked to abort.\n");
    EXPECT_TRUE(abort.IsAbort());
    EXPECT_FALSE(abort.IsError());
    EXPECT_EQ(abort.m_ReplySemaphore, &sem);
  }
  // Destroying the abort does not post the reply semaphore.
  cyg_count32 count = -1;
  cyg_semaphore_peek(&sem, &count);
  EXPECT_EQ(count, 0);
  cyg_semaphore_destroy(&sem);

  CFatalAcqException fatal("flow.cpp:7");
  EXPECT_STREQ(fatal.what(), "HostAcq fatal exception at: flow.cpp:7.\n");
}

TEST(AcqExceptions, LocationNamesThisFileAndLine) {
  const int line = __LINE__ + 1;
  CFatalAcqException fatal(TORVEX_LOCATION);
  const std::string text = fatal.what();
  EXPECT_NE(text.find("acq_exceptions_test.cpp:" + std::to_string(line) + ".\n"), std::string::npos) << text;
}

TEST(AcqExceptions, MeasurementHandlerDoesNotCatchFatal) {
  bool caught_by_measurement = false;
  bool reached_outer = false;
  try {
    try {
      throw CFatalAcqException("x:1");
    } catch (const CAcqException&) {
      caught_by_measurement = true;
    }
  } catch (const CFatalAcqException& e) {
    reached_outer = true;
    EXPECT_STREQ(e.what(), "HostAcq fatal exception at: x:1.\n");
  }
  EXPECT_FALSE(caught_by_measurement);
  EXPECT_TRUE(reached_outer);

  // Errors and aborts are both caught by the measurement-level base, and by the root.
  for (int kind = 0; kind < 2; ++kind) {
    bool caught = false;
    try {
      if (kind == 0) throw CAcqError(29);
      throw CAbortException(nullptr);
    } catch (const CAcqException& e) {
      caught = true;
      EXPECT_EQ(e.IsError(), kind == 0);
      EXPECT_EQ(e.IsAbort(), kind == 1);
    }
    EXPECT_TRUE(caught);
  }
  try {
    throw CDSPNotBootedException("not booted");
  } catch (const CTorvexException& e) {
    EXPECT_STREQ(e.what(), "not booted");
  }
}

}  // namespace
}  // namespace Torvex
