#include "app/frm_MainPhone.h"

#include <exception>
#include <memory>
#include <stdexcept>
#include <utility>

#include "platform/temp_files.h"

namespace velnaro {

TfrmMainPhone::TfrmMainPhone(Links links) : links_(links) {
  steps[0].caption = "Contatto il servizio di configurazione";
  steps[1].caption = "Accesso al Velnaro DS";
  steps[2].caption = "Configurazione telefono";
  steps[3].caption = "Abilito parte telefonica";
}

bool TfrmMainPhone::FormCreate() {
  GiaMostrato = false;
  UscitaDiretta = false;
  StartupValues v = links_.provisioning.Values();
  std::string own_title = std::string(kProductName) + " - " + v.SoftwareVersion;
  std::string instance = v.SoftwareID + v.SoftwareVersion;
  if (!links_.guard.Claim(instance)) {
    Log(own_title + " already runs: its window is brought back and this start ends");
    // OK and Cancel are offered; either way this copy leaves.
    links_.messages.ShowOkCancel("Il programma risulta già aperto..", MessageKind::Information);
    links_.guard.AskHolderToRestore(instance);
    return false;
  }
  title = own_title;
  Log(own_title + " starts");
  Changed();
  return true;
}

void TfrmMainPhone::FormShow() {
  if (GiaMostrato) return;
  steps_bold = false;
  for (Step& s : steps) s.ok_visible = s.ko_visible = false;
  btnOpenBrowser_visible = false;
  // A stored identifier that cannot be read is reported, and start-up goes on with the
  // derived one rather than never running.
  try {
    links_.provisioning.LoadFromRegistry();
  } catch (const std::exception& e) {
    links_.messages.Show(e.what(), MessageKind::Error);
  }
  links_.provisioning.ReadCommandLine();
  ShowPage(Page::tsStatus);
  timer1_enabled = true;
  if (view_) view_->SetTimer1(true, kTimer1Interval);
  GiaMostrato = true;
  Changed();
}

void TfrmMainPhone::Timer1Timer() {
  timer1_enabled = false;
  if (view_) view_->SetTimer1(false, kTimer1Interval);
  ReportingFaults([this] { EseguiAvvio(); });
}

// A fault ends the sequence where it happened; the page keeps what it showed.
void TfrmMainPhone::ReportingFaults(const std::function<void()>& step) {
  try {
    step();
  } catch (const std::exception& e) {
    Changed();
    links_.messages.Show(e.what(), MessageKind::Error);
  } catch (...) {
    Changed();
    links_.messages.Show("Errore sconosciuto", MessageKind::Error);
  }
}

void TfrmMainPhone::EseguiAvvio() {
  for (Step& s : steps) s.ok_visible = s.ko_visible = false;
  Paint();
  phone().DisattivaTelefono();
  Label1 = links_.provisioning.Values().ClientID;
  links_.provisioning.UseConfiguredServiceUrl();
  Log("SOFTWARE.START to " + links_.provisioning.Values().ServiceURL);
  ProvisioningOutcome(links_.provisioning.SoftwareStart());
}

void TfrmMainPhone::ProvisioningOutcome(bool ok) {
  if (ok) {
    EsitoPasso0(true);
    EsitoPasso1(true);
    StartupValues v = links_.provisioning.Values();
    if (!v.SipServer.empty()) {
      EsitoPasso2(true);
      PhoneAccount account{.sip_server = v.SipServer,
                           .display_name = v.SipInterno,
                           .login = v.SipUtente,
                           .password = v.SipPassword};
      ChooseAddress(v.Rete, account);
      txtNumeroVerde = v.ConferenceNumber;
      Changed();
      phone_started_ = true;
      account_ = account;
      rete_ = v.Rete;
      address_lost_ = false;
      phone().AttivaTelefono(account);
    } else {
      EsitoPasso2(false);
    }
    txtURL = WebApplicationAddress(v);
  } else {
    EsitoPasso0(false);
    lblErrorDS = links_.provisioning.ErrorDS();
    ShowPage(Page::tsError);
    Log("error page: " + lblErrorDS, LogLevel::kError);
    // At login the network often comes up after the agent: try again in the background.
    if (links_.provisioning.ConnectionFailed()) ScheduleRetry();
  }

  StartupValues v = links_.provisioning.Values();
  if (!v.UpdateFILE.empty()) ShowUpdateOffer(v);
  Changed();
}

void TfrmMainPhone::ChooseAddress(const std::string& rete, PhoneAccount& account) {
  txtLog.clear();
  try {
    links_.network.ChooseLocalAddress(
        rete, [&account](const std::string& ip) { account.local_ip = ip; },
        [this](const std::string& line) {
          txtLog.push_back(line);
          if (log_) log_(LogLevel::kInfo, "interfaces", line);
        });
  } catch (const std::exception& e) {
    // The phone then binds to whatever address the choice gave before it failed.
    Log(std::string("interface selection failed: ") + e.what(), LogLevel::kWarning);
  } catch (...) {
    Log("interface selection failed", LogLevel::kWarning);
  }
  Log("local address for the phone: " +
      (account.local_ip.empty() ? "the library's own choice" : account.local_ip));
}

void TfrmMainPhone::NetworkChanged() {
  // Before the phone first went on line the start-up makes the choice itself; a
  // provisioning request waiting for its next attempt goes out now, and its timer lapses.
  if (!phone_started_) {
    if (!retrying_ || retry_in_flight_) return;
    ++retry_timer_;
    Log("the network changed: the provisioning service is tried again now");
    RetryProvisioning();
    return;
  }
  ReportingFaults([&] {
    Log("the network changed: the interface is chosen again");
    PhoneAccount next = account_;
    next.local_ip.clear();
    ChooseAddress(rete_, next);
    Changed();
    const bool lost = !rete_.empty() && next.local_ip.empty();
    // Without a prefix, or without an address in it from the start, the library keeps its
    // own choice; the registration is checked all the same.
    if (rete_.empty() || (lost && account_.local_ip.empty()) ||
        (!lost && !address_lost_ && next.local_ip == account_.local_ip)) {
      phone().NetworkChecked();
      return;
    }
    if (lost) {
      if (address_lost_) return;
      address_lost_ = true;
      Log("no address in " + rete_ + " is up: the line is lost", LogLevel::kWarning);
      phone().NetworkLost();
      return;
    }
    Log("the phone moves to " + next.local_ip);
    address_lost_ = false;
    account_ = next;
    phone().NetworkMoved(account_);
  });
}

void TfrmMainPhone::ScheduleRetry() {
  if (!scheduler_) return;
  const Scheduler::Clock::time_point now = scheduler_->Now();
  if (!retrying_) retrying_since_ = now;
  retrying_ = true;
  const std::chrono::seconds delay =
      now - retrying_since_ < kRetryQuicklyFor ? kRetryQuickly : kRetrySlowly;
  Log("provisioning service not reached: next attempt in " + std::to_string(delay.count()) +
      " s");
  scheduler_->RunLater(delay, [this, timer = ++retry_timer_] {
    if (timer == retry_timer_) RetryProvisioning();
  });
}

void TfrmMainPhone::RetryProvisioning() {
  // The request goes out on another thread; the window stays with the operator meanwhile.
  retry_in_flight_ = true;
  auto send = links_.provisioning.PrepareStartRequest();
  auto outcome = std::make_shared<std::pair<bool, std::string>>(false, "");
  scheduler_->RunInBackground([send, outcome] { outcome->first = send(outcome->second); },
                              [this, outcome] { RetryAnswered(outcome->first, outcome->second); });
}

void TfrmMainPhone::RetryAnswered(bool arrived, const std::string& reply) {
  retry_in_flight_ = false;
  ReportingFaults([&] {
    const bool ok = links_.provisioning.AcceptStartReply(arrived, reply);
    if (!ok && links_.provisioning.ConnectionFailed()) {
      ScheduleRetry();
      return;
    }
    retrying_ = false;
    Log(ok ? "provisioning service reached: the start-up goes on"
           : "provisioning service reached, it refuses");
    // From the error page back to the start-up page, unless the operator went elsewhere.
    if (page == Page::tsError) ShowPage(Page::tsStatus);
    for (Step& s : steps) s.ok_visible = s.ko_visible = false;
    ProvisioningOutcome(ok);
  });
}

void TfrmMainPhone::ShowUpdateOffer(const StartupValues& v) {
  lblUpdateMsg = v.UpdateMSG;
  btnUpdateOK_caption = "Procedi con l'aggiornamento";
  btnUpdateKO_caption = v.UpdateFORCE == "0" ? "Continua a lavorare" : "Esci dal programma";
  btnUpdateOK_visible = btnUpdateKO_visible = true;
  ShowPage(Page::tsUpdate);
  Log("update offered: " + v.UpdateFILE + (v.UpdateFORCE == "0" ? " (optional)" : " (forced)"));
}

void TfrmMainPhone::Esito(int step, bool ok) {
  Log("step " + std::to_string(step) + " " + (ok ? "ok" : "failed") + ": " +
          steps[step].caption,
      ok ? LogLevel::kInfo : LogLevel::kWarning);
  steps[step].ok_visible = ok;
  steps[step].ko_visible = !ok;
  Paint();
}

void TfrmMainPhone::EsitoPasso3(bool ok) {
  btnOpenBrowser_visible = true;
  Esito(3, ok);
}

std::string TfrmMainPhone::WebApplicationAddress(const StartupValues& v) {
  return "http://" + v.ServerAddress + "/velnaro/?ActionCode=OPEN&SoftwareVersion=" +
         v.SoftwareVersion + "&ClientID=" + v.ClientID;
}

void TfrmMainPhone::btnOpenBrowserClick() {
  if (txtURL.empty()) {
    links_.messages.Show("Server non settato.", MessageKind::Information);
    return;
  }
  links_.opener.Open(txtURL);
  if (!txtNumeroVerde.empty()) {
    line2_page = Line2Page::tsNumero;
    ShowPage(Page::tsTelefonoLine2);
  }
  Changed();
}

void TfrmMainPhone::DSButton2Click() {
  ShowPage(Page::tsStatus);
  Changed();
}

std::string TfrmMainPhone::InstallerPath(const std::string& temp_folder,
                                         const std::string& file) {
  // The name comes from the network: keep only its last component so the installer can
  // only land inside the temporary folder.
  size_t cut = file.find_last_of("/\\");
  std::string base = cut == std::string::npos ? file : file.substr(cut + 1);
  if (base.empty() || base == "." || base == "..") return {};
  std::string folder = temp_folder;
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder + base;
}

void TfrmMainPhone::btnUpdateOKClick() {
  if (downloading_) return;  // one download at a time
  btnUpdateOK_visible = btnUpdateKO_visible = false;
  Changed();
  StartupValues v = links_.provisioning.Values();
  const std::string target = InstallerPath(TempFolder(), v.UpdateFILE);
  const std::string source = v.UpdateURL + v.UpdateFILE;
  Log("update download: " + source);
  // The window stays with the operator meanwhile, but close requests are refused without
  // a question until the download has ended (an answer could not stop the installer).
  downloading_ = true;
  auto ok = std::make_shared<bool>(false);
  InBackground(
      [this, ok, source, target, progress = DownloadProgress()] {
        *ok = !target.empty() && links_.provisioning.DownloadFile(source, target, progress);
      },
      [this, ok, target] { DownloadEnded(*ok, target); });
}

// The transfer reports on its own thread; the bar is the user-interface thread's.
TransferProgress TfrmMainPhone::DownloadProgress() {
  TransferProgress progress;
  progress.begin = [this](int64_t length) {
    OnUiThread([this, length] {
      pbUpdate_max = length;
      pbUpdate_position = 0;
      pbUpdate_visible = true;
      Changed();
    });
  };
  progress.work = [this](int64_t received) {
    OnUiThread([this, received] {
      pbUpdate_position = received;
      Changed();
    });
  };
  progress.end = [this] {
    OnUiThread([this] {
      pbUpdate_visible = false;
      Changed();
    });
  };
  return progress;
}

void TfrmMainPhone::DownloadEnded(bool ok, const std::string& target) {
  downloading_ = false;
  pbUpdate_visible = false;
  // The session is ending: an installer must not start behind the operator's back. The
  // close that came meanwhile was refused, so it is made now.
  if (leaving_) {
    if (view_) view_->Close();
    return;
  }
  // An installer that cannot be started (a temporary folder mounted noexec, say) is a
  // failed update: the operator keeps the telephone instead of losing it for nothing.
  if (ok && links_.opener.StartInstaller(target)) {
    Log("installer started: " + target);
    UscitaDiretta = true;
    Changed();
    if (view_) view_->Close();
    return;
  }
  Log(ok ? "the installer could not be started: " + target : "update download failed",
      LogLevel::kError);
  links_.provisioning.ClearUpdateFile();
  lblErrorDS = "Errore nello scaricare l'aggiornamento";
  ShowPage(Page::tsError);
  Changed();
}

void TfrmMainPhone::InBackground(std::function<void()> work, std::function<void()> done) {
  if (scheduler_) {
    scheduler_->RunInBackground(std::move(work), std::move(done));
    return;
  }
  work();
  done();
}

void TfrmMainPhone::OnUiThread(std::function<void()> fn) {
  if (scheduler_) scheduler_->Post(std::move(fn));
  else fn();
}

void TfrmMainPhone::eUpdateKO() {
  if (links_.provisioning.Values().UpdateFORCE == "0") {
    ShowPage(Page::tsStatus);
    Changed();
    return;
  }
  UscitaDiretta = true;
  if (view_) view_->Close();
}

bool TfrmMainPhone::FormCloseQuery() {
  if (downloading_) return false;
  if (UscitaDiretta) return true;
  auto confirmed = [](MessageAnswer a) { return a == MessageAnswer::Ok || a == MessageAnswer::Yes; };
  if (!links_.provisioning.Values().UpdateFILE.empty()) {
    if (confirmed(links_.messages.Ask(
            "C'è un nuovo aggiornamento, vuoi installarlo prima di uscire ?"))) {
      btnUpdateOK_visible = btnUpdateKO_visible = true;
      ShowPage(Page::tsUpdate);
      Changed();
      return false;
    }
    return true;
  }
  return confirmed(links_.messages.Ask(
      "Confermi l'uscita dal Velnaro DS ? Chiudendo il programma, non sarà più disponibile "
      "la parte telefonica."));
}

void TfrmMainPhone::eConfigAccess() {
  if (page != Page::tsAbout) page_before_about_ = page;
  ShowPage(Page::tsAbout);
  Changed();
}

void TfrmMainPhone::eDebugStart() {
  if (txtPassoword != kDebugPassword) return;
  ShowPage(Page::tsDebug);
  Changed();
}

void TfrmMainPhone::eBack() {
  // Until "Inizia a lavorare" is there, go back where the operator came from.
  ShowPage(btnOpenBrowser_visible ? Page::tsStatus : page_before_about_);
  Changed();
}

void TfrmMainPhone::DSButton1Click() {
  if (view_) view_->ShowPhoneWindow();
}

void TfrmMainPhone::Button1Click() {
  if (view_) view_->ShowServerWindow();
}

void TfrmMainPhone::btnChiamaClick() {
  if (!phone().InCall(kLine1)) {
    links_.messages.Show("Attenzione, devi essere in conversazione per chiamare il numero verde",
                         MessageKind::Warning);
    return;
  }
  // One step: the failure of the new call, which takes line 1 off hold, cannot come first.
  bool placed = false;
  phone().AsOneStep([&] {
    placed = phone().Dial(kLine2, txtNumeroVerde);
    if (placed) phone().Hold(kLine1);
  });
  if (!placed) return;
  line2_page = Line2Page::tsTastierino;
  btnCreaConferenza_visible = true;
  imgTelRosso_visible = false;
  Changed();
}

void TfrmMainPhone::eClickTasto(const std::string& caption) {
  phone().SendDtmf(kLine2, caption);
}

void TfrmMainPhone::btnCreaConferenzaClick() {
  phone().Unhold(kLine1);
  btnCreaConferenza_visible = false;
  imgTelRosso_visible = true;
  Changed();
}

void TfrmMainPhone::eLine2HangUp() {
  phone().HangUp(kLine2);
  line2_page = Line2Page::tsNumero;
  Changed();
}

TfrmMainPhone::WindowAction TfrmMainPhone::FormMinimised() {
  if (!tray_available) {
    window_place = WindowPlace::Minimised;
    return WindowAction::None;
  }
  window_place = WindowPlace::InTray;
  return WindowAction::Hide;
}

TfrmMainPhone::WindowAction TfrmMainPhone::TrayAvailabilityChanged(bool available) {
  tray_available = available;
  if (available || window_place != WindowPlace::InTray) return WindowAction::None;
  window_place = WindowPlace::Minimised;
  return WindowAction::ShowMinimised;
}

void TfrmMainPhone::ShowPage(Page p) { page = p; }

Phone& TfrmMainPhone::phone() const {
  if (!phone_) throw std::logic_error("the phone is not wired to the main window");
  return *phone_;
}

void TfrmMainPhone::Log(const std::string& line, LogLevel level) {
  if (log_) log_(level, "startup", line);
}

void TfrmMainPhone::Changed() {
  if (view_) view_->StateChanged();
}

void TfrmMainPhone::Paint() {
  if (!view_) return;
  view_->StateChanged();
  view_->ProcessPendingMessages();
}

}  // namespace velnaro
