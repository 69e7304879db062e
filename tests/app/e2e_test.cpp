// The real program, offscreen, against the lab in a network namespace of its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "lab_harness.h"

namespace velnaro::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class EndToEnd : public LabFixture {};

class Running : public LabFixture {
 protected:
  void SetUp() override {
    LabFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    StartProvisioning();
    StartSip();
    StartAgent("http://127.0.0.1:8088/oService", agent_, "agent.log", AgentEnv());
    ASSERT_TRUE(WaitForStatus("ONLINE", "", 20000)) << Status() << agent_.Output();
  }
  void TearDown() override {
    if (agent_.Running()) {
      // SIGTERM: a clean end without questions.
      int rc = agent_.Stop(10000);
      EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << "exit status " << rc;
    } else if (!IsSkipped()) {
      ADD_FAILURE() << "the agent is gone, wait status " << agent_.Stop() << "\n"
                    << agent_.Output();
    }
    LabFixture::TearDown();
  }
  void CallAnswered() {
    std::string reply = HttpGet(9090, "/phone/?Action=CALL&Prefix=0&Number=55");
    EXPECT_THAT(reply, HasSubstr("\"Status\":    \"CALLING\""));
    ASSERT_TRUE(WaitForStatus("INCALL", "ANSWERE", 15000)) << Status();
  }
  int AgentSipPort() {
    int sip_port = 0;
    for (int p : UdpPortsOf(agent_.pid()))
      if (p >= 5070 && p <= 6999) sip_port = p;
    return sip_port;
  }
  Child agent_;
};

TEST_F(Running, StartUpReachesOnlineAndShowsTheButton) {
  EXPECT_THAT(agent_.Output(), HasSubstr("frmMainPhone: tsStatus steps=GGGG browser=1"));
  std::string post = ReadWholeFile(dir_ + "/prov-state/last_body.txt");
  EXPECT_THAT(post, HasSubstr("SOFTWARE.START"));
}

TEST_F(Running, OutgoingCallIsAnswered) {
  CallAnswered();
  std::string status = Status();
  EXPECT_EQ(Field(status, "ChiamataPrefix"), "0");
  EXPECT_EQ(Field(status, "ChiamataNumero"), "55");
  EXPECT_THAT(SipMessages(), HasSubstr("INVITE sip:055@127.0.0.1"));
}

TEST_F(Running, HangUpReturnsToIdle) {
  CallAnswered();
  EXPECT_THAT(HttpGet(9090, "/phone/?Action=HANGUP"), HasSubstr("\"HANGUP\""));
  EXPECT_TRUE(WaitForStatus("IDLE", "HANGUP", 10000)) << Status();
}

// What the operator's web page does through a whole call, recording included.
TEST_F(Running, WholeCallWithRecordingUploaded) {
  std::string uploads = dir_ + "/uploads";
  Child receiver({Source("tools/lab/upload/start"), "80"}, {{"VELNARO_UPLOAD_DIR", uploads}},
                 dir_ + "/upload.log");
  ASSERT_TRUE(WaitUntil([] { return !HttpGet(80, "/", 500).empty(); }, 5000));
  CallAnswered();

  EXPECT_THAT(HttpGet(9090, "/phone/?Action=HOLD"), HasSubstr("\"HOLD\""));
  EXPECT_EQ(Field(Status(), "Hold"), "1");
  EXPECT_THAT(HttpGet(9090, "/phone/?Action=UNHOLD"), HasSubstr("\"UNHOLD\""));
  EXPECT_EQ(Field(Status(), "Hold"), "0");
  EXPECT_THAT(HttpGet(9090, "/phone/?Action=DTMF&Number=12"), HasSubstr("\"DTMF\""));
  EXPECT_THAT(HttpGet(9090, "/phone/?Action=MUTE"), HasSubstr("\"MUTE\""));
  EXPECT_EQ(Field(Status(), "Mute"), "1");
  EXPECT_THAT(HttpGet(9090, "/phone/?Action=UNMUTE"), HasSubstr("\"UNMUTE\""));

  EXPECT_THAT(HttpGet(9090, "/phone/?Action=RECSTART"), HasSubstr("\"RECSTART\""));
  EXPECT_EQ(Field(Status(), "Rec"), "1");
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_THAT(HttpGet(9090, "/phone/?Action=RECSTOP&CallID=e2e-1", 30000),
              HasSubstr("\"RECSTOP\""));
  EXPECT_EQ(Field(Status(), "Rec"), "0");
  // The recording reached the telephone system's server with the request's query.
  bool uploaded = false;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(uploads, ec)) {
    std::string meta = ReadWholeFile(entry.path().string() + "/meta.json");
    if (meta.find("e2e-1") != std::string::npos &&
        std::filesystem::file_size(entry.path() / "Allegato", ec) > 44)
      uploaded = true;
  }
  EXPECT_TRUE(uploaded) << ReadWholeFile(dir_ + "/upload.log");

  EXPECT_THAT(HttpGet(9090, "/phone/?Action=HANGUP"), HasSubstr("\"HANGUP\""));
  EXPECT_TRUE(WaitForStatus("IDLE", "HANGUP", 10000)) << Status();
}

// An audio phone in a call maps neither the media library's system plugins (a video
// display among them) nor a second Qt.
TEST_F(Running, ACallMapsNoMediaPluginAndNoOtherQt) {
  CallAnswered();
  const std::string maps = ReadWholeFile("/proc/" + std::to_string(agent_.pid()) + "/maps");
  ASSERT_THAT(maps, HasSubstr("libQt6Core"));
  EXPECT_THAT(maps, Not(HasSubstr("libQt5")));
  EXPECT_THAT(maps, Not(HasSubstr("/mediastreamer/plugins/")));
}

TEST_F(Running, IncomingCallIsAnsweredAtOnce) {
  int sip_port = AgentSipPort();
  ASSERT_NE(sip_port, 0);
  Child caller({"sipp", "-sf", Source("tests/telephony/sipp/uac_invite.xml"),
                "127.0.0.1:" + std::to_string(sip_port), "-i", "127.0.0.1", "-p", "5062",
                "-mi", "127.0.0.1", "-mp", "6200", "-key", "rtpport", "6300", "-s", "1001",
                "-m", "1", "-d", "1500", "-cid_str", "velnaro-e2e-%u@sipp", "-nostdin",
                "-timeout", "30"},
               {}, dir_ + "/caller.log");
  // Answered: the component's last ringing event may follow the answer.
  std::string seen;
  ASSERT_TRUE(WaitUntil(
      [&] {
        seen = Status();
        std::string cs = Field(seen, "ChiamataStato");
        return Field(seen, "Stato") == "INCALL" && (cs == "ANSWERE" || cs == "RINGINGSTOP");
      },
      10000))
      << seen;
  EXPECT_EQ(Field(seen, "ChiamataNumero"), "velnaro-e2e-1@sipp");
  // The caller saw its call answered and ended it itself (sipp: one successful call).
  int caller_status = caller.Wait(15000);
  EXPECT_TRUE(WIFEXITED(caller_status) && WEXITSTATUS(caller_status) == 0) << caller.Output();
  // The caller hung up: the line is idle again.
  EXPECT_TRUE(WaitForStatus("IDLE", "", 10000)) << Status();
}

// At login the network comes up after the agent: the error page shows, the request is
// tried again in the background, and once the service is there the phone goes online.
TEST_F(EndToEnd, ProvisioningDownShowsConnectionErrorThenRetriesUntilOnline) {
  Child agent;
  StartAgent("http://127.0.0.1:8088/oService", agent, "agent.log", AgentEnv());
  ASSERT_TRUE(WaitUntil(
      [&] { return agent.Output().find("lblErrorDS=Problema di connessione") != std::string::npos; },
      15000))
      << agent.Output();
  EXPECT_THAT(agent.Output(), HasSubstr("frmMainPhone: tsError steps=R--- browser=0"));
  // The control service answers all the same, with the initial record.
  std::string status = Status();
  EXPECT_EQ(Field(status, "Stato"), "");
  EXPECT_EQ(Field(status, "Rec"), "0");

  StartProvisioning();
  StartSip();
  EXPECT_TRUE(WaitForStatus("ONLINE", "", 40000)) << Status() << agent.Output();
  EXPECT_THAT(agent.Output(), HasSubstr("frmMainPhone: tsStatus steps=GGGG browser=1"));
  int rc = agent.Stop(10000);
  EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0);
}

TEST_F(EndToEnd, ErrorReplyAndUpdateOffer) {
  StartProvisioning();
  {
    Child agent;
    // Qt's own options first: the address is still the first parameter of the program.
    StartAgent("http://127.0.0.1:8088/oService?reply=error", agent, "agent-error.log", AgentEnv(),
               {"-platform", "offscreen"});
    EXPECT_TRUE(WaitUntil(
        [&] { return agent.Output().find("lblErrorDS=Postazione non abilitata") != std::string::npos; },
        15000))
        << agent.Output();
  }
  Child agent;
  StartAgent("http://127.0.0.1:8088/oService?reply=update", agent, "agent-update.log", AgentEnv());
  EXPECT_TRUE(WaitUntil(
      [&] {
        return agent.Output().find("tsUpdate steps=GGG- browser=0 btnUpdateOK=Procedi con "
                                   "l'aggiornamento btnUpdateKO=Continua a lavorare") !=
               std::string::npos;
      },
      15000))
      << agent.Output();
}

TEST_F(EndToEnd, SecondStartRestoresTheFirstAndLeaves) {
  StartProvisioning();
  Child first;
  StartAgent("http://127.0.0.1:8088/oService", first, "first.log", AgentEnv());
  ASSERT_TRUE(WaitUntil([&] { return first.Output().find("steps=GG") != std::string::npos; }, 15000))
      << first.Output();
  std::string requests_before = ReadWholeFile(dir_ + "/prov-state/requests.log");

  Child second;
  StartAgent("http://127.0.0.1:8088/oService", second, "second.log", AgentEnv());
  int rc = second.Wait(10000);
  ASSERT_NE(rc, -1) << "the second copy did not leave";
  EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0);
  EXPECT_THAT(second.Output(), HasSubstr("Il programma risulta già aperto.."));
  EXPECT_TRUE(WaitUntil([&] { return first.Output().find("frmMainPhone: restore") != std::string::npos; },
                        5000));
  // The second copy never asked the service.
  EXPECT_EQ(ReadWholeFile(dir_ + "/prov-state/requests.log"), requests_before);
  EXPECT_TRUE(first.Running());
}

// A whole working session as support would read it afterwards: every diagnostic window's
// lines, the start-up and the SIP library are there, the account's password is not.
TEST_F(EndToEnd, SupportLogOfAWholeRunHoldsNoPassword) {
  StartProvisioning();
  StartSip();
  Child receiver({Source("tools/lab/upload/start"), "80"}, {{"VELNARO_UPLOAD_DIR", dir_ + "/up"}},
                 dir_ + "/upload.log");
  Child agent;
  StartAgent("http://127.0.0.1:8088/oService", agent, "agent.log", AgentEnv());
  ASSERT_TRUE(WaitForStatus("ONLINE", "", 20000)) << Status() << agent.Output();
  EXPECT_THAT(HttpGet(9090, "/phone/?Action=CALL&Prefix=0&Number=55"), HasSubstr("CALLING"));
  EXPECT_TRUE(WaitForStatus("INCALL", "ANSWERE", 15000)) << Status();
  HttpGet(9090, "/phone/?Action=RECSTART");
  HttpGet(9090, "/phone/?Action=RECSTOP&CallID=log-1", 30000);
  HttpGet(9090, "/phone/?Action=HANGUP");
  EXPECT_TRUE(WaitForStatus("IDLE", "", 10000)) << Status();
  HttpGet(9090, "/");
  int rc = agent.Stop(10000);
  EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << rc;

  std::string log;
  std::string folder = dir_ + "/home/.local/state/velnaro-ds";
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.is_regular_file()) log += ReadWholeFile(entry.path());  // the log and its older files
  EXPECT_THAT(log, HasSubstr("] startup: Velnaro DS - 4.00.002 starts\n"));
  EXPECT_THAT(log, HasSubstr("] startup: step 3 ok: Abilito parte telefonica\n"));
  EXPECT_THAT(log, HasSubstr("] interfaces:  \"IPAddress\": \"127.0.0.1\",\n"));
  EXPECT_THAT(log, HasSubstr(" - Telefono On-Line\n"));          // the phone's window
  EXPECT_THAT(log, HasSubstr("] service: phone/CALL: 0 55\n"));  // the control service's
  EXPECT_THAT(log, HasSubstr("] service: Nessun parametro. IP: 127.0.0.1\n"));
  EXPECT_THAT(log, HasSubstr("[warning] sip: "));
  EXPECT_THAT(log, HasSubstr("] startup: stopped by a signal: the program ends\n"));
  // The account's password, as the lab's service hands it out, appears nowhere.
  EXPECT_THAT(ReadWholeFile(Source("tools/lab/provisioning/replies/default.json")),
              HasSubstr("\"SipPassword\": \"secret1001\""));
  EXPECT_THAT(log, Not(HasSubstr("secret1001")));
}

// Without a parameter the workstation's settings file names the service and the port; a
// key it does not know is reported and the start goes on.
TEST_F(EndToEnd, SettingsFileNamesServiceAndPort) {
  StartProvisioning();
  std::string conf = dir_ + "/velnaro-ds.conf";
  std::ofstream(conf) << "ServiceURL = http://127.0.0.1:8088/oService?reply=error\n"
                         "ControlPort = 9191\n"
                         "RingTone = loud\n";
  std::map<std::string, std::string> env = AgentEnv();
  env["VELNARO_CONFIG_FILE"] = conf;
  Child agent({Program()}, env, dir_ + "/agent.log");
  EXPECT_TRUE(WaitUntil(
      [&] { return agent.Output().find("lblErrorDS=Postazione non abilitata") != std::string::npos; },
      15000))
      << agent.Output();
  EXPECT_EQ(Field(HttpGet(9191, "/phone/?Action=GETSTATUS"), "Rec"), "0");
  EXPECT_THAT(agent.Output(), HasSubstr(conf + ":3: unknown key \"RingTone\" is ignored"));
}

TEST_F(EndToEnd, PortConflictEndsBeforeTheMainWindow) {
  // Another program holds 9090.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(9090);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(fd, 1), 0);
  StartProvisioning();
  Child agent;
  StartAgent("http://127.0.0.1:8088/oService", agent, "agent.log", AgentEnv());
  int rc = agent.Wait(15000);
  close(fd);
  ASSERT_NE(rc, -1);
  EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) != 0);
  EXPECT_THAT(agent.Output(), HasSubstr("Could not bind socket. Address and port are already in use."));
  EXPECT_THAT(agent.Output(), ::testing::Not(HasSubstr("frmMainPhone:")));
  EXPECT_EQ(ReadWholeFile(dir_ + "/prov-state/requests.log").find("oService"), std::string::npos);
}

}  // namespace
}  // namespace velnaro::testing

namespace velnaro::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class Browser : public LabFixture {
 protected:
  // Loads the console page from its own origin and returns the DOM after a few polls.
  std::string LoadConsole(const std::string& query) {
    return LoadPage("http://127.0.0.1:8090/" + query);
  }
  // A headless browser that dies before dumping (seen on loaded CI machines) is started
  // again.
  std::string LoadPage(const std::string& url) {
    std::string output;
    for (int attempt = 0; attempt < 3; ++attempt) {
      std::string profile = dir_ + "/chromium-" + std::to_string(++loads_);
      Child chromium({"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
                      "--disable-dev-shm-usage", "--disable-quic",
                      "--disable-background-networking", "--disable-component-update",
                      "--disable-sync", "--no-first-run", "--user-data-dir=" + profile,
                      "--virtual-time-budget=4000", "--dump-dom", url},
                     {{"HOME", dir_ + "/home"}}, dir_ + "/dom-" + std::to_string(loads_) + ".html");
      if (chromium.Wait(60000) == -1) {
        chromium.Stop();
        continue;
      }
      output = chromium.Output();
      if (output.find("</html>") != std::string::npos) return output;
    }
    return output;
  }
  int loads_ = 0;
};

TEST_F(Browser, ConsolePlacesACallAndReadsStatusAcrossOrigins) {
  if (access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "chromium is not installed";
  StartProvisioning();
  StartSip();
  Child agent;
  StartAgent("http://127.0.0.1:8088/oService", agent, "agent.log", AgentEnv());
  Child console({Source("tools/lab/console/start"), "8090"}, {},
                dir_ + "/console.log");
  ASSERT_TRUE(WaitForStatus("ONLINE", "", 20000)) << Status();
  ASSERT_TRUE(WaitUntil([] { return !HttpGet(8090, "/", 500).empty(); }, 5000));

  std::string dom = LoadConsole("?poll&click=btnCALL");
  EXPECT_THAT(dom, HasSubstr("class=\"up\">collegato"));
  EXPECT_THAT(dom, HasSubstr("\"Status\":    \"CALLING\""));  // the CALL reply, read cross-origin
  EXPECT_THAT(dom, HasSubstr("<td id=\"Stato\">INCALL</td>"));
  EXPECT_THAT(SipMessages(), HasSubstr("INVITE sip:55@127.0.0.1"));

  ASSERT_TRUE(WaitForStatus("INCALL", "ANSWERE", 15000)) << Status();
  dom = LoadConsole("?poll");
  EXPECT_THAT(dom, HasSubstr("<td id=\"ChiamataStato\">ANSWERE</td>"));
  EXPECT_THAT(dom, HasSubstr("<td id=\"ChiamataNumero\">55</td>"));
}

// The hardened profile in a real browser: the web application's own page reads the status
// and mutes; a page of another origin gets neither done, by fetch or by an image.
TEST_F(Browser, HardenedProfileLetsOnlyTheWebApplicationDriveTheAgent) {
  if (access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "chromium is not installed";
  StartProvisioning();
  StartSip();
  auto env = AgentEnv();
  env["VELNARO_HARDENING"] = "1";
  Child agent;
  StartAgent("http://127.0.0.1:8088/oService", agent, "agent.log", env);
  // The provisioned web application lives at 127.0.0.1:8080.
  Child webapp({Source("tools/lab/console/start"), "8080"}, {}, dir_ + "/webapp.log");
  Child other_site({"php", "-S", "127.0.0.1:8090", "-t", Source("tests/app/pages")}, {},
                   dir_ + "/other-site.log");
  ASSERT_TRUE(WaitForStatus("ONLINE", "", 20000)) << Status();
  ASSERT_TRUE(WaitUntil([] { return !HttpGet(8080, "/", 500).empty(); }, 5000));
  ASSERT_TRUE(WaitUntil([] { return !HttpGet(8090, "/other_site.html", 500).empty(); }, 5000));

  std::string dom = LoadPage("http://127.0.0.1:8090/other_site.html");
  // Both requests reached the agent (the blind one came back) and neither was let through.
  EXPECT_THAT(dom, HasSubstr("\"read\":\"failed: TypeError\""));
  EXPECT_THAT(dom, HasSubstr("\"fetch\":\"failed: TypeError\""));
  EXPECT_THAT(dom, HasSubstr("\"blind\":\"answered\""));
  EXPECT_THAT(dom, HasSubstr("\"img\":\"error\""));
  EXPECT_EQ(Field(Status(), "Mute"), "0");

  dom = LoadPage("http://127.0.0.1:8080/velnaro/?poll&click=btnMUTE");
  EXPECT_THAT(dom, HasSubstr("<td id=\"Stato\">ONLINE</td>"));
  EXPECT_THAT(dom, HasSubstr("<td id=\"Mute\">1</td>"));
  EXPECT_EQ(Field(Status(), "Mute"), "1");
  int rc = agent.Stop(10000);
  EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0);
}

TEST_F(Browser, APageOnAnotherOriginFollowsTheCallThroughTheEventStream) {
  if (access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "chromium is not installed";
  StartProvisioning();
  StartSip();
  Child agent;
  StartAgent("http://127.0.0.1:8088/oService", agent, "agent.log", AgentEnv());
  Child pages({"php", "-S", "127.0.0.1:8090", "-t", Source("tests/app/pages")}, {},
              dir_ + "/pages.log");
  ASSERT_TRUE(WaitForStatus("ONLINE", "", 20000)) << Status();
  ASSERT_TRUE(WaitUntil([] { return !HttpGet(8090, "/event_stream.html", 500).empty(); }, 5000));

  // Without --dump-dom the browser keeps the page, and its stream, open until stopped.
  Child chromium({"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
                  "--disable-dev-shm-usage", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync", "--no-first-run",
                  "--user-data-dir=" + dir_ + "/chromium-events",
                  "http://127.0.0.1:8090/event_stream.html"},
                 {{"HOME", dir_ + "/home"}}, dir_ + "/chromium-events.log");
  EXPECT_TRUE(WaitUntil([this] { return Field(Status(), "Mute") == "1"; }, 30000)) << Status();
  EXPECT_EQ(Field(Status(), "ChiamataStato"), "ANSWERE");
  EXPECT_THAT(SipMessages(), HasSubstr("INVITE sip:55@127.0.0.1"));
  chromium.Stop();
}

// Browsers let a public site reach this workstation only with a permission. The lab's console
// stands in for one (https and http) before the hardened agent, whose control service suffices.
class PublicSite : public LabFixture {
 protected:
  const std::string https_ = "https://crm.example.test:8443", http_ = "http://crm.example.test:8090";
  void SetUp() override {
    LabFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    const std::string conf = dir_ + "/root/etc/velnaro-ds/velnaro-ds.conf";
    std::filesystem::create_directories(dir_ + "/root/etc/velnaro-ds");
    std::ofstream(conf) << "Hardening = true\nAllowedOrigins = " << https_ << " " << http_;
    auto env = AgentEnv();
    env["VELNARO_CONFIG_FILE"] = conf;
    StartAgent("http://127.0.0.1:8088/oService", agent_, "agent.log", env);
    console_.Start({Source("tools/lab/console/start"), "8090", "8443"},
                   {{"VELNARO_LAB_DIR", dir_}}, dir_ + "/console.log");
    ASSERT_TRUE(WaitUntil([] { return CanConnect(9090) && CanConnect(8443) && CanConnect(8090); },
                          20000));
  }
  // Written into the test's root, whose etc the browsers then see.
  void InstallPolicies() {
    Child writer({Program(), "--write-browser-policies", "--root", dir_ + "/root"},
                 {{"VELNARO_CONFIG_FILE", ""}}, dir_ + "/policies.log");
    ASSERT_EQ(writer.Wait(10000), 0) << writer.Output();
    root_ = dir_ + "/root";
  }
  void Open(Child& browser, const std::string& which, const std::string& url,
            std::vector<std::string> options = {}) {
    options.insert(options.begin(), {Source("tools/lab/browser"), which, url});
    if (!root_.empty()) options.insert(options.end(), {"--policies", root_});
    browser.Start(options, {{"HOME", dir_ + "/home"}, {"VELNARO_LAB_DIR", dir_}},
                  dir_ + "/" + which + "-" + std::to_string(++opened_) + ".log");
  }
  std::string Page(const std::string& url) {
    Child chromium;
    Open(chromium, "chromium", url, {"--dump"});
    return chromium.Wait(200000), chromium.Output();
  }
  bool MuteBecomes(const std::string& value, int ms = 30000) {
    return WaitUntil([&] { return Field(Status(), "Mute") == value; }, ms);
  }
  std::string root_;
  int opened_ = 0;
  Child agent_, console_;
};

TEST_F(PublicSite, ChromiumLetsTheListedOriginsInWithTheWrittenPolicies) {
  if (access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "chromium is not installed";
  const std::string blocked = "Il browser blocca l'accesso al telefono: chiedere "
                              "all'amministratore di abilitare ";
  // Without the policies nothing reaches the agent, and the console says what to ask for.
  for (const std::string& site : {https_, http_})
    EXPECT_THAT(Page(site + "/?poll&click=btnMUTE"), HasSubstr(blocked + site));
  InstallPolicies();
  for (const std::string& site : {https_, http_}) {
    EXPECT_THAT(Page(site + "/?poll&click=btnMUTE"), HasSubstr("<td id=\"Mute\">1</td>"));
    Child stream;  // presses UNMUTE on the stream's first event
    Open(stream, "chromium", site + "/?click=btnUNMUTE");
    EXPECT_TRUE(MuteBecomes("0")) << site;
  }
  const std::string other = "https://other.example.test:8443";
  EXPECT_THAT(Page(other + "/?poll&click=btnMUTE"), HasSubstr(blocked + other));
}

// The administrator's own Firefox policy, trust in the lab's authority, stays in force.
TEST_F(PublicSite, FirefoxLetsTheListedOriginsInWithTheMergedPolicies) {
  if (access("/usr/bin/firefox-esr", X_OK) != 0) GTEST_SKIP() << "firefox-esr is not installed";
  std::filesystem::create_directories(dir_ + "/root/etc/firefox/policies");
  std::ofstream(dir_ + "/root/etc/firefox/policies/policies.json")
      << R"({"policies": {"Certificates": {"Install": [")" << dir_ << R"(/console-ca.pem"]}}})";
  root_ = dir_ + "/root";
  Child waiting;  // for a permission nobody gives, once the page is there
  Open(waiting, "firefox", https_ + "/?click=btnMUTE");
  ASSERT_TRUE(WaitUntil([&] { return console_.Output().find("/?click") != std::string::npos; },
                        30000));
  EXPECT_FALSE(MuteBecomes("1", 8000));
  waiting.Stop();
  InstallPolicies();
  Child streamed, polled;
  Open(streamed, "firefox", https_ + "/?click=btnMUTE");
  EXPECT_TRUE(MuteBecomes("1"));
  Open(polled, "firefox", http_ + "/?poll&click=btnUNMUTE");
  EXPECT_TRUE(MuteBecomes("0"));
}

// Screenshots of the main window under a virtual X server, one per start-up outcome. They
// stay in the build folder (screenshots/) for people to look at.
class Screens : public LabFixture {
 protected:
  void TearDown() override {
    xvfb_.Stop();
    LabFixture::TearDown();
  }
  void StartX() {
    for (int n = 90; n < 200; ++n) {
      std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
      std::string sock = "/tmp/.X11-unix/X" + std::to_string(n);
      if (access(lock.c_str(), F_OK) == 0 || access(sock.c_str(), F_OK) == 0) continue;
      display_ = ":" + std::to_string(n);
      xvfb_.Start({"Xvfb", display_, "-screen", "0", "800x700x24", "-nolisten", "tcp"}, {},
                  dir_ + "/xvfb.log");
      if (WaitUntil([&] { return access(sock.c_str(), F_OK) == 0; }, 5000)) return;
      xvfb_.Stop();
    }
    display_.clear();
  }
  void Shoot(const std::string& service, const std::string& until, const std::string& name) {
    auto env = AgentEnv(false);
    env["DISPLAY"] = display_;
    env["VELNARO_UI_TRACE"] = "1";
    Child agent;
    StartAgent(service, agent, name + ".log", env);
    ASSERT_TRUE(WaitUntil([&] { return agent.Output().find(until) != std::string::npos; }, 20000))
        << agent.Output();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let it paint
    std::string folder = std::string(VELNARO_BINARY_DIR) + "/screenshots";
    mkdir(folder.c_str(), 0755);
    std::string file = folder + "/main-window-" + name + ".png";
    Child shot({"import", "-display", display_, "-window", "root", file}, {},
               dir_ + "/import-" + name + ".log");
    EXPECT_EQ(shot.Wait(20000), 0) << shot.Output();
    struct stat st {};
    EXPECT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_GT(st.st_size, 1000);
  }
  std::string display_;
  Child xvfb_;
};

// The operator presses "Procedi con l'aggiornamento" on a real X display: the lab's
// installer script is downloaded, runs on its own, and finds the agent gone.
TEST_F(Screens, UpdateButtonRunsTheInstallerAndTheAgentLeaves) {
  if (access("/usr/bin/Xvfb", X_OK) != 0 || access("/usr/bin/xdotool", X_OK) != 0)
    GTEST_SKIP() << "Xvfb or xdotool is not installed";
  StartX();
  ASSERT_FALSE(display_.empty()) << "no free X display";
  StartProvisioning();
  auto env = AgentEnv(false);
  env["DISPLAY"] = display_;
  env["VELNARO_UI_TRACE"] = "1";
  env["VELNARO_LAB_DIR"] = dir_;
  Child agent;
  StartAgent("http://127.0.0.1:8088/oService?reply=update", agent, "agent.log", env);
  ASSERT_TRUE(WaitUntil([&] { return agent.Output().find("tsUpdate") != std::string::npos; },
                        20000))
      << agent.Output();
  const pid_t agent_pid = agent.pid();
  // The button's middle, in the window's own coordinates (there is no window manager).
  Child click({"xdotool", "search", "--sync", "--onlyvisible", "--name", "^Velnaro DS - ",
               "mousemove", "--window", "%1", "177", "361", "click", "1"},
              {{"DISPLAY", display_}}, dir_ + "/xdotool.log");
  EXPECT_EQ(click.Wait(20000), 0) << click.Output();

  int rc = agent.Wait(30000);
  ASSERT_NE(rc, -1) << "the agent did not leave\n" << agent.Output();
  EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << rc;
  std::string installer_log;
  EXPECT_TRUE(WaitUntil(
      [&] {
        installer_log = ReadWholeFile(dir_ + "/installer.log");
        return installer_log.find("has left: update installed") != std::string::npos;
      },
      20000))
      << installer_log;
  EXPECT_THAT(installer_log, HasSubstr("started by " + std::to_string(agent_pid)));
  struct stat st {};
  ASSERT_EQ(stat((dir_ + "/VelnaroDS-setup.sh").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST_F(Screens, EachStartUpOutcome) {
  if (access("/usr/bin/Xvfb", X_OK) != 0 || access("/usr/bin/import", X_OK) != 0)
    GTEST_SKIP() << "Xvfb or ImageMagick import is not installed";
  StartX();
  ASSERT_FALSE(display_.empty()) << "no free X display";
  Shoot("http://127.0.0.1:8088/oService", "tsError steps=R---", "error");
  StartProvisioning();
  StartSip();
  Shoot("http://127.0.0.1:8088/oService", "tsStatus steps=GGGG browser=1", "status");
  Shoot("http://127.0.0.1:8088/oService?reply=update", "tsUpdate", "update");
}

}  // namespace
}  // namespace velnaro::testing
