#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "os/os.h"
#include "tests/support/emulated_world.h"

namespace {

class EmulatedThreads : public EmulatedWorldTest {
 protected:
  void SetUp() override { MakeWorld(); }
};

TEST_F(EmulatedThreads, AutoResetEventLetsOneWaitThroughThenResets) {
  os::Handle e = os::CreateEvent(false, false);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(os::WaitForSingleObject(e, 0), os::kWaitTimeout);
  EXPECT_TRUE(os::SetEvent(e));
  EXPECT_EQ(os::WaitForSingleObject(e, 0), os::kWaitObject0);
  EXPECT_EQ(os::WaitForSingleObject(e, 0), os::kWaitTimeout);
  EXPECT_TRUE(os::CloseHandle(e));
}

TEST_F(EmulatedThreads, ManualResetEventStaysSignalled) {
  os::Handle e = os::CreateEvent(true, true);
  EXPECT_EQ(os::WaitForSingleObject(e, 0), os::kWaitObject0);
  EXPECT_EQ(os::WaitForSingleObject(e, 0), os::kWaitObject0);
  os::CloseHandle(e);
}

TEST_F(EmulatedThreads, TimedWaitReturnsAfterItsTimeout) {
  os::Handle e = os::CreateEvent(false, false);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(os::WaitForSingleObject(e, 50), os::kWaitTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
  os::CloseHandle(e);
}

struct Handoff {
  os::Handle done;
  std::atomic<int> value{0};
};

TEST_F(EmulatedThreads, ThreadSignalsAnEventTheCreatorWaitsForWithoutLimit) {
  Handoff h;
  h.done = os::CreateEvent(false, false);
  os::Handle t = os::CreateThread(
      [](void* arg) -> uint32_t {
        auto* handoff = static_cast<Handoff*>(arg);
        os::Sleep(20);
        handoff->value = 42;
        os::SetEvent(handoff->done);
        return 7;
      },
      &h);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(os::WaitForSingleObject(h.done, os::kInfinite), os::kWaitObject0);
  EXPECT_EQ(h.value.load(), 42);
  // The thread's own handle is signalled once its routine has returned.
  EXPECT_EQ(os::WaitForSingleObject(t, 5000), os::kWaitObject0);
  EXPECT_EQ(os::WaitForSingleObject(t, 0), os::kWaitObject0);
  os::CloseHandle(t);
  os::CloseHandle(h.done);
}

TEST_F(EmulatedThreads, EachThreadHasItsOwnLastError) {
  os::DeleteFile("C:\\missing.txt");
  ASSERT_EQ(os::GetLastError(), os::kErrorFileNotFound);
  std::atomic<uint32_t> seen{0xFFFFFFFF};
  os::Handle t = os::CreateThread(
      [](void* arg) -> uint32_t {
        static_cast<std::atomic<uint32_t>*>(arg)->store(os::GetLastError());
        return 0;
      },
      &seen);
  ASSERT_EQ(os::WaitForSingleObject(t, 5000), os::kWaitObject0);
  EXPECT_EQ(seen.load(), 0u);
  EXPECT_EQ(os::GetLastError(), os::kErrorFileNotFound);
  os::CloseHandle(t);
}

TEST_F(EmulatedThreads, WaitsAndSignalsOnUnknownHandlesFail) {
  EXPECT_EQ(os::WaitForSingleObject(reinterpret_cast<os::Handle>(0x4), 0), os::kWaitFailed);
  EXPECT_EQ(os::GetLastError(), os::kErrorInvalidHandle);
  EXPECT_FALSE(os::SetEvent(reinterpret_cast<os::Handle>(0x4)));
  os::Handle e = os::CreateEvent(false, false);
  os::CloseHandle(e);
  EXPECT_FALSE(os::SetEvent(e));  // a closed handle stays unknown
}

}  // namespace
