#pragma once
// The main window's links over the program's real objects: the configuration store with
// the provisioning client, and the interface selection.

#include <mutex>
#include <string>
#include <vector>

#include "app/app_ports.h"

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
