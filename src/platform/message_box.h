#pragma once
// Modal messages to the operator. With a display they are dialogs that wait for an answer;
// without one they go to the log sink and standard error and answer at once.

#include <functional>
#include <mutex>
#include <string>

namespace velnaro {

enum class MessageKind { Information, Warning, Error, Question };
enum class MessageAnswer { Ok, Yes, No };

class MessageBox {
 public:
  virtual ~MessageBox() = default;
  // Shows text and waits for the operator to close it.
  virtual void Show(const std::string& text, MessageKind kind = MessageKind::Information) = 0;
  // Asks a yes/no question.
  virtual MessageAnswer Ask(const std::string& text) = 0;
  // Shows text with the buttons OK and Cancel, the icon chosen by kind, and waits; Cancel
  // (or closing the dialog without a button) answers No.
  virtual MessageAnswer ShowOkCancel(const std::string& text, MessageKind kind) {
    Show(text, kind);
    return MessageAnswer::Ok;
  }
};

// No display: writes to standard error (and to an optional log sink); questions answer
// default_answer.
class HeadlessMessageBox final : public MessageBox {
 public:
  explicit HeadlessMessageBox(MessageAnswer default_answer = MessageAnswer::No)
      : default_answer_(default_answer) {}
  void SetLogSink(std::function<void(const std::string&)> sink);
  void Show(const std::string& text, MessageKind kind) override;
  MessageAnswer Ask(const std::string& text) override;

 private:
  std::mutex mutex_;
  std::function<void(const std::string&)> sink_;
  MessageAnswer default_answer_;
};

}  // namespace velnaro
