#include "control/reply.h"

#include <gtest/gtest.h>

#include "control/web_server.h"

namespace velnaro {
namespace {

TEST(ReplyPieces, LengthsOfFixedReplies) {
  EXPECT_EQ(reply::NotRecognised().size(), 108u);
  EXPECT_EQ(reply::SaveError().size(), 108u);
  EXPECT_EQ(reply::Simple("HOLD").size(), 94u);
  EXPECT_EQ(reply::Simple("MUTE").size(), 94u);
  EXPECT_EQ(reply::Simple("HANGUP").size(), 96u);
  EXPECT_EQ(reply::Simple("UNHOLD").size(), 96u);
  EXPECT_EQ(reply::Simple("UNMUTE").size(), 96u);
  EXPECT_EQ(reply::Simple("RECSTOP").size(), 97u);
  EXPECT_EQ(reply::Simple("RECSTART").size(), 98u);
  EXPECT_EQ(reply::Simple("SCREENSHOT").size(), 100u);
  EXPECT_EQ(reply::Call("", "").size(), 150u);
  EXPECT_EQ(reply::Call("0", "55").size(), 153u);
  EXPECT_EQ(reply::Dtmf("12").size(), 123u);
}

TEST(ReplyPieces, ExactTexts) {
  EXPECT_EQ(reply::NotRecognised(),
            "{   \"ErroreID\": 1,  \"ErroreDS\": \"comando non valido\",   \"Dati\": { "
            "     \"info\": \"niente da dichiarare\"   } } ");
  EXPECT_EQ(reply::Simple("HANGUP"),
            "{   \"ErroreID\": 0,  \"ErroreDS\": \"\",   \"Dati\": {             \"Status\":    "
            "\"HANGUP\"           } } ");
}

TEST(ReplyPieces, InitialStatusIs261Characters) {
  TwebServer server;
  EXPECT_EQ(reply::Status(server.Record()).size(), 261u);
}

TEST(ReplyPieces, InsertedValuesAreEscaped) {
  const std::string r = reply::Dtmf("1\"2\\3\n");
  EXPECT_NE(r.find("1\\\"2\\\\3\\u000a"), std::string::npos);
  EXPECT_EQ(reply::JsonEscape("ordinary 055"), "ordinary 055");
}

}  // namespace
}  // namespace velnaro
