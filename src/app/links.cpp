#include "app/links.h"

#include <stdexcept>

#include "net/netUtils.h"
#include "provisioning/clConfig.h"
#include "provisioning/obj_VelnaroDS.h"
#include "provisioning/obj_oService.h"
#include "telephony/frm_Telefono.h"

namespace velnaro {

StartupValues ServiceProvisioningLink::Values() const {
  StartupValues v;
  v.SoftwareID = config_.SoftwareID;
  v.SoftwareVersion = config_.SoftwareVersion;
  v.ClientID = config_.ClientID;
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
  std::lock_guard lock(sip_server_mutex_);
  sip_server_ = config_.SipServer;
  return ok;
}

std::string ServiceProvisioningLink::ErrorDS() const { return service_.ErrorDS; }
void ServiceProvisioningLink::ClearUpdateFile() { config_.UpdateFILE.clear(); }

bool ServiceProvisioningLink::DownloadFile(const std::string& url, const std::string& path,
                                           const TransferProgress& progress) {
  service_.progress.begin = progress.begin;
  service_.progress.work = progress.work;
  service_.progress.end = progress.end;
  bool ok = service_.DownloadFile(url, path);
  service_.progress = {};
  return ok;
}

std::string ServiceProvisioningLink::SipServer() const {
  std::lock_guard lock(sip_server_mutex_);
  return sip_server_;
}

TfrmTelefono& TelefonoPhoneLink::Phone() const {
  if (!phone_) throw std::logic_error("phone window not created yet");
  return *phone_;
}

bool TelefonoPhoneLink::DisattivaTelefono() { return Phone().DisattivaTelefono(); }
void TelefonoPhoneLink::AttivaTelefono() { Phone().AttivaTelefono(); }
std::string TelefonoPhoneLink::txtIPVPN() const { return Phone().GetSettings().txtIPVPN; }

void TelefonoPhoneLink::SetTxtIPVPN(const std::string& ip) {
  Phone().UpdateSettings([&](TfrmTelefono::Settings& s) { s.txtIPVPN = ip; });
}

void TelefonoPhoneLink::SetAccount(const std::string& proxy, const std::string& display_name,
                                   const std::string& login, const std::string& password) {
  Phone().UpdateSettings([&](TfrmTelefono::Settings& s) {
    s.EditSIPProxy = proxy;
    s.EditDisplayName = display_name;
    s.EditLoginId = login;
    s.EditLoginPwd = password;
  });
}

std::string TelefonoPhoneLink::EditSIPProxy() const { return Phone().GetSettings().EditSIPProxy; }
bool TelefonoPhoneLink::IsLineInCall(int line) { return Phone().Agent().IsLineInCall(line); }

bool TelefonoPhoneLink::PlaceCall(int line, const std::string& target) {
  return Phone().Agent().PlaceCall(line, target, 0, 0);
}

void TelefonoPhoneLink::HoldLine(int line) { Phone().Agent().Hold(line); }
void TelefonoPhoneLink::UnholdLine(int line) { Phone().Agent().Unhold(line); }

void TelefonoPhoneLink::SendDtmf(int line, const std::string& digits) {
  Phone().Agent().SendDtmf(line, digits);
}

void TelefonoPhoneLink::EndCall(int line) { Phone().Agent().EndCall(line); }

void NetUtilsLink::ChooseLocalAddress(const std::string& rete,
                                      const std::function<void(const std::string&)>& set_ip,
                                      const std::function<void(const std::string&)>& log) {
  tNetworkInterfaceList list;
  if (!ListNetworkInterfaces(list)) return;
  std::string chosen;
  ScegliInterfaccia(list, rete, log, chosen);
  if (!chosen.empty()) set_ip(chosen);
}

}  // namespace velnaro
