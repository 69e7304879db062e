#pragma once
// The temporary folder and the time-stamped file names kept there
// (recordings, screenshots, downloaded installers).

#include <string>

#include "platform/clock.h"

namespace velnaro {

// $TEMP, else $TMPDIR, else /tmp, always ending in "/".
std::string TempFolder();

// TempFolder() + prefix + local time "hhnnsszzz" + extension, e.g. /tmp/rec143005123.wav.
std::string TimeStampedTempPath(const std::string& prefix, const std::string& extension,
                                const Clock& clock = DefaultClock());

}  // namespace velnaro
