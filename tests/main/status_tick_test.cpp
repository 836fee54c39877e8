#include "main/status_tick.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvel {
namespace {

using Snapshot = StatusSnapshot;

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
    act.now = [this] { return clock_; };
    act.start_download_job = [this](std::shared_ptr<DownloadStatus> status, size_t url) {
      record(url == 0 ? "start" : "start mirror " + std::to_string(url));
      started_with_.push_back(status);
    };
    act.run_install_step = [this] { record("install"); };
    act.flush_output = [this] { record("flush"); };
    act.exit_process = [this](int code) { record("exit " + std::to_string(code)); };
  }

  void set(Phase phase, uint8_t percent, AttemptOutcome outcome = {}) {
    status_->publish_percent(percent);
    if (phase != Phase::Downloading) status_->publish_phase(phase, outcome);
  }

  Snapshot now() { return status_->copy(); }

  std::vector<std::string> tick() {
    events_.clear();
    states_.clear();
    status_tick(context_);
    return events_;
  }

  // Every action notes the record as it was at that moment (the record's lock is never held across
  // an action: copying it here would deadlock otherwise).
  void record(std::string event) {
    states_.push_back(status_->copy());
    events_.push_back(std::move(event));
  }

  std::shared_ptr<DownloadStatus> status_ = std::make_shared<DownloadStatus>();
  StatusTickContext context_;
  std::vector<std::string> events_;
  std::vector<Snapshot> states_;
  std::vector<std::shared_ptr<DownloadStatus>> started_with_;
  std::chrono::milliseconds clock_{1'000'000};
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

TEST_F(StatusTickTest, ACutMidBodyKeepsTheFilesAndTheBarAndRestartsAfterThreeSeconds) {
  AttemptOutcome cut;
  cut.cut_mid_body = true;
  set(Phase::Failed, 41, cut);
  EXPECT_EQ(tick(), (Events{"sleep 3000", "start"}));
  EXPECT_EQ(states_[1], (Snapshot{Phase::Downloading, 41}));  // nothing special any more
  EXPECT_EQ(tick(), Events{"bar 41"});
}

TEST_F(StatusTickTest, EachFailureReportCausesExactlyOneRestart) {
  int deletions = 0;
  int starts = 0;
  context_.actions.delete_download_files = [&] { ++deletions; };
  context_.actions.start_download_job = [&](std::shared_ptr<DownloadStatus>, size_t) { ++starts; };

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
  context_.actions.start_download_job = [](std::shared_ptr<DownloadStatus> status, size_t) {
    status->publish_percent(12);
  };
  tick();
  EXPECT_EQ(now(), (Snapshot{Phase::Downloading, 12}));
  EXPECT_EQ(tick(), Events{"bar 12"});
}

TEST_F(StatusTickTest, LongerWaitsKeepTicking) {
  // Each row: the outcome reported, then what the tick does at once, while waiting, and when due.
  AttemptOutcome overloaded;
  overloaded.retry_after = RetryAfter{503, "20", std::chrono::seconds(20)};
  AttemptOutcome wrong_header;
  wrong_header.announced = true;
  wrong_header.announced_crc = 12345;
  wrong_header.announced_etag = "\"q-1\"";
  struct Row {
    Phase phase;
    AttemptOutcome outcome;
    int64_t wait_ms;
  };
  const Row rows[] = {{Phase::Failed, overloaded, 20000},
                      {Phase::CrcMismatch, wrong_header, 0},
                      {Phase::CrcMismatch, wrong_header, 3000},
                      {Phase::CrcMismatch, wrong_header, 6000}};
  for (const Row& row : rows) {
    set(row.phase, 40, row.outcome);
    if (row.wait_ms == 0) {
      EXPECT_EQ(tick(), (Events{"delete", "bar 0", "start"}));
      continue;
    }
    EXPECT_EQ(tick(), (Events{"delete", "bar 0"}));  // no sleep: the window stays live
    clock_ += std::chrono::milliseconds(row.wait_ms - 1);
    EXPECT_EQ(tick(), Events{"bar 0"});
    EXPECT_EQ(now(), (Snapshot{row.phase, 40, row.outcome}));  // no job runs meanwhile
    clock_ += std::chrono::milliseconds(1);
    EXPECT_EQ(tick(), (Events{"bar 0", "start"}));
    EXPECT_EQ(now(), (Snapshot{Phase::Downloading, 0}));
  }
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
