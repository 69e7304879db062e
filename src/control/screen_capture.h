#pragma once
// The screenshot of the SCREENSHOT command and of the window's ScreenShot button.

#include <cstddef>
#include <string>

#include "platform/clock.h"
#include "platform/screen_capture.h"

namespace velnaro {

class ServiceLog;

// The process-wide capture (X11 on $DISPLAY).
ScreenCapture& DefaultScreenCapture();

// The primary display's current picture.
RgbImage CatturaDesktop(ScreenCapture& capture = DefaultScreenCapture());

// Captures, encodes as JPEG and saves to TempFolder() + "img" + "hhnnsszzz" + ".jpg";
// returns the path. Throws on any failure (nothing is left under the name then).
std::string SalvaScreenShot(ScreenCapture& capture = DefaultScreenCapture(),
                            const Clock& clock = DefaultClock());

// The ScreenShot button: saves and logs "system/SCREENSHOT: " + path. Failures propagate.
void Button1Click(ServiceLog& log, ScreenCapture& capture = DefaultScreenCapture(),
                  const Clock& clock = DefaultClock());

// Writes the bytes beside path and renames them into place, so a reader (or a second
// writer of the same name) only ever sees one whole file under that name.
void WriteFileAtomically(const std::string& path, const void* data, size_t size);

}  // namespace velnaro
