#include <atomic>

#include "runtime/thread.h"

namespace quorvel::detail {
namespace {

std::atomic<int> spawn_budget{-1};  // negative: no test limit

}  // namespace

void limit_thread_spawns_for_testing(int successes) {
  spawn_budget.store(successes < 0 ? -1 : successes);
}

bool thread_spawn_allowed() {
  int budget = spawn_budget.load();
  while (budget >= 0) {
    if (budget == 0) return false;
    if (spawn_budget.compare_exchange_weak(budget, budget - 1)) return true;
  }
  return true;
}

}  // namespace quorvel::detail
