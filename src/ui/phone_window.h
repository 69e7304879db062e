#pragma once
// The phone controller's diagnostic window "frm_Telefono": the SIP settings, the online
// button, the test buttons of both lines and the log.

#include <QWidget>
#include <cstdint>
#include <string>
#include <vector>

class QCheckBox;
class QFormLayout;
class QHBoxLayout;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

#include "telephony/frm_Telefono.h"

namespace velnaro::ui {

class PhoneWindow : public QWidget {
  Q_OBJECT
 public:
  explicit PhoneWindow(TfrmTelefono& phone, QWidget* parent = nullptr);
  // Brings the fields, the button caption and the log up to date.
  void Refresh();

 private:
  QLineEdit* AddEdit(QFormLayout* form, const char* label, const char* name,
                     std::string TfrmTelefono::Settings::*field);
  QPushButton* AddButton(QHBoxLayout* row, const char* caption, const char* name);
  // Each control writes only its own setting, so values written meanwhile by others stay.
  void Connect(QLineEdit* edit, std::string TfrmTelefono::Settings::*field);

  TfrmTelefono& phone_;
  QLineEdit *EditLoginId_, *EditLoginPwd_, *EditSIPProxy_, *EditOutboundProxy_,
      *EditDisplayName_, *txtIPVPN_, *txtNumero_, *txtNumeroVerde_, *txtDTMF2_;
  QCheckBox* CheckBoxRegisterToProxy_;
  QPushButton* BtnInit_;
  QPlainTextEdit* txtLog_;
  uint64_t shown_lines_ = 0;  // of the phone's log, counted since start
};

}  // namespace velnaro::ui
