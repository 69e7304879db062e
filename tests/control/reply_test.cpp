#include "control/reply.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "control/web_server.h"
#include "support/control_service.h"
#include "support/wire_fields.h"

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

// Lengths cannot tell a swapped pair of keys or a "last" for a "last2"; the texts can.
TEST(ReplyPieces, ExactTextsOfRepliesWithValues) {
  EXPECT_EQ(reply::Status(testing::FromWire({"IDLE", "HANGUP", "0", "55", "1", "0", "0"})),
            "{   \"ErroreID\": 0,  \"ErroreDS\": \"\",   \"Dati\": { "
            "            \"Stato\": \"IDLE\", "
            "            \"ChiamataStato\": \"HANGUP\", "
            "            \"ChiamataPrefix\": \"0\", "
            "            \"ChiamataNumero\": \"55\", "
            "            \"Rec\": \"1\", "
            "            \"Hold\": \"0\", "
            "            \"Mute\": \"0\" "
            "          } } ");
  EXPECT_EQ(reply::Call("0", "55"),
            "{   \"ErroreID\": 0,  \"ErroreDS\": \"\",   \"Dati\": { "
            "            \"Status\":    \"CALLING\", "
            "            \"Prefix\": \"0\", "
            "            \"Number\": \"55\"  "
            "          } } ");
  EXPECT_EQ(reply::Dtmf("12#"),
            "{   \"ErroreID\": 0,  \"ErroreDS\": \"\",   \"Dati\": { "
            "            \"Status\":    \"DTMF\", "
            "            \"Number\": \"12#\"  "
            "          } } ");
  EXPECT_EQ(reply::SaveError(),
            "{   \"ErroreID\": 2,  \"ErroreDS\": \"Errore salvataggio\",   \"Dati\": { "
            "            \"Status\":    \"\" "
            "          } } ");
}

TEST(ReplyPieces, InitialStatusIs261Characters) {
  testing::ControlService server;
  EXPECT_EQ(reply::Status(server.status.Record()).size(), 261u);
}

TEST(ReplyPieces, InsertedValuesAreEscaped) {
  const std::string r = reply::Dtmf("1\"2\\3\n");
  EXPECT_NE(r.find("1\\\"2\\\\3\\u000a"), std::string::npos);
  EXPECT_EQ(reply::JsonEscape("ordinary 055"), "ordinary 055");
}

// A value with markup (a caller's number, a SIP Call-ID) reaches the page as the same
// string, but the reply text itself holds no tag a browser could run.
TEST(ReplyPieces, MarkupInValuesParsesBackUnchangedAndLeavesNoTag) {
  const std::string attack = "<img src=x onerror=alert(1)>";
  const std::string r = reply::Call(attack, "1&2>3");
  EXPECT_EQ(r.find_first_of("<>&"), std::string::npos) << r;
  EXPECT_EQ(r.size(), reply::Call(std::string(attack.size(), 'x'), "12345").size() + 4 * 5);
  rapidjson::Document d;
  ASSERT_FALSE(d.Parse(r.c_str()).HasParseError()) << r;
  EXPECT_EQ(std::string(d["Dati"]["Prefix"].GetString()), attack);
  EXPECT_EQ(std::string(d["Dati"]["Number"].GetString()), "1&2>3");
  StatusFields f;
  f.ChiamataPrefix = "<b>";
  f.ChiamataNumero = "a&b";
  d.Parse(reply::Status(f).c_str());
  EXPECT_EQ(std::string(d["Dati"]["ChiamataPrefix"].GetString()), "<b>");
  EXPECT_EQ(std::string(d["Dati"]["ChiamataNumero"].GetString()), "a&b");
}

}  // namespace
}  // namespace velnaro
