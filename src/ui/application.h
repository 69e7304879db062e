#pragma once
// The application object. A fault that escapes an event handler (a click, a timer) reaches
// the general error handler instead of ending the program, and the program goes on.

#include <QApplication>
#include <functional>
#include <string>

namespace velnaro::ui {

class Application : public QApplication {
 public:
  Application(int& argc, char** argv) : QApplication(argc, argv) {}
  void SetErrorHandler(std::function<void(const std::string&)> handler) {
    handler_ = std::move(handler);
  }
  bool notify(QObject* receiver, QEvent* event) override;

 private:
  std::function<void(const std::string&)> handler_;
};

}  // namespace velnaro::ui
