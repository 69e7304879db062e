// Program entry. Placeholder until the control endpoint lands.
#include "control/web_server.h"

int main() {
  velnaro::TwebServer server;
  return 0;
}
