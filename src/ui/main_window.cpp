#include "ui/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QStackedWidget>
#include <QThread>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <limits>

#include "ui/skinned_button.h"

namespace velnaro::ui {

namespace {

using Page = TfrmMainPhone::Page;
constexpr int kW = TfrmMainPhone::kClientWidth;
constexpr int kH = TfrmMainPhone::kClientHeight;
const QColor kGreen(0x2e, 0xa0, 0x43);
const QColor kRed(0xd0, 0x32, 0x2a);
const QColor kGrey(0x70, 0x70, 0x70);  // the buttons that go back or decline

QLabel* NewLabel(QWidget* parent, const QString& text, QRect geometry, const char* name = nullptr,
                 bool wrap = false, Qt::Alignment align = Qt::AlignLeft | Qt::AlignVCenter) {
  auto* l = new QLabel(text, parent);
  if (name) l->setObjectName(name);
  l->setGeometry(geometry);
  l->setWordWrap(wrap);
  l->setAlignment(align);
  return l;
}

DSButton* NewButton(QWidget* parent, const QString& text, QRect geometry, const char* name) {
  auto* b = new DSButton(text, parent);
  b->setObjectName(name);
  b->setGeometry(geometry);
  return b;
}

// Page titles: bold, a few points over the page's text.
void MakeTitle(QLabel* label, int extra_points) {
  QFont f = label->font();
  f.setBold(true);
  f.setPointSize(f.pointSize() + extra_points);
  label->setFont(f);
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

MainWindow::MainWindow(TfrmMainPhone& form, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      form_(form) {
  setObjectName("frmMainPhone");
  setFixedSize(kW, kH);
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, Qt::white);
  setPalette(pal);
  setWindowIcon(ProgramIcon());

  timer1_ = new QTimer(this);
  timer1_->setObjectName("Timer1");
  timer1_->setSingleShot(true);
  connect(timer1_, &QTimer::timeout, this, [this] { form_.Timer1Timer(); });

  pcDati_ = new QStackedWidget(this);
  pcDati_->setObjectName("pcDati");
  pcDati_->setGeometry(0, 0, kW, kH);
  pages_[int(Page::tsStatus)] = BuildStatusPage();
  pages_[int(Page::tsError)] = BuildErrorPage();
  pages_[int(Page::tsUpdate)] = BuildUpdatePage();
  pages_[int(Page::tsAbout)] = BuildAboutPage();
  pages_[int(Page::tsDebug)] = BuildDebugPage();
  pages_[int(Page::tsTelefonoLine2)] = BuildLine2Page();
  for (QWidget* p : pages_) pcDati_->addWidget(p);

  // Centred on the screen at first show.
  if (QScreen* s = QGuiApplication::primaryScreen()) {
    QRect a = s->availableGeometry();
    move(a.center() - QPoint(kW / 2, kH / 2));
  }
  form_.SetView(this);
  Render();
}

QWidget* MainWindow::NewPage(const char* name, bool with_logo) {
  auto* page = new QWidget;
  page->setObjectName(name);
  page->setAutoFillBackground(true);
  page->setPalette(palette());
  if (with_logo) {
    auto* logo = new Logo(page);
    logo->setGeometry(0, 8, kW, 80);
    connect(logo, &Logo::doubleClicked, this, [this] { form_.eConfigAccess(); });
  }
  return page;
}

QWidget* MainWindow::BuildStatusPage() {
  QWidget* page = NewPage("tsStatus", true);
  NewLabel(page, "Attendere: avvio del programma in corso,", {20, 100, 315, 20}, "lblAttesa1");
  NewLabel(page, "tra pochi secondi il telefono sarà pronto.", {20, 120, 315, 20}, "lblAttesa2");
  for (int i = 0; i < 4; ++i) {
    int y = 175 + i * 55;
    std::string n = "st" + std::to_string(i);
    st_[i] = NewLabel(page, Q(form_.steps[i].caption), {30, y, 240, 32}, n.c_str(), true);
    QFont f = st_[i]->font();
    f.setBold(true);  // designed bold; the first show makes it regular
    st_[i]->setFont(f);
    st_ok_[i] = NewButton(page, "", {290, y + 2, 28, 28}, (n + "_ok").c_str());
    st_ok_[i]->SetShape(DSButton::Shape::Circle);
    st_ok_[i]->SetColour(kGreen);
    st_ko_[i] = NewButton(page, "", {290, y + 2, 28, 28}, (n + "_ko").c_str());
    st_ko_[i]->SetShape(DSButton::Shape::Circle);
    st_ko_[i]->SetColour(kRed);
  }
  btnOpenBrowser_ = NewButton(page, "Inizia a lavorare", {67, 440, 220, 44}, "btnOpenBrowser");
  connect(btnOpenBrowser_, &QAbstractButton::clicked, this, [this] { form_.btnOpenBrowserClick(); });
  return page;
}

QWidget* MainWindow::BuildErrorPage() {
  QWidget* page = NewPage("tsError", true);
  MakeTitle(NewLabel(page, "Attenzione:", {20, 110, 315, 24}, "lblAttenzione"), 2);
  lblErrorDS_ = NewLabel(page, "", {20, 140, 315, 250}, "lblErrorDS", true,
                         Qt::AlignLeft | Qt::AlignTop);
  auto* back = NewButton(page, "Indietro", {117, 470, 120, 36}, "DSButton2");
  connect(back, &QAbstractButton::clicked, this, [this] { form_.DSButton2Click(); });
  return page;
}

QWidget* MainWindow::BuildUpdatePage() {
  QWidget* page = NewPage("tsUpdate", true);
  MakeTitle(NewLabel(page, "Nuovo aggiornamento", {20, 105, 315, 26}, "lblUpdateTitle"), 2);
  lblUpdateMsg_ = NewLabel(page, "", {20, 140, 315, 180}, "lblUpdateMsg", true,
                           Qt::AlignLeft | Qt::AlignTop);
  btnUpdateOK_ = NewButton(page, "", {40, 340, 275, 42}, "btnUpdateOK");
  btnUpdateKO_ = NewButton(page, "", {40, 395, 275, 42}, "btnUpdateKO");
  btnUpdateKO_->SetColour(kGrey);
  connect(btnUpdateOK_, &QAbstractButton::clicked, this, [this] { form_.btnUpdateOKClick(); });
  connect(btnUpdateKO_, &QAbstractButton::clicked, this, [this] { form_.eUpdateKO(); });
  pbUpdate_ = new QProgressBar(page);
  pbUpdate_->setObjectName("pbUpdate");
  pbUpdate_->setGeometry(10, kH - 30, kW - 20, 20);
  pbUpdate_->setTextVisible(false);
  return page;
}

QWidget* MainWindow::BuildAboutPage() {
  QWidget* page = NewPage("tsAbout", true);
  MakeTitle(NewLabel(page, "Velnaro DS", {20, 110, 315, 30}, "lblAboutTitle", false,
                     Qt::AlignCenter),
            4);
  NewLabel(page, "Questa sezione è dedicata al supporto tecnico", {20, 160, 315, 20}, nullptr,
           false, Qt::AlignCenter);
  NewLabel(page, "per la verifica della postazione", {20, 180, 315, 20}, nullptr, false,
           Qt::AlignCenter);
  NewLabel(page, "Password debug", {40, 240, 275, 20}, "lblPassword");
  txtPassoword_ = new QLineEdit(page);
  txtPassoword_->setObjectName("txtPassoword");
  txtPassoword_->setGeometry(40, 262, 275, 28);
  txtPassoword_->setEchoMode(QLineEdit::Password);
  // Each typed character is shown as "*".
  txtPassoword_->setStyleSheet("lineedit-password-character: 42;");
  connect(txtPassoword_, &QLineEdit::textEdited, this,
          [this](const QString& t) { form_.txtPassoword = t.toStdString(); });
  connect(txtPassoword_, &QLineEdit::returnPressed, this, [this] { form_.eDebugStart(); });
  auto* ok = NewButton(page, "Conferma", {40, 310, 130, 36}, "DSButton3");
  auto* back = NewButton(page, "Indietro", {185, 310, 130, 36}, "DSButton4");
  back->SetColour(kGrey);
  connect(ok, &QAbstractButton::clicked, this, [this] { form_.eDebugStart(); });
  connect(back, &QAbstractButton::clicked, this, [this] { form_.eBack(); });
  return page;
}

QWidget* MainWindow::BuildDebugPage() {
  QWidget* page = NewPage("tsDebug", false);
  NewLabel(page, "ClientID:", {10, 10, 80, 22});
  Label1_ = NewLabel(page, "", {90, 10, 255, 22}, "Label1");
  Label1_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* phone = NewButton(page, "Visualizza Telefono", {10, 40, 335, 34}, "DSButton1");
  connect(phone, &QAbstractButton::clicked, this, [this] { form_.DSButton1Click(); });
  txtURL_ = new QLineEdit(page);
  txtURL_->setObjectName("txtURL");
  txtURL_->setGeometry(10, 84, 335, 26);
  connect(txtURL_, &QLineEdit::textEdited, this,
          [this](const QString& t) { form_.txtURL = t.toStdString(); });
  auto* log = NewButton(page, "Vkisualizza Log Server", {10, 120, 335, 34}, "Button1");
  connect(log, &QAbstractButton::clicked, this, [this] { form_.Button1Click(); });
  txtLog_ = new QPlainTextEdit(page);
  txtLog_->setObjectName("txtLog");
  txtLog_->setGeometry(10, 164, 335, 340);
  txtLog_->setReadOnly(true);
  auto* back = NewButton(page, "Indietro", {117, 514, 120, 36}, "DSButton5");
  back->SetColour(kGrey);
  connect(back, &QAbstractButton::clicked, this, [this] { form_.eBack(); });
  return page;
}

QWidget* MainWindow::BuildLine2Page() {
  QWidget* page = NewPage("tsTelefonoLine2", true);
  NewLabel(page, "Questo telefono è utilizzato per gestire le", {20, 100, 315, 20}, nullptr,
           false, Qt::AlignCenter);
  NewLabel(page, "chiamate in conferenza.", {20, 120, 315, 20}, nullptr, false, Qt::AlignCenter);
  pcTelefono2_ = new QStackedWidget(page);
  pcTelefono2_->setObjectName("pcTelefono2");
  pcTelefono2_->setGeometry(0, 150, kW, kH - 150);

  tsNumero_ = new QWidget;
  tsNumero_->setObjectName("tsNumero");
  NewLabel(tsNumero_, "Clicca sulla cornetta per contattare il numero", {10, 20, 335, 22},
           nullptr, false, Qt::AlignCenter);
  txtNumeroVerde_ = new QLineEdit(tsNumero_);
  txtNumeroVerde_->setObjectName("txtNumeroVerde");
  txtNumeroVerde_->setGeometry(67, 60, 220, 32);
  txtNumeroVerde_->setAlignment(Qt::AlignCenter);
  QFont nf = txtNumeroVerde_->font();
  nf.setPointSize(nf.pointSize() + 4);
  txtNumeroVerde_->setFont(nf);
  connect(txtNumeroVerde_, &QLineEdit::textEdited, this,
          [this](const QString& t) { form_.txtNumeroVerde = t.toStdString(); });
  auto* chiama = NewButton(tsNumero_, "", {137, 120, 80, 80}, "btnChiama");
  chiama->SetShape(DSButton::Shape::Handset);
  chiama->SetColour(kGreen);
  connect(chiama, &QAbstractButton::clicked, this, [this] { form_.btnChiamaClick(); });

  tsTastierino_ = new QWidget;
  tsTastierino_->setObjectName("tsTastierino");
  const char* keys[12] = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "*", "0", "#"};
  const char* names[12] = {"btn1", "btn2", "btn3", "btn4", "btn5", "btn6",
                           "btn7", "btn8", "btn9", "btnAsterisco", "btn0", "btnCancelletto"};
  for (int i = 0; i < 12; ++i) {
    int row = i / 3, col = i % 3;
    auto* key = NewButton(tsTastierino_, keys[i], {62 + col * 80, 10 + row * 52, 70, 44}, names[i]);
    QString caption = keys[i];
    connect(key, &QAbstractButton::clicked, this,
            [this, caption] { form_.eClickTasto(caption.toStdString()); });
  }
  btnCreaConferenza_ =
      NewButton(tsTastierino_, "Metti in conferenza", {62, 230, 230, 40}, "btnCreaConferenza");
  btnCreaConferenza_->SetColour(QColor(0xe0, 0x7b, 0x1a));
  connect(btnCreaConferenza_, &QAbstractButton::clicked, this,
          [this] { form_.btnCreaConferenzaClick(); });
  imgTelRosso_ = NewButton(tsTastierino_, "", {62, 285, 60, 60}, "imgTelRosso");
  imgTelRosso_->SetShape(DSButton::Shape::Handset);
  imgTelRosso_->SetColour(kRed);
  connect(imgTelRosso_, &QAbstractButton::clicked, this, [this] { form_.eLine2HangUp(); });
  txtTelRosso_ = NewLabel(tsTastierino_, "Riaggancio numero verde", {130, 300, 200, 30},
                          "txtTelRosso");
  pcTelefono2_->addWidget(tsNumero_);
  pcTelefono2_->addWidget(tsTastierino_);
  return page;
}

void MainWindow::Render() {
  render_queued_ = false;
  setWindowTitle(Q(form_.title));
  pcDati_->setCurrentWidget(pages_[int(form_.page)]);
  for (int i = 0; i < 4; ++i) {
    const auto& s = form_.steps[i];
    st_[i]->setText(Q(s.caption));
    QFont f = st_[i]->font();
    f.setBold(form_.steps_bold);
    st_[i]->setFont(f);
    st_ok_[i]->setVisible(s.ok_visible);
    st_ko_[i]->setVisible(s.ko_visible);
  }
  btnOpenBrowser_->setVisible(form_.btnOpenBrowser_visible);
  lblErrorDS_->setText(Q(form_.lblErrorDS));
  lblUpdateMsg_->setText(Q(form_.lblUpdateMsg));
  btnUpdateOK_->setText(Q(form_.btnUpdateOK_caption));
  btnUpdateKO_->setText(Q(form_.btnUpdateKO_caption));
  btnUpdateOK_->setVisible(form_.btnUpdateOK_visible);
  btnUpdateKO_->setVisible(form_.btnUpdateKO_visible);
  pbUpdate_->setVisible(form_.pbUpdate_visible);
  // The bar counts bytes; only a length beyond its int range is scaled down to fit.
  int64_t bar_max = std::max<int64_t>(form_.pbUpdate_max, 0);
  int64_t bar_unit = bar_max / std::numeric_limits<int>::max() + 1;
  pbUpdate_->setMaximum(int(bar_max / bar_unit));
  pbUpdate_->setValue(int(std::clamp<int64_t>(form_.pbUpdate_position, 0, bar_max) / bar_unit));
  Label1_->setText(Q(form_.Label1));
  if (txtURL_->text().toStdString() != form_.txtURL) txtURL_->setText(Q(form_.txtURL));
  QString log;
  for (const auto& l : form_.txtLog) log += Q(l) + "\n";
  if (txtLog_->toPlainText() != log) txtLog_->setPlainText(log);
  if (txtPassoword_->text().toStdString() != form_.txtPassoword)
    txtPassoword_->setText(Q(form_.txtPassoword));
  if (txtNumeroVerde_->text().toStdString() != form_.txtNumeroVerde)
    txtNumeroVerde_->setText(Q(form_.txtNumeroVerde));
  pcTelefono2_->setCurrentWidget(form_.line2_page == TfrmMainPhone::Line2Page::tsNumero
                                     ? tsNumero_
                                     : tsTastierino_);
  btnCreaConferenza_->setVisible(form_.btnCreaConferenza_visible);
  imgTelRosso_->setVisible(form_.imgTelRosso_visible);
  txtTelRosso_->setVisible(form_.imgTelRosso_visible);
  if (trace_) {
    std::string summary = Summary();
    if (summary != last_summary_) {
      last_summary_ = summary;
      trace_(summary);
    }
  }
}

std::string MainWindow::Summary() const {
  static const char* kPages[] = {"tsStatus", "tsError", "tsUpdate",
                                 "tsAbout", "tsDebug", "tsTelefonoLine2"};
  std::string s = kPages[int(form_.page)];
  s += " steps=";
  for (const auto& st : form_.steps) s += st.ok_visible ? 'G' : st.ko_visible ? 'R' : '-';
  s += form_.btnOpenBrowser_visible ? " browser=1" : " browser=0";
  if (form_.page == Page::tsError) s += " lblErrorDS=" + form_.lblErrorDS;
  if (form_.page == Page::tsUpdate)
    s += " btnUpdateOK=" + form_.btnUpdateOK_caption + " btnUpdateKO=" + form_.btnUpdateKO_caption;
  return s;
}

void MainWindow::StateChanged() {
  if (QThread::currentThread() == thread()) {
    Render();
    return;
  }
  if (render_queued_.exchange(true)) return;
  QMetaObject::invokeMethod(this, [this] { Render(); }, Qt::QueuedConnection);
}

void MainWindow::ProcessPendingMessages() {
  if (QThread::currentThread() != thread()) return;
  Render();
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void MainWindow::SetTimer1(bool enabled, int interval_ms) {
  timer1_->setInterval(interval_ms);
  if (enabled)
    timer1_->start();
  else
    timer1_->stop();
}

void MainWindow::Close() { QWidget::close(); }

void MainWindow::ShowPhoneWindow() {
  if (!phone_window_) return;
  phone_window_->show();
  phone_window_->raise();
}

void MainWindow::ShowServerWindow() {
  if (!server_window_) return;
  server_window_->show();
  server_window_->raise();
}

void MainWindow::eShowApplication(const std::string& activation_token) {
  if (trace_) trace_("restore");
  // On Wayland only the desktop's token brings a window forward; Qt takes it from the
  // environment at the next activation.
  if (!activation_token.empty() && QGuiApplication::platformName().startsWith("wayland"))
    qputenv("XDG_ACTIVATION_TOKEN", QByteArray::fromStdString(activation_token));
  bool was_hidden = !isVisible();
  show();
  setWindowState(windowState() & ~Qt::WindowMinimized);
  raise();
  form_.FormRestored();
  // Compositors ignore activation of a window that is not on screen yet: a window that
  // was hidden asks once it has been exposed.
  if (was_hidden && windowHandle() && !windowHandle()->isExposed()) {
    activate_when_exposed_ = true;
    windowHandle()->installEventFilter(this);
  } else {
    activateWindow();
  }
}

bool MainWindow::eventFilter(QObject* watched, QEvent* e) {
  if (activate_when_exposed_ && watched == windowHandle() && e->type() == QEvent::Expose &&
      windowHandle()->isExposed()) {
    activate_when_exposed_ = false;
    // After the exposed frame has been drawn.
    QTimer::singleShot(0, this, [this] { activateWindow(); });
  }
  return QWidget::eventFilter(watched, e);
}

void MainWindow::TrayAvailabilityChanged(bool available) {
  if (form_.TrayAvailabilityChanged(available) == TfrmMainPhone::WindowAction::ShowMinimised)
    showMinimized();
}

void MainWindow::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  form_.FormShow();
}

void MainWindow::closeEvent(QCloseEvent* e) {
  if (!form_.FormCloseQuery()) {
    e->ignore();
    return;
  }
  e->accept();
  emit closed();
}

void MainWindow::changeEvent(QEvent* e) {
  QWidget::changeEvent(e);
  if (e->type() != QEvent::WindowStateChange) return;
  // Platforms may report a state for a window that is hidden; only one on screen counts.
  if (!isMinimized()) {
    if (isVisible()) form_.FormRestored();
  } else if (form_.FormMinimised() == TfrmMainPhone::WindowAction::Hide) {
    // Only the tray icon remains; hiding also takes the taskbar entry away. Not when the
    // window has come back, or lost its tray, in the meantime.
    QTimer::singleShot(0, this, [this] {
      if (form_.window_place == TfrmMainPhone::WindowPlace::InTray) hide();
    });
  }
}

}  // namespace velnaro::ui
