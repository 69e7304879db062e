#pragma once
// Opening a document or an address with the desktop's default handler (the browser for
// an address, the installer for a downloaded file).

#include <mutex>
#include <string>
#include <vector>

namespace velnaro {

class DesktopOpener {
 public:
  virtual ~DesktopOpener() = default;
  // Starts the handler and returns at once; false when it could not be started.
  virtual bool Open(const std::string& target) = 0;
};

// Runs xdg-open (or $VELNARO_OPENER when set) detached from this process.
class XdgDesktopOpener final : public DesktopOpener {
 public:
  bool Open(const std::string& target) override;
};

class FakeDesktopOpener final : public DesktopOpener {
 public:
  bool Open(const std::string& target) override {
    std::lock_guard lock(mutex_);
    opened_.push_back(target);
    return result_;
  }
  void SetResult(bool r) {
    std::lock_guard lock(mutex_);
    result_ = r;
  }
  std::vector<std::string> Opened() const {
    std::lock_guard lock(mutex_);
    return opened_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> opened_;
  bool result_ = true;
};

}  // namespace velnaro
