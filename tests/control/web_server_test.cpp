#include "control/web_server.h"

#include <gtest/gtest.h>

#include "support/control_service.h"

namespace velnaro {
namespace {

class StatusRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.status.AggiornaStato(LineState::kInCall, CallState::kCallOut, "0", "55");
  }
  testing::ControlService server_;
};

TEST_F(StatusRecord, LabelsMirrorFirstFourFieldsOnTick) {
  EXPECT_EQ(server_.window.labels().txtStato, "");
  server_.window.Timer1Timer();
  auto l = server_.window.labels();
  EXPECT_EQ(l.txtStato, "INCALL");
  EXPECT_EQ(l.txtChiamataStato, "CALLOUT");
  EXPECT_EQ(l.txtChiamataPrefix, "0");
  EXPECT_EQ(l.txtChiamataNumero, "55");
  // With no tick for an interval (the window hidden) a read catches up by itself.
  server_.status.AggiornaStato(LineState::kIdle, CallState::kHangUp, "", "");
  EXPECT_EQ(TwebServer(server_.status, std::chrono::milliseconds(0)).labels().txtStato, "IDLE");
}

}  // namespace
}  // namespace velnaro
