#include "app/links.h"

#include <algorithm>

#include "net/netUtils.h"
#include "platform/support_log.h"
#include "provisioning/clConfig.h"
#include "provisioning/obj_VelnaroDS.h"
#include "provisioning/obj_oService.h"
#include "status/phone_status.h"
#include "telephony/frm_Telefono.h"

namespace velnaro {

StartupValues ServiceProvisioningLink::Values() const {
  StartupValues v;
  v.SoftwareID = config_.SoftwareID;
  v.SoftwareVersion = config_.SoftwareVersion;
  v.ClientID = config_.ClientID;
  v.ServiceURL = config_.ServiceURL;
  v.ServerAddress = velnaro_.ServerAddress;
  v.SipServer = config_.SipServer;
  v.SipInterno = config_.SipInterno;
  v.SipUtente = config_.SipUtente;
  v.SipPassword = config_.SipPassword;
  v.Rete = config_.Rete;
  v.ConferenceNumber = config_.ConferenceNumber;
  v.UpdateFILE = config_.UpdateFILE;
  v.UpdateURL = config_.UpdateURL;
  v.UpdateFORCE = config_.UpdateFORCE;
  v.UpdateMSG = config_.UpdateMSG;
  return v;
}

void ServiceProvisioningLink::LoadFromRegistry() { config_.LoadFromRegistry(); }
void ServiceProvisioningLink::ReadCommandLine() {
  if (has_params_)
    config_.ReadCommandLine(params_);
  else
    config_.ReadCommandLine();
}
void ServiceProvisioningLink::UseConfiguredServiceUrl() { service_.URL = config_.ServiceURL; }

bool ServiceProvisioningLink::SoftwareStart() {
  bool ok = service_.SoftwareStart();
  KeepSipServer();
  return ok;
}

std::function<bool(std::string&)> ServiceProvisioningLink::PrepareStartRequest() {
  return service_.PrepareStartRequest();
}

bool ServiceProvisioningLink::AcceptStartReply(bool arrived, const std::string& reply) {
  bool ok = service_.AcceptStartReply(arrived, reply);
  KeepSipServer();
  return ok;
}

// The client's own text for a service it could not reach (or that answered outside 2xx);
// a service that sends it as its own error is taken at its word.
bool ServiceProvisioningLink::ConnectionFailed() const {
  return service_.ErrorDS == kConnectionProblem;
}

void ServiceProvisioningLink::KeepSipServer() {
  std::lock_guard lock(sip_server_mutex_);
  sip_server_ = config_.SipServer;
  server_address_ = velnaro_.ServerAddress;
}

std::string ServiceProvisioningLink::ErrorDS() const { return service_.ErrorDS; }
void ServiceProvisioningLink::ClearUpdateFile() { config_.UpdateFILE.clear(); }

bool ServiceProvisioningLink::DownloadFile(const std::string& url, const std::string& path,
                                           const TransferProgress& progress) {
  service_.progress = progress;
  bool ok = service_.DownloadFile(url, path);
  service_.progress = {};
  return ok;
}

std::string ServiceProvisioningLink::SipServer() const {
  std::lock_guard lock(sip_server_mutex_);
  return sip_server_;
}

std::string ServiceProvisioningLink::ServerAddress() const {
  std::lock_guard lock(sip_server_mutex_);
  return server_address_;
}

void NetUtilsLink::ChooseLocalAddress(const std::string& rete,
                                      const std::function<void(const std::string&)>& set_ip,
                                      const std::function<void(const std::string&)>& log) {
  tNetworkInterfaceList list;
  if (!ListNetworkInterfaces(list)) return;
  std::string chosen;
  ScegliInterfaccia(list, rete, log, chosen);
  // An address kept on a link without carrier reaches nobody: as good as none.
  const auto entry = std::find_if(list.begin(), list.end(),
                                  [&](const tNetworkInterface& e) { return e.IPAddress == chosen; });
  if (!chosen.empty() && entry != list.end() && entry->HasCarrier) set_ip(chosen);
}

void SendWindowLogsToSupportLog(PhoneStatus& service_log, TfrmTelefono& phone) {
  service_log.SetLogObserver(
      [](const std::string& line) { SupportLog(LogLevel::kInfo, "service", line); });
  phone.SetLogObserver(
      [](const std::string& line) { SupportLog(LogLevel::kInfo, "phone", line); });
}

}  // namespace velnaro
