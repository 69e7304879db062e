#include "status/phone_status.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/wire_fields.h"

namespace velnaro {
namespace {

using ::testing::ElementsAre;

using Fields = testing::WireFields;
constexpr auto Of = testing::Wire;

class StatusRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.AggiornaStato(LineState::kInCall, CallState::kCallOut, "0", "55");
    server_.SetHold(true);
    server_.SetMute(true);
    server_.SetRec(true);
  }
  PhoneStatus server_;
};

TEST(StatusRecordStart, InitialValues) {
  PhoneStatus server;
  EXPECT_EQ(Of(server.Record()), (Fields{"", "", "", "", "0", "0", "0"}));
}

TEST_F(StatusRecord, IdleRunsIdleActionThenClearsHoldAndMute) {
  std::vector<bool> seen_hold;
  server_.SetIdleAction([&] { seen_hold.push_back(server_.Record().Hold); });
  server_.AggiornaStato(LineState::kIdle, CallState::kHangUp);
  EXPECT_THAT(seen_hold, ElementsAre(true));  // ran before Hold was cleared
  EXPECT_EQ(Of(server_.Record()), (Fields{"IDLE", "HANGUP", "0", "55", "1", "0", "0"}));
}

TEST_F(StatusRecord, OnlyStatoChangesWithoutCallState) {
  server_.AggiornaStato(LineState::kOnline);
  EXPECT_EQ(Of(server_.Record()), (Fields{"ONLINE", "CALLOUT", "0", "55", "1", "1", "1"}));
  server_.AggiornaStato(LineState::kInCall, CallState::kNone, "", "77");
  EXPECT_EQ(Of(server_.Record()), (Fields{"INCALL", "CALLOUT", "0", "55", "1", "1", "1"}));
  server_.AggiornaStato(LineState::kNone);  // an empty state is stored too
  EXPECT_EQ(server_.Record().Stato, LineState::kNone);
}

TEST_F(StatusRecord, NumberAndPrefixOnlyWithANumber) {
  server_.AggiornaStato(LineState::kInCall, CallState::kRinging, "9", "");
  EXPECT_EQ(Of(server_.Record()), (Fields{"INCALL", "RINGING", "0", "55", "1", "1", "1"}));
  server_.AggiornaStato(LineState::kInCall, CallState::kCallIn, "", "sip:a@b");  // "" is stored
  EXPECT_EQ(Of(server_.Record()), (Fields{"INCALL", "CALLIN", "", "sip:a@b", "1", "1", "1"}));
}

TEST_F(StatusRecord, NonIdleStateKeepsFlagsAndRunsNoAction) {
  int runs = 0;
  server_.SetIdleAction([&] { ++runs; });
  server_.AggiornaStato(LineState::kOffline, CallState::kHangUp);
  server_.AggiornaStato(LineState::kInCall);
  EXPECT_EQ(runs, 0);
  EXPECT_TRUE(server_.Record().Hold);
  EXPECT_TRUE(server_.Record().Mute);
}

TEST_F(StatusRecord, IdleHooksRunAfterTheIdleActionWhoeverRegistersFirst) {
  std::vector<std::string> runs;
  server_.AddIdleHook([&] { runs.push_back("hook"); });
  server_.SetIdleAction([&] { runs.push_back("action"); });
  server_.AggiornaStato(LineState::kIdle, CallState::kHangUp);
  EXPECT_EQ(runs, (std::vector<std::string>{"action", "hook"}));
  // The phone going away takes only its own action with it.
  server_.SetIdleAction(nullptr);
  server_.AggiornaStato(LineState::kIdle);
  EXPECT_EQ(runs, (std::vector<std::string>{"action", "hook", "hook"}));
}

// The record's feed, which the event streams are built on.
class RecordFeed : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.SetRecordObserver([this](uint64_t version, const StatusFields& record) {
      versions_.push_back(version);
      seen_.push_back(Of(record));
    });
  }
  PhoneStatus server_;
  std::vector<uint64_t> versions_;
  std::vector<Fields> seen_;
};

TEST_F(RecordFeed, TheRecordAtOnceThenEveryValueItTakesInOrder) {
  server_.AggiornaStato(LineState::kInCall, CallState::kCallOut, "0", "55");
  server_.SetMute(true);
  server_.SetMute(false);  // however short, the muted state is a value of its own
  server_.SetHold(true);
  server_.SetRec(true);
  server_.AggiornaStato(LineState::kIdle, CallState::kHangUp);  // with cleared flags: one change
  EXPECT_THAT(versions_, ElementsAre(1, 2, 3, 4, 5, 6, 7));
  EXPECT_THAT(seen_, ElementsAre(Fields{"", "", "", "", "0", "0", "0"},
                                 Fields{"INCALL", "CALLOUT", "0", "55", "0", "0", "0"},
                                 Fields{"INCALL", "CALLOUT", "0", "55", "0", "0", "1"},
                                 Fields{"INCALL", "CALLOUT", "0", "55", "0", "0", "0"},
                                 Fields{"INCALL", "CALLOUT", "0", "55", "0", "1", "0"},
                                 Fields{"INCALL", "CALLOUT", "0", "55", "1", "1", "0"},
                                 Fields{"IDLE", "HANGUP", "0", "55", "1", "0", "0"}));
}

TEST_F(RecordFeed, AWriteThatLeavesTheRecordAsItWasIsNoChange) {
  server_.SetMute(false);
  server_.AggiornaStato(LineState::kNone);
  server_.AggiornaStato(LineState::kNone, CallState::kNone, "9", "");
  EXPECT_THAT(versions_, ElementsAre(1));
  // The observer taken away hears nothing more.
  server_.SetRecordObserver(nullptr);
  server_.SetMute(true);
  EXPECT_EQ(seen_.size(), 1u);
}

// Writers on several threads: every change reaches the observer once, numbered without a
// gap, each writer's own changes in the order it made them, the last one as it stands.
TEST(RecordFeedConcurrency, EveryChangeOnceNumberedInOrder) {
  PhoneStatus server;
  std::vector<uint64_t> versions;
  std::vector<std::string> states;
  server.SetRecordObserver([&](uint64_t version, const StatusFields& record) {
    versions.push_back(version);  // under the record's lock: no other guard needed
    states.push_back(record.ChiamataNumero);
  });
  constexpr int kWriters = 4, kWrites = 5000;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < kWrites; ++i) {
        server.AggiornaStato(LineState::kInCall, CallState::kCallOut, "",
                             std::to_string(w) + ":" + std::to_string(i));
      }
    });
  }
  for (auto& t : writers) t.join();
  ASSERT_EQ(versions.size(), static_cast<size_t>(kWriters * kWrites + 1));
  for (size_t i = 0; i < versions.size(); ++i) ASSERT_EQ(versions[i], i + 1);
  std::vector<int> next(kWriters, 0);
  for (size_t i = 1; i < states.size(); ++i) {
    const int w = std::stoi(states[i]);
    ASSERT_EQ(states[i], std::to_string(w) + ":" + std::to_string(next[w]++));
  }
  EXPECT_EQ(server.Record().ChiamataNumero, states.back());
}

TEST(ServiceLog, EmptiesAfterMoreThanHundredLines) {
  PhoneStatus server;
  for (int i = 1; i <= 101; ++i) server.AggiungiLog("line " + std::to_string(i));
  auto log = server.memoLogs();
  ASSERT_EQ(log.size(), 101u);
  EXPECT_EQ(log.front(), "line 1");
  EXPECT_EQ(log.back(), "line 101");
  server.AggiungiLog("line 102");
  EXPECT_THAT(server.memoLogs(), ElementsAre("line 102"));
}

TEST(ServiceLog, GroupOfLinesAppliesTheBoundPerLine) {
  PhoneStatus server;
  for (int i = 1; i <= 100; ++i) server.AggiungiLog("x");
  server.AggiungiLog({"a", "b", "c"});  // "a" is the 101st, "b" starts a new log
  EXPECT_THAT(server.memoLogs(), ElementsAre("b", "c"));
}

TEST(ServiceLog, ObserverSeesEveryLine) {
  PhoneStatus server;
  std::vector<std::string> seen;
  server.SetLogObserver([&](const std::string& l) { seen.push_back(l); });
  server.AggiungiLog("one");
  server.AggiungiLog({"two", "three"});
  EXPECT_THAT(seen, ElementsAre("one", "two", "three"));
}

// Writers move the record between two consistent states; readers must never see a mix.
TEST(StatusRecordConcurrency, NeverSeenHalfUpdated) {
  PhoneStatus server;
  server.AggiornaStato(LineState::kInCall, CallState::kCallOut, "1", "111");
  std::atomic<bool> stop{false};
  std::atomic<long> reads{0}, torn{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < 3; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < 20000; ++i) {
        if ((i + w) % 2) {
          server.AggiornaStato(LineState::kInCall, CallState::kCallOut, "1", "111");
        } else {
          server.AggiornaStato(LineState::kIdle, CallState::kHangUp, "2", "222");
        }
        server.SetHold(i % 2);
        server.AggiungiLog({"-----------------", "w" + std::to_string(w), "end"});
      }
    });
  }
  for (int r = 0; r < 3; ++r) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        const auto f = server.Record();
        const bool a = f.Stato == LineState::kInCall && f.ChiamataStato == CallState::kCallOut &&
                       f.ChiamataPrefix == "1" && f.ChiamataNumero == "111";
        const bool b = f.Stato == LineState::kIdle && f.ChiamataStato == CallState::kHangUp &&
                       f.ChiamataPrefix == "2" && f.ChiamataNumero == "222";
        if (!a && !b) ++torn;
        const auto log = server.memoLogs();
        // Groups are whole; only the bound may cut the first one, leaving its tail
        // of one or two lines in front.
        for (size_t i = log.size() % 3; i + 2 < log.size(); i += 3) {
          if (log[i] != "-----------------" || log[i + 2] != "end") ++torn;
        }
        ++reads;
      }
    });
  }
  for (int w = 0; w < 3; ++w) threads[w].join();
  stop = true;
  for (size_t i = 3; i < threads.size(); ++i) threads[i].join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(torn.load(), 0);
}

}  // namespace
}  // namespace velnaro
