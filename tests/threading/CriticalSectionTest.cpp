#include "platform/threading/CriticalSection.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>

namespace {

TEST(CriticalSectionTest, TryLock_FailsOnlyWhileAnotherThreadHolds) {
  Concurrency::critical_section section;
  auto tryFromOtherThread = [&] {
    return std::async(std::launch::async, [&] {
             bool taken = section.try_lock();
             if (taken) section.unlock();
             return taken;
           }).get();
  };
  section.lock();
  EXPECT_TRUE(section.is_held_by_current_thread());
  EXPECT_FALSE(tryFromOtherThread());
  section.unlock();
  EXPECT_FALSE(section.is_held_by_current_thread());
  EXPECT_TRUE(tryFromOtherThread());
}

TEST(CriticalSectionDeathTest, Misuse_ReportedAtOnce) {
#ifdef NDEBUG
  GTEST_SKIP() << "misuse is only checked in builds without NDEBUG";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::pair<std::function<void(Concurrency::critical_section&)>, const char*> misuses[] = {
      {[](auto& s) { s.lock(); s.lock(); }, "not recursive"},
      {[](auto& s) { s.lock(); (void)s.try_lock(); }, "not recursive"},
      {[](auto& s) { s.unlock(); }, "does not hold it"}};
  for (const auto& [misuse, message] : misuses) {
    Concurrency::critical_section section;
    EXPECT_DEATH(misuse(section), message);
  }
#endif
}

}  // namespace
