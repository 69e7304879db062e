#pragma once
// One running copy per program version and user. The first copy holds a name for its whole
// life; a second start of the same name finds it taken and can ask the holder to bring its
// window back.

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
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

// The line a second start sends: "RESTORE", then the activation token the desktop gave it
// (XDG_ACTIVATION_TOKEN), which lets the holder's window really come forward on Wayland. A
// token that is not a short run of printable characters is left out.
std::string RestoreRequest(const std::string& activation_token);
// The activation token of a restore request, empty when it carries none; nothing when
// `line` is not a restore request.
std::optional<std::string> ParseRestoreRequest(std::string_view line);

// The user's own folder for the guard: $XDG_RUNTIME_DIR/velnaro-ds, or /tmp/velnaro-ds-<uid>
// without XDG_RUNTIME_DIR; made 0700 when missing. Empty when it cannot be made or is not
// the user's alone (another user made it first): the guard then cannot work.
std::string InstanceFolder();

// A lock file "<name>.lock" and a socket "<name>.sock" in a folder of the user's own. The
// lock (flock) is the claim: the kernel drops it when the holding process ends, however it
// ends. The socket carries the restore requests; only processes of the holder's own user
// are answered (SO_PEERCRED), and other users cannot even reach the folder. So no other
// user can take the name first or poke the operator's copy.
class UnixSocketInstanceGuard final : public InstanceGuard {
 public:
  explicit UnixSocketInstanceGuard(std::string folder = InstanceFolder());
  ~UnixSocketInstanceGuard() override;
  // When the name is taken, the desktop's activation token (XDG_ACTIVATION_TOKEN, or on
  // Wayland DESKTOP_STARTUP_ID) leaves this process's environment, so that nothing here
  // spends it, and goes with AskHolderToRestore. Without a usable folder, or when the
  // socket cannot be made, it claims nothing and says true: better two copies than none.
  bool Claim(const std::string& name) override;
  bool AskHolderToRestore(const std::string& name) override;
  void SetRestoreHandler(std::function<void()> handler) override;
  // As SetRestoreHandler, with the asking start's activation token (empty without one).
  void SetRestoreHandlerWithToken(
      std::function<void(const std::string& activation_token)> handler);
  // Where the socket of `name` is.
  std::string SocketPath(const std::string& name) const;

 private:
  void Serve();

  const std::string folder_;
  int lock_fd_ = -1;
  int listen_fd_ = -1;
  std::string socket_path_;
  int wake_[2] = {-1, -1};
  std::thread server_;
  std::mutex mutex_;
  std::function<void(const std::string&)> handler_;
  std::string activation_token_;
};

}  // namespace velnaro
