#pragma once
// What the main window controller needs of its neighbours: the configuration store with the
// provisioning client, the network choice, and its own window on screen (the phone is
// telephony's Phone). Each has a small adapter over the real object and a fake for tests.

#include <chrono>
#include <functional>
#include <string>

#include "net/http_client.h"

namespace velnaro {

// The configuration values the start-up sequence and the update offer read.
struct StartupValues {
  std::string SoftwareID, SoftwareVersion, ClientID;
  std::string ServiceURL;
  std::string ServerAddress;
  std::string SipServer, SipInterno, SipUtente, SipPassword;
  std::string Rete, ConferenceNumber;
  std::string UpdateFILE, UpdateURL, UpdateFORCE, UpdateMSG;
};

class ProvisioningLink {
 public:
  virtual ~ProvisioningLink() = default;
  virtual StartupValues Values() const = 0;
  virtual void LoadFromRegistry() = 0;
  virtual void ReadCommandLine() = 0;
  // Copies the configured ServiceURL into the client's URL.
  virtual void UseConfiguredServiceUrl() = 0;
  // Sends "SOFTWARE.START"; on success the reply's values are stored in the configuration.
  virtual bool SoftwareStart() = 0;
  // SoftwareStart in two halves, for a retry off the user-interface thread: the request is
  // prepared here, may then be sent from any thread (true with the reply's body, false when
  // the service could not be reached), and its outcome is read here again.
  virtual std::function<bool(std::string& reply)> PrepareStartRequest() = 0;
  virtual bool AcceptStartReply(bool arrived, const std::string& reply) = 0;
  // The last start-up action failed because the service could not be reached.
  virtual bool ConnectionFailed() const = 0;
  virtual std::string ErrorDS() const = 0;
  virtual void ClearUpdateFile() = 0;
  // Runs off the user-interface thread, which goes on meanwhile: it touches nothing the
  // start-up request uses, and reports to `progress` on its own thread.
  virtual bool DownloadFile(const std::string& url, const std::string& path,
                            const TransferProgress& progress) = 0;
};

class NetworkLink {
 public:
  virtual ~NetworkLink() = default;
  // ListNetworkInterfaces, then ScegliInterfaccia on success: writes the chosen address
  // through set_ip (not when its link has no carrier) and its log lines through log. May
  // throw.
  virtual void ChooseLocalAddress(const std::string& rete,
                                  const std::function<void(const std::string&)>& set_ip,
                                  const std::function<void(const std::string&)>& log) = 0;
};

// Time and the user-interface thread's loop, for work that waits.
class Scheduler {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~Scheduler() = default;
  virtual Clock::time_point Now() const = 0;
  // `fn` on the user-interface thread once `delay` has passed.
  virtual void RunLater(std::chrono::milliseconds delay, std::function<void()> fn) = 0;
  // `work` on another thread, then `done` on the user-interface thread.
  virtual void RunInBackground(std::function<void()> work, std::function<void()> done) = 0;
  // `fn` on the user-interface thread, after what was posted before it; from any thread.
  virtual void Post(std::function<void()> fn) = 0;
};

// The main window as the controller sees it.
class MainWindowView {
 public:
  virtual ~MainWindowView() = default;
  virtual void StateChanged() = 0;
  // Paints pending changes while the caller still holds the user-interface thread.
  virtual void ProcessPendingMessages() = 0;
  virtual void SetTimer1(bool enabled, int interval_ms) = 0;
  // A close request; it goes through FormCloseQuery like the title-bar button.
  virtual void Close() = 0;
  virtual void ShowPhoneWindow() = 0;
  virtual void ShowServerWindow() = 0;
};

}  // namespace velnaro
