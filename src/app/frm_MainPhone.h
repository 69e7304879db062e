#pragma once
// TfrmMainPhone: the main window's controller. It holds what the window shows (page,
// step indicators, captions, fields, the line-2 panel) and runs the start-up sequence,
// the update offer, the debug pages and the line-2 keypad. Views render it and turn the
// operator's clicks into its handlers.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/app_ports.h"
#include "platform/desktop_opener.h"
#include "platform/message_box.h"
#include "platform/single_instance.h"
#include "platform/support_log.h"
#include "telephony/phone.h"

namespace velnaro {

class TfrmMainPhone {
 public:
  enum class Page { tsStatus, tsError, tsUpdate, tsAbout, tsDebug, tsTelefonoLine2 };
  enum class Line2Page { tsNumero, tsTastierino };
  // Where the window is: on screen, minimised on the taskbar, or hidden with only the tray
  // icon left to reach it.
  enum class WindowPlace { OnScreen, Minimised, InTray };
  enum class WindowAction { None, Hide, ShowMinimised };

  static constexpr char kProductName[] = "Velnaro DS";
  static constexpr char kDebugPassword[] = "5172038469";
  static constexpr int kTimer1Interval = 1000;
  static constexpr int kClientWidth = 355;
  static constexpr int kClientHeight = 561;
  // After "Problema di connessione" the request is tried again: every 10 s for the first
  // five minutes, then every minute, until the service answers.
  static constexpr std::chrono::seconds kRetryQuickly{10};
  static constexpr std::chrono::seconds kRetryQuicklyFor{300};
  static constexpr std::chrono::seconds kRetrySlowly{60};

  struct Step {
    std::string caption;
    bool ok_visible = false;  // stN_ok, the green button
    bool ko_visible = false;  // stN_ko, the red button
  };

  struct Links {
    ProvisioningLink& provisioning;
    NetworkLink& network;
    MessageBox& messages;
    DesktopOpener& opener;
    InstanceGuard& guard;
  };

  explicit TfrmMainPhone(Links links);
  TfrmMainPhone(const TfrmMainPhone&) = delete;
  TfrmMainPhone& operator=(const TfrmMainPhone&) = delete;

  void SetView(MainWindowView* view) { view_ = view; }
  // The phone is created after this window; it is set before the start-up sequence runs.
  void SetPhone(Phone* phone) { phone_ = phone; }
  // Where the start-up's steps and outcome and the interface-selection log go (source
  // "startup" or "interfaces"); by default nowhere.
  using LogFn = std::function<void(LogLevel, const std::string& source, const std::string& line)>;
  void SetLog(LogFn log) { log_ = std::move(log); }
  // Without one, a failed provisioning request is not tried again and the update downloads
  // on the calling thread.
  void SetScheduler(Scheduler* scheduler) { scheduler_ = scheduler; }

  // Single-instance guard and title. False: another copy of this version runs; it has been
  // told to restore its window and this process must end at once.
  bool FormCreate();
  void FormShow();
  void Timer1Timer();
  void EseguiAvvio();
  void EsitoPasso0(bool ok) { Esito(0, ok); }
  void EsitoPasso1(bool ok) { Esito(1, ok); }
  void EsitoPasso2(bool ok) { Esito(2, ok); }
  void EsitoPasso3(bool ok);
  void btnOpenBrowserClick();
  void DSButton2Click();  // "Indietro" on the error page
  // The network moved (address, link, route, resume): the interface is chosen again and
  // the phone follows the chosen address; with none left the line is reported lost.
  void NetworkChanged();

  // Update offer.
  void btnUpdateOKClick();
  void eUpdateKO();
  bool FormCloseQuery();
  // A close that must not ask (the session or the system is ending the program). An
  // update being downloaded then starts no installer.
  void RequestExitWithoutQuestion() { UscitaDiretta = leaving_ = true; }

  // Debug pages.
  void eConfigAccess();
  void eDebugStart();
  void eBack();
  void DSButton1Click();
  void Button1Click();

  // Line-2 panel.
  void btnChiamaClick();
  void eClickTasto(const std::string& caption);
  void btnCreaConferenzaClick();
  void eLine2HangUp();

  // Tray and window place. Minimising hides the window only while a tray shows the icon;
  // without one the taskbar entry is the operator's way back to it.
  WindowAction FormMinimised();
  // Back on screen, from the tray, the taskbar or a second start.
  void FormRestored() { window_place = WindowPlace::OnScreen; }
  // The tray came or went. A window waiting in a tray that went away returns to the
  // taskbar, minimised, instead of staying out of reach.
  WindowAction TrayAvailabilityChanged(bool available);

  // Window state.
  bool GiaMostrato = false;
  bool UscitaDiretta = false;
  std::string title;
  Page page = Page::tsStatus;
  std::array<Step, 4> steps;
  bool steps_bold = true;
  bool btnOpenBrowser_visible = false;
  bool timer1_enabled = false;
  std::string lblErrorDS;

  std::string lblUpdateMsg;
  std::string btnUpdateOK_caption = "Procedi con l'aggiornamento";
  std::string btnUpdateKO_caption = "Continua a lavorare";
  bool btnUpdateOK_visible = true;
  bool btnUpdateKO_visible = true;
  bool pbUpdate_visible = false;
  int64_t pbUpdate_max = 100;
  int64_t pbUpdate_position = 0;

  std::string Label1;  // ClientID on the debug page
  std::string txtURL;
  std::vector<std::string> txtLog;
  std::string txtPassoword;

  Line2Page line2_page = Line2Page::tsNumero;
  std::string txtNumeroVerde;
  bool btnCreaConferenza_visible = false;
  bool imgTelRosso_visible = true;  // with its label txtTelRosso

  bool tray_available = false;
  WindowPlace window_place = WindowPlace::OnScreen;

  // The target path of the installer in the temporary folder; empty when UpdateFILE names
  // no plain file.
  static std::string InstallerPath(const std::string& temp_folder, const std::string& file);
  // "http://" + server + "/velnaro/?ActionCode=OPEN&SoftwareVersion=" + ... unencoded.
  static std::string WebApplicationAddress(const StartupValues& v);

 private:
  void Esito(int step, bool ok);
  void ReportingFaults(const std::function<void()>& step);
  void ShowPage(Page p);
  void Changed();
  void Paint();
  void ShowUpdateOffer(const StartupValues& v);
  TransferProgress DownloadProgress();
  void DownloadEnded(bool ok, const std::string& target);
  void InBackground(std::function<void()> work, std::function<void()> done);
  void OnUiThread(std::function<void()> fn);
  // EseguiAvvio from the provisioning request's outcome on.
  void ProvisioningOutcome(bool ok);
  // The interface choice for the phone, its log lines on the debug page and in the log.
  void ChooseAddress(const std::string& rete, PhoneAccount& account);
  void ScheduleRetry();
  void RetryProvisioning();
  void RetryAnswered(bool arrived, const std::string& reply);
  void Log(const std::string& line, LogLevel level = LogLevel::kInfo);
  Phone& phone() const;

  Links links_;
  MainWindowView* view_ = nullptr;
  Phone* phone_ = nullptr;
  LogFn log_;
  Scheduler* scheduler_ = nullptr;
  // What the phone went on line with, and the prefix its address was chosen by.
  bool phone_started_ = false;
  PhoneAccount account_;
  std::string rete_;
  bool address_lost_ = false;
  bool retrying_ = false;
  bool retry_in_flight_ = false;
  unsigned retry_timer_ = 0;  // only the latest retry timer sends
  Scheduler::Clock::time_point retrying_since_{};
  Page page_before_about_ = Page::tsStatus;
  bool downloading_ = false;  // the installer is being downloaded
  bool leaving_ = false;      // the program ends without questions
};

}  // namespace velnaro
