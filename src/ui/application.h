#pragma once
// The application object. A fault that escapes an event handler (a click, a timer) reaches
// the general error handler instead of ending the program, and the program goes on.

#include <QApplication>
#include <functional>
#include <string>
#include <vector>

namespace velnaro::ui {

class Application : public QApplication {
 public:
  Application(int& argc, char** argv) : QApplication(argc, argv) {}
  void SetErrorHandler(std::function<void(const std::string&)> handler) {
    handler_ = std::move(handler);
  }
  bool notify(QObject* receiver, QEvent* event) override;
  // The program's own parameters: the command line after the program name, without the
  // options Qt took for itself (-platform, -display, ...).
  std::vector<std::string> Parameters() const;

 private:
  std::function<void(const std::string&)> handler_;
};

}  // namespace velnaro::ui
