#pragma once
// One running copy per program version. The first copy holds a named endpoint for its
// whole life; a second start of the same name finds it taken and can ask the holder to
// bring its window back.

#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace velnaro {

class InstanceGuard {
 public:
  virtual ~InstanceGuard() = default;
  // Claims the name; false when another process already holds it.
  virtual bool Claim(const std::string& name) = 0;
  // Asks the holder of the name to restore its window; false when nobody answered.
  virtual bool AskHolderToRestore(const std::string& name) = 0;
  // Called (on a thread of the guard) whenever another start asks this copy to restore.
  virtual void SetRestoreHandler(std::function<void()> handler) = 0;
};

// An abstract-namespace Unix socket "velnaro-ds/<uid>/<name>": the kernel frees the name when the
// holding process ends, however it ends, and leaves no file behind.
class UnixSocketInstanceGuard final : public InstanceGuard {
 public:
  UnixSocketInstanceGuard() = default;
  ~UnixSocketInstanceGuard() override;
  bool Claim(const std::string& name) override;
  bool AskHolderToRestore(const std::string& name) override;
  void SetRestoreHandler(std::function<void()> handler) override;

 private:
  void Serve();

  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  std::thread server_;
  std::mutex mutex_;
  std::function<void()> handler_;
};

}  // namespace velnaro
