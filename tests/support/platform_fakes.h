#pragma once
// Stand-ins for the platform interfaces: they record what the code under test asks of them
// and answer from what the test planted.

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/adapters.h"
#include "platform/clock.h"
#include "platform/desktop_opener.h"
#include "platform/hardware_info.h"
#include "platform/ipv4_interfaces.h"
#include "platform/message_box.h"
#include "platform/screen_capture.h"
#include "platform/single_instance.h"
#include "platform/user_store.h"

namespace velnaro {

class FakeAdapterSource final : public AdapterSource {
 public:
  std::vector<AdapterAddress> Adapters() override { return adapters; }
  std::vector<AdapterAddress> adapters;
};

// Returns a fixed time that tests may move.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(LocalTime t = {}) : time_(t) {}
  LocalTime Now() const override {
    std::lock_guard lock(mutex_);
    return time_;
  }
  void Set(LocalTime t) {
    std::lock_guard lock(mutex_);
    time_ = t;
  }

 private:
  mutable std::mutex mutex_;
  LocalTime time_;
};

class FakeDesktopOpener final : public DesktopOpener {
 public:
  bool Open(const std::string& target) override {
    std::lock_guard lock(mutex_);
    opened_.push_back(target);
    return result_;
  }
  bool StartInstaller(const std::string& path) override {
    std::lock_guard lock(mutex_);
    installers_.push_back(path);
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
  std::vector<std::string> Installers() const {
    std::lock_guard lock(mutex_);
    return installers_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> opened_, installers_;
  bool result_ = true;
};

class FakeHardwareInfoSource final : public HardwareInfoSource {
 public:
  std::vector<HardwareItem> Query(const std::string& class_name) override {
    if (fail) throw HardwareError("hardware information unavailable");
    auto it = items.find(class_name);
    return it == items.end() ? std::vector<HardwareItem>{} : it->second;
  }
  std::map<std::string, std::vector<HardwareItem>> items;
  bool fail = false;
};

class FakeIpv4InterfaceSource final : public Ipv4InterfaceSource {
 public:
  std::optional<std::vector<Ipv4InterfaceAddress>> List() override {
    if (no_socket) return std::nullopt;
    return addresses;
  }
  std::string ComputerName() override { return computer_name; }

  std::vector<Ipv4InterfaceAddress> addresses;
  std::string computer_name = "WORKSTATION";
  bool no_socket = false;
};

// Test seam: records every message and answers questions from a script.
class FakeMessageBox final : public MessageBox {
 public:
  void Show(const std::string& text, MessageKind kind) override {
    std::lock_guard lock(mutex_);
    shown_.push_back(text);
    kinds_.push_back(kind);
    with_cancel_.push_back(false);
  }
  // Recorded with the other messages; the answer is always Ok.
  MessageAnswer ShowOkCancel(const std::string& text, MessageKind kind) override {
    std::lock_guard lock(mutex_);
    shown_.push_back(text);
    kinds_.push_back(kind);
    with_cancel_.push_back(true);
    return MessageAnswer::Ok;
  }
  MessageAnswer Ask(const std::string& text) override {
    std::lock_guard lock(mutex_);
    asked_.push_back(text);
    if (answers_.empty()) return MessageAnswer::No;
    MessageAnswer a = answers_.front();
    answers_.erase(answers_.begin());
    return a;
  }
  void QueueAnswer(MessageAnswer a) {
    std::lock_guard lock(mutex_);
    answers_.push_back(a);
  }
  std::vector<std::string> Shown() const {
    std::lock_guard lock(mutex_);
    return shown_;
  }
  std::vector<MessageKind> Kinds() const {
    std::lock_guard lock(mutex_);
    return kinds_;
  }
  // Per shown message: whether it offered Cancel besides OK.
  std::vector<bool> WithCancel() const {
    std::lock_guard lock(mutex_);
    return with_cancel_;
  }
  std::vector<std::string> Asked() const {
    std::lock_guard lock(mutex_);
    return asked_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> shown_, asked_;
  std::vector<MessageKind> kinds_;
  std::vector<bool> with_cancel_;
  std::vector<MessageAnswer> answers_;
};

// Test seam: returns a fixed picture, or throws when given an error text.
class FakeScreenCapture final : public ScreenCapture {
 public:
  explicit FakeScreenCapture(RgbImage image = {}) : image_(std::move(image)) {}
  RgbImage CapturePrimary() override {
    std::lock_guard lock(mutex_);
    ++captures_;
    if (!error_.empty()) throw ScreenCaptureError(error_);
    return image_;
  }
  void SetImage(RgbImage image) {
    std::lock_guard lock(mutex_);
    image_ = std::move(image);
  }
  void SetError(std::string error) {
    std::lock_guard lock(mutex_);
    error_ = std::move(error);
  }
  int captures() const {
    std::lock_guard lock(mutex_);
    return captures_;
  }

 private:
  mutable std::mutex mutex_;
  RgbImage image_;
  std::string error_;
  int captures_ = 0;
};

// In-process stand-in: names claimed through any FakeInstanceGuard sharing the same registry.
class FakeInstanceGuard final : public InstanceGuard {
 public:
  struct Registry {
    std::mutex mutex;
    std::vector<std::pair<std::string, FakeInstanceGuard*>> holders;
  };
  explicit FakeInstanceGuard(Registry& registry) : registry_(registry) {}
  ~FakeInstanceGuard() override;
  bool Claim(const std::string& name) override;
  bool AskHolderToRestore(const std::string& name) override;
  void SetRestoreHandler(std::function<void()> handler) override { handler_ = std::move(handler); }
  int restore_requests() const { return restore_requests_; }

 private:
  Registry& registry_;
  std::function<void()> handler_;
  std::atomic<int> restore_requests_{0};
};

// In memory, for tests: values of any type can be planted and writes made to fail.
class FakeUserStore final : public UserStore {
 public:
  bool KeyExists(std::string_view key) override;
  bool OpenKey(std::string_view key, bool can_create) override;
  void CloseKey() override;
  std::string ReadString(std::string_view name) override;
  void WriteString(std::string_view name, std::string_view value) override;

  void Set(std::string_view key, std::string_view name, StoreValue value);
  void AddKey(std::string_view key);
  const StoreValue* Get(std::string_view key, std::string_view name) const;

  bool fail_create = false;  // OpenKey with can_create fails for a missing key
  bool fail_open = false;    // OpenKey fails even for an existing key
  bool fail_write = false;   // WriteString throws
  int writes = 0;

 private:
  std::map<std::string, StoreValues> keys_;
  std::string current_;
};

}  // namespace velnaro
