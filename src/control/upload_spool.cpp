#include "control/upload_spool.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "platform/atomic_file.h"
#include "platform/state_folder.h"
#include "platform/thread_name.h"
#include "status/phone_status.h"

namespace velnaro {
namespace {

constexpr const char* kRetryVariable = "VELNARO_UPLOAD_RETRY_MS";

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Which file the recording is: a later save at the same time of day on another day
// writes a new recording under the same name, and that one must not go out for this one.
std::string Identity(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
         std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
         std::to_string(st.st_mtim.tv_nsec);
}

std::string ReadSmallFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

std::chrono::milliseconds UploadRetryDelay(int failures, const UploadRetryPolicy& policy) {
  std::chrono::milliseconds delay = policy.first;
  for (int i = 1; i < failures && delay < policy.longest; ++i) delay *= 2;
  return std::min(delay, policy.longest);
}

UploadRetryPolicy UploadRetryPolicyFromEnvironment() {
  UploadRetryPolicy policy;
  if (const char* text = std::getenv(kRetryVariable); text && *text) {
    long ms = 0;
    const char* end = text + std::strlen(text);
    const auto [at, error] = std::from_chars(text, end, ms);
    if (error == std::errc() && at == end && ms > 0) {
      policy.first = std::chrono::milliseconds(ms);
      policy.longest = policy.first * 30;
    }
  }
  return policy;
}

std::string DefaultUploadSpoolFolder() { return AgentStateFolder() + "/spool"; }

UploadSpool::UploadSpool(ServiceLog& log, std::string folder, UploadRetryPolicy policy)
    : log_(log), folder_(std::move(folder)), policy_(std::move(policy)) {}

UploadSpool::~UploadSpool() { Stop(); }

void UploadSpool::Start() {
  if (worker_.joinable()) return;
  MakeOwnerOnlyFolders(folder_);
  Load();
  worker_ = std::thread([this] {
    NameThisThread("spool");
    Run();
  });
}

void UploadSpool::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
}

size_t UploadSpool::waiting() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

bool UploadSpool::Add(const std::string& path, const std::string& url) {
  static std::atomic<unsigned> counter{0};
  const std::int64_t now = NowMs();
  Entry entry{path, url, now, now + UploadRetryDelay(1, policy_).count(), 1, Identity(path)};
  const std::string name = std::to_string(now) + "-" + std::to_string(getpid()) + "-" +
                           std::to_string(counter++) + ".json";
  const bool saved = MakeOwnerOnlyFolders(folder_) == 0 && Save(name, entry);
  {
    // Tried in this run even when the disk refused it.
    std::lock_guard lock(mutex_);
    entries_[name] = std::move(entry);
  }
  wake_.notify_all();
  return saved;
}

bool UploadSpool::Save(const std::string& name, const Entry& entry) const {
  rapidjson::StringBuffer text;
  rapidjson::Writer<rapidjson::StringBuffer> w(text);
  w.StartObject();
  w.Key("path");
  w.String(entry.path.data(), static_cast<rapidjson::SizeType>(entry.path.size()));
  w.Key("url");
  w.String(entry.url.data(), static_cast<rapidjson::SizeType>(entry.url.size()));
  w.Key("failed_at");
  w.Int64(entry.failed_at);
  w.Key("next_at");
  w.Int64(entry.next_at);
  w.Key("failures");
  w.Int(entry.failures);
  w.Key("identity");
  w.String(entry.identity.c_str());
  w.EndObject();
  return ReplaceFile(folder_ + "/" + name, {text.GetString(), text.GetSize()},
                     FileAccess::kOwnerOnly, true) == 0;
}

void UploadSpool::Load() {
  DIR* dir = ::opendir(folder_.c_str());
  if (!dir) return;
  std::map<std::string, Entry> found;
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name.find(".json.part") != std::string::npos) {
      ::unlink((folder_ + "/" + name).c_str());  // a write that a crash cut short
      continue;
    }
    if (!EndsWith(name, ".json")) continue;
    rapidjson::Document doc;
    doc.Parse(ReadSmallFile(folder_ + "/" + name).c_str());
    if (!doc.IsObject() || !doc.HasMember("path") || !doc["path"].IsString() ||
        !doc.HasMember("url") || !doc["url"].IsString())
      continue;
    Entry entry;
    entry.path.assign(doc["path"].GetString(), doc["path"].GetStringLength());
    entry.url.assign(doc["url"].GetString(), doc["url"].GetStringLength());
    auto number = [&doc](const char* key) -> std::int64_t {
      return doc.HasMember(key) && doc[key].IsInt64() ? doc[key].GetInt64() : 0;
    };
    entry.failed_at = number("failed_at");
    // A clock set back since the entry was written must not put its try off for long.
    entry.next_at = std::min(number("next_at"), NowMs() + policy_.longest.count());
    entry.failures = static_cast<int>(std::max<std::int64_t>(number("failures"), 1));
    if (doc.HasMember("identity") && doc["identity"].IsString())
      entry.identity = doc["identity"].GetString();
    found[name] = std::move(entry);
  }
  ::closedir(dir);
  std::lock_guard lock(mutex_);
  for (auto& [name, entry] : found) entries_.try_emplace(name, std::move(entry));
}

void UploadSpool::Run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    const auto due = std::min_element(
        entries_.begin(), entries_.end(),
        [](const auto& a, const auto& b) { return a.second.next_at < b.second.next_at; });
    if (due == entries_.end()) {
      wake_.wait(lock);
      continue;
    }
    if (const std::int64_t wait = due->second.next_at - NowMs(); wait > 0) {
      wake_.wait_for(lock, std::chrono::milliseconds(wait));
      continue;
    }
    // Only this thread changes or removes an entry once it is in the map.
    const std::string name = due->first;
    Entry entry = due->second;
    lock.unlock();
    const Outcome outcome = Try(entry);
    if (outcome == Outcome::kFailed) {
      ++entry.failures;
      entry.next_at = NowMs() + UploadRetryDelay(entry.failures, policy_).count();
      Save(name, entry);
    } else if (outcome != Outcome::kStopped) {
      ::unlink((folder_ + "/" + name).c_str());
    }
    lock.lock();
    if (outcome == Outcome::kFailed) {
      entries_[name] = entry;
    } else if (outcome != Outcome::kStopped) {
      entries_.erase(name);
    }
  }
}

UploadSpool::Outcome UploadSpool::Try(const Entry& entry) {
  const std::string what = "Nuovo invio di " + entry.path;
  if (NowMs() - entry.failed_at >= policy_.give_up_after.count()) {
    log_.AggiungiLog(what + " abbandonato");
    return Outcome::kDropped;
  }
  if (const std::string now = Identity(entry.path);
      !entry.identity.empty() && !now.empty() && now != entry.identity) {
    log_.AggiungiLog(what + " annullato: il file e' stato sostituito");
    return Outcome::kDropped;
  }
  UploadLimits limits = policy_.limits;
  limits.cancel = &stopping_;
  std::string reply;
  bool delivered = false;
  try {
    delivered = PostRecording(entry.url, entry.path, DefaultClock(), limits, reply);
  } catch (const UploadFileError&) {
    // Not there or held by a writer now: a failed try like any other.
  }
  if (!delivered && stopping_) return Outcome::kStopped;
  log_.AggiungiLog(what + ": " + (delivered ? reply : "Errore nel post del file"));
  return delivered ? Outcome::kDelivered : Outcome::kFailed;
}

}  // namespace velnaro
