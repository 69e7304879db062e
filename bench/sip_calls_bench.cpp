// Registers with a sipp registrar on 127.0.0.1, then places sequential calls that the far
// end answers at once and ends after a second. Prints the time from the CALL command's
// steps to the answer event, the process's CPU while idle and in calls, and its memory.

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_box.h"
#include "status/phone_status.h"
#include "telephony/frm_Telefono.h"
#include "telephony/linphone_sip_user_agent.h"

using namespace velnaro;
using Clock = std::chrono::steady_clock;

namespace {

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long StatusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::string(key).size()));
  return 0;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s sipp-port calls [state-dir]\n", argv[0]);
    return 2;
  }
  const std::string proxy = std::string("127.0.0.1:") + argv[1];
  const int calls = std::stoi(argv[2]);
  LinphoneAgentOptions o;
  if (argc > 3) o.state_dir = argv[3];
  o.force_virtual_sound = true;
  auto agent = MakeLinphoneSipUserAgent(o);
  PhoneStatus web;
  HeadlessMessageBox box;
  TfrmTelefono phone(*agent, web, box);

  std::mutex m;
  std::condition_variable cv;
  int answered = 0, ended = 0;
  bool online = false;
  Clock::time_point answered_at;
  phone.SetLogObserver([&](const std::string& line) {
    std::lock_guard lock(m);
    if (line.find("Telefono On-Line") != std::string::npos) online = true;
    if (line.find("Chiamata risposta sulla linea  (0)") != std::string::npos) {
      ++answered;
      answered_at = Clock::now();
    }
    if (line.find("Chiamata disconnessa sulla linea  (0)") != std::string::npos ||
        line.find("Errore") != std::string::npos)
      ++ended;
    cv.notify_all();
  });
  phone.UpdateSettings([&](TfrmTelefono::Settings& s) {
    s.EditLoginId = "1001";
    s.EditLoginPwd = "secret1001";
    s.EditSIPProxy = proxy;
    s.txtIPVPN = "127.0.0.1";
  });

  const auto t_start = Clock::now();
  phone.AttivaTelefono();
  {
    std::unique_lock lock(m);
    if (!cv.wait_for(lock, std::chrono::seconds(10), [&] { return online; })) {
      std::fprintf(stderr, "not registered\n");
      return 1;
    }
  }
  std::printf("start to registered ms %.1f\n", Seconds(Clock::now() - t_start) * 1000);

  // Idle.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  double cpu0 = CpuSeconds();
  auto w0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(5));
  const double idle_cpu = (CpuSeconds() - cpu0) / Seconds(Clock::now() - w0) * 100;
  const long idle_rss = StatusKb("VmRSS:");

  std::vector<double> connect_ms;
  double call_cpu = 0, call_wall = 0;
  int failed = 0;
  for (int i = 0; i < calls; ++i) {
    int want;
    {
      std::lock_guard lock(m);
      want = answered + 1;
    }
    const double c0 = CpuSeconds();
    const auto t0 = Clock::now();
    // What the CALL command does.
    web.AggiornaStato(LineState::kInCall, CallState::kCallOut, "", "2000");
    phone.Dial(kLine1, "2000");
    std::unique_lock lock(m);
    if (!cv.wait_for(lock, std::chrono::seconds(10), [&] { return answered >= want; })) {
      ++failed;
      lock.unlock();
      phone.HangUp(kLine1);
      continue;
    }
    connect_ms.push_back(Seconds(answered_at - t0) * 1000);
    const int want_end = ended + 1;
    cv.wait_for(lock, std::chrono::seconds(10), [&] { return ended >= want_end; });
    lock.unlock();
    call_wall += Seconds(Clock::now() - t0);
    call_cpu += CpuSeconds() - c0;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const long peak_rss = StatusKb("VmHWM:");
  phone.DisattivaTelefono();

  std::sort(connect_ms.begin(), connect_ms.end());
  auto pct = [&](double p) {
    return connect_ms.empty() ? 0.0 : connect_ms[std::min(connect_ms.size() - 1, size_t(p * connect_ms.size()))];
  };
  std::printf("calls %d answered %zu failed %d\n", calls, connect_ms.size(), failed);
  std::printf("CALL to OnSuccessToConnect ms: median %.1f p95 %.1f max %.1f\n", pct(0.5), pct(0.95),
              connect_ms.empty() ? 0.0 : connect_ms.back());
  std::printf("cpu %% of one core: idle %.2f in call %.2f\n", idle_cpu,
              call_wall > 0 ? call_cpu / call_wall * 100 : 0.0);
  std::printf("resident MB: idle %.1f peak %.1f\n", idle_rss / 1024.0, peak_rss / 1024.0);
  return failed ? 1 : 0;
}
