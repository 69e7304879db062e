// A fault escaping an event handler reaches the general error handler; the loop goes on.
#include <gtest/gtest.h>

#include <QTimer>
#include <cstdlib>
#include <stdexcept>

#include "ui/application.h"

namespace velnaro::testing {
namespace {

TEST(ApplicationTest, FaultInAHandlerIsReportedAndTheProgramGoesOn) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  int argc = 1;
  char name[] = "application_test";
  char* argv[] = {name, nullptr};
  ui::Application app(argc, argv);
  std::vector<std::string> reported;
  app.SetErrorHandler([&](const std::string& what) { reported.push_back(what); });
  bool later_ran = false;
  QTimer::singleShot(0, [] { throw std::runtime_error("Type mismatch in Data"); });
  QTimer::singleShot(20, [&] { later_ran = true; });
  QTimer::singleShot(60, [] { QCoreApplication::quit(); });
  app.exec();
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0], "Type mismatch in Data");
  EXPECT_TRUE(later_ran);
}

// The first parameter is the provisioning address, even when Qt options come before it.
TEST(ApplicationTest, ParametersLeaveOutQtOptions) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  char name[] = "velnaro-ds", platform[] = "-platform", offscreen[] = "offscreen",
       url[] = "http://127.0.0.1:18088/oService", more[] = "extra";
  char* argv[] = {name, platform, offscreen, url, more, nullptr};
  int argc = 5;
  ui::Application app(argc, argv);
  EXPECT_EQ(app.Parameters(),
            (std::vector<std::string>{"http://127.0.0.1:18088/oService", "extra"}));
}

}  // namespace
}  // namespace velnaro::testing
