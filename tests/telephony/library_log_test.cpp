// The SIP library's own reports in the support log: warnings and errors, from any of its
// threads; its ordinary messages stay out.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linphone/logging.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "platform/support_log.h"
#include "support/test_support.h"
#include "telephony/linphone_session.h"

namespace velnaro {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

TEST(LibraryLog, WarningsAndErrorsReachTheSupportLog) {
  std::string dir = ::testing::TempDir() + "library-log-" + std::to_string(getpid());
  {
    SupportLogFile log({.path = dir + "/velnaro-ds.log"});
    ASSERT_EQ(log.error(), "");
    ForwardLibraryWarnings();
    ForwardLibraryWarnings();  // once is enough: no line twice
    LinphoneLoggingService* service = linphone_logging_service_get();
    linphone_logging_service_message(service, "an ordinary message");
    linphone_logging_service_warning(service, "a warning");
    std::thread([service] { linphone_logging_service_error(service, "an error elsewhere"); })
        .join();
  }
  std::string text = testing::ReadWholeFile(dir + "/velnaro-ds.log");
  EXPECT_THAT(text, HasSubstr("[warning] sip: a warning\n"));
  EXPECT_THAT(text, HasSubstr("[error] sip: an error elsewhere\n"));
  EXPECT_THAT(text, Not(HasSubstr("ordinary")));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace velnaro
