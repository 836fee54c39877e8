// The instance mutex between threads, which stand in for copies of the program: a Windows mutex
// belongs to a thread, and one whose thread ends without releasing it is abandoned, as a killed
// copy's is.
#include "main/single_instance.h"

#include <gtest/gtest.h>

#include <future>
#include <optional>
#include <string>
#include <thread>

namespace quorvel {
namespace {

TEST(SingleInstance, ALiveHolderTurnsOthersAwayAndAnAbandonedMutexIsFree) {
  const std::wstring name =
      L"Local\\Quorvel.SingleInstanceTest." + std::to_wstring(GetCurrentProcessId());
  std::optional<SingleInstance> holder;
  std::promise<void> claimed;
  std::promise<void> finish;
  std::thread copy([&] {
    holder = SingleInstance::claim(name);
    claimed.set_value();
    finish.get_future().wait();
  });
  claimed.get_future().wait();
  EXPECT_TRUE(holder->first());
  EXPECT_FALSE(SingleInstance::claim(name).first());

  // The holder's thread ends without releasing, its handle still open: the mutex is abandoned.
  finish.set_value();
  copy.join();
  EXPECT_TRUE(SingleInstance::claim(name).first());
}

TEST(SingleInstance, TheProgramsMutexIsNamedAfterTheUser) {
  std::wstring name = instance_mutex_name();
  EXPECT_EQ(name.rfind(L"Local\\Quorvel.Bootstrap.S-1-5-", 0), 0u);
}

}  // namespace
}  // namespace quorvel
