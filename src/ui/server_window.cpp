#include "ui/server_window.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <exception>

#include "ui/shown_timer.h"

namespace velnaro::ui {

ServerWindow::ServerWindow(TwebServer& fields, PhoneStatus& status, QWidget* parent)
    : QWidget(parent, Qt::Window), server_(fields), status_(status) {
  setObjectName("webServer");
  setWindowTitle("webServer");
  resize(520, 460);

  auto* top = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  auto label = [this](const char* name) {
    auto* l = new QLabel(this);
    l->setObjectName(name);
    l->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return l;
  };
  txtStato_ = label("txtStato");
  txtChiamataStato_ = label("txtChiamataStato");
  txtChiamataPrefix_ = label("txtChiamataPrefix");
  txtChiamataNumero_ = label("txtChiamataNumero");
  form->addRow("Stato", txtStato_);
  form->addRow("ChiamataStato", txtChiamataStato_);
  form->addRow("ChiamataPrefix", txtChiamataPrefix_);
  form->addRow("ChiamataNumero", txtChiamataNumero_);
  top->addLayout(form);

  ckLogHTTPRequest_ = new QCheckBox("Visualizza log http richieste", this);
  ckLogHTTPRequest_->setObjectName("ckLogHTTPRequest");
  ckLogHTTPRequest_->setChecked(server_.ckLogHTTPRequest.load());
  connect(ckLogHTTPRequest_, &QCheckBox::toggled, this,
          [this](bool on) { server_.ckLogHTTPRequest = on; });
  top->addWidget(ckLogHTTPRequest_);

  memoLogs_ = new QPlainTextEdit(this);
  memoLogs_->setObjectName("memoLogs");
  memoLogs_->setReadOnly(true);
  top->addWidget(memoLogs_, 1);

  auto* upload = new QHBoxLayout;
  txtURL2_ = new QLineEdit(this);
  txtURL2_->setObjectName("txtURL2");
  txtURL2_->setPlaceholderText("URL");
  txtFileName_ = new QLineEdit(this);
  txtFileName_->setObjectName("txtFileName");
  txtFileName_->setPlaceholderText("File");
  auto sync_fields = [this] {
    server_.SetUploadFields(txtURL2_->text().toStdString(), txtFileName_->text().toStdString());
  };
  connect(txtURL2_, &QLineEdit::textEdited, this, sync_fields);
  connect(txtFileName_, &QLineEdit::textEdited, this, sync_fields);
  auto* button2 = new QPushButton("Upload", this);
  button2->setObjectName("Button2");
  connect(button2, &QPushButton::clicked, this, [this] { RunButton(button2_); });
  auto* button1 = new QPushButton("ScreenShot", this);
  button1->setObjectName("Button1");
  connect(button1, &QPushButton::clicked, this, [this] { RunButton(button1_); });
  upload->addWidget(txtURL2_, 2);
  upload->addWidget(txtFileName_, 1);
  upload->addWidget(button2);
  upload->addWidget(button1);
  top->addLayout(upload);

  // The labels' mirror (TwebServer) catches up by itself when read while this sleeps.
  new ShownTimer(this, "Timer1", 1000, [this] { Tick(); });
  Tick();
}

void ServerWindow::RunButton(const std::function<void()>& handler) {
  if (!handler) return;
  try {
    handler();
  } catch (const std::exception& e) {
    if (messages_)
      messages_->Show(e.what(), MessageKind::Error);
    else
      status_.AggiungiLog(e.what());
  }
}

void ServerWindow::Tick() {
  server_.Timer1Timer();
  TwebServer::Labels l = server_.labels();
  txtStato_->setText(QString::fromStdString(l.txtStato));
  txtChiamataStato_->setText(QString::fromStdString(l.txtChiamataStato));
  txtChiamataPrefix_->setText(QString::fromStdString(l.txtChiamataPrefix));
  txtChiamataNumero_->setText(QString::fromStdString(l.txtChiamataNumero));
  // The upload fields may also be written by the service; show what it holds.
  if (!txtURL2_->hasFocus()) txtURL2_->setText(QString::fromStdString(server_.txtURL2()));
  if (!txtFileName_->hasFocus())
    txtFileName_->setText(QString::fromStdString(server_.txtFileName()));
  if (!isVisible()) return;  // the log view only matters on screen
  std::vector<std::string> log = status_.memoLogs();
  if (log == shown_log_) return;
  QString text;
  for (const auto& line : log) text += QString::fromStdString(line) + "\n";
  memoLogs_->setPlainText(text);
  memoLogs_->moveCursor(QTextCursor::End);
  shown_log_ = std::move(log);
}

}  // namespace velnaro::ui
