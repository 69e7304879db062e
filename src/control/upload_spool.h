#pragma once
// Recording uploads that failed, kept on disk and sent again later: one owner-only file
// per upload (the recording's path and the whole upload address), retried with growing
// waits on a worker thread of its own, across restarts, until the receiver answers 2xx.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "control/upload.h"

namespace velnaro {

class ServiceLog;

struct UploadRetryPolicy {
  std::chrono::milliseconds first{std::chrono::seconds(30)};    // after the failed upload
  std::chrono::milliseconds longest{std::chrono::minutes(15)};  // waits double up to this
  std::chrono::milliseconds give_up_after{std::chrono::hours(24 * 7)};  // from the failure
  UploadLimits limits;  // of each try; its cancel is the spool's own
};

// The wait after the given number of failed tries (the upload itself counts as one).
std::chrono::milliseconds UploadRetryDelay(int failures, const UploadRetryPolicy& policy);

// The usual policy; VELNARO_UPLOAD_RETRY_MS, when set, replaces the first wait and the
// longest becomes thirty times it (tests wait milliseconds, not minutes).
UploadRetryPolicy UploadRetryPolicyFromEnvironment();

// AgentStateFolder() + "/spool".
std::string DefaultUploadSpoolFolder();

class UploadSpool {
 public:
  // The outcome of every retry goes to log's service log.
  UploadSpool(ServiceLog& log, std::string folder = DefaultUploadSpoolFolder(),
              UploadRetryPolicy policy = UploadRetryPolicyFromEnvironment());
  ~UploadSpool();
  UploadSpool(const UploadSpool&) = delete;
  UploadSpool& operator=(const UploadSpool&) = delete;

  // Loads what an earlier run left and starts the worker.
  void Start();
  // Ends the worker, a try in flight included; entries stay on disk for the next run.
  void Stop();

  // Keeps an upload that failed just now, written to disk before this returns; false when
  // it could not be (the recording itself stays where it is either way).
  bool Add(const std::string& path, const std::string& url);

  size_t waiting() const;

 private:
  struct Entry {
    std::string path, url;
    std::int64_t failed_at = 0;  // ms since the epoch, of the upload itself
    std::int64_t next_at = 0;    // ms since the epoch
    int failures = 1;
    std::string identity;        // of the recording when it failed: device, inode, size, time
  };
  bool Save(const std::string& name, const Entry& entry) const;
  void Load();
  void Run();
  // One try of a due entry, without the lock; what becomes of the entry after it.
  enum class Outcome { kDelivered, kFailed, kDropped, kStopped };
  Outcome Try(const Entry& entry);

  ServiceLog& log_;
  const std::string folder_;
  const UploadRetryPolicy policy_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::map<std::string, Entry> entries_;  // by file name
  std::atomic<bool> stopping_{false};
  std::thread worker_;
};

}  // namespace velnaro
