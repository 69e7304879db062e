// Program entry: serves the control endpoint until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <stdexcept>

#include "control/http_endpoint.h"
#include "control/web_server.h"

int main() {
  // Blocked before any thread starts, so every thread inherits the mask and the
  // signals are taken only by sigwait below.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  velnaro::TwebServer web_server;
  velnaro::HttpEndpoint endpoint(web_server);
  try {
    endpoint.Start(velnaro::HttpEndpoint::kDefaultPort);
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  endpoint.Stop();
  return 0;
}
