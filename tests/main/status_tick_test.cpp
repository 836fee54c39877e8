#include "main/status_tick.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quorvel {
namespace {

struct Snapshot {
  Phase phase;
  uint8_t percent;
  friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

// Reads the record from another thread with try_lock, as a job would: fails (nullopt) whenever the
// tick holds the lock at that moment.
std::optional<Snapshot> try_read_elsewhere(DownloadStatus& status) {
  std::optional<Snapshot> result;
  std::thread reader([&] {
    if (status.mutex.try_lock()) {
      result = Snapshot{status.phase, status.percent};
      status.mutex.unlock();
    }
  });
  reader.join();
  return result;
}

class StatusTickTest : public ::testing::Test {
 protected:
  StatusTickTest() {
    context_.status = status_;
    StatusTickActions& act = context_.actions;
    act.set_progress = [this](int value) { record("bar " + std::to_string(value)); };
    act.set_taskbar = [](TaskbarState, int) {};  // followed in taskbar_button_test
    act.hide_window = [this] { record("hide"); };
    act.sleep = [this](std::chrono::milliseconds d) {
      record("sleep " + std::to_string(d.count()));
    };
    act.delete_download_files = [this] { record("delete"); };
    act.start_download_job = [this](std::shared_ptr<DownloadStatus> status) {
      record("start");
      started_with_.push_back(status);
    };
    act.run_install_step = [this] { record("install"); };
    act.flush_output = [this] { record("flush"); };
    act.exit_process = [this](int code) { record("exit " + std::to_string(code)); };
  }

  void set(Phase phase, uint8_t percent) {
    std::lock_guard lock(status_->mutex);
    status_->phase = phase;
    status_->percent = percent;
  }

  Snapshot now() {
    std::lock_guard lock(status_->mutex);
    return {status_->phase, status_->percent};
  }

  std::vector<std::string> tick() {
    events_.clear();
    states_.clear();
    status_tick(context_);
    return events_;
  }

  // Every action checks that the record is free, and notes the record as it was at that moment.
  void record(std::string event) {
    std::optional<Snapshot> seen = try_read_elsewhere(*status_);
    EXPECT_TRUE(seen.has_value()) << "record locked during " << event;
    if (seen) states_.push_back(*seen);
    events_.push_back(std::move(event));
  }

  std::shared_ptr<DownloadStatus> status_ = std::make_shared<DownloadStatus>();
  StatusTickContext context_;
  std::vector<std::string> events_;
  std::vector<Snapshot> states_;
  std::vector<std::shared_ptr<DownloadStatus>> started_with_;
};

using Events = std::vector<std::string>;

TEST_F(StatusTickTest, DownloadingMovesTheBarToThePercent) {
  set(Phase::Downloading, 0);
  EXPECT_EQ(tick(), Events{"bar 0"});
  set(Phase::Downloading, 42);
  EXPECT_EQ(tick(), Events{"bar 42"});
  set(Phase::Downloading, 100);
  EXPECT_EQ(tick(), Events{"bar 100"});
  EXPECT_EQ(now(), (Snapshot{Phase::Downloading, 100}));
}

TEST_F(StatusTickTest, BarIsSetOnEveryTickEvenWithoutChange) {
  set(Phase::Downloading, 7);
  EXPECT_EQ(tick(), Events{"bar 7"});
  EXPECT_EQ(tick(), Events{"bar 7"});
}

TEST_F(StatusTickTest, PercentAboveHundredIsShownAsHundred) {
  set(Phase::Downloading, 101);
  EXPECT_EQ(tick(), Events{"bar 100"});
  set(Phase::Downloading, 255);
  EXPECT_EQ(tick(), Events{"bar 100"});
}

TEST_F(StatusTickTest, DownloadedShowsHundredForOneTickThenInstalls) {
  set(Phase::Downloaded, 93);
  EXPECT_EQ(tick(), Events{"bar 100"});
  EXPECT_EQ(now().phase, Phase::Installing);

  EXPECT_EQ(tick(), (Events{"install", "sleep 1000", "hide", "flush", "exit 0"}));
  EXPECT_TRUE(started_with_.empty());
}

TEST_F(StatusTickTest, InstallingEndsTheRunWhateverTheInstallDid) {
  set(Phase::Installing, 0);
  context_.actions.run_install_step = [this] {
    record("install");
    // The install step may take long and print failures; the tick goes on regardless.
  };
  EXPECT_EQ(tick(), (Events{"install", "sleep 1000", "hide", "flush", "exit 0"}));
  EXPECT_EQ(now().phase, Phase::Installing);
}

TEST_F(StatusTickTest, CrcMismatchDeletesResetsAndRestartsAtOnce) {
  set(Phase::CrcMismatch, 100);
  EXPECT_EQ(tick(), (Events{"delete", "bar 0", "start"}));
  // The bar drops before the record is reset; the job starts with the reset record.
  EXPECT_EQ(states_[1], (Snapshot{Phase::CrcMismatch, 100}));
  EXPECT_EQ(states_[2], (Snapshot{Phase::Downloading, 0}));
  ASSERT_EQ(started_with_.size(), 1u);
  EXPECT_EQ(started_with_[0], status_);
}

TEST_F(StatusTickTest, FailedDeletesWaitsThreeSecondsThenRestarts) {
  set(Phase::Failed, 57);
  EXPECT_EQ(tick(), (Events{"delete", "sleep 3000", "bar 0", "start"}));
  EXPECT_EQ(states_[2], (Snapshot{Phase::Failed, 57}));
  EXPECT_EQ(states_[3], (Snapshot{Phase::Downloading, 0}));
  ASSERT_EQ(started_with_.size(), 1u);
  EXPECT_EQ(started_with_[0], status_);
}

TEST_F(StatusTickTest, EachFailureReportCausesExactlyOneRestart) {
  int deletions = 0;
  int starts = 0;
  context_.actions.delete_download_files = [&] { ++deletions; };
  context_.actions.start_download_job = [&](std::shared_ptr<DownloadStatus>) { ++starts; };

  set(Phase::Failed, 10);
  tick();
  for (int i = 0; i < 5; ++i) tick();  // the new job has not reported yet
  EXPECT_EQ(deletions, 1);
  EXPECT_EQ(starts, 1);

  set(Phase::Downloading, 30);
  tick();
  set(Phase::CrcMismatch, 100);
  tick();
  for (int i = 0; i < 5; ++i) tick();
  EXPECT_EQ(deletions, 2);
  EXPECT_EQ(starts, 2);
  EXPECT_EQ(now(), (Snapshot{Phase::Downloading, 0}));
}

TEST_F(StatusTickTest, AJobThatReportsDuringTheRestartIsNotOverwrittenLater) {
  // A job started by the tick may publish at once; the tick's reset happens before the start, so
  // what the new job writes stays.
  set(Phase::Failed, 0);
  context_.actions.start_download_job = [this](std::shared_ptr<DownloadStatus> status) {
    std::lock_guard lock(status->mutex);
    status->phase = Phase::Downloading;
    status->percent = 12;
  };
  tick();
  EXPECT_EQ(now(), (Snapshot{Phase::Downloading, 12}));
  EXPECT_EQ(tick(), Events{"bar 12"});
}

TEST_F(StatusTickTest, TheWholeRoadFromDownloadToExit) {
  std::vector<std::string> all;
  auto run = [&] {
    for (auto& e : tick()) all.push_back(e);
  };
  set(Phase::Downloading, 0);
  run();
  set(Phase::Downloading, 50);
  run();
  set(Phase::CrcMismatch, 100);
  run();
  set(Phase::Downloading, 100);
  run();
  set(Phase::Downloaded, 100);
  run();
  run();
  EXPECT_EQ(all, (Events{"bar 0", "bar 50", "delete", "bar 0", "start", "bar 100", "bar 100",
                         "install", "sleep 1000", "hide", "flush", "exit 0"}));
}

}  // namespace
}  // namespace quorvel
