#pragma once
// End-to-end harness: a network namespace of the test's own (so the fixed ports 9090,
// 8088, 5060 are private to it; the single-instance guard is in its runtime folder), the lab's stand-ins and the
// real program, each a child process with its output in the test's folder.

#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/test_support.h"

namespace velnaro::testing {

// One request per connection, as the control service serves them. Empty on failure.
inline std::string HttpGet(int port, const std::string& target, int timeout_ms = 5000) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {};
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string all;
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    std::string req = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (write(fd, req.data(), req.size()) == static_cast<ssize_t>(req.size())) {
      char buf[4096];
      ssize_t n;
      while ((n = read(fd, buf, sizeof buf)) > 0) all.append(buf, static_cast<size_t>(n));
    }
  }
  close(fd);
  size_t body = all.find("\r\n\r\n");
  return body == std::string::npos ? std::string() : all.substr(body + 4);
}

// UDP ports the process holds open (from /proc), for finding the SIP port it chose.
inline std::vector<int> UdpPortsOf(pid_t pid) {
  std::vector<std::string> inodes;
  std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
  if (DIR* d = opendir(fd_dir.c_str())) {
    while (dirent* e = readdir(d)) {
      char target[128] = {};
      std::string link = fd_dir + "/" + e->d_name;
      ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
      if (n > 0 && std::strncmp(target, "socket:[", 8) == 0)
        inodes.emplace_back(target + 8, target + n - 1);
    }
    closedir(d);
  }
  std::vector<int> ports;
  std::istringstream udp(ReadWholeFile("/proc/net/udp"));
  std::string line;
  std::getline(udp, line);
  while (std::getline(udp, line)) {
    std::istringstream f(line);
    std::string sl, local, rem, st, q, tr, rt, uid, to, inode;
    f >> sl >> local >> rem >> st >> q >> tr >> rt >> uid >> to >> inode;
    for (const auto& i : inodes) {
      if (i == inode) ports.push_back(std::stoi(local.substr(local.find(':') + 1), nullptr, 16));
    }
  }
  return ports;
}

class LabFixture : public ::testing::Test {
 protected:
  static std::string Source(const std::string& rel) {
    return std::string(VELNARO_SOURCE_DIR) + "/" + rel;
  }
  static std::string Program() { return std::string(VELNARO_BINARY_DIR) + "/src/app/velnaro-ds"; }

  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a network namespace of its own";
    if (unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "cannot make a network namespace";
    if (std::system("ip link set lo up") != 0) GTEST_SKIP() << "cannot bring up loopback";
    char tmpl[] = "/tmp/velnaro-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    mkdir((dir_ + "/run").c_str(), 0700);
    mkdir((dir_ + "/home").c_str(), 0700);
  }

  void TearDown() override {
    provisioning_.Stop();
    sip_.Stop();
    if (dir_.empty()) return;
    if (HasFailure())
      std::fprintf(stderr, "lab files kept in %s\n", dir_.c_str());
    else
      std::filesystem::remove_all(dir_);
  }

  void StartProvisioning() {
    provisioning_.Start({"php", "-S", "127.0.0.1:8088", Source("tools/lab/provisioning/router.php")},
                        {{"VELNARO_LAB_STATE", dir_ + "/prov-state"}}, dir_ + "/provisioning.log");
    ASSERT_TRUE(WaitUntil([] { return !HttpGet(8088, "/status/200", 500).empty(); }, 5000));
  }

  // The lab's SIP server when there is one, else a registrar scenario of the phone's tests.
  void StartSip() {
    std::string lab = Source("tools/lab/sip/start");
    if (access(lab.c_str(), X_OK) == 0) {
      sip_messages_ = dir_ + "/sip-messages.log";
      sip_.Start({lab, "5060"}, {{"VELNARO_LAB_DIR", dir_}}, dir_ + "/sipp.log");
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      return;
    }
    sip_messages_ = dir_ + "/sipp-messages.log";
    sip_.Start({"sipp", "-sf", Source("tests/telephony/sipp/registrar_uas.xml"), "-i", "127.0.0.1",
                "-p", "5060", "-mi", "127.0.0.1", "-mp", "6000", "-key", "rtpport", "6100",
                "-nostdin", "-aa", "-trace_msg", "-message_file", dir_ + "/sipp-messages.log",
                "-timeout", "300"},
               {}, dir_ + "/sipp.log");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }

  std::map<std::string, std::string> AgentEnv(bool headless = true) {
    std::map<std::string, std::string> env = {
        {"HOME", dir_ + "/home"},           {"XDG_CONFIG_HOME", dir_ + "/home/.config"},
        {"TEMP", dir_},                     {"XDG_RUNTIME_DIR", dir_ + "/run"},
        {"VELNARO_VIRTUAL_SOUND", "1"},     {"VELNARO_OPENER", "/bin/true"},
        {"VELNARO_CONTROL_PORT", ""},
        // The support log goes to the test's home: ~/.local/state/velnaro-ds.
        {"XDG_STATE_HOME", ""},
        // Whatever the machine's own settings file says stays out of the tests.
        {"VELNARO_CONFIG_FILE", "/dev/null"},
    };
    if (headless) {
      env["QT_QPA_PLATFORM"] = "offscreen";
      env["DISPLAY"] = "";
    }
    return env;
  }

  // qt_options go before the provisioning address, as an operator may put them.
  void StartAgent(const std::string& service, Child& agent, const std::string& log,
                  std::map<std::string, std::string> env,
                  const std::vector<std::string>& qt_options = {}) {
    std::vector<std::string> args{Program()};
    args.insert(args.end(), qt_options.begin(), qt_options.end());
    args.push_back(service);
    agent.Start(args, env, dir_ + "/" + log);
  }

  std::string Status() { return HttpGet(9090, "/phone/?Action=GETSTATUS"); }
  bool WaitForStatus(const std::string& stato, const std::string& chiamata, int ms) {
    return WaitUntil(
        [&] {
          std::string r = Status();
          return Field(r, "Stato") == stato && (chiamata.empty() || Field(r, "ChiamataStato") == chiamata);
        },
        ms);
  }

  std::string SipMessages() const { return ReadWholeFile(sip_messages_); }

  std::string dir_;
  std::string sip_messages_;
  Child provisioning_, sip_;
};

}  // namespace velnaro::testing
