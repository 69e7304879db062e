#include "control/web_server.h"

#include <gtest/gtest.h>

namespace velnaro {
namespace {

TEST(StatusRecordStart, UploadMessageStartsEmpty) {
  TwebServer server;
  EXPECT_EQ(server.MessaggioUpload(), "");
}

class StatusRecord : public ::testing::Test {
 protected:
  void SetUp() override { server_.AggiornaStato("INCALL", "CALLOUT", "0", "55"); }
  TwebServer server_;
};

TEST_F(StatusRecord, LabelsMirrorFirstFourFieldsOnTick) {
  EXPECT_EQ(server_.labels().txtStato, "");
  server_.Timer1Timer();
  auto l = server_.labels();
  EXPECT_EQ(l.txtStato, "INCALL");
  EXPECT_EQ(l.txtChiamataStato, "CALLOUT");
  EXPECT_EQ(l.txtChiamataPrefix, "0");
  EXPECT_EQ(l.txtChiamataNumero, "55");
}

}  // namespace
}  // namespace velnaro
