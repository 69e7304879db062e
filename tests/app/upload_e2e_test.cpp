// The real program's recording uploads when the receiver misbehaves: one that stalls must
// not keep the agent from stopping, and one that is down gets the recording later, after
// a restart, once.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>

#include "lab_harness.h"
#include "support/loopback_server.h"

namespace velnaro::testing {
namespace {

using ::testing::HasSubstr;

class Uploads : public LabFixture {
 protected:
  void SetUp() override {
    LabFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    StartProvisioning();
    StartSip();
  }

  std::map<std::string, std::string> Env() {
    auto env = AgentEnv();
    env["VELNARO_UPLOAD_RETRY_MS"] = "300";
    return env;
  }
  void StartOnline(Child& agent, const std::string& log) {
    StartAgent("http://127.0.0.1:8088/oService", agent, log, Env());
    ASSERT_TRUE(WaitForStatus("ONLINE", "", 20000)) << Status() << agent.Output();
  }
  // A call answered and recording; RECSTOP is the caller's.
  void RecordACall() {
    EXPECT_THAT(HttpGet(9090, "/phone/?Action=CALL&Prefix=0&Number=55"), HasSubstr("CALLING"));
    ASSERT_TRUE(WaitForStatus("INCALL", "ANSWERE", 15000)) << Status();
    EXPECT_THAT(HttpGet(9090, "/phone/?Action=RECSTART"), HasSubstr("\"RECSTART\""));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  }
  std::vector<std::string> Recordings() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) {
      const std::string name = e.path().filename().string();
      if (name.rfind("rec", 0) == 0 && e.path().extension() == ".wav" &&
          e.file_size() > 44)
        out.push_back(e.path().string());
    }
    return out;
  }
  std::string Spool() const { return dir_ + "/home/.local/state/velnaro-ds/spool"; }
  size_t SpoolEntries() const {
    size_t n = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(Spool(), ec))
      if (e.path().extension() == ".json") ++n;
    return n;
  }
};

// SIGTERM while the receiver holds the upload without a word: the agent is gone long
// before the 60 s stall limit, cleanly, and the recording stays.
TEST_F(Uploads, SigtermEndsTheAgentWhileTheReceiverStalls) {
  LoopbackServer receiver(LoopbackServer::Stall, 80);
  ASSERT_TRUE(receiver.ok());
  Child agent;
  StartOnline(agent, "agent.log");
  RecordACall();
  std::thread recstop([] { HttpGet(9090, "/phone/?Action=RECSTOP&CallID=stalled", 90000); });
  const bool sent = WaitUntil([&] { return receiver.requests() == 1; }, 20000);
  const auto signalled = std::chrono::steady_clock::now();
  kill(agent.pid(), SIGTERM);
  const int rc = agent.Wait(20000);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - signalled);
  recstop.join();
  ASSERT_TRUE(sent) << "the upload never reached the receiver";
  ASSERT_NE(rc, -1) << "still running 20 s after SIGTERM";
  EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << "wait status " << rc;
  std::printf("agent ended %lld ms after SIGTERM (the stall limit is 60 s)\n",
              static_cast<long long>(took.count()));
  EXPECT_EQ(Recordings().size(), 1u);
  EXPECT_EQ(SpoolEntries(), 1u);  // and kept for the next run
}

// The receiver is down at RECSTOP; the agent restarts; the receiver comes back; the
// recording arrives, once, with the page's query, and the spool is empty again.
TEST_F(Uploads, AFailedUploadArrivesOnceAfterARestart) {
  {
    Child agent;
    StartOnline(agent, "agent-first.log");
    RecordACall();
    EXPECT_THAT(HttpGet(9090, "/phone/?Action=RECSTOP&CallID=later%2B1", 30000),
                HasSubstr("\"RECSTOP\""));
    ASSERT_EQ(SpoolEntries(), 1u);
    const int rc = agent.Stop(10000);
    EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << "wait status " << rc;
  }
  ASSERT_EQ(Recordings().size(), 1u);
  const std::string recording = ReadWholeFile(Recordings()[0]);

  Child agent;
  StartOnline(agent, "agent-second.log");
  const std::string uploads = dir_ + "/uploads";
  Child receiver({Source("tools/lab/upload/start"), "80"}, {{"VELNARO_UPLOAD_DIR", uploads}},
                 dir_ + "/upload.log");
  auto arrived = [&] {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(uploads, ec))
      out.push_back(e.path().string());
    return out;
  };
  ASSERT_TRUE(WaitUntil([&] { return SpoolEntries() == 0; }, 30000))
      << ReadWholeFile(dir_ + "/upload.log");
  std::this_thread::sleep_for(std::chrono::seconds(3));  // ten times the first wait
  const auto seen = arrived();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(ReadWholeFile(seen[0] + "/Allegato"), recording);
  EXPECT_THAT(ReadWholeFile(seen[0] + "/meta.json"), HasSubstr("\"CallID\": \"later+1\""));
  EXPECT_EQ(Recordings().size(), 1u);
  agent.Stop(10000);
}

}  // namespace
}  // namespace velnaro::testing
