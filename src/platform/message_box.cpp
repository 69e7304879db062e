#include "platform/message_box.h"

#include <cstdio>

namespace velnaro {

void HeadlessMessageBox::SetLogSink(std::function<void(const std::string&)> sink) {
  std::lock_guard lock(mutex_);
  sink_ = std::move(sink);
}

void HeadlessMessageBox::Show(const std::string& text, MessageKind) {
  std::function<void(const std::string&)> sink;
  {
    std::lock_guard lock(mutex_);
    sink = sink_;
  }
  std::fprintf(stderr, "%s\n", text.c_str());
  if (sink) sink(text);
}

MessageAnswer HeadlessMessageBox::Ask(const std::string& text) {
  Show(text, MessageKind::Question);
  return default_answer_;
}

}  // namespace velnaro
