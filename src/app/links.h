#pragma once
// The main window's links over the program's real objects: the configuration store with
// the provisioning client, the phone controller, and the interface selection.

#include <mutex>
#include <string>
#include <vector>

#include "app/app_ports.h"
#include "telephony/phone.h"

namespace velnaro {

class TConfig;
class ToService;
class TobjVelnaroDS;
class TfrmTelefono;
class PhoneStatus;

class ServiceProvisioningLink final : public ProvisioningLink {
 public:
  ServiceProvisioningLink(TConfig& config, ToService& service, TobjVelnaroDS& velnaro)
      : config_(config), service_(service), velnaro_(velnaro) {}

  StartupValues Values() const override;
  void LoadFromRegistry() override;
  void ReadCommandLine() override;
  void UseConfiguredServiceUrl() override;
  bool SoftwareStart() override;
  std::function<bool(std::string& reply)> PrepareStartRequest() override;
  bool AcceptStartReply(bool arrived, const std::string& reply) override;
  bool ConnectionFailed() const override;
  std::string ErrorDS() const override;
  void ClearUpdateFile() override;
  bool DownloadFile(const std::string& url, const std::string& path,
                    const TransferProgress& progress) override;

  // The SIP server as the last start-up stored it; safe from any thread (uploads).
  std::string SipServer() const;
  // The web application's host[:port] likewise (the control service's origin check).
  std::string ServerAddress() const;
  // Parameters to read instead of the process's own command line (tests).
  void SetCommandLine(std::vector<std::string> params) {
    params_ = std::move(params);
    has_params_ = true;
  }

 private:
  TConfig& config_;
  ToService& service_;
  TobjVelnaroDS& velnaro_;
  std::vector<std::string> params_;
  bool has_params_ = false;
  void KeepSipServer();

  mutable std::mutex sip_server_mutex_;  // also guards server_address_
  std::string sip_server_;
  std::string server_address_;
};

// The phone window is created after the main window, so it is attached later; until then
// every operation is a programming error.
class TelefonoPhoneLink final : public Phone {
 public:
  void Attach(TfrmTelefono* phone) { phone_ = phone; }

  void AttivaTelefono() override;
  bool DisattivaTelefono() override;
  std::string txtIPVPN() const override;
  void SetTxtIPVPN(const std::string& ip) override;
  void SetAccount(const std::string& proxy, const std::string& display_name,
                  const std::string& login, const std::string& password) override;
  std::string EditSIPProxy() const override;
  void SetNumber(const std::string& number) override;
  void Dial(int line) override;
  void HangUp(int line) override;
  void HoldIfInCall(int line) override;
  void UnholdIfOnHold(int line) override;
  bool InCall(int line) override;
  bool PlaceCall(int line, const std::string& number) override;
  bool EndCall(int line) override;
  bool Hold(int line) override;
  bool Unhold(int line) override;
  bool SendDtmf(int line, const std::string& digits) override;
  bool StartRecording(int line) override;
  bool StartRecordingMode(int line, int mode, bool enable) override;
  bool SaveRecording(int line, const std::string& path) override;
  void Mute(int line, bool muted) override;
  void AsOneStep(const std::function<void()>& step) override;

 private:
  Phone& Attached() const;
  TfrmTelefono* phone_ = nullptr;
};

class NetUtilsLink final : public NetworkLink {
 public:
  void ChooseLocalAddress(const std::string& rete,
                          const std::function<void(const std::string&)>& set_ip,
                          const std::function<void(const std::string&)>& log) override;
};

// Every line of the service log and of the phone's log goes to the support log as well
// (the main window's own lines go there through TfrmMainPhone::SetLog).
void SendWindowLogsToSupportLog(PhoneStatus& service_log, TfrmTelefono& phone);

}  // namespace velnaro
