#pragma once
// Modal messages to the operator. With a display they are dialogs that wait for an answer;
// without one they go to the log sink and standard error and answer at once.

#include <functional>
#include <mutex>
#include <string>
#include <vector>

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

// Test seam: records every message and answers questions from a script.
class FakeMessageBox final : public MessageBox {
 public:
  void Show(const std::string& text, MessageKind kind) override {
    std::lock_guard lock(mutex_);
    shown_.push_back(text);
    kinds_.push_back(kind);
    with_cancel_.push_back(false);
  }
  // Recorded with the other messages; the answer is always Ok.
  MessageAnswer ShowOkCancel(const std::string& text, MessageKind kind) override {
    std::lock_guard lock(mutex_);
    shown_.push_back(text);
    kinds_.push_back(kind);
    with_cancel_.push_back(true);
    return MessageAnswer::Ok;
  }
  MessageAnswer Ask(const std::string& text) override {
    std::lock_guard lock(mutex_);
    asked_.push_back(text);
    if (answers_.empty()) return MessageAnswer::No;
    MessageAnswer a = answers_.front();
    answers_.erase(answers_.begin());
    return a;
  }
  void QueueAnswer(MessageAnswer a) {
    std::lock_guard lock(mutex_);
    answers_.push_back(a);
  }
  std::vector<std::string> Shown() const {
    std::lock_guard lock(mutex_);
    return shown_;
  }
  std::vector<MessageKind> Kinds() const {
    std::lock_guard lock(mutex_);
    return kinds_;
  }
  // Per shown message: whether it offered Cancel besides OK.
  std::vector<bool> WithCancel() const {
    std::lock_guard lock(mutex_);
    return with_cancel_;
  }
  std::vector<std::string> Asked() const {
    std::lock_guard lock(mutex_);
    return asked_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> shown_, asked_;
  std::vector<MessageKind> kinds_;
  std::vector<bool> with_cancel_;
  std::vector<MessageAnswer> answers_;
};

}  // namespace velnaro
