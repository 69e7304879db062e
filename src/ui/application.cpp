#include "ui/application.h"

#include <cstdio>
#include <exception>

namespace velnaro::ui {

std::vector<std::string> Application::Parameters() const {
  QStringList args = QCoreApplication::arguments();
  std::vector<std::string> params;
  for (qsizetype i = 1; i < args.size(); ++i) params.push_back(args[i].toStdString());
  return params;
}

bool Application::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    if (handler_) handler_(e.what());
    else std::fprintf(stderr, "%s\n", e.what());
  } catch (...) {
    if (handler_) handler_("Errore sconosciuto");
  }
  return false;
}

}  // namespace velnaro::ui
