// Uploads one file the way RECSTOP does and prints the throughput and the growth of the
// process's peak resident memory. Usage: bench_upload URL FILE RUNS

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "control/upload.h"
#include "control/web_server.h"
#include "status/phone_status.h"

namespace {

long StatusKb(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string k = key;
  while (std::getline(status, line))
    if (line.rfind(k, 0) == 0) return std::stol(line.substr(k.size()));
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s URL FILE RUNS\n", argv[0]);
    return 2;
  }
  const std::string url = argv[1], file = argv[2];
  const int runs = std::max(1, std::atoi(argv[3]));
  struct stat st {};
  if (stat(file.c_str(), &st) != 0) return 1;

  velnaro::PhoneStatus log;
  velnaro::TwebServer window(log);
  const long rss_before = StatusKb("VmRSS:");
  const long hwm_before = StatusKb("VmHWM:");
  std::vector<double> rates;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    velnaro::UploadFile(window, log, url, file);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const std::string last = log.memoLogs().back();
    if (last.rfind("Upload OK", 0) != 0) {
      std::fprintf(stderr, "upload failed: %s\n", last.c_str());
      return 1;
    }
    rates.push_back(static_cast<double>(st.st_size) / (1024.0 * 1024.0) / s);
  }
  std::sort(rates.begin(), rates.end());
  const long hwm_after = StatusKb("VmHWM:");
  std::printf("file MiB %.1f runs %d\n", static_cast<double>(st.st_size) / (1024.0 * 1024.0), runs);
  std::printf("agent median MiB/s %.1f\n", rates[rates.size() / 2]);
  std::printf("agent RSS before kB %ld peak before kB %ld peak after kB %ld growth kB %ld\n",
              rss_before, hwm_before, hwm_after, hwm_after - hwm_before);
  return 0;
}
