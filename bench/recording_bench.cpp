// Times the join that saving a recording does, for an hour of call followed by an hour of
// conference (the recorders' own formats: 8 kHz and 16 kHz mono), and reports the memory it
// took beyond what was held before. Then the longest the SIP owner thread stalls while the
// recorder saves those two hours, beside the stall of a join run on the owner thread.
// Usage: bench_recording [MINUTES] [RUNS]

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "telephony/linphone_recorder.h"
#include "telephony/linphone_session.h"
#include "telephony/sip_owner_thread.h"
#include "telephony/wav_file.h"

namespace {

long PeakKib() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

// Writes `minutes` of a tone at `rate`, a minute at a time, so the writer stays small.
void WriteSegment(const std::string& path, int rate, int minutes) {
  std::vector<int16_t> minute(static_cast<size_t>(rate) * 60);
  for (size_t i = 0; i < minute.size(); ++i)
    minute[i] = static_cast<int16_t>(6000 * std::sin(2 * M_PI * 440.0 * i / rate));
  std::vector<int16_t> all;
  all.reserve(minute.size() * minutes);
  for (int m = 0; m < minutes; ++m) all.insert(all.end(), minute.begin(), minute.end());
  velnaro::wav::WriteMono(path, rate, all);
}

// The longest a no-op task posted to the owner thread every 2 ms waited while work() ran.
double LongestStallMs(velnaro::SipOwnerThread& owner, const std::function<void()>& work) {
  std::atomic<bool> done{false};
  double worst = 0;
  std::thread probe([&] {
    while (!done) {
      const auto t0 = std::chrono::steady_clock::now();
      owner.Invoke([] {});
      worst = std::max(worst, std::chrono::duration<double, std::milli>(
                                  std::chrono::steady_clock::now() - t0).count());
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  work();
  done = true;
  probe.join();
  return worst;
}

}  // namespace

int main(int argc, char** argv) {
  const int minutes = argc > 1 ? std::atoi(argv[1]) : 60;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("velnaro-bench-rec-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string call = (dir / "call.wav").string(), mix = (dir / "mix.wav").string(),
                    out = (dir / "out.wav").string();
  // Written by a child, so that its buffers do not count in this process's peak.
  if (fork() == 0) {
    WriteSegment(call, 8000, minutes);
    WriteSegment(mix, 16000, minutes);
    _exit(0);
  }
  wait(nullptr);
  const long before = PeakKib();
  std::vector<double> ms;
  for (int r = 0; r < runs; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    if (!velnaro::wav::Concatenate({call, mix}, out, 8000)) {
      std::fprintf(stderr, "join failed\n");
      return 1;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  const double in_mb = (std::filesystem::file_size(call) + std::filesystem::file_size(mix)) / 1e6;
  std::printf("join of %d min call + %d min conference (%.0f MB in, %.0f MB out): "
              "median %.0f ms, min %.0f ms over %d runs; peak memory +%ld KiB\n",
              minutes, minutes, in_mb, std::filesystem::file_size(out) / 1e6, ms[ms.size() / 2],
              ms.front(), runs, PeakKib() - before);

  velnaro::SipOwnerThread owner;
  owner.Start({});
  velnaro::LinphoneSound sound(owner, {.force_virtual = true, .state_dir = dir.string()});
  velnaro::LinphoneSession session(owner, sound, (dir / "plugins").string(), {});
  velnaro::LinphoneRecorder recorder(owner, session, dir.string());
  owner.Invoke([&] {
    recorder.AddSegment(call);
    recorder.AddSegment(mix);
  });
  const double on_owner = LongestStallMs(owner, [&] {
    owner.Invoke([&] { velnaro::wav::Concatenate({call, mix}, out, 8000); });
  });
  // Each save beside the same probe with nothing to do for as long (what the scheduler
  // alone adds on this machine).
  std::vector<double> saving, idle;
  for (int r = 0; r < runs; ++r) {
    int error = -1;
    const auto s0 = std::chrono::steady_clock::now();
    saving.push_back(LongestStallMs(owner, [&] { error = recorder.Save(0, out); }));
    const auto took = std::chrono::steady_clock::now() - s0;
    if (error != 0) {
      std::fprintf(stderr, "save failed: %d\n", error);
      return 1;
    }
    idle.push_back(LongestStallMs(owner, [&] { std::this_thread::sleep_for(took); }));
  }
  std::sort(saving.begin(), saving.end());
  std::sort(idle.begin(), idle.end());
  std::printf("longest owner-thread stall while saving the %d min recording: median %.1f ms, "
              "worst %.1f ms over %d saves (goal under 20 ms); idle owner: median %.1f ms, "
              "worst %.1f ms; joined on the owner thread as before: %.0f ms\n",
              2 * minutes, saving[saving.size() / 2], saving.back(), runs, idle[idle.size() / 2],
              idle.back(), on_owner);
  owner.Stop();
  std::filesystem::remove_all(dir);
  return 0;
}
