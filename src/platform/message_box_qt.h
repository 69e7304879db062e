#pragma once
// Modal messages as Qt dialogs. A dialog is always shown on the user-interface thread; a
// caller on another thread waits until the operator has closed it. Without a display
// (the offscreen or minimal platform) it behaves as HeadlessMessageBox: nothing waits.

#include <functional>
#include <memory>
#include <string>

#include "platform/message_box.h"

namespace velnaro {

class QtMessageBox final : public MessageBox {
 public:
  // Must be created on the user-interface thread after the application object.
  // caption: the dialogs' title, empty for the application's display name. always_dialogs
  // shows dialogs even on a platform without a display (tests).
  explicit QtMessageBox(std::string caption, bool always_dialogs = false);
  ~QtMessageBox() override;
  void SetLogSink(std::function<void(const std::string&)> sink);
  void Show(const std::string& text, MessageKind kind = MessageKind::Information) override;
  MessageAnswer Ask(const std::string& text) override;
  MessageAnswer ShowOkCancel(const std::string& text, MessageKind kind) override;
  bool headless() const { return headless_; }

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
  std::string caption_;
  bool headless_;
  HeadlessMessageBox fallback_{MessageAnswer::No};
};

}  // namespace velnaro
