#pragma once
// Opening a document or an address with the desktop's default handler (the browser for
// an address, the installer for a downloaded file).

#include <string>

namespace velnaro {

class DesktopOpener {
 public:
  virtual ~DesktopOpener() = default;
  // Starts the handler and returns at once; false when it could not be started.
  virtual bool Open(const std::string& target) = 0;
};

// Runs xdg-open (or $VELNARO_OPENER when set) detached from this process.
class XdgDesktopOpener final : public DesktopOpener {
 public:
  bool Open(const std::string& target) override;
};

}  // namespace velnaro
