#include "control/interpreter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "control/reply.h"
#include "control/web_server.h"
#include "support/control_service.h"

namespace velnaro {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string Interpret(testing::ControlService& server, const std::string& path,
                      std::vector<std::string> params) {
  ControlRequest request{std::move(params), "127.0.0.1", path};
  std::string reply = "stale";
  server.interpreter.AnalizzaParametri(request, reply);
  return reply;
}

const std::string kInitialStatus = reply::Status({});

TEST(Interpreter, GetStatusRightAfterStartUp) {
  testing::ControlService server;
  const std::string r = Interpret(server, "/phone/", {"Action=GETSTATUS"});
  EXPECT_EQ(r, kInitialStatus);
  EXPECT_EQ(r.size(), 261u);
  EXPECT_THAT(server.status.memoLogs(), IsEmpty());
}

TEST(Interpreter, LookupIsExactAndCaseSensitive) {
  testing::ControlService server;
  const std::string not_recognised = reply::NotRecognised();
  EXPECT_EQ(not_recognised.size(), 108u);
  EXPECT_EQ(Interpret(server, "/phone", {"Action=GETSTATUS"}), not_recognised);
  EXPECT_EQ(Interpret(server, "/PHONE/", {"Action=GETSTATUS"}), not_recognised);
  EXPECT_EQ(Interpret(server, "/phone/", {"action=GETSTATUS"}), not_recognised);
  EXPECT_EQ(Interpret(server, "/phone/", {"Action=getstatus"}), not_recognised);
  EXPECT_EQ(Interpret(server, "/system/", {"Action=GETSTATUS"}), not_recognised);
  EXPECT_EQ(Interpret(server, "/phone/", {"Prefix=0"}), not_recognised);
  EXPECT_THAT(server.status.memoLogs(), IsEmpty());
}

TEST(Interpreter, FixedPositionSplitting) {
  std::string name, value;
  SplitEntry("Actionx=GETSTATUS", name, value);
  EXPECT_EQ(name, "Action");
  EXPECT_EQ(value, "=GETSTATUS");
  SplitEntry("Action:GETSTATUS", name, value);  // the seventh character is not examined
  EXPECT_EQ(name, "Action");
  EXPECT_EQ(value, "GETSTATUS");
  SplitEntry("Act", name, value);
  EXPECT_EQ(name, "Act");
  EXPECT_EQ(value, "");
  SplitEntry("Action=", name, value);
  EXPECT_EQ(name, "Action");
  EXPECT_EQ(value, "");
  SplitEntry("", name, value);
  EXPECT_EQ(name, "");
  EXPECT_EQ(value, "");

  testing::ControlService server;
  EXPECT_EQ(Interpret(server, "/phone/", {"Actionx=GETSTATUS"}), reply::NotRecognised());
}

TEST(Interpreter, LaterEntryOverwritesEarlier) {
  testing::ControlService server;
  bool dialled = false;
  server.interpreter.Commands().Add("/phone/", "CALL",
                                    [&](const CommandRequest&, std::string& reply) {
                                      dialled = true;
                                      reply = "dialled";
                                    });
  EXPECT_EQ(Interpret(server, "/phone/", {"Action=CALL", "Action=GETSTATUS"}), kInitialStatus);
  EXPECT_FALSE(dialled);
  EXPECT_EQ(Interpret(server, "/phone/", {"Action=GETSTATUS", "Action=CALL"}), "dialled");
  EXPECT_TRUE(dialled);
}

TEST(Interpreter, HandlerSeesWorkingValuesAndRawQuery) {
  testing::ControlService server;
  CommandRequest seen;
  server.interpreter.Commands().Add("/phone/", "RECSTOP",
                                    [&](const CommandRequest& r, std::string& reply) {
                                      seen = r;
                                      reply = reply::Simple("RECSTOP");
                                    });
  const std::string r = Interpret(server, "/phone/",
                            {"Action=RECSTOP", "", "recording_id=22 6", "Prefix=0",
                             "Number=55", "Number=56"});
  EXPECT_EQ(r, reply::Simple("RECSTOP"));
  EXPECT_EQ(seen.action, "RECSTOP");
  EXPECT_EQ(seen.prefix, "0");
  EXPECT_EQ(seen.number, "56");
  // Empty entries keep their place; values stay decoded.
  EXPECT_EQ(seen.raw_query, "Action=RECSTOP&&recording_id=22 6&Prefix=0&Number=55&Number=56");
  EXPECT_EQ(seen.path, "/phone/");
  EXPECT_EQ(seen.peer_ip, "127.0.0.1");
}

TEST(Interpreter, RawQueryOfLeadingEmptyEntry) {
  // An empty first entry leaves the raw query empty, so the next one starts it afresh.
  testing::ControlService server;
  CommandRequest seen;
  server.interpreter.Commands().Add("/phone/", "X",
                                    [&](const CommandRequest& r, std::string&) { seen = r; });
  Interpret(server, "/phone/", {"", "Action=X"});
  EXPECT_EQ(seen.raw_query, "Action=X");
}

TEST(Interpreter, NoParametersLogsThreeLinesWhateverTheCheckBox) {
  for (bool ticked : {false, true}) {
    testing::ControlService server;
    server.window.ckLogHTTPRequest = ticked;
    ControlRequest request{{}, "10.1.2.3", "/phone/"};
    std::string reply = "stale";
    server.interpreter.AnalizzaParametri(request, reply);
    EXPECT_EQ(reply, "");
    EXPECT_THAT(server.status.memoLogs(),
                ElementsAre("-----------------", "Nessun parametro. IP: 10.1.2.3", "/phone/"));
  }
}

TEST(Interpreter, DetailedLogWhenTicked) {
  testing::ControlService server;
  server.window.ckLogHTTPRequest = true;
  EXPECT_EQ(Interpret(server, "/phone/", {"Action=GETSTATUS"}), kInitialStatus);
  EXPECT_THAT(server.status.memoLogs(),
              ElementsAre("-----------------", "/phone/", "Client: 127.0.0.1", "Action=GETSTATUS",
                          "Parametro: *Action*", "Valore:    *GETSTATUS*"));
}

TEST(Interpreter, DetailedLogOfUnknownAndShortEntries) {
  testing::ControlService server;
  server.window.ckLogHTTPRequest = true;
  Interpret(server, "/x", {"ab", "Foo=bar=baz"});
  EXPECT_THAT(
      server.status.memoLogs(),
      ElementsAre("-----------------", "/x", "Client: 127.0.0.1", "ab", "Parametro: *ab*",
                  "Valore:    **", "Foo=bar=baz", "Parametro: *Foo=ba*", "Valore:    *=baz*"));
}

TEST(Interpreter, FailureInsideCommandPassesThroughAfterItsEffects) {
  testing::ControlService server;
  server.interpreter.Commands().Add("/phone/", "BOOM",
                                    [&](const CommandRequest&, std::string& reply) {
                                      reply = "partial";
                                      server.status.SetHold(true);
                                      throw std::runtime_error("component refused");
                                    });
  ControlRequest request{{"Action=BOOM"}, "127.0.0.1", "/phone/"};
  std::string reply;
  EXPECT_THROW(server.interpreter.AnalizzaParametri(request, reply), std::runtime_error);
  EXPECT_TRUE(server.status.Record().Hold);
}

TEST(Interpreter, StatusReplyCarriesCurrentValuesEscaped) {
  testing::ControlService server;
  server.status.AggiornaStato(LineState::kInCall, CallState::kCallIn, "", "\"id\"<sip:a@b>");
  server.status.SetRec(true);
  const std::string r = Interpret(server, "/phone/", {"Action=GETSTATUS"});
  EXPECT_NE(r.find("\"Stato\": \"INCALL\", "), std::string::npos);
  EXPECT_NE(r.find("\"ChiamataNumero\": \"\\\"id\\\"\\u003csip:a@b\\u003e\", "), std::string::npos);
  EXPECT_NE(r.find("\"Rec\": \"1\", "), std::string::npos);
}

}  // namespace
}  // namespace velnaro
