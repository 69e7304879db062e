#include "platform/message_box_qt.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <condition_variable>
#include <mutex>

namespace velnaro {

// Outlives the message box so a waiting request thread can always be released.
struct QtMessageBox::Shared {
  std::mutex mutex;
  std::condition_variable cv;
  bool quitting = false;
};

namespace {

bool PlatformHasNoDisplay() {
  QString p = QGuiApplication::platformName();
  return p == "offscreen" || p == "minimal";
}

QMessageBox::Icon IconFor(MessageKind kind) {
  switch (kind) {
    case MessageKind::Warning: return QMessageBox::Warning;
    case MessageKind::Error: return QMessageBox::Critical;
    case MessageKind::Question: return QMessageBox::Question;
    case MessageKind::Information: break;
  }
  return QMessageBox::Information;
}

}  // namespace

QtMessageBox::QtMessageBox(std::string caption, bool always_dialogs)
    : shared_(std::make_shared<Shared>()), caption_(std::move(caption)),
      headless_(!qApp || (!always_dialogs && PlatformHasNoDisplay())) {
  if (qApp) {
    std::weak_ptr<Shared> weak = shared_;
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, qApp, [weak] {
      if (auto s = weak.lock()) {
        std::lock_guard lock(s->mutex);
        s->quitting = true;
        s->cv.notify_all();
      }
    });
  }
}

QtMessageBox::~QtMessageBox() {
  std::lock_guard lock(shared_->mutex);
  shared_->quitting = true;
  shared_->cv.notify_all();
}

void QtMessageBox::SetLogSink(std::function<void(const std::string&)> sink) {
  fallback_.SetLogSink(std::move(sink));
}

namespace {

// Runs dialog() on the user-interface thread and waits for it; returns fallback when the
// application is already shutting down.
template <typename Result, typename Dialog>
Result OnUiThread(const std::shared_ptr<void>& keep, std::mutex& mutex,
                  std::condition_variable& cv, const bool& quitting, Dialog dialog,
                  Result fallback) {
  if (QThread::currentThread() == qApp->thread()) return dialog();
  struct Call {
    bool done = false;
    Result result{};
  };
  auto call = std::make_shared<Call>();
  {
    std::lock_guard lock(mutex);
    if (quitting) return fallback;
  }
  QMetaObject::invokeMethod(
      qApp,
      [keep, call, dialog, &mutex, &cv] {
        Result r = dialog();
        std::lock_guard lock(mutex);
        call->result = r;
        call->done = true;
        cv.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock lock(mutex);
  cv.wait(lock, [&] { return call->done || quitting; });
  return call->done ? call->result : fallback;
}

}  // namespace

void QtMessageBox::Show(const std::string& text, MessageKind kind) {
  if (headless_ || !qApp || QCoreApplication::closingDown()) {
    fallback_.Show(text, kind);
    return;
  }
  QString title = caption_.empty() ? QGuiApplication::applicationDisplayName()
                                   : QString::fromStdString(caption_);
  QString body = QString::fromStdString(text);
  OnUiThread<int>(
      shared_, shared_->mutex, shared_->cv, shared_->quitting,
      [title, body, kind] {
        QMessageBox box(IconFor(kind), title, body, QMessageBox::Ok);
        box.exec();
        return 0;
      },
      0);
}

MessageAnswer QtMessageBox::Ask(const std::string& text) {
  return ShowOkCancel(text, MessageKind::Question);
}

MessageAnswer QtMessageBox::ShowOkCancel(const std::string& text, MessageKind kind) {
  if (headless_ || !qApp || QCoreApplication::closingDown()) {
    return kind == MessageKind::Question ? fallback_.Ask(text)
                                         : fallback_.ShowOkCancel(text, kind);
  }
  QString title = caption_.empty() ? QGuiApplication::applicationDisplayName()
                                   : QString::fromStdString(caption_);
  QString body = QString::fromStdString(text);
  return OnUiThread<MessageAnswer>(
      shared_, shared_->mutex, shared_->cv, shared_->quitting,
      [title, body, kind] {
        QMessageBox box(IconFor(kind), title, body, QMessageBox::Ok | QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Ok);
        // Closing the dialog without a button counts as Cancel.
        return box.exec() == QMessageBox::Ok ? MessageAnswer::Ok : MessageAnswer::No;
      },
      MessageAnswer::No);
}

}  // namespace velnaro
