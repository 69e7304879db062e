#include "status/phone_status.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace velnaro {
namespace {

using ::testing::ElementsAre;

struct Fields {
  std::string Stato, ChiamataStato, ChiamataPrefix, ChiamataNumero, Rec, Hold, Mute;
  bool operator==(const Fields&) const = default;
};

Fields Of(const StatusFields& f) {
  return {f.Stato, f.ChiamataStato, f.ChiamataPrefix, f.ChiamataNumero, f.Rec, f.Hold, f.Mute};
}

class StatusRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.AggiornaStato("INCALL", "CALLOUT", "0", "55");
    server_.SetHold("1");
    server_.SetMute("1");
    server_.SetRec("1");
  }
  PhoneStatus server_;
};

TEST(StatusRecordStart, InitialValues) {
  PhoneStatus server;
  EXPECT_EQ(Of(server.Record()), (Fields{"", "", "", "", "0", "0", "0"}));
}

TEST_F(StatusRecord, IdleRunsIdleActionThenClearsHoldAndMute) {
  std::vector<std::string> seen_hold;
  server_.SetIdleAction([&] { seen_hold.push_back(server_.Record().Hold); });
  server_.AggiornaStato("IDLE", "HANGUP", "", "");
  EXPECT_THAT(seen_hold, ElementsAre("1"));  // ran before Hold was cleared
  EXPECT_EQ(Of(server_.Record()), (Fields{"IDLE", "HANGUP", "0", "55", "1", "0", "0"}));
}

TEST_F(StatusRecord, OnlyStatoChangesWithoutCallState) {
  server_.AggiornaStato("ONLINE", "", "", "");
  EXPECT_EQ(Of(server_.Record()), (Fields{"ONLINE", "CALLOUT", "0", "55", "1", "1", "1"}));
  server_.AggiornaStato("INCALL", "", "", "77");
  EXPECT_EQ(Of(server_.Record()), (Fields{"INCALL", "CALLOUT", "0", "55", "1", "1", "1"}));
  server_.AggiornaStato("", "", "", "");  // an empty state is stored too
  EXPECT_EQ(server_.Record().Stato, "");
}

TEST_F(StatusRecord, NumberAndPrefixOnlyWithANumber) {
  server_.AggiornaStato("INCALL", "RINGING", "9", "");
  EXPECT_EQ(Of(server_.Record()), (Fields{"INCALL", "RINGING", "0", "55", "1", "1", "1"}));
  server_.AggiornaStato("INCALL", "CALLIN", "", "sip:a@b");  // an empty prefix is stored
  EXPECT_EQ(Of(server_.Record()), (Fields{"INCALL", "CALLIN", "", "sip:a@b", "1", "1", "1"}));
}

TEST_F(StatusRecord, NonIdleStateKeepsFlagsAndRunsNoAction) {
  int runs = 0;
  server_.SetIdleAction([&] { ++runs; });
  server_.AggiornaStato("idle", "HANGUP", "", "");
  server_.AggiornaStato("OFFLINE", "", "", "");
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(server_.Record().Hold, "1");
  EXPECT_EQ(server_.Record().Mute, "1");
}

TEST_F(StatusRecord, IdleHooksRunAfterTheIdleActionWhoeverRegistersFirst) {
  std::vector<std::string> runs;
  server_.AddIdleHook([&] { runs.push_back("hook"); });
  server_.SetIdleAction([&] { runs.push_back("action"); });
  server_.AggiornaStato("IDLE", "HANGUP", "", "");
  EXPECT_EQ(runs, (std::vector<std::string>{"action", "hook"}));
  // The phone going away takes only its own action with it.
  server_.SetIdleAction(nullptr);
  server_.AggiornaStato("IDLE", "", "", "");
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
  server_.AggiornaStato("INCALL", "CALLOUT", "0", "55");
  server_.SetMute("1");
  server_.SetMute("0");  // however short, the muted state is a value of its own
  server_.SetHold("1");
  server_.SetRec("1");
  server_.AggiornaStato("IDLE", "HANGUP", "", "");  // state and cleared flags: one change
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
  server_.SetMute("0");
  server_.ResetRecord();
  server_.AggiornaStato("", "", "", "");
  server_.AggiornaStato("", "", "9", "");
  EXPECT_THAT(versions_, ElementsAre(1));
  // The observer taken away hears nothing more.
  server_.SetRecordObserver(nullptr);
  server_.SetMute("1");
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
    states.push_back(record.Stato);
  });
  constexpr int kWriters = 4, kWrites = 5000;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < kWrites; ++i) {
        server.AggiornaStato(std::to_string(w) + ":" + std::to_string(i), "", "", "");
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
  EXPECT_EQ(server.Record().Stato, states.back());
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
  server.AggiornaStato("INCALL", "CALLOUT", "1", "111");
  std::atomic<bool> stop{false};
  std::atomic<long> reads{0}, torn{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < 3; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < 20000; ++i) {
        if ((i + w) % 2) {
          server.AggiornaStato("INCALL", "CALLOUT", "1", "111");
        } else {
          server.AggiornaStato("IDLE", "HANGUP", "2", "222");
        }
        server.SetHold(i % 2 ? "1" : "0");
        server.AggiungiLog({"-----------------", "w" + std::to_string(w), "end"});
      }
    });
  }
  for (int r = 0; r < 3; ++r) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        const auto f = server.Record();
        const bool a = f.Stato == "INCALL" && f.ChiamataStato == "CALLOUT" &&
                       f.ChiamataPrefix == "1" && f.ChiamataNumero == "111";
        const bool b = f.Stato == "IDLE" && f.ChiamataStato == "HANGUP" &&
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
