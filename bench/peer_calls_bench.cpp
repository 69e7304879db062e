// The CPU of one call per codec: the agent on the virtual sound card calls baresip through
// kamailio on 127.0.0.1, and the same seconds of the far end's CPU are measured beside it
// as the reference (it sends and receives the same stream).
//   bench_peer_calls [seconds-per-call]

#include <sys/resource.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "telephony/real_peers.h"

using namespace velnaro;

namespace {

double SelfCpu() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// utime + stime of another process, in seconds.
double ProcessCpu(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), {});
  std::istringstream fields(all.substr(all.rfind(')') + 2));
  std::string f;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i)
    if (i >= 14) ticks += std::stod(f);
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Figures {
  double agent = -1, far_end = -1;  // per cent of one core
};

Figures OneCall(const std::string& dir, const std::string& codec, const std::string& far_codec,
                int seconds) {
  const test::SipAccount op{"1001", "s1"}, far{"1002", "s2"};
  test::SipProxy proxy(dir, {op, far});
  test::Softphone softphone(dir, proxy, far, 1000, {far_codec, ""});
  if (!proxy.ok() || !softphone.ok() || !softphone.WaitRegistered()) return {};
  test::TestSound sound(2200);
  LinphoneAgentOptions o;
  o.state_dir = dir + "/state";
  o.force_virtual_sound = true;
  o.signalling.codecs = {codec};
  auto agent = MakeLinphoneSipUserAgent(o);
  test::EventLog log(agent.get());
  agent->SetEventSink(&log);
  const int port = test::FreePortPair();
  agent->Initialize(false, "127.0.0.1", port, "1001 <sip:1001@" + proxy.host() + ">", "",
                    proxy.host(), op.user, op.password, true, 7);
  agent->OpenLine(0, false, "127.0.0.1", test::FreePortPair());
  agent->Register(3600);
  if (!log.WaitFor("SuccessToRegister") || !agent->PlaceCall(0, softphone.uri(), 0, 0) ||
      !softphone.WaitFor("CALL_ESTABLISHED"))
    return {};
  std::this_thread::sleep_for(std::chrono::seconds(1));  // past the call's set-up
  const double a0 = SelfCpu(), f0 = ProcessCpu(softphone.pid());
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  Figures out{100 * (SelfCpu() - a0) / seconds, 100 * (ProcessCpu(softphone.pid()) - f0) / seconds};
  agent->EndCall(0);
  log.WaitFor("Disconnect 0", 3000);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
  char tmpl[] = "/tmp/velnaro-bench-peers-XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  int status = 0;
  for (const auto& [codec, far] : {std::pair{"opus", "opus/48000/2"}, {"pcma", "PCMA"}}) {
    const Figures f = OneCall(std::string(tmpl) + "/" + codec, codec, far, seconds);
    if (f.agent < 0) {
      std::printf("%s call: no call\n", codec);
      status = 1;
      continue;
    }
    std::printf("%s call: agent %.1f%% of a core, far end (baresip, reference) %.1f%%\n", codec,
                f.agent, f.far_end);
  }
  std::filesystem::remove_all(tmpl);
  return status;
}
