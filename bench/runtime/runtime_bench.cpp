// Runtime latencies: spawn to completion of an empty task, and the round trip of an empty
// run_blocking job, from a spawned task and from block_on. Prints median and 99th percentile.
//
//   runtime_bench [rounds]      (default 5000)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "runtime/task.h"

namespace {

using Clock = std::chrono::steady_clock;

void report(const char* name, std::vector<double>& micros) {
  std::sort(micros.begin(), micros.end());
  double median = micros[micros.size() / 2];
  double p99 = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
  std::printf("%-34s rounds=%zu median=%.1f us p99=%.1f us\n", name, micros.size(), median, p99);
}

double micros_between(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::micro>(b - a).count();
}

quorvel::Task<void> finish_at(std::atomic<int64_t>* end) {
  end->store(Clock::now().time_since_epoch().count());
  co_return;
}

void spawn_to_completion(int rounds) {
  std::vector<double> samples;
  std::atomic<int64_t> end{0};
  for (int i = 0; i < rounds + 100; ++i) {
    end.store(0);
    auto start = Clock::now();
    quorvel::TaskHandle handle = quorvel::spawn_task(finish_at(&end));
    while (end.load() == 0) std::this_thread::yield();
    auto stop = Clock::time_point(Clock::duration(end.load()));
    if (i >= 100) samples.push_back(micros_between(start, stop));  // the first ones warm up
    handle.detach();
  }
  report("spawn to completion", samples);
}

quorvel::Task<void> blocking_round_trips(int rounds, std::vector<double>* samples,
                                         std::atomic<bool>* done) {
  for (int i = 0; i < rounds + 100; ++i) {
    auto start = Clock::now();
    int v = co_await quorvel::run_blocking([] { return 1; });
    auto stop = Clock::now();
    if (i >= 100 && v == 1) samples->push_back(micros_between(start, stop));
  }
  done->store(true);
}

void run_blocking_from_executor(int rounds) {
  std::vector<double> samples;
  std::atomic<bool> done{false};
  quorvel::TaskHandle handle = quorvel::spawn_task(blocking_round_trips(rounds, &samples, &done));
  while (!done.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  report("run_blocking round trip (executor)", samples);
  handle.detach();
}

void run_blocking_from_block_on(int rounds) {
  std::vector<double> samples;
  std::atomic<bool> done{false};
  quorvel::block_on(blocking_round_trips(rounds, &samples, &done));
  report("run_blocking round trip (block_on)", samples);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 5000;
  if (rounds < 1) rounds = 1;
  spawn_to_completion(rounds);
  run_blocking_from_executor(rounds);
  run_blocking_from_block_on(rounds);
  return 0;
}
