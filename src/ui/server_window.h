#pragma once
// The control service's diagnostic window "webServer": the request log, the four mirrored
// status fields, the HTTP log switch, the upload test fields and the screenshot button.

#include <QWidget>
#include <functional>
#include <string>

#include "control/web_server.h"
#include "platform/message_box.h"
#include "status/phone_status.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;

namespace velnaro::ui {

class ServerWindow : public QWidget {
  Q_OBJECT
 public:
  // The window's fields, and the record and service log it shows.
  ServerWindow(TwebServer& fields, PhoneStatus& status, QWidget* parent = nullptr);
  // Handlers of Button2 (upload the named file to the URL) and Button1 ("ScreenShot").
  void SetButton2Click(std::function<void()> f) { button2_ = std::move(f); }
  void SetButton1Click(std::function<void()> f) { button1_ = std::move(f); }
  // Where a fault of either button is shown as an error message; without one it goes to
  // the request log.
  void SetMessageBox(MessageBox* messages) { messages_ = messages; }
  // One tick of Timer1: mirror the record into the labels, refresh the log view.
  void Tick();

 private:
  TwebServer& server_;
  PhoneStatus& status_;
  QLabel* txtStato_;
  QLabel* txtChiamataStato_;
  QLabel* txtChiamataPrefix_;
  QLabel* txtChiamataNumero_;
  QCheckBox* ckLogHTTPRequest_;
  QPlainTextEdit* memoLogs_;
  QLineEdit* txtURL2_;
  QLineEdit* txtFileName_;
  void RunButton(const std::function<void()>& handler);

  std::function<void()> button1_, button2_;
  MessageBox* messages_ = nullptr;
  std::vector<std::string> shown_log_;
};

}  // namespace velnaro::ui
