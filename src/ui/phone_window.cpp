#include "ui/phone_window.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

#include "telephony/frm_Telefono.h"
#include "ui/shown_timer.h"

namespace velnaro::ui {

namespace {

void SetIfIdle(QLineEdit* edit, const std::string& value) {
  // Never overwrite what the operator is typing.
  if (edit->hasFocus()) return;
  QString v = QString::fromStdString(value);
  if (edit->text() != v) edit->setText(v);
}

}  // namespace

PhoneWindow::PhoneWindow(TfrmTelefono& phone, QWidget* parent)
    : QWidget(parent, Qt::Window), phone_(phone) {
  setObjectName("frmTelefono");
  setWindowTitle("Telefono");
  resize(560, 620);
  auto* top = new QVBoxLayout(this);

  auto* settings = new QGroupBox(" SIP Proxy Settings ", this);
  settings->setObjectName("gbSIPProxySettings");
  auto* form = new QFormLayout(settings);
  using S = TfrmTelefono::Settings;
  EditLoginId_ = AddEdit(form, "Login", "EditLoginId", &S::EditLoginId);
  EditLoginPwd_ = AddEdit(form, "Password", "EditLoginPwd", &S::EditLoginPwd);
  EditLoginPwd_->setEchoMode(QLineEdit::Password);
  EditSIPProxy_ = AddEdit(form, "SIP Proxy", "EditSIPProxy", &S::EditSIPProxy);
  EditOutboundProxy_ =
      AddEdit(form, "Outbound-Proxy", "EditOutboundProxy", &S::EditOutboundProxy);
  EditDisplayName_ = AddEdit(form, "Display-Name", "EditDisplayName", &S::EditDisplayName);
  CheckBoxRegisterToProxy_ = new QCheckBox("Register to SIP Proxy", settings);
  CheckBoxRegisterToProxy_->setObjectName("CheckBoxRegisterToProxy");
  connect(CheckBoxRegisterToProxy_, &QCheckBox::toggled, this, [this](bool on) {
    phone_.UpdateSettings([on](TfrmTelefono::Settings& s) { s.CheckBoxRegisterToProxy = on; });
  });
  form->addRow(CheckBoxRegisterToProxy_);
  txtIPVPN_ = AddEdit(form, "IP VPN", "txtIPVPN", &S::txtIPVPN);
  BtnInit_ = new QPushButton(settings);
  BtnInit_->setObjectName("BtnInit");
  connect(BtnInit_, &QPushButton::clicked, this, [this] {
    phone_.BtnInitClick();
    Refresh();
  });
  form->addRow(BtnInit_);
  top->addWidget(settings);

  auto* line1 = new QGroupBox("Linea 1", this);
  auto* l1 = new QVBoxLayout(line1);
  auto* f1 = new QFormLayout;
  txtNumero_ = AddEdit(f1, "Telefono", "txtNumero", &S::txtNumero);
  l1->addLayout(f1);
  auto* r1 = new QHBoxLayout;
  connect(AddButton(r1, "Chiama", "Button1"), &QPushButton::clicked, this,
          [this] { phone_.Button1Click(); });
  connect(AddButton(r1, "HangUp", "Button2"), &QPushButton::clicked, this,
          [this] { phone_.Button2Click(); });
  connect(AddButton(r1, "Hold", "Button5"), &QPushButton::clicked, this,
          [this] { phone_.Button5Click(); });
  connect(AddButton(r1, "UnHold", "Button6"), &QPushButton::clicked, this,
          [this] { phone_.Button6Click(); });
  l1->addLayout(r1);
  top->addWidget(line1);

  auto* line2 = new QGroupBox("Linea 2", this);
  auto* l2 = new QVBoxLayout(line2);
  auto* f2 = new QFormLayout;
  txtNumeroVerde_ = AddEdit(f2, "Telefono", "txtNumeroVerde", &S::txtNumeroVerde);
  l2->addLayout(f2);
  auto* r2 = new QHBoxLayout;
  connect(AddButton(r2, "Chiama", "Button3"), &QPushButton::clicked, this,
          [this] { phone_.Button3Click(); });
  connect(AddButton(r2, "HangUp", "Button4"), &QPushButton::clicked, this,
          [this] { phone_.Button4Click(); });
  connect(AddButton(r2, "Hold", "Button7"), &QPushButton::clicked, this,
          [this] { phone_.Button7Click(); });
  connect(AddButton(r2, "UnHold", "Button8"), &QPushButton::clicked, this,
          [this] { phone_.Button8Click(); });
  l2->addLayout(r2);
  auto* r3 = new QHBoxLayout;
  txtDTMF2_ = new QLineEdit(line2);
  txtDTMF2_->setObjectName("txtDTMF2");
  Connect(txtDTMF2_, &S::txtDTMF2);
  r3->addWidget(txtDTMF2_);
  connect(AddButton(r3, "Button9", "Button9"), &QPushButton::clicked, this,
          [this] { phone_.Button9Click(); });
  l2->addLayout(r3);
  top->addWidget(line2);

  txtLog_ = new QPlainTextEdit(this);
  txtLog_->setObjectName("txtLog");
  txtLog_->setReadOnly(true);
  txtLog_->setMaximumBlockCount(static_cast<int>(TfrmTelefono::kLogLines));
  top->addWidget(txtLog_, 1);

  new ShownTimer(this, "refresh", 500, [this] { Refresh(); });
  Refresh();
}

QLineEdit* PhoneWindow::AddEdit(QFormLayout* form, const char* label, const char* name,
                                std::string TfrmTelefono::Settings::*field) {
  auto* edit = new QLineEdit(this);
  edit->setObjectName(name);
  Connect(edit, field);
  form->addRow(label, edit);
  return edit;
}

void PhoneWindow::Connect(QLineEdit* edit, std::string TfrmTelefono::Settings::*field) {
  connect(edit, &QLineEdit::textEdited, this, [this, field](const QString& text) {
    std::string value = text.toStdString();
    phone_.UpdateSettings([&](TfrmTelefono::Settings& s) { s.*field = value; });
  });
}

QPushButton* PhoneWindow::AddButton(QHBoxLayout* row, const char* caption, const char* name) {
  auto* b = new QPushButton(caption, this);
  b->setObjectName(name);
  row->addWidget(b);
  return b;
}

void PhoneWindow::Refresh() {
  TfrmTelefono::Settings s = phone_.GetSettings();
  SetIfIdle(EditLoginId_, s.EditLoginId);
  SetIfIdle(EditLoginPwd_, s.EditLoginPwd);
  SetIfIdle(EditSIPProxy_, s.EditSIPProxy);
  SetIfIdle(EditOutboundProxy_, s.EditOutboundProxy);
  SetIfIdle(EditDisplayName_, s.EditDisplayName);
  SetIfIdle(txtIPVPN_, s.txtIPVPN);
  SetIfIdle(txtNumero_, s.txtNumero);
  SetIfIdle(txtNumeroVerde_, s.txtNumeroVerde);
  SetIfIdle(txtDTMF2_, s.txtDTMF2);
  {
    QSignalBlocker block(CheckBoxRegisterToProxy_);
    CheckBoxRegisterToProxy_->setChecked(s.CheckBoxRegisterToProxy);
  }
  BtnInit_->setText(QString::fromStdString(phone_.BtnInitCaption()));
  // Only what is new; the view drops its oldest lines as the phone's log does.
  for (const std::string& line : phone_.NewLogLines(shown_lines_))
    txtLog_->appendPlainText(QString::fromStdString(line));
}

}  // namespace velnaro::ui
