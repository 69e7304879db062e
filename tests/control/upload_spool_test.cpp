#include "control/upload_spool.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "control/web_server.h"
#include "support/control_service.h"
#include "support/loopback_server.h"
#include "upload_servers.h"

namespace velnaro {
namespace {

namespace fs = std::filesystem;
using testing::LoopbackServer;
using testing::ReadWholeFile;
using testing::WaitUntil;

const std::string kPath = "/velnaro/service/ds_phone/upload.php?";

// A spool folder (not made yet) and a recording, in a folder of the test's own.
class Spool : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/velnaro-spool-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    folder_ = dir_ + "/state/velnaro-ds/spool";
    recording_ = dir_ + "/rec101010101.wav";
    std::ofstream(recording_, std::ios::binary) << "RIFF recorded call";
    policy_.first = std::chrono::milliseconds(50);
    policy_.longest = std::chrono::milliseconds(200);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::vector<std::string> Files() const {
    std::vector<std::string> out;
    std::error_code ec;
    // Entries only: a try that failed rewrites its entry aside and renames it.
    for (const auto& e : fs::directory_iterator(folder_, ec))
      if (e.path().extension() == ".json") out.push_back(e.path().string());
    return out;
  }
  static unsigned Mode(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
  }
  std::vector<std::string> LinesStartingWith(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& l : web_.status.memoLogs())
      if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
  }

  std::string dir_, folder_, recording_;
  UploadRetryPolicy policy_;
  testing::ControlService web_;
};

// Kept owner-only before Add returns, so a run that ends at once still leaves it; the
// next run sends it, once, and keeps the recording.
TEST_F(Spool, AnUploadKeptByOneRunIsDeliveredOnceByTheNext) {
  testing::PhpUploadServer php;
  if (!php.ok()) GTEST_SKIP() << "php -S not available";
  const std::string url = "http://" + php.host() + kPath + "Action=RECSTOP&note=a%2Bb";
  {
    UploadSpool first(web_.status, folder_, policy_);
    EXPECT_TRUE(first.Add(recording_, url));
  }
  const auto kept = Files();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(Mode(kept[0]), 0600u);
  for (const std::string& folder : {folder_, dir_ + "/state/velnaro-ds", dir_ + "/state"})
    EXPECT_EQ(Mode(folder), 0700u) << folder;
  EXPECT_TRUE(php.Uploads().empty());

  UploadSpool next(web_.status, folder_, policy_);
  next.Start();
  ASSERT_TRUE(WaitUntil([&] { return next.waiting() == 0; }));
  std::this_thread::sleep_for(policy_.longest * 3);  // time for a second, wrong, try
  const auto uploads = php.Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(ReadWholeFile(uploads[0] + "/Allegato"), "RIFF recorded call");
  EXPECT_NE(ReadWholeFile(uploads[0] + "/meta.json").find("\"note\": \"a+b\""), std::string::npos);
  EXPECT_TRUE(Files().empty());
  EXPECT_EQ(ReadWholeFile(recording_), "RIFF recorded call");
  EXPECT_EQ(LinesStartingWith("Nuovo invio di "),
            std::vector<std::string>{"Nuovo invio di " + recording_ + ": Upload OK: 18 bytes"});
}

// Error statuses and refusals are tried again, with the count kept on disk, until a 2xx.
TEST_F(Spool, AnEntryGoesOnlyOnA2xxAnswer) {
  LoopbackServer receiver([](int fd, const LoopbackServer& server) {
    if (!server.ReadRequest(fd)) return;
    const std::string reply = server.requests() < 3
                                  ? "HTTP/1.1 500 Oops\r\nContent-Length: 0\r\n\r\n"
                                  : "HTTP/1.1 201 Created\r\nContent-Length: 4\r\n\r\ndone";
    (void)!::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
  });
  policy_.first = std::chrono::milliseconds(100);
  policy_.longest = std::chrono::seconds(1);
  UploadSpool spool(web_.status, folder_, policy_);
  spool.Start();
  ASSERT_TRUE(spool.Add(recording_, receiver.url(kPath + "a=1")));
  ASSERT_TRUE(WaitUntil([&] { return receiver.requests() == 2; }));
  EXPECT_EQ(Files().size(), 1u);  // the third try is 400 ms away
  ASSERT_TRUE(WaitUntil([&] { return spool.waiting() == 0; }));
  std::this_thread::sleep_for(policy_.longest * 3);
  EXPECT_EQ(receiver.requests(), 3);
  EXPECT_TRUE(Files().empty());
  const std::string what = "Nuovo invio di " + recording_ + ": ";
  EXPECT_EQ(LinesStartingWith("Nuovo invio di "),
            (std::vector<std::string>{what + "Errore nel post del file",
                                      what + "Errore nel post del file", what + "done"}));
}

TEST_F(Spool, WaitsDoubleUpToTheLongest) {
  UploadRetryPolicy usual;
  std::vector<long> seconds;
  for (int failures = 1; failures <= 8; ++failures)
    seconds.push_back(std::chrono::duration_cast<std::chrono::seconds>(
                          UploadRetryDelay(failures, usual)).count());
  EXPECT_EQ(seconds, (std::vector<long>{30, 60, 120, 240, 480, 900, 900, 900}));
  EXPECT_EQ(UploadRetryDelay(100000, usual), std::chrono::minutes(15));
}

// What can never be delivered right goes without a request: an entry past its lifetime,
// and one whose recording was replaced by another of the same name.
TEST_F(Spool, NothingIsSentForAnExpiredEntryOrAReplacedRecording) {
  LoopbackServer receiver(LoopbackServer::AnswerOk);
  {
    UploadRetryPolicy lapsed = policy_;
    lapsed.give_up_after = std::chrono::milliseconds(0);
    UploadSpool spool(web_.status, folder_, lapsed);
    spool.Start();
    spool.Add(recording_, receiver.url(kPath + "a=1"));
    ASSERT_TRUE(WaitUntil([&] { return spool.waiting() == 0; }));
  }
  {
    UploadSpool spool(web_.status, folder_, policy_);
    spool.Add(recording_, receiver.url(kPath + "a=2"));
    // The same name written aside and renamed, as a later save does.
    std::ofstream(recording_ + ".new", std::ios::binary) << "RIFF another call, another day";
    ASSERT_EQ(std::rename((recording_ + ".new").c_str(), recording_.c_str()), 0);
    spool.Start();
    ASSERT_TRUE(WaitUntil([&] { return spool.waiting() == 0; }));
  }
  EXPECT_EQ(receiver.connections(), 0);
  EXPECT_TRUE(Files().empty());
  EXPECT_EQ(LinesStartingWith("Nuovo invio di "),
            (std::vector<std::string>{
                "Nuovo invio di " + recording_ + " abbandonato",
                "Nuovo invio di " + recording_ + " annullato: il file e' stato sostituito"}));
  EXPECT_TRUE(fs::exists(recording_));
}

// An entry written before the clock was set back a day is still tried soon, not a day
// later.
TEST_F(Spool, AnEntryDueFarAheadIsTriedWithinTheLongestWait) {
  LoopbackServer receiver(LoopbackServer::AnswerOk);
  fs::create_directories(folder_);
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch()).count();
  std::ofstream(folder_ + "/1-1-0.json")
      << R"({"path":")" << recording_ << R"(","url":")" << receiver.url(kPath + "a=1")
      << R"(","failed_at":)" << now << R"(,"next_at":)" << now + 24 * 3600 * 1000
      << R"(,"failures":3})";
  UploadSpool spool(web_.status, folder_, policy_);
  spool.Start();
  ASSERT_EQ(spool.waiting(), 1u);
  ASSERT_TRUE(WaitUntil([&] { return spool.waiting() == 0; }));
  EXPECT_EQ(receiver.requests(), 1);
  EXPECT_TRUE(Files().empty());
}

// A receiver that never answers, and no stall limit at all: stopping still ends the try,
// which does not count, and the entry waits for the next run.
TEST_F(Spool, StoppingEndsATryInFlight) {
  LoopbackServer stalled(LoopbackServer::Stall);
  policy_.limits.stall_timeout = std::chrono::seconds(0);
  UploadSpool spool(web_.status, folder_, policy_);
  spool.Start();
  spool.Add(recording_, stalled.url(kPath + "a=1"));
  const std::string before = ReadWholeFile(Files().at(0));
  ASSERT_TRUE(WaitUntil([&] { return stalled.requests() == 1; }));
  spool.Stop();
  EXPECT_EQ(spool.waiting(), 1u);
  EXPECT_EQ(ReadWholeFile(Files().at(0)), before);
  EXPECT_TRUE(LinesStartingWith("Nuovo invio di ").empty());
}

}  // namespace
}  // namespace velnaro
