#pragma once
// Opening a document or an address with the desktop's default handler (the browser for
// an address, the package installer for a package), and starting a downloaded installer.

#include <string>

namespace velnaro {

class DesktopOpener {
 public:
  virtual ~DesktopOpener() = default;
  // Starts the handler and returns at once; false when it could not be started.
  virtual bool Open(const std::string& target) = 0;
  // Starts a downloaded installer as its kind asks (RunsDirectly) and returns at once;
  // false when it could not be started.
  virtual bool StartInstaller(const std::string& path) = 0;
};

// Whether a downloaded file is a program to run rather than a document to open: an ELF
// binary (an AppImage is one) or a script with a "#!" line. A Debian package, or anything
// else, is a document for the desktop's handler.
bool RunsDirectly(const std::string& path);

// Runs xdg-open (or $VELNARO_OPENER when set) detached from this process. An installer
// that runs directly is made owner-executable and started on its own: in a session of its
// own, with nothing of ours open but /dev/null as its standard streams.
class XdgDesktopOpener final : public DesktopOpener {
 public:
  bool Open(const std::string& target) override;
  bool StartInstaller(const std::string& path) override;
};

}  // namespace velnaro
