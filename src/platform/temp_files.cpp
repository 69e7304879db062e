#include "platform/temp_files.h"

#include <cstdlib>

namespace velnaro {

std::string TempFolder() {
  std::string dir;
  for (const char* name : {"TEMP", "TMPDIR"}) {
    const char* v = std::getenv(name);
    if (v && *v) {
      dir = v;
      break;
    }
  }
  if (dir.empty()) dir = "/tmp";
  if (dir.back() != '/') dir += '/';
  return dir;
}

std::string TimeStampedTempPath(const std::string& prefix, const std::string& extension,
                                const Clock& clock) {
  return TempFolder() + prefix + FormatTime(clock.Now(), "hhnnsszzz") + extension;
}

}  // namespace velnaro
