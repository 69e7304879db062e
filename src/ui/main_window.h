#pragma once
// The main window on screen: renders TfrmMainPhone and turns clicks into its handlers.

#include <QWidget>
#include <array>
#include <atomic>
#include <functional>

#include "app/frm_MainPhone.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QStackedWidget;
class QTimer;

namespace velnaro::ui {

class DSButton;

class MainWindow : public QWidget, public MainWindowView {
  Q_OBJECT
 public:
  explicit MainWindow(TfrmMainPhone& form, QWidget* parent = nullptr);

  // MainWindowView
  void StateChanged() override;
  void ProcessPendingMessages() override;
  void SetTimer1(bool enabled, int interval_ms) override;
  void Close() override;
  void ShowPhoneWindow() override;
  void ShowServerWindow() override;

  void SetPhoneWindow(QWidget* w) { phone_window_ = w; }
  // Receives one line whenever what the window shows changes (page, steps, texts); used
  // without a display, where nobody sees the window.
  void SetTrace(std::function<void(const std::string&)> trace) { trace_ = std::move(trace); }
  // What the window shows, in one line: "tsStatus steps=GGG- browser=1 ...".
  std::string Summary() const;
  void SetServerWindow(QWidget* w) { server_window_ = w; }

  // "Apri" in the tray, or a second start of the program: back on screen and in front.
  // activation_token: the desktop's token that the second start brought, if any.
  void eShowApplication(const std::string& activation_token = {});
  // The tray host came or went.
  void TrayAvailabilityChanged(bool available);

 signals:
  // The close was granted: the program ends.
  void closed();

 protected:
  void showEvent(QShowEvent*) override;
  void closeEvent(QCloseEvent*) override;
  void changeEvent(QEvent*) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  QWidget* BuildStatusPage();
  QWidget* BuildErrorPage();
  QWidget* BuildUpdatePage();
  QWidget* BuildAboutPage();
  QWidget* BuildDebugPage();
  QWidget* BuildLine2Page();
  QWidget* NewPage(const char* name, bool with_logo);
  void Render();

  TfrmMainPhone& form_;
  QWidget* phone_window_ = nullptr;
  QWidget* server_window_ = nullptr;
  QTimer* timer1_;
  QStackedWidget* pcDati_;
  QWidget* pages_[6] = {};
  std::array<QLabel*, 4> st_{};
  std::array<DSButton*, 4> st_ok_{}, st_ko_{};
  DSButton* btnOpenBrowser_;
  QLabel* lblErrorDS_;
  QLabel* lblUpdateMsg_;
  DSButton* btnUpdateOK_;
  DSButton* btnUpdateKO_;
  QProgressBar* pbUpdate_;
  QLineEdit* txtPassoword_;
  QLabel* Label1_;
  QLineEdit* txtURL_;
  QPlainTextEdit* txtLog_;
  QStackedWidget* pcTelefono2_;
  QWidget* tsNumero_;
  QWidget* tsTastierino_;
  QLineEdit* txtNumeroVerde_;
  DSButton* btnCreaConferenza_;
  DSButton* imgTelRosso_;
  QLabel* txtTelRosso_;
  std::atomic<bool> render_queued_{false};  // set by any thread, cleared by this one's
  bool activate_when_exposed_ = false;
  std::function<void(const std::string&)> trace_;
  std::string last_summary_;
};

}  // namespace velnaro::ui
